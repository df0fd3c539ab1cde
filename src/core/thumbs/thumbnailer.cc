#include "core/thumbs/thumbnailer.h"

#include <libheif/heif.h>
#include <sys/stat.h>
#include <vips/vips8>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "core/thumbs/video_frame.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define TALLOWICK_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALLOWICK_LEAK_CHECKED 1
#endif
#endif

#ifdef TALLOWICK_LEAK_CHECKED
// x265 3.5 (Debian 12) loses one parameter block (about 1 KB) in every
// x265_encoder_open, and libheif opens one encoder per picture. Nothing we
// own can free it; without this every program that renders a thumbnail
// fails the leak check. The stacks the leak checker records usually stop
// inside libx265 (built without frame pointers), so the library is named
// rather than the function. The larger loop-filter leak is avoided below and
// watched by a heap-growth test instead.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

namespace tallowick {

namespace fs = std::filesystem;

namespace {

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isNonEmptyRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

bool rendersPicture(Kind kind) { return kind == Kind::image || kind == Kind::video; }

// The thumbnail as 8-bit sRGB with at most one alpha band, copied out of
// libvips. Throws vips::VError.
std::optional<Thumbnailer::Image> toImage(vips::VImage image) {
  if (image.interpretation() != VIPS_INTERPRETATION_sRGB || image.bands() < 3)
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
  if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
  const int wanted = image.has_alpha() ? 4 : 3;
  if (image.bands() < 3) return std::nullopt;
  if (image.bands() > wanted) {
    // Extra bands (e.g. a second alpha) carry nothing a card can show; keep
    // colour plus the last band as alpha when there is one.
    vips::VImage colour = image.extract_band(0, vips::VImage::option()->set("n", 3));
    image = wanted == 4 ? colour.bandjoin(image[image.bands() - 1]) : colour;
  }
  Thumbnailer::Image out;
  out.width = image.width();
  out.height = image.height();
  out.channels = image.bands();
  std::size_t size = 0;
  void* memory = image.write_to_memory(&size);
  std::unique_ptr<void, decltype(&g_free)> owned(memory, &g_free);
  if (memory == nullptr) return std::nullopt;
  out.pixels.assign(static_cast<const std::uint8_t*>(memory),
                    static_cast<const std::uint8_t*>(memory) + size);
  if (!out.isValid()) return std::nullopt;
  return out;
}

struct HeifContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifEncoderRelease {
  void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
struct HeifImageRelease {
  void operator()(heif_image* i) const { heif_image_release(i); }
};
struct HeifOptionsFree {
  void operator()(heif_encoding_options* o) const { heif_encoding_options_free(o); }
};

heif_error appendToString(heif_context*, const void* data, size_t size, void* userdata) {
  static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

// Quality in [0, 1] on the encoder's 0-100 scale; anything that is not a
// number in range is pulled to the nearest end (NaN to the default).
int encoderQuality(double quality) {
  if (std::isnan(quality)) quality = Thumbnailer::kDefaultQuality;
  return static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0));
}

}  // namespace

bool Thumbnailer::Image::isValid() const {
  return width > 0 && height > 0 && (channels == 3 || channels == 4) &&
         pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                              static_cast<std::size_t>(channels);
}

Thumbnailer::Thumbnailer(std::string dir) {
  fs::path path = fs::absolute(fs::path(std::move(dir))).lexically_normal();
  // "a/thumbs/" names the same folder as "a/thumbs"; its parent must be "a".
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  fs::create_directories(path);
  if (!fs::is_directory(path))
    throw fs::filesystem_error("thumbnail folder is not a directory", path,
                               std::make_error_code(std::errc::not_a_directory));
  dir_ = path.string();
}

std::string Thumbnailer::thumbnailPath(const Item& item) const {
  return (fs::path(dir_) / (item.id.string() + ".heic")).string();
}

std::string Thumbnailer::previewFolder() const {
  return (fs::path(dir_).parent_path() / "previews").string();
}

std::string Thumbnailer::previewPath(const Item& item, int maxPixel) const {
  return (fs::path(previewFolder()) / (item.id.string() + "-" + std::to_string(maxPixel) + ".heic"))
      .string();
}

std::optional<Thumbnailer::Image> Thumbnailer::render(const Item& item, int maxPixel) const {
  renders_.fetch_add(1, std::memory_order_relaxed);
  switch (item.kind) {
    case Kind::image:
      return imageThumbnail(item.path, maxPixel);
    case Kind::video:
      return videoFrame(item.path, maxPixel);
    default:
      return std::nullopt;
  }
}

std::optional<std::string> Thumbnailer::thumbnail(const Item& item) const {
  if (!rendersPicture(item.kind)) return std::nullopt;
  std::string target = thumbnailPath(item);
  // Files are only ever renamed into place whole, so an existing one is
  // complete.
  if (isNonEmptyRegularFile(target)) return target;
  std::optional<Image> image = render(item, maxPixel_);
  if (!image || !writeHEIC(*image, target, quality_)) return std::nullopt;
  return target;
}

std::optional<std::string> Thumbnailer::preview(const Item& item, int maxPixel,
                                                double quality) const {
  if (!rendersPicture(item.kind) || maxPixel <= 0) return std::nullopt;
  maxPixel = std::min(maxPixel, kMaxPreviewPixel);
  std::string target = previewPath(item, maxPixel);
  if (std::optional<std::string> stored = readWholeFile(target); stored && !stored->empty())
    return stored;
  std::optional<Image> image = render(item, maxPixel);
  if (!image) return std::nullopt;
  std::optional<std::string> data = encodeHEIC(*image, quality);
  if (!data) return std::nullopt;
  // The phone gets its preview even when the cache cannot be written (a full
  // disk, a read-only storage folder); the next request renders again.
  createDirectories(fs::path(target).parent_path().string());
  writeFileAtomically(target, *data);
  return data;
}

std::optional<Thumbnailer::Image> Thumbnailer::imageThumbnail(const std::string& path,
                                                              int maxPixel) {
  // A FIFO or a device with a picture's name would block the caller or be
  // read forever.
  if (maxPixel <= 0 || !isRegularFile(path) || !ensureVipsStarted()) return std::nullopt;
  try {
    // Opening reads the header only; refuse a picture that claims more
    // pixels than we are willing to hold before anything is decoded.
    vips::VImage header = vips::VImage::new_from_file(
        path.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const long long pixels = static_cast<long long>(header.width()) * header.height();
    if (pixels <= 0 || pixels > kMaxImagePixels) return std::nullopt;
    vips::VImage thumb = vips::VImage::thumbnail(path.c_str(), maxPixel,
                                                 vips::VImage::option()
                                                     ->set("height", maxPixel)
                                                     ->set("size", VIPS_SIZE_DOWN)
                                                     ->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
    return toImage(thumb);
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

std::optional<Thumbnailer::Image> Thumbnailer::videoFrame(const std::string& path, int maxPixel) {
  if (maxPixel <= 0 || !isRegularFile(path)) return std::nullopt;
  return decodeVideoFrame(path, maxPixel);
}

std::optional<std::string> Thumbnailer::encodeHEIC(const Image& image, double quality) {
  if (!image.isValid()) return std::nullopt;
  std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
  if (!context) return std::nullopt;
  heif_encoder* rawEncoder = nullptr;
  if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code !=
      heif_error_Ok)
    return std::nullopt;
  std::unique_ptr<heif_encoder, HeifEncoderRelease> encoder(rawEncoder);
  if (heif_encoder_set_lossy_quality(encoder.get(), encoderQuality(quality)).code != heif_error_Ok)
    return std::nullopt;
  // x265's default preset is several times slower on small pictures for a
  // gain nobody sees on a phone card. Another HEVC encoder may not know the
  // parameter; it then keeps its own default.
  heif_encoder_set_parameter(encoder.get(), "preset", "ultrafast");
  // The fast presets turn sample adaptive offset off, and x265 3.5 then
  // leaks its loop-filter buffers on every encoder it closes (tens of KB per
  // thumbnail, more per preview). Keeping it on costs little.
  heif_encoder_set_parameter(encoder.get(), "x265:sao", "1");

  heif_image* rawImage = nullptr;
  const heif_chroma chroma =
      image.channels == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  if (heif_image_create(image.width, image.height, heif_colorspace_RGB, chroma, &rawImage).code !=
      heif_error_Ok)
    return std::nullopt;
  std::unique_ptr<heif_image, HeifImageRelease> heifImage(rawImage);
  if (heif_image_add_plane(heifImage.get(), heif_channel_interleaved, image.width, image.height, 8)
          .code != heif_error_Ok)
    return std::nullopt;
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(heifImage.get(), heif_channel_interleaved, &stride);
  const std::size_t rowBytes = static_cast<std::size_t>(image.width) * image.channels;
  if (plane == nullptr || stride < static_cast<int>(rowBytes)) return std::nullopt;
  for (int y = 0; y < image.height; ++y)
    std::memcpy(plane + static_cast<std::size_t>(y) * stride, image.pixels.data() + y * rowBytes,
                rowBytes);

  std::unique_ptr<heif_encoding_options, HeifOptionsFree> options(heif_encoding_options_alloc());
  if (heif_context_encode_image(context.get(), heifImage.get(), encoder.get(), options.get(),
                                nullptr)
          .code != heif_error_Ok)
    return std::nullopt;
  std::string out;
  heif_writer writer{};
  writer.writer_api_version = 1;
  writer.write = &appendToString;
  if (heif_context_write(context.get(), &writer, &out).code != heif_error_Ok || out.empty())
    return std::nullopt;
  return out;
}

bool Thumbnailer::writeHEIC(const Image& image, const std::string& path, double quality) {
  std::optional<std::string> data = encodeHEIC(image, quality);
  return data && writeFileAtomically(path, *data);
}

}  // namespace tallowick
