#include "core/scan/hashing.h"
#include "shared/file_util.h"

#include <fcntl.h>
#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/sha.h>
#include <vips/vips8>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "core/thumbs/vips_runtime.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using vips::VImage;

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

class HashingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ensureVipsStarted());
    std::string pattern = (fs::temp_directory_path() / "hashing_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  fs::path dir_;
};

std::string hexOf(const unsigned char* digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0xF]);
  }
  return out;
}

std::string oneShotSha256(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return hexOf(digest);
}

TEST_F(HashingTest, Sha256MatchesKnownDigestsAcrossChunkBoundaries) {
  std::string patterned;
  for (std::size_t i = 0; i < 3 * Hashing::kReadChunk + 5; ++i) {
    patterned.push_back(static_cast<char>(i * 131 % 251));
  }
  struct Case {
    const char* name;
    std::string content;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"one chunk", patterned.substr(0, Hashing::kReadChunk), ""},
      {"one chunk and a byte", patterned.substr(0, Hashing::kReadChunk + 1), ""},
      {"one byte short", patterned.substr(0, Hashing::kReadChunk - 1), ""},
      {"three chunks and five", patterned, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = c.expected.empty() ? oneShotSha256(c.content) : c.expected;
    const std::string path = write("f", c.content);
    EXPECT_EQ(Hashing::sha256(path), expected);
  }
}

TEST_F(HashingTest, Sha256ThrowsForWhatIsNotARegularReadableFile) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO must be refused, not waited on.
  EXPECT_THROW(Hashing::sha256(fifo), std::system_error);
  EXPECT_THROW(Hashing::sha256((dir_ / "missing").string()), std::system_error);
  EXPECT_THROW(Hashing::sha256(dir_.string()), std::system_error);
}

Hashing::FileStamp stampOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return {st.st_size, dateFromFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)};
}

TEST_F(HashingTest, StampedHashIsDroppedWhenTheFileChangedSinceTheWalk) {
  const std::string path = write("f", "hello");
  const auto stamp = stampOf(path);
  EXPECT_EQ(Hashing::sha256(path, stamp), oneShotSha256("hello"));

  auto bigger = stamp;
  bigger.size += 1;
  EXPECT_EQ(Hashing::sha256(path, bigger), std::nullopt);
  auto older = stamp;
  older.modifiedAt -= Date::duration(1);  // the smallest step a date takes
  EXPECT_EQ(Hashing::sha256(path, older), std::nullopt);

  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(Hashing::sha256(path, stamp), std::nullopt);

  // A link standing where the file was is not followed.
  const std::string target = write("target", "hello");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_EQ(Hashing::sha256(path, stampOf(target)), std::nullopt);
}

// Files of one size hashed side by side must get exactly the digests they
// get alone, however their contents part: at the first byte, in a later
// chunk, in the last byte, or never.
TEST_F(HashingTest, DigestsTakenSideBySideEqualDigestsTakenAlone) {
  constexpr std::size_t kSize = 2 * Hashing::kReadChunk + 1;
  auto content = [](char fill, std::size_t at = std::string::npos, char mark = 0) {
    std::string bytes(kSize, fill);
    if (at != std::string::npos) bytes[at] = mark;
    return bytes;
  };
  const std::string a = content('a');
  const std::string laterChunk = content('a', Hashing::kReadChunk + 7, 'x');
  const std::string lastByte = content('a', kSize - 1, 'z');
  const std::string firstByte = content('a', 0, 'q');
  struct File {
    std::string bytes;
    // The walk saw it one byte longer: it changed since.
    bool stale = false;
  };
  struct Case {
    const char* name;
    std::vector<File> files;
  };
  const std::vector<Case> cases = {
      {"one file", {{a}}},
      {"three copies", {{a}, {a}, {a}}},
      {"apart from the first byte", {{a}, {firstByte}}},
      {"apart in a later chunk, two pairs", {{a}, {laterChunk}, {a}, {laterChunk}}},
      {"apart in the last byte", {{lastByte}, {a}, {a}}},
      {"every way at once", {{a}, {firstByte}, {laterChunk}, {lastByte}, {a}}},
      {"empty files", {{""}, {""}}},
      {"a changed copy among copies", {{a}, {a, true}, {a}}},
      {"more copies than are read side by side",
       std::vector<File>(20, File{std::string(1000, 'c')})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> paths;
    std::vector<Hashing::FileStamp> stamps;
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      paths.push_back(write("same-size-" + std::to_string(i), c.files[i].bytes));
      stamps.push_back(stampOf(paths.back()));
      if (c.files[i].stale) stamps.back().size += 1;
    }
    const auto digests = Hashing::sha256Together(paths, stamps);
    ASSERT_EQ(digests.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      SCOPED_TRACE(i);
      if (c.files[i].stale) {
        EXPECT_EQ(digests[i], std::nullopt);
      } else {
        EXPECT_EQ(digests[i], oneShotSha256(c.files[i].bytes));
      }
    }
  }
  // A file gone since the walk has no digest; the others still do.
  const std::string kept = write("kept", "same");
  const std::string gone = write("gone", "same");
  const std::vector<Hashing::FileStamp> stamps = {stampOf(kept), stampOf(gone)};
  ASSERT_EQ(unlink(gone.c_str()), 0);
  const auto digests = Hashing::sha256Together({kept, gone}, stamps);
  EXPECT_EQ(digests[0], oneShotSha256("same"));
  EXPECT_EQ(digests[1], std::nullopt);
}

