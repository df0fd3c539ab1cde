#include "core/scan/hashing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <vips/vips8>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/thumbs/vips_runtime.h"

namespace tallowick::Hashing {
namespace {

// Closes the descriptor on every exit.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens for reading without touching the access time when we may (only the
// owner or a privileged process may ask for that), and without blocking: a
// FIFO put in the place of a file must not hang the scan. Returns -1 with
// errno set on failure, including when the path is not a regular file.
int openRegularFile(const std::string& path, bool followLink) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (!followLink) flags |= O_NOFOLLOW;
  int fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

std::optional<FileStamp> stampOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::nullopt;
  auto since =
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return FileStamp{static_cast<std::int64_t>(st.st_size),
                   Date(std::chrono::duration_cast<Date::duration>(since))};
}

struct DigestResult {
  std::string hex;
  std::int64_t bytesRead = 0;
};

// Throws std::system_error on a read failure.
DigestResult digestOf(int fd) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    throw std::system_error(ENOMEM, std::generic_category(), "sha256 init");
  }
  // One buffer per thread: a fresh megabyte per file would be mapped,
  // zeroed and unmapped again every time.
  thread_local std::vector<unsigned char> buffer(kReadChunk);
  // The kernel may read further ahead for a file read once from start to end.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  DigestResult result;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "read");
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n));
    result.bytesRead += n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  result.hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    result.hex.push_back(kHex[digest[i] >> 4]);
    result.hex.push_back(kHex[digest[i] & 0xF]);
  }
  return result;
}

// The 9 x 8 grey rendering of `thumbnail`, stretched, row by row.
std::optional<std::vector<std::uint8_t>> greyGrid(vips::VImage image) {
  // Every input (16-bit, CMYK, Lab, grey) becomes 8-bit sRGB first; alpha is
  // laid over black, as drawing into an opaque zero-filled bitmap does.
  image = image.colourspace(VIPS_INTERPRETATION_sRGB);
  if (image.bands() == 2 || image.bands() == 4) image = image.flatten();
  image = image.colourspace(VIPS_INTERPRETATION_B_W);
  if (image.bands() > 1) image = image.extract_band(0);
  const double width = image.width();
  const double height = image.height();
  image = image.resize(
      9.0 / width,
      vips::VImage::option()->set("vscale", 8.0 / height)->set("kernel", VIPS_KERNEL_LANCZOS3));
  if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
  if (image.width() != 9 || image.height() != 8) return std::nullopt;
  std::size_t size = 0;
  void* memory = image.write_to_memory(&size);
  if (!memory) return std::nullopt;
  std::vector<std::uint8_t> grid(static_cast<std::uint8_t*>(memory),
                                 static_cast<std::uint8_t*>(memory) + size);
  g_free(memory);
  if (grid.size() != 72) return std::nullopt;
  return grid;
}

std::uint64_t differenceHash(const std::vector<std::uint8_t>& grid) {
  std::uint64_t hash = 0;
  for (int row = 0; row < 8; ++row) {
    for (int x = 0; x < 8; ++x) {
      const auto left = grid[row * 9 + x];
      const auto right = grid[row * 9 + x + 1];
      hash = (hash << 1) | (left > right ? 1u : 0u);
    }
  }
  return hash;
}

// Loaders that can decode a picture at a fraction of its size (HEIF from
// its stored thumbnail, WebP and vector formats by scale, TIFF from its
// pyramid): the thumbnail operation asks them for it. JPEG, the common
// case, is asked directly.
constexpr std::array<std::string_view, 8> kShrinkingLoaders = {
    "heifload", "webpload", "tiffload",      "jxlload",
    "svgload",  "pdfload",  "openslideload", "magickload"};

enum class Route { jpeg, thumbnail, whole };

Route routeFor(const vips::VImage& image) {
  const char* loader = nullptr;
  if (vips_image_get_string(image.get_image(), "vips-loader", &loader) != 0 || !loader) {
    vips_error_clear();
    return Route::thumbnail;  // unknown: let the thumbnail operation decide
  }
  const std::string_view name(loader);
  if (name.starts_with("jpegload")) return Route::jpeg;
  const bool shrinks =
      std::any_of(kShrinkingLoaders.begin(), kShrinkingLoaders.end(),
                  [name](std::string_view prefix) { return name.starts_with(prefix); });
  return shrinks ? Route::thumbnail : Route::whole;
}

