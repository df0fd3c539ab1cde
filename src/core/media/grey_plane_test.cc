#include "core/media/grey_plane.h"

#include <vips/vips8>

#include <cstdlib>
#include <numeric>

#include <gtest/gtest.h>

#include "core/media/vips_setup.h"

namespace tallowick {
namespace {

GreyPlane planeOf(int width, int height, std::vector<std::uint8_t> pixels) {
  return GreyPlane{width, height, std::move(pixels)};
}

// A plane whose every pixel differs, so any wrong mapping shows.
GreyPlane numbered(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
  std::iota(pixels.begin(), pixels.end(), std::uint8_t{10});
  return planeOf(width, height, pixels);
}

TEST(GreyPlaneOrientation, EveryExifOrientationMatchesTheImageLibrary) {
  ASSERT_TRUE(media::startVips());
  const GreyPlane stored = numbered(4, 3);
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    vips::VImage image = vips::VImage::new_from_memory(
        const_cast<std::uint8_t*>(stored.pixels.data()), stored.pixels.size(), stored.width,
        stored.height, 1, VIPS_FORMAT_UCHAR);
    vips::VImage tagged = image.copy();
    tagged.set(VIPS_META_ORIENTATION, orientation);
    vips::VImage upright = tagged.autorot();
    std::size_t size = 0;
    auto* memory = static_cast<std::uint8_t*>(upright.write_to_memory(&size));
    const std::vector<std::uint8_t> expected(memory, memory + size);
    g_free(memory);

    const GreyPlane turned = oriented(stored, orientation);
    EXPECT_EQ(turned.width, upright.width());
    EXPECT_EQ(turned.height, upright.height());
    EXPECT_EQ(turned.pixels, expected);
  }
}

TEST(GreyPlaneOrientation, ValuesOutsideTheRangeLeaveThePictureAsStored) {
  const GreyPlane stored = numbered(3, 2);
  for (int orientation : {0, 9, -1}) {
    EXPECT_EQ(oriented(stored, orientation).pixels, stored.pixels);
  }
}

TEST(GreyPlaneShrink, AveragesWholeAndCutBlocks) {
  // 5 x 3 by 2: the right column and the bottom row are cut blocks.
  const GreyPlane plane = planeOf(5, 3,
                                  {0, 2, 10, 20, 7,  //
                                   4, 6, 30, 40, 9,  //
                                   100, 101, 200, 201, 255});
  const GreyPlane small = shrinkBy(plane, 2);
  EXPECT_EQ(small.width, 3);
  EXPECT_EQ(small.height, 2);
  EXPECT_EQ(small.pixels, (std::vector<std::uint8_t>{3, 25, 8, 101, 201, 255}));
  EXPECT_EQ(shrinkBy(plane, 1).pixels, plane.pixels);
}

TEST(GreyPlaneThumbnail, TheLongerSideComesDownToTheLimit) {
  struct Case {
    int width, height, thumbWidth, thumbHeight;
  };
  const Case cases[] = {{500, 375, 64, 48}, {375, 500, 48, 64}, {64, 10, 64, 10},
                        {65, 1, 64, 1},     {1000, 3, 64, 1},   {201, 151, 64, 48}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    const GreyPlane thumb = thumbnailOf(
        planeOf(c.width, c.height, std::vector<std::uint8_t>(std::size_t(c.width) * c.height, 90)),
        64);
    EXPECT_EQ(thumb.width, c.thumbWidth);
    EXPECT_EQ(thumb.height, c.thumbHeight);
    ASSERT_EQ(thumb.pixels.size(), std::size_t(c.thumbWidth) * c.thumbHeight);
    for (auto value : thumb.pixels) ASSERT_EQ(value, 90);
  }
}

TEST(GreyPlaneThumbnail, KeepsWhereThingsAre) {
  // A bright square in the top-left quarter of 500 x 375 stays there.
  std::vector<std::uint8_t> pixels(500 * 375, 20);
  for (int y = 0; y < 187; ++y) {
    for (int x = 0; x < 250; ++x) pixels[y * 500 + x] = 220;
  }
  const GreyPlane thumb = thumbnailOf(planeOf(500, 375, pixels), 64);
  EXPECT_GT(thumb.at(30, 22), 200);
  EXPECT_LT(thumb.at(33, 22), 40);
  EXPECT_LT(thumb.at(30, 25), 40);
}

TEST(GreyPlaneStretch, ANineByEightPlaneComesOutUnchanged) {
  // Output and input pixel centres coincide: any half-pixel slip in the
  // filter's placement would blend neighbours.
  std::vector<std::uint8_t> pixels(72);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<std::uint8_t>(i * 37 % 256);
  const auto grid = stretchTo9x8(planeOf(9, 8, pixels));
  EXPECT_EQ(std::vector<std::uint8_t>(grid.begin(), grid.end()), pixels);
}

TEST(GreyPlaneStretch, UniformPlanesStayUniformAtAnySize) {
  const std::pair<int, int> sizes[] = {{1, 1}, {3, 200}, {64, 48}, {200, 3}, {9, 8}};
  for (auto [width, height] : sizes) {
    SCOPED_TRACE(testing::Message() << width << "x" << height);
    const auto grid = stretchTo9x8(
        planeOf(width, height, std::vector<std::uint8_t>(std::size_t(width) * height, 137)));
    for (auto value : grid) EXPECT_EQ(value, 137);
  }
}

TEST(GreyPlaneStretch, AFallingPlaneFallsInEveryRowAfterStretching) {
  for (int width : {6, 64}) {
    SCOPED_TRACE(width);
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < 40; ++y) {
      for (int x = 0; x < width; ++x)
        pixels.push_back(static_cast<std::uint8_t>(250 - 240 * x / width));
    }
    const auto grid = stretchTo9x8(planeOf(width, 40, pixels));
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) EXPECT_GT(grid[y * 9 + x], grid[y * 9 + x + 1]) << y << "," << x;
    }
  }
}

}  // namespace
}  // namespace tallowick
