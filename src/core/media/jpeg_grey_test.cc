#include "core/media/jpeg_grey.h"

#include <vips/vips8>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/media/vips_setup.h"

namespace tallowick {
namespace {

using vips::VImage;
using Bytes = std::vector<std::uint8_t>;

// An APP1 payload: "Exif\0\0", a TIFF header and one IFD of `entries`.
struct Entry {
  std::uint16_t tag, type;
  std::uint32_t count;
  std::uint16_t value;
};

Bytes exifBlock(bool bigEndian, const std::vector<Entry>& entries, std::uint32_t ifdOffset = 8) {
  Bytes out = {'E', 'x', 'i', 'f', 0, 0};
  auto put16 = [&](std::uint16_t v) {
    if (bigEndian) {
      out.push_back(v >> 8), out.push_back(v & 0xFF);
    } else {
      out.push_back(v & 0xFF), out.push_back(v >> 8);
    }
  };
  auto put32 = [&](std::uint32_t v) {
    if (bigEndian) {
      put16(v >> 16), put16(v & 0xFFFF);
    } else {
      put16(v & 0xFFFF), put16(v >> 16);
    }
  };
  out.push_back(bigEndian ? 'M' : 'I');
  out.push_back(bigEndian ? 'M' : 'I');
  put16(42);
  put32(ifdOffset);
  put16(static_cast<std::uint16_t>(entries.size()));
  for (const auto& e : entries) {
    put16(e.tag), put16(e.type), put32(e.count), put16(e.value), put16(0);
  }
  put32(0);
  return out;
}

constexpr std::uint16_t kOrientation = 0x0112;
constexpr std::uint16_t kShort = 3;

TEST(ExifOrientation, ReadsTheTagAndDistrustsEverythingElse) {
  const Entry width{0x0100, 4, 1, 640};
  struct Case {
    const char* name;
    Bytes app1;
    int expected;
  };
  Bytes truncated = exifBlock(false, {width, {kOrientation, kShort, 1, 6}});
  truncated.resize(truncated.size() - 10);
  // Claims 65,281 entries in a few bytes; none of those present is the tag.
  Bytes manyEntries = exifBlock(true, {width});
  manyEntries[6 + 8] = 0xFF;
  Bytes notTiff = exifBlock(false, {{kOrientation, kShort, 1, 6}});
  notTiff[6 + 2] = 43;
  const Case cases[] = {
      {"little-endian", exifBlock(false, {width, {kOrientation, kShort, 1, 6}}), 6},
      {"big-endian", exifBlock(true, {width, {kOrientation, kShort, 1, 8}}), 8},
      {"no orientation entry", exifBlock(false, {width}), 1},
      {"zero", exifBlock(false, {{kOrientation, kShort, 1, 0}}), 1},
      {"nine", exifBlock(true, {{kOrientation, kShort, 1, 9}}), 1},
      {"stored as a long", exifBlock(false, {{kOrientation, 4, 1, 6}}), 1},
      {"two values", exifBlock(false, {{kOrientation, kShort, 2, 6}}), 1},
      {"entry cut off", truncated, 1},
      {"more entries than bytes", manyEntries, 1},
      {"directory beyond the end", exifBlock(false, {{kOrientation, kShort, 1, 6}}, 4000), 1},
      {"directory offset near 2^32", exifBlock(false, {{kOrientation, kShort, 1, 6}}, 0xFFFFFFFF),
       1},
      {"not a TIFF header", notTiff, 1},
      {"XMP, not EXIF", Bytes{'h', 't', 't', 'p', ':', '/', '/'}, 1},
      {"empty", Bytes{}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(exifOrientation(c.app1), c.expected);
  }
}

class JpegGreyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(media::startVips()); }
};

// `image` as a JPEG file's bytes; `suffix` may carry save options.
Bytes jpegOf(const VImage& image, const std::string& suffix = ".jpg") {
  void* data = nullptr;
  std::size_t size = 0;
  image.write_to_buffer(suffix.c_str(), &data, &size);
  Bytes bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
  g_free(data);
  return bytes;
}

JpegGreyResult decode(const Bytes& bytes, long long maxPixels = 1'000'000'000) {
  return decodeJpegGrey(bytes, 64, maxPixels);
}

// Brightness rises to the right and down, so a grey pixel says where it is.
VImage ramp(int width, int height) {
  VImage xy = VImage::xyz(width, height);
  return (xy[0] * (200.0 / width) + xy[1] * (50.0 / height)).cast(VIPS_FORMAT_UCHAR);
}

TEST_F(JpegGreyTest, DecodesAtTheLargestScaleDownThatKeeps64Pixels) {
  struct Case {
    int width, height, scaledWidth, scaledHeight;
    const char* options;
  };
  const Case cases[] = {
      {1600, 1200, 200, 150, ""},             // by 8
      {400, 300, 100, 75, ""},                // by 4
      {130, 20, 65, 10, ""},                  // by 2
      {100, 70, 100, 70, ""},                 // whole
      {1601, 1201, 201, 151, ""},             // sizes round up
      {1600, 1200, 200, 150, "[interlace]"},  // progressive
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << c.options);
    // Colour, as a camera writes it, with brightness only in the ramp.
    VImage grey = ramp(c.width, c.height);
    const JpegGreyResult result =
        decode(jpegOf(VImage::bandjoin({grey, grey, grey})
                          .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)),
                      std::string(".jpg") + c.options));
    ASSERT_EQ(result.status, JpegGreyStatus::decoded);
    EXPECT_EQ(result.image.width, c.width);
    EXPECT_EQ(result.image.height, c.height);
    EXPECT_EQ(result.image.orientation, 1);
    ASSERT_EQ(result.image.scaledWidth, c.scaledWidth);
    ASSERT_EQ(result.image.scaledHeight, c.scaledHeight);
    ASSERT_EQ(result.image.pixels.size(), std::size_t(c.scaledWidth) * c.scaledHeight);
    // The corners keep their brightness: the picture is neither mirrored
    // nor shifted.
    auto at = [&](int x, int y) { return int(result.image.pixels[y * c.scaledWidth + x]); };
    EXPECT_NEAR(at(0, 0), 0, 8);
    EXPECT_NEAR(at(c.scaledWidth - 1, 0), 200, 12);
    EXPECT_NEAR(at(0, c.scaledHeight - 1), 50, 12);
  }
}

