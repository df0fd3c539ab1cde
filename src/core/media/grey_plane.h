#pragma once

// Small 8-bit grey pictures and the steps that turn a decoded picture into
// the 9 x 8 grid of the difference hash. They run on pictures of a few
// thousand pixels, where the general image library's per-operation set-up
// costs more than the arithmetic.

#include <array>
#include <cstdint>
#include <vector>

namespace tallowick {

struct GreyPlane {
  int width = 0;
  int height = 0;
  // Row by row, top row first; width * height bytes.
  std::vector<std::uint8_t> pixels;

  std::uint8_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Averages blocks of `factor` x `factor` pixels into one; blocks cut by the
// right or bottom edge average the pixels they hold.
// REQUIRES: factor >= 1; plane not empty.
GreyPlane shrinkBy(const GreyPlane& plane, int factor);

// The picture resampled to `width` x `height` with a Lanczos-3 filter,
// widened by the scale factor when shrinking; rows, then columns.
// REQUIRES: plane not empty; width, height >= 1.
GreyPlane resized(const GreyPlane& plane, int width, int height);

// The picture with its longer side brought down to `limit` (aspect ratio
// kept, no side under 1), or unchanged when it is no larger: block averages
// down to about twice the size, then the Lanczos filter, which is how the
// image library's resize shares the work.
// REQUIRES: plane not empty; limit >= 1.
GreyPlane thumbnailOf(const GreyPlane& plane, int limit);

// The picture turned and mirrored as an EXIF orientation (1 to 8) says it is
// displayed; any other value leaves it as stored.
GreyPlane oriented(const GreyPlane& plane, int exifOrientation);

// resized(plane, 9, 8) (the aspect ratio is not kept), row by row.
// REQUIRES: plane not empty.
std::array<std::uint8_t, 72> stretchTo9x8(const GreyPlane& plane);

}  // namespace tallowick
