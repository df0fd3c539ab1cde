#include "core/thumbs/heic_image.h"

#include "core/thumbs/media_module.h"

namespace tallowick {

std::optional<Thumbnailer::Image> decodeHEIC(std::string_view bytes) {
  const MediaFunctions* media = mediaModule();
  return media ? media->decodeHEIC(bytes) : std::nullopt;
}

}  // namespace tallowick
