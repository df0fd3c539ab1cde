#pragma once

// The media object's side of Hashing::perceptual (see hashing.h): the
// difference hash of the picture in an open file, JPEG decoded directly at
// a fraction of its size, anything else through libvips.

#include <optional>

#include "core/thumbs/media_module.h"

namespace tallowick::media {

// Reads `fd` from its start; no value when it is not a decodable picture or
// claims more than kMaxImagePixels pixels.
std::optional<PictureHash> pictureHash(int fd);

}  // namespace tallowick::media
