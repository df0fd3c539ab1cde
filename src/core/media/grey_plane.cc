#include "core/media/grey_plane.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tallowick {
namespace {

double lanczos3(double x) {
  x = std::abs(x);
  if (x < 1e-9) return 1.0;
  if (x >= 3.0) return 0.0;
  const double px = std::numbers::pi * x;
  return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

// One output sample: the taps and weights over the input line, edges
// repeated, weights summing to one.
struct Taps {
  std::vector<int> index;
  std::vector<double> weight;
};

std::vector<Taps> tapsFor(int in, int out) {
  const double step = static_cast<double>(in) / out;
  const double widen = std::max(1.0, step);
  const double support = 3.0 * widen;
  std::vector<Taps> all(static_cast<std::size_t>(out));
  for (int i = 0; i < out; ++i) {
    const double center = (i + 0.5) * step;
    Taps& taps = all[static_cast<std::size_t>(i)];
    double sum = 0;
    for (int j = static_cast<int>(std::floor(center - support));
         j <= static_cast<int>(std::ceil(center + support)); ++j) {
      const double w = lanczos3((j + 0.5 - center) / widen);
      if (w == 0.0) continue;
      taps.index.push_back(std::clamp(j, 0, in - 1));
      taps.weight.push_back(w);
      sum += w;
    }
    for (double& w : taps.weight) w /= sum;
  }
  return all;
}

}  // namespace

GreyPlane shrinkBy(const GreyPlane& plane, int factor) {
  if (factor <= 1) return plane;
  GreyPlane out;
  out.width = (plane.width + factor - 1) / factor;
  out.height = (plane.height + factor - 1) / factor;
  out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
  std::vector<std::uint32_t> sums(static_cast<std::size_t>(out.width));
  std::vector<std::uint32_t> counts(static_cast<std::size_t>(out.width));
  for (int oy = 0; oy < out.height; ++oy) {
    std::fill(sums.begin(), sums.end(), 0);
    std::fill(counts.begin(), counts.end(), 0);
    const int yEnd = std::min(plane.height, (oy + 1) * factor);
    for (int y = oy * factor; y < yEnd; ++y) {
      const std::uint8_t* row = &plane.pixels[static_cast<std::size_t>(y) * plane.width];
      for (int x = 0; x < plane.width; ++x) {
        sums[static_cast<std::size_t>(x / factor)] += row[x];
        ++counts[static_cast<std::size_t>(x / factor)];
      }
    }
    for (int ox = 0; ox < out.width; ++ox) {
      const auto i = static_cast<std::size_t>(ox);
      out.pixels[static_cast<std::size_t>(oy) * out.width + i] =
          static_cast<std::uint8_t>((sums[i] + counts[i] / 2) / counts[i]);
    }
  }
  return out;
}

GreyPlane oriented(const GreyPlane& plane, int exifOrientation) {
  if (exifOrientation < 2 || exifOrientation > 8) return plane;
  const int w = plane.width;
  const int h = plane.height;
  const bool turned = exifOrientation >= 5;
  GreyPlane out;
  out.width = turned ? h : w;
  out.height = turned ? w : h;
  out.pixels.resize(plane.pixels.size());
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      // Where the displayed pixel (x, y) is stored.
      int sx = x, sy = y;
      switch (exifOrientation) {
        case 2:
          sx = w - 1 - x;
          break;  // mirrored
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;  // half turn
        case 4:
          sy = h - 1 - y;
          break;  // flipped
        case 5:
          sx = y;
          sy = x;
          break;  // transposed
        case 6:
          sx = y;
          sy = h - 1 - x;
          break;  // turn right to display
        case 7:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;  // transversed
        case 8:
          sx = w - 1 - y;
          sy = x;
          break;  // turn left to display
      }
      out.pixels[static_cast<std::size_t>(y) * out.width + x] = plane.at(sx, sy);
    }
  }
  return out;
}

GreyPlane resized(const GreyPlane& plane, int width, int height) {
  const std::vector<Taps> across = tapsFor(plane.width, width);
  const std::vector<Taps> down = tapsFor(plane.height, height);
  // Rows first, kept in floating point until the end.
  std::vector<double> rows(static_cast<std::size_t>(plane.height) * width);
  for (int y = 0; y < plane.height; ++y) {
    const std::uint8_t* in = &plane.pixels[static_cast<std::size_t>(y) * plane.width];
    double* out = &rows[static_cast<std::size_t>(y) * width];
    for (int x = 0; x < width; ++x) {
      const Taps& taps = across[static_cast<std::size_t>(x)];
      double value = 0;
      for (std::size_t t = 0; t < taps.index.size(); ++t) {
        value += taps.weight[t] * in[taps.index[t]];
      }
      out[x] = value;
    }
  }
  GreyPlane result;
  result.width = width;
  result.height = height;
  result.pixels.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const Taps& taps = down[static_cast<std::size_t>(y)];
    for (int x = 0; x < width; ++x) {
      double value = 0;
      for (std::size_t t = 0; t < taps.index.size(); ++t) {
        value += taps.weight[t] * rows[static_cast<std::size_t>(taps.index[t]) * width + x];
      }
      result.pixels[static_cast<std::size_t>(y) * width + x] =
          static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
    }
  }
  return result;
}

GreyPlane thumbnailOf(const GreyPlane& plane, int limit) {
  const int longer = std::max(plane.width, plane.height);
  if (longer <= limit) return plane;
  const int factor = longer / (2 * limit);
  const GreyPlane blocks = factor >= 2 ? shrinkBy(plane, factor) : plane;
  auto side = [&](int length) {
    return std::max(1, static_cast<int>(std::lround(static_cast<double>(length) * limit / longer)));
  };
  return resized(blocks, side(plane.width), side(plane.height));
}

std::array<std::uint8_t, 72> stretchTo9x8(const GreyPlane& plane) {
  const GreyPlane grid = resized(plane, 9, 8);
  std::array<std::uint8_t, 72> out{};
  std::copy(grid.pixels.begin(), grid.pixels.end(), out.begin());
  return out;
}

}  // namespace tallowick