// A grey image whose brightness at (x, y) is `shade(x, y)`.
template <class Shade>
VImage drawGrey(int width, int height, Shade shade) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels[y * width + x] = shade(x, y);
  }
  VImage image(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, 1,
                                               VIPS_FORMAT_UCHAR));
  return image.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
}

VImage fallingLeftToRight(int width, int height) {
  return drawGrey(width, height,
                  [width](int x, int) { return static_cast<std::uint8_t>(255 - 255 * x / width); });
}

TEST_F(HashingTest, PerceptualHashFollowsTheBrightnessOfNeighbours) {
  struct Case {
    const char* name;
    VImage image;
    const char* format;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"uniform grey png", drawGrey(120, 80, [](int, int) { return 128; }), ".png", 0},
      {"uniform grey jpeg", drawGrey(120, 80, [](int, int) { return 77; }), ".jpg", 0},
      {"falling png", fallingLeftToRight(300, 200), ".png", kAllOnes},
      {"falling jpeg", fallingLeftToRight(300, 200), ".jpg", kAllOnes},
      {"rising png",
       drawGrey(300, 200, [](int x, int) { return static_cast<std::uint8_t>(255 * x / 300); }),
       ".png", 0},
      {"falling colour png",
       VImage::bandjoin(
           {fallingLeftToRight(90, 60), fallingLeftToRight(90, 60), fallingLeftToRight(90, 60)})
           .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)),
       ".png", kAllOnes},
      {"falling grey png with opaque alpha",
       fallingLeftToRight(90, 60).bandjoin(drawGrey(90, 60, [](int, int) { return 255; })), ".png",
       kAllOnes},
      // Large enough for the decoder to shrink it by 8 while decoding.
      {"falling large jpeg", fallingLeftToRight(1600, 1200), ".jpg", kAllOnes},
      {"rising large png",
       drawGrey(1600, 1200, [](int x, int) { return static_cast<std::uint8_t>(255 * x / 1600); }),
       ".png", 0},
      {"falling, smaller than the grid", fallingLeftToRight(6, 4), ".png", kAllOnes},
      // Ink rising from left to right: the image library converts it.
      {"falling cmyk jpeg",
       VImage::bandjoin(
           {drawGrey(400, 300, [](int, int) { return 0; }),
            drawGrey(400, 300, [](int, int) { return 0; }),
            drawGrey(400, 300, [](int, int) { return 0; }),
            drawGrey(400, 300,
                     [](int x, int) { return static_cast<std::uint8_t>(255 * x / 400); })})
           .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK)),
       ".jpg", kAllOnes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir_ / (std::string("image") + c.format)).string();
    c.image.write_to_file(path.c_str());
    auto result = Hashing::perceptual(path);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->phash, c.expected);
    EXPECT_EQ(result->width, c.image.width());
    EXPECT_EQ(result->height, c.image.height());
  }
}

