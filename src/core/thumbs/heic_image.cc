#include "core/thumbs/heic_image.h"

#include <libheif/heif.h>

#include <cstring>
#include <memory>

#include "core/thumbs/vips_runtime.h"

namespace tallowick {
namespace {

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

}  // namespace tallowick
