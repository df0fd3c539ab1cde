#include "core/media/picture_codec.h"

#include <fcntl.h>
#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/media/jpeg_grey.h"
#include "core/media/picture_format.h"
#include "core/media/video_frame.h"
#include "core/media/vips_setup.h"
#include "core/thumbs/vips_runtime.h"

namespace tallowick::media {

namespace {

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The format the file at `path` starts like, when it is one we decode (see
// picture_format.h for why libvips must not be the one to find out).
std::optional<PictureFormat> pictureFormatAt(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  const std::optional<PictureFormat> format = pictureFormatOfFile(fd);
  ::close(fd);
  return format;
}

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

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
  void operator()(heif_image* image) const { heif_image_release(image); }
};

}  // namespace

std::optional<Thumbnailer::Image> imageThumbnail(const std::string& path, int maxPixel) {
  // A FIFO or a device with a picture's name would block the caller or be
  // read forever.
  if (maxPixel <= 0 || !isRegularFile(path)) return std::nullopt;
  const std::optional<PictureFormat> format = pictureFormatAt(path);
  if (!format || !startVips()) return std::nullopt;
  try {
    // Opening reads the header only; refuse a picture that claims more
    // pixels than we are willing to hold before anything is decoded.
    vips::VImage header =
        openPicture(vips::VSource::new_from_file(path.c_str()), *format,
                    vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const long long width = header.width();
    const long long height = header.height();
    if (width <= 0 || height <= 0 || width * height > kMaxImagePixels) return std::nullopt;
    vips::VOption* load = vips::VImage::option()
                              ->set("access", VIPS_ACCESS_SEQUENTIAL)
                              ->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
    // The one format whose decoder scales down as it reads; the others are
    // decoded whole, as the thumbnail operation would for them.
    if (*format == PictureFormat::jpeg)
      load->set("shrink", jpegScaleDownFor(width, height, maxPixel));
    vips::VImage thumb =
        openPicture(vips::VSource::new_from_file(path.c_str()), *format, load)
            .thumbnail_image(
                maxPixel,
                vips::VImage::option()->set("height", maxPixel)->set("size", VIPS_SIZE_DOWN));
    return toImage(thumb);
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

std::optional<Thumbnailer::Image> videoFrame(const std::string& path, int maxPixel) {
  if (maxPixel <= 0 || !isRegularFile(path)) return std::nullopt;
  return decodeVideoFrame(path, maxPixel);
}

std::optional<std::string> encodeHEIC(const Thumbnailer::Image& image, double quality) {
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
  // One thread per picture: thumbnails and previews are encoded side by side
  // on the render pool, and x265's own thread pool on top of that only adds
  // threads that contend for the same cores (a cold batch of 50 cards took
  // about 6% longer with it, on 2 cores).
  heif_encoder_set_parameter(encoder.get(), "x265:pools", "none");
  heif_encoder_set_parameter(encoder.get(), "x265:frame-threads", "1");

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

std::optional<Thumbnailer::Image> decodeHEIC(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
  if (!context ||
      heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr)
              .code != heif_error_Ok) {
    return std::nullopt;
  }
  heif_image_handle* rawHandle = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) {
    return std::nullopt;
  }
  std::unique_ptr<heif_image_handle, HandleRelease> handle(rawHandle);
  const long long width = heif_image_handle_get_width(handle.get());
  const long long height = heif_image_handle_get_height(handle.get());
  if (width <= 0 || height <= 0 || width * height > kMaxImagePixels) return std::nullopt;

  heif_image* rawImage = nullptr;
  if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                        nullptr)
          .code != heif_error_Ok) {
    return std::nullopt;
  }
  std::unique_ptr<heif_image, ImageRelease> image(rawImage);
  Thumbnailer::Image result;
  // The decoded size: an orientation of a quarter turn swaps the handle's.
  result.width = heif_image_get_width(image.get(), heif_channel_interleaved);
  result.height = heif_image_get_height(image.get(), heif_channel_interleaved);
  result.channels = 3;
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (plane == nullptr || result.width <= 0 || result.height <= 0) return std::nullopt;
  const std::size_t row = static_cast<std::size_t>(result.width) * 3;
  result.pixels.resize(row * static_cast<std::size_t>(result.height));
  for (int y = 0; y < result.height; ++y) {
    std::memcpy(result.pixels.data() + row * y, plane + static_cast<std::size_t>(stride) * y, row);
  }
  return result;
}

}  // namespace tallowick::media
