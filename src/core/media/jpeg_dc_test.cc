#include "core/media/jpeg_dc.h"

#include <vips/vips8>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/media/jpeg_grey.h"
#include "core/media/vips_setup.h"

namespace tallowick {
namespace {

using vips::VImage;
using Bytes = std::vector<std::uint8_t>;

constexpr long long kNoLimit = 1'000'000'000;

Bytes encode(const VImage& image, vips::VOption* options) {
  VipsBlob* blob = image.jpegsave_buffer(options);
  std::size_t size = 0;
  const auto* data = static_cast<const std::uint8_t*>(vips_blob_get(blob, &size));
  Bytes bytes(data, data + size);
  vips_area_unref(VIPS_AREA(blob));
  return bytes;
}

// What libjpeg itself gives for `bytes` at the scale the hash asks for.
JpegGreyResult throughLibjpeg(const Bytes& bytes) { return decodeJpegGrey(bytes, 64, kNoLimit); }

// Colour detail at every scale, so that codes of every length, long runs
// of zeros and large magnitudes all occur.
VImage busyPicture(int width, int height, double noise) {
  VImage xy = VImage::xyz(width, height);
  VImage base = (xy[0] * (180.0 / width) + xy[1] * (60.0 / height));
  VImage grain = VImage::gaussnoise(width, height, VImage::option()->set("sigma", noise));
  VImage y = (base + grain - 128).cast(VIPS_FORMAT_UCHAR);
  VImage other = (xy[1] * (255.0 / height)).cast(VIPS_FORMAT_UCHAR);
  return VImage::bandjoin({y, other, (y + other) / 2})
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

class JpegDcTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(media::startVips()); }
};

TEST_F(JpegDcTest, GivesLibjpegsPictureByteForByte) {
  const VImage busy = busyPicture(1603, 1201, 40);
  VImage grey =
      busy.extract_band(0).copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
  VImage turned = busyPicture(800, 600, 10).copy();
  turned.set("orientation", 6);
  struct Case {
    const char* name;
    VImage image;
    vips::VOption* options;
  };
  const Case cases[] = {
      {"4:2:0 at quality 75", busy,
       VImage::option()->set("Q", 75)->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON)},
      {"4:4:4 at quality 95", busy,
       VImage::option()->set("Q", 95)->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_OFF)},
      {"quality 100", busy, VImage::option()->set("Q", 100)},
      {"quality 2", busy, VImage::option()->set("Q", 2)},
      {"grey", grey, VImage::option()->set("Q", 90)},
      {"restart markers, interleaved", busy,
       VImage::option()->set("Q", 85)->set("restart_interval", 7)},
      {"restart markers, grey", grey, VImage::option()->set("Q", 85)->set("restart_interval", 3)},
      {"optimised Huffman tables", busy,
       VImage::option()->set("Q", 90)->set("optimize_coding", true)},
      {"smooth, orientation 6", turned, VImage::option()->set("Q", 80)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = encode(c.image, c.options);
    const auto fromDC = decodeJpegLumaDc(bytes, 64, kNoLimit);
    const JpegGreyResult reference = throughLibjpeg(bytes);
    ASSERT_EQ(reference.status, JpegGreyStatus::decoded);
    ASSERT_TRUE(fromDC.has_value());
    EXPECT_EQ(fromDC->width, reference.image.width);
    EXPECT_EQ(fromDC->height, reference.image.height);
    EXPECT_EQ(fromDC->orientation, reference.image.orientation);
    EXPECT_EQ(fromDC->scaledWidth, reference.image.scaledWidth);
    EXPECT_EQ(fromDC->scaledHeight, reference.image.scaledHeight);
    EXPECT_TRUE(fromDC->pixels == reference.image.pixels);
  }
}

TEST_F(JpegDcTest, LeavesToLibjpegWhatItCannotMatch) {
  const VImage busy = busyPicture(1024, 768, 30);
  const Bytes plain = encode(busy, VImage::option()->set("Q", 80));
  Bytes cut(plain.begin(), plain.begin() + static_cast<long>(plain.size() / 2));
  Bytes badCode = plain;
  // Ones from the middle on: sooner or later no code matches.
  std::fill(badCode.begin() + static_cast<long>(plain.size() / 2), badCode.end() - 2, 0xFE);
  // The first Huffman table with three codes of one bit, where only two
  // fit, taken from its three-bit codes so the symbol count stays right.
  Bytes overfull = plain;
  for (std::size_t i = 0; i + 21 < overfull.size(); ++i) {
    if (overfull[i] == 0xFF && overfull[i + 1] == 0xC4) {
      std::uint8_t* counts = &overfull[i + 5];
      ASSERT_EQ(counts[0], 0);
      ASSERT_GE(counts[2], 3);
      counts[0] = 3;
      counts[2] -= 3;
      break;
    }
  }
  struct Case {
    const char* name;
    Bytes bytes;
    int minLongerSide;
    long long maxPixels;
  };
  const Case cases[] = {
      {"more codes than their lengths allow", overfull, 64, kNoLimit},
      {"progressive", encode(busy, VImage::option()->set("interlace", true)), 64, kNoLimit},
      {"cut in half", cut, 64, kNoLimit},
      {"no code matches", badCode, 64, kNoLimit},
      {"CMYK",
       encode(VImage::bandjoin({busy, busy.extract_band(0)})
                  .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK)),
              VImage::option()),
       64, kNoLimit},
      {"an eighth is too small", plain, 129, kNoLimit},
      {"more pixels than allowed", plain, 64, 1024LL * 768 - 1},
      {"not a JPEG", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}, 64, kNoLimit},
      {"only the start marker", Bytes{0xFF, 0xD8, 0xFF}, 64, kNoLimit},
      {"empty", Bytes{}, 64, kNoLimit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeJpegLumaDc(c.bytes, c.minLongerSide, c.maxPixels), std::nullopt);
  }
  // libjpeg still makes something of the cut file.
  EXPECT_EQ(throughLibjpeg(cut).status, JpegGreyStatus::decoded);
}

}  // namespace
}  // namespace tallowick