// JPEG is decoded by its own route; every other format by the image
// library's. The same picture must hash nearly alike through both.
TEST_F(HashingTest, AJpegHashesAsTheSamePictureInAnotherFormat) {
  for (int seed : {1, 2, 3, 4, 5, 6, 7, 8}) {
    SCOPED_TRACE(seed);
    // Blobs of light and shade at a photo's size.
    VImage picture =
        ((VImage::gaussnoise(40, 30, VImage::option()->set("seed", seed)) - 128) * 2 + 128)
            .resize(100, VImage::option()->set("kernel", VIPS_KERNEL_CUBIC))
            .cast(VIPS_FORMAT_UCHAR);
    picture = VImage::bandjoin({picture, picture, picture})
                  .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    const std::string jpeg = (dir_ / "photo.jpg").string();
    const std::string png = (dir_ / "photo.png").string();
    picture.write_to_file(jpeg.c_str(), VImage::option()->set("Q", 90));
    picture.write_to_file(png.c_str());
    auto fromJpeg = Hashing::perceptual(jpeg);
    auto fromPng = Hashing::perceptual(png);
    ASSERT_TRUE(fromJpeg && fromPng);
    EXPECT_EQ(fromJpeg->width, 4000);
    EXPECT_LE(Hashing::distance(fromJpeg->phash, fromPng->phash), 2);
  }
}

TEST_F(HashingTest, TopRowDecidesTheHighBits) {
  // Only the top eighth falls from left to right; the rest is flat.
  VImage image = drawGrey(
      90, 80, [](int x, int y) { return static_cast<std::uint8_t>(y < 10 ? 250 - 2 * x : 100); });
  const std::string path = (dir_ / "top.png").string();
  image.write_to_file(path.c_str());
  auto result = Hashing::perceptual(path);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->phash >> 56, 0xFFu);
  // The resampler may bleed into the next row, never into the bottom half.
  EXPECT_EQ(result->phash & 0xFFFFFFFFull, 0u);
}

TEST_F(HashingTest, PerceptualIsAbsentForWhatIsNotAnImage) {
  EXPECT_EQ(Hashing::perceptual(write("notes.png", "just some text, not a picture")), std::nullopt);
  EXPECT_EQ(Hashing::perceptual(write("empty.jpg", "")), std::nullopt);
  EXPECT_EQ(Hashing::perceptual((dir_ / "missing.png").string()), std::nullopt);
  const std::string fifo = (dir_ / "fifo.png").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Hashing::perceptual(fifo), std::nullopt);
}

TEST_F(HashingTest, PerceptualRefusesImagesThatClaimTooManyPixels) {
  // A flat 1-bit PNG: tiny on disk, but its header claims more than the limit.
  VImage huge = VImage::black(20000, 12000);
  const std::string path = (dir_ / "huge.png").string();
  huge.write_to_file(path.c_str(), VImage::option()->set("bitdepth", 1)->set("compression", 9));
  ASSERT_GT(20000LL * 12000, kMaxImagePixels);
  EXPECT_EQ(Hashing::perceptual(path), std::nullopt);
}

TEST_F(HashingTest, StampedPerceptualIsDroppedWhenTheFileChanged) {
  const std::string path = (dir_ / "falling.png").string();
  fallingLeftToRight(90, 60).write_to_file(path.c_str());
  auto stamp = stampOf(path);
  ASSERT_TRUE(Hashing::perceptual(path, stamp).has_value());
  stamp.size -= 1;
  EXPECT_EQ(Hashing::perceptual(path, stamp), std::nullopt);
}

// The displayed picture falls from left to right. Stored turned a quarter
// left, with orientation 6 ("turn right to display"), it must hash the same
// as the upright picture; read without the orientation it would be a
// vertical gradient and hash to nearly nothing.
VImage uprightPicture() { return fallingLeftToRight(160, 120); }
VImage storedForOrientation6() { return uprightPicture().rot270(); }

// An EXIF block saying orientation 6, as libvips writes it for `image`.
std::vector<std::uint8_t> exifWithOrientation6(const VImage& image) {
  VImage tagged = image.copy();
  tagged.set("orientation", 6);
  void* jpeg = nullptr;
  std::size_t jpegSize = 0;
  tagged.write_to_buffer(".jpg", &jpeg, &jpegSize);
  VImage reread = VImage::new_from_buffer(jpeg, jpegSize, "");
  std::size_t exifSize = 0;
  const auto* exif = static_cast<const std::uint8_t*>(reread.get_blob("exif-data", &exifSize));
  std::vector<std::uint8_t> block(exif, exif + exifSize);
  g_free(jpeg);
  return block;
}

