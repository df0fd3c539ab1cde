#pragma once

// Decoding pictures and videos into thumbnails and encoding them as HEIC,
// through libvips, FFmpeg and libheif: the media object's side of
// Thumbnailer::imageThumbnail, videoFrame and encodeHEIC (see thumbnailer.h
// for what each promises) and of decodeHEIC (heic_image.h).

#include <optional>
#include <string>
#include <string_view>

#include "core/thumbs/thumbnailer.h"

namespace tallowick::media {

std::optional<Thumbnailer::Image> imageThumbnail(const std::string& path, int maxPixel);
std::optional<Thumbnailer::Image> videoFrame(const std::string& path, int maxPixel);
std::optional<std::string> encodeHEIC(const Thumbnailer::Image& image, double quality);
// See heic_image.h.
std::optional<Thumbnailer::Image> decodeHEIC(std::string_view bytes);

}  // namespace tallowick::media