TEST_F(JpegGreyTest, ReadsTheOrientationFromTheFile) {
  VImage tagged = ramp(300, 200).copy();
  tagged.set("orientation", 6);
  const JpegGreyResult result = decode(jpegOf(tagged));
  ASSERT_EQ(result.status, JpegGreyStatus::decoded);
  EXPECT_EQ(result.image.orientation, 6);
  // Stored as it was written: the orientation is the caller's to apply.
  EXPECT_EQ(result.image.width, 300);
}

TEST_F(JpegGreyTest, DamagedAndForeignInput) {
  const Bytes whole = jpegOf(ramp(800, 600), ".jpg[Q=95]");
  const Bytes half(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
  const std::string header("\xFF\xD8\xFF\xE0\x00\x10JFIF\0", 11);
  Bytes garbage(header.begin(), header.end());
  garbage.resize(garbage.size() + 500, 0x5A);
  const Bytes cmyk =
      jpegOf(VImage::bandjoin({ramp(200, 100), ramp(200, 100), ramp(200, 100), ramp(200, 100)})
                 .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK)));

  // Cut in half: the top decodes, the rest is filled, nothing fails.
  const JpegGreyResult cut = decode(half);
  ASSERT_EQ(cut.status, JpegGreyStatus::decoded);
  EXPECT_EQ(cut.image.pixels.size(), 100u * 75u);
  EXPECT_NEAR(int(cut.image.pixels[10]), 20, 10);

  EXPECT_EQ(decode(garbage).status, JpegGreyStatus::failed);
  EXPECT_EQ(decode(Bytes{}).status, JpegGreyStatus::failed);
  EXPECT_EQ(decode(cmyk).status, JpegGreyStatus::unsupported);
  // Refused from the header, before any pixel is decoded.
  const JpegGreyResult tooBig = decode(whole, 800 * 600 - 1);
  EXPECT_EQ(tooBig.status, JpegGreyStatus::failed);
  EXPECT_TRUE(tooBig.image.pixels.empty());
}

}  // namespace
}  // namespace tallowick
