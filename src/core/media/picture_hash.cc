#include "core/media/picture_hash.h"

#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips8>

#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "core/media/grey_plane.h"
#include "core/media/jpeg_dc.h"
#include "core/media/jpeg_grey.h"
#include "core/media/picture_format.h"
#include "core/media/vips_setup.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/read_chunk.h"

namespace tallowick::media {
namespace {

// `image` (at most 64 pixels on a side) as 8-bit grey.
std::optional<GreyPlane> greyPlaneOf(vips::VImage image) {
  // Every other input (16-bit, CMYK, Lab, colour) becomes 8-bit sRGB first;
  // alpha is laid over black, as drawing into an opaque zero-filled bitmap
  // does.
  if (image.bands() != 1 || image.format() != VIPS_FORMAT_UCHAR) {
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.bands() == 2 || image.bands() == 4) image = image.flatten();
    image = image.colourspace(VIPS_INTERPRETATION_B_W);
    if (image.bands() > 1) image = image.extract_band(0);
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
  }
  GreyPlane plane;
  plane.width = image.width();
  plane.height = image.height();
  std::size_t size = 0;
  void* memory = image.write_to_memory(&size);
  if (!memory) return std::nullopt;
  plane.pixels.assign(static_cast<std::uint8_t*>(memory),
                      static_cast<std::uint8_t*>(memory) + size);
  g_free(memory);
  if (plane.width <= 0 || plane.height <= 0 ||
      plane.pixels.size() != static_cast<std::size_t>(plane.width) * plane.height) {
    return std::nullopt;
  }
  return plane;
}

std::uint64_t differenceHash(const std::array<std::uint8_t, 72>& grid) {
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

// Loaders whose pictures go through the thumbnail operation (HEIF from its
// stored thumbnail where it has one); the others are made small from their
// rows as they are decoded. JPEG, the common case, is decoded directly
// (jpeg_grey.h) unless it is in a colour space only the image library
// converts or too large to read whole.
constexpr std::array<std::string_view, 3> kShrinkingLoaders = {"heifload", "webpload", "tiffload"};

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

constexpr int kThumbnailSide = 64;

// At most 64 pixels on the longer side, upright as displayed (EXIF
// orientation applied), from rows decoded in order. The thumbnail operation
// would do the same through premultiplied floating point and line caches at
// several times the cost.
vips::VImage smallUpright(vips::VImage image) {
  const double longer = std::max(image.width(), image.height());
  if (longer > kThumbnailSide) image = image.resize(kThumbnailSide / longer);
  int orientation = 1;
  if (vips_image_get_typeof(image.get_image(), VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(image.get_image(), VIPS_META_ORIENTATION, &orientation) != 0) {
    vips_error_clear();
  }
  if (orientation < 2 || orientation > 8) return image;
  // Turning needs the whole (small) picture at hand.
  return image.copy_memory().autorot();
}

// JPEGs up to this size are read whole and decoded from memory; a larger
// one goes to the image library, which streams.
constexpr std::size_t kLargestReadWhole = 64 << 20;

// The JPEG in `fd` at a fraction of its size, in grey: from its DC
// coefficients when that reader gives exactly what libjpeg would (jpeg_dc.h),
// else from libjpeg. `unsupported` leaves it to the image library.
JpegGreyResult decodeJpegFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) > kLargestReadWhole) {
    return {JpegGreyStatus::unsupported, {}};
  }
  thread_local std::vector<std::uint8_t> file;
  file.resize(static_cast<std::size_t>(st.st_size));
  if (::lseek(fd, 0, SEEK_SET) != 0) return {JpegGreyStatus::failed, {}};
  const ssize_t filled = readChunk(fd, file.data(), file.size());
  if (filled < 0) return {JpegGreyStatus::failed, {}};
  // A file that shrank is decoded as far as it goes; the caller's stamp
  // check then drops the result.
  const std::span<const std::uint8_t> bytes(file.data(), static_cast<std::size_t>(filled));
  if (auto fromDC = decodeJpegLumaDc(bytes, kThumbnailSide, kMaxImagePixels)) {
    return {JpegGreyStatus::decoded, std::move(*fromDC)};
  }
  return decodeJpegGrey(bytes, kThumbnailSide, kMaxImagePixels);
}

PictureHash pictureHashOfJpeg(JpegGrey& picture) {
  GreyPlane plane{picture.scaledWidth, picture.scaledHeight, std::move(picture.pixels)};
  plane = oriented(thumbnailOf(plane, kThumbnailSide), picture.orientation);
  return PictureHash{differenceHash(stretchTo9x8(plane)), picture.width, picture.height};
}

}  // namespace

std::optional<PictureHash> pictureHash(int fd) {
  if (!startVips()) return std::nullopt;
  const std::optional<PictureFormat> format = pictureFormatOfFile(fd);
  if (!format) return std::nullopt;
  try {
    if (*format == PictureFormat::jpeg) {
      JpegGreyResult jpeg = decodeJpegFile(fd);
      if (jpeg.status == JpegGreyStatus::decoded) return pictureHashOfJpeg(jpeg.image);
      if (jpeg.status == JpegGreyStatus::failed) return std::nullopt;
      // Unsupported here: the image library decodes it below.
    }
    // The header alone says how big the image claims to be; refuse before
    // any pixel is decoded.
    if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
    vips::VImage header =
        openPicture(vips::VSource::new_from_descriptor(fd), *format,
                    vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const long long width = header.width();
    const long long height = header.height();
    if (width <= 0 || height <= 0 || width * height > kMaxImagePixels) return std::nullopt;

    std::optional<GreyPlane> plane;
    switch (routeFor(header)) {
      case Route::jpeg: {
        if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
        vips::VSource source = vips::VSource::new_from_descriptor(fd);
        plane = greyPlaneOf(smallUpright(vips::VImage::jpegload_source(
            source, vips::VImage::option()
                        ->set("shrink", jpegScaleDownFor(width, height, kThumbnailSide))
                        ->set("access", VIPS_ACCESS_SEQUENTIAL))));
        break;
      }
      case Route::thumbnail: {
        // HEIF comes out of libheif already upright.
        if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
        vips::VSource source = vips::VSource::new_from_descriptor(fd);
        vips::VOption* load = vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL);
        if (*format == PictureFormat::heif) load->set("thumbnail", true);
        plane = greyPlaneOf(openPicture(source, *format, load)
                                .thumbnail_image(kThumbnailSide, vips::VImage::option()->set(
                                                                     "height", kThumbnailSide)));
        break;
      }
      case Route::whole:
        plane = greyPlaneOf(smallUpright(header));
        break;
    }
    if (!plane) return std::nullopt;
    return PictureHash{differenceHash(stretchTo9x8(*plane)), static_cast<int>(width),
                       static_cast<int>(height)};
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

}  // namespace tallowick::media
