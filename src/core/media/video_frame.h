#pragma once

#include <optional>
#include <string>

#include "core/thumbs/thumbnailer.h"

namespace tallowick {

// The frame shown at kVideoFrameSeconds of the video at `path` (the last
// frame when the video is shorter), turned upright as the stream's display
// matrix says and scaled to fit maxPixel x maxPixel, never enlarged.
// Only local files in common video containers are opened: no network or
// playlist demuxer can be reached from a file in the scanned folders.
// REQUIRES: maxPixel > 0.
std::optional<Thumbnailer::Image> decodeVideoFrame(const std::string& path, int maxPixel);

inline constexpr double kVideoFrameSeconds = 1.0;

}  // namespace tallowick