// The largest JPEG scale-down (1/2, 1/4 or 1/8, done inside the decoder,
// which then skips most of its work) that leaves the longer side at least
// 64 pixels.
int jpegShrinkFor(long long width, long long height) {
  const long long longer = std::max(width, height);
  for (int shrink : {8, 4, 2}) {
    if (longer / shrink >= 64) return shrink;
  }
  return 1;
}

// At most 64 pixels on the longer side, upright as displayed (EXIF
// orientation applied), from rows decoded in order. The thumbnail operation
// would do the same through premultiplied floating point and line caches at
// several times the cost.
vips::VImage smallUpright(vips::VImage image) {
  const double longer = std::max(image.width(), image.height());
  if (longer > 64) image = image.resize(64.0 / longer);
  int orientation = 1;
  if (vips_image_get_typeof(image.get_image(), VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(image.get_image(), VIPS_META_ORIENTATION, &orientation) != 0) {
    vips_error_clear();
  }
  if (orientation < 2 || orientation > 8) return image;
  // Turning needs the whole (small) picture at hand.
  return image.copy_memory().autorot();
}

std::optional<Perceptual> perceptualOf(int fd) {
  if (!ensureVipsStarted()) return std::nullopt;
  try {
    // The header alone says how big the image claims to be; refuse before
    // any pixel is decoded.
    if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
    vips::VSource headerSource = vips::VSource::new_from_descriptor(fd);
    vips::VImage header = vips::VImage::new_from_source(
        headerSource, "", vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const long long width = header.width();
    const long long height = header.height();
    if (width <= 0 || height <= 0 || width * height > kMaxImagePixels) return std::nullopt;

    std::optional<std::vector<std::uint8_t>> grid;
    switch (routeFor(header)) {
      case Route::jpeg: {
        if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
        vips::VSource source = vips::VSource::new_from_descriptor(fd);
        grid = greyGrid(smallUpright(
            vips::VImage::jpegload_source(source, vips::VImage::option()
                                                      ->set("shrink", jpegShrinkFor(width, height))
                                                      ->set("access", VIPS_ACCESS_SEQUENTIAL))));
        break;
      }
      case Route::thumbnail: {
        // HEIF comes out of libheif already upright.
        if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
        vips::VSource source = vips::VSource::new_from_descriptor(fd);
        grid = greyGrid(
            vips::VImage::thumbnail_source(source, 64, vips::VImage::option()->set("height", 64)));
        break;
      }
      case Route::whole:
        grid = greyGrid(smallUpright(header));
        break;
    }
    if (!grid) return std::nullopt;
    return Perceptual{differenceHash(*grid), static_cast<int>(width), static_cast<int>(height)};
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

}  // namespace

std::string sha256(const std::string& path) {
  FileDescriptor fd(openRegularFile(path, /*followLink=*/true));
  if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "open " + path);
  return digestOf(fd.get()).hex;
}

std::optional<std::string> sha256(const std::string& path, const FileStamp& expected) {
  FileDescriptor fd(openRegularFile(path, /*followLink=*/false));
  if (!fd.valid() || stampOf(fd.get()) != expected) return std::nullopt;
  try {
    DigestResult digest = digestOf(fd.get());
    if (digest.bytesRead != expected.size || stampOf(fd.get()) != expected) return std::nullopt;
    return digest.hex;
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

std::optional<Perceptual> perceptual(const std::string& path) {
  FileDescriptor fd(openRegularFile(path, /*followLink=*/true));
  if (!fd.valid()) return std::nullopt;
  return perceptualOf(fd.get());
}

std::optional<Perceptual> perceptual(const std::string& path, const FileStamp& expected) {
  FileDescriptor fd(openRegularFile(path, /*followLink=*/false));
  if (!fd.valid() || stampOf(fd.get()) != expected) return std::nullopt;
  auto result = perceptualOf(fd.get());
  if (!result || stampOf(fd.get()) != expected) return std::nullopt;
  return result;
}

int distance(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }

}  // namespace tallowick::Hashing