// `image` tagged with orientation 6, also in an EXIF block, which is what
// PNG keeps.
VImage withOrientation6(VImage image) {
  const std::vector<std::uint8_t> exif = exifWithOrientation6(image);
  VImage result = image.copy();
  result.set("orientation", 6);
  vips_image_set_blob_copy(result.get_image(), "exif-data", exif.data(), exif.size());
  return result;
}

TEST_F(HashingTest, ExifOrientationHashesAsDisplayed) {
  // Small and large JPEGs take different decoder scales; PNG is decoded
  // whole. Each must come out upright before it is hashed.
  struct Case {
    const char* name;
    int scale;
    const char* format;
  };
  const std::vector<Case> cases = {
      {"jpeg", 1, ".jpg"}, {"jpeg shrunk by 8 in the decoder", 10, ".jpg"}, {"png", 1, ".png"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir_ / (std::string("rotated") + c.format)).string();
    VImage stored = withOrientation6(storedForOrientation6().resize(c.scale));
    stored.write_to_file(path.c_str());
    // The tag really is in the file.
    ASSERT_EQ(VImage::new_from_file(path.c_str()).get_int("orientation"), 6);

    auto result = Hashing::perceptual(path);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->phash, kAllOnes);
    // The pixel size is the stored one, as the header states it.
    EXPECT_EQ(result->width, 120 * c.scale);
    EXPECT_EQ(result->height, 160 * c.scale);
  }
}

// Writes `stored` as HEIC; with `rotateInContainer` the container says to
// turn it a quarter right for display, and with `exifOrientation` an EXIF
// block says the same again (cameras write both).
bool writeHeic(const std::string& path, VImage stored, bool rotateInContainer,
               bool exifOrientation) {
  heif_context* ctx = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  if (heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code !=
      heif_error_Ok) {
    heif_context_free(ctx);
    return false;
  }
  heif_encoder_set_lossy_quality(encoder, 90);
  VImage rgb = stored.colourspace(VIPS_INTERPRETATION_sRGB);
  const int width = rgb.width();
  const int height = rgb.height();
  heif_image* image = nullptr;
  heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, width, height, 8);
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  std::size_t size = 0;
  void* pixels = rgb.write_to_memory(&size);
  for (int y = 0; y < height; ++y) {
    std::memcpy(plane + y * stride, static_cast<std::uint8_t*>(pixels) + y * width * 3, width * 3);
  }
  g_free(pixels);

  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation =
      rotateInContainer ? heif_orientation_rotate_90_cw : heif_orientation_normal;
  heif_image_handle* handle = nullptr;
  bool ok = heif_context_encode_image(ctx, image, encoder, options, &handle).code == heif_error_Ok;
  if (ok && exifOrientation) {
    const std::vector<std::uint8_t> exif = exifWithOrientation6(stored);
    ok = heif_context_add_exif_metadata(ctx, handle, exif.data(), static_cast<int>(exif.size()))
             .code == heif_error_Ok;
  }
  if (ok) ok = heif_context_write_to_file(ctx, path.c_str()).code == heif_error_Ok;
  if (handle) heif_image_handle_release(handle);
  heif_encoding_options_free(options);
  heif_image_release(image);
  heif_encoder_release(encoder);
  heif_context_free(ctx);
  return ok;
}

TEST_F(HashingTest, HeicRotatedInItsContainerHashesAsDisplayed) {
  struct Case {
    const char* name;
    VImage stored;
    bool container;
    bool exif;
  };
  const std::vector<Case> cases = {
      {"upright, no rotation", uprightPicture(), false, false},
      {"rotation in the container", storedForOrientation6(), true, false},
      {"rotation in the container and in EXIF", storedForOrientation6(), true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir_ / "photo.heic").string();
    if (!writeHeic(path, c.stored, c.container, c.exif)) {
      GTEST_SKIP() << "libheif here cannot write HEIC";
    }
    auto result = Hashing::perceptual(path);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->phash, kAllOnes);
  }
}

TEST(HashingDistance, CountsDifferingBits) {
  struct Case {
    std::uint64_t a, b;
    int expected;
  };
  const Case cases[] = {
      {0, 0, 0},           {kAllOnes, kAllOnes, 0},        {0, kAllOnes, 64},
      {0b1011, 0b0110, 3}, {std::uint64_t{1} << 63, 1, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hashing::distance(c.a, c.b), c.expected);
    EXPECT_EQ(Hashing::distance(c.b, c.a), c.expected);
  }
}

}  // namespace
}  // namespace tallowick
