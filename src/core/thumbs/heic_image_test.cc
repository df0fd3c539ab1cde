#include "core/thumbs/heic_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tallowick {
namespace {

// A picture of two halves: red on the left, blue on the right.
Thumbnailer::Image halves(int width, int height) {
  Thumbnailer::Image image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = image.pixels.data() + (static_cast<std::size_t>(y) * width + x) * 3;
      pixel[0] = x < width / 2 ? 220 : 20;
      pixel[2] = x < width / 2 ? 20 : 220;
    }
  }
  return image;
}

TEST(HeicImage, ReadsBackWhatTheThumbnailerEncodes) {
  auto bytes = Thumbnailer::encodeHEIC(halves(96, 64), 0.8);
  ASSERT_TRUE(bytes.has_value());
  auto image = decodeHEIC(*bytes);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 96);
  EXPECT_EQ(image->height, 64);
  EXPECT_TRUE(image->isValid());
  const auto at = [&](int x, int y, int channel) {
    return int(image->pixels[(static_cast<std::size_t>(y) * 96 + x) * 3 + channel]);
  };
  EXPECT_NEAR(at(10, 32, 0), 220, 30);
  EXPECT_NEAR(at(10, 32, 2), 20, 30);
  EXPECT_NEAR(at(85, 32, 0), 20, 30);
  EXPECT_NEAR(at(85, 32, 2), 220, 30);
}

TEST(HeicImage, AnythingElseIsNoPicture) {
  auto bytes = Thumbnailer::encodeHEIC(halves(32, 32), 0.6);
  ASSERT_TRUE(bytes.has_value());
  const std::string cases[] = {"", "not a picture at all", bytes->substr(0, bytes->size() / 2),
                               bytes->substr(0, 40)};
  for (const std::string& input : cases) {
    EXPECT_FALSE(decodeHEIC(input).has_value()) << input.size() << " bytes";
  }
}

}  // namespace
}  // namespace tallowick
