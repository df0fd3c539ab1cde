#include "core/thumbs/thumbnailer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <vips/vips8>

#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define THUMBS_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define THUMBS_TEST_SANITIZED 1
#endif
#endif

#ifdef THUMBS_TEST_SANITIZED
// From the sanitizers' allocator interface (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using vips::VImage;

struct Rgb {
  int r, g, b;
};

Rgb pixelAt(const Thumbnailer::Image& image, int x, int y) {
  const std::size_t at = (static_cast<std::size_t>(y) * image.width + x) * image.channels;
  return {image.pixels[at], image.pixels[at + 1], image.pixels[at + 2]};
}

bool isRed(Rgb c) { return c.r > 170 && c.g < 90 && c.b < 90; }
bool isBlue(Rgb c) { return c.b > 170 && c.r < 90 && c.g < 90; }
bool isGreen(Rgb c) { return c.g > 100 && c.r < 90 && c.b < 90; }

std::string describe(Rgb c) {
  return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// Left half red, right half blue, as stored in the file.
VImage redLeftBlueRight(int width, int height) {
  VImage red = VImage::black(width / 2, height).new_from_image(std::vector<double>{255, 0, 0});
  VImage blue =
      VImage::black(width - width / 2, height).new_from_image(std::vector<double>{0, 0, 255});
  return red.join(blue, VIPS_DIRECTION_HORIZONTAL)
      .cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

void saveJpeg(VImage image, const std::string& path, int orientation = 0) {
  if (orientation != 0) {
    image = image.copy();
    image.set("orientation", orientation);
  }
  image.jpegsave(path.c_str());
}

// A HEIC written by libheif itself, with the orientation stored as the
// container's rotation boxes rather than EXIF.
void saveRotatedHeic(const VImage& image, const std::string& path, heif_orientation orientation) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  ASSERT_EQ(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code,
            heif_error_Ok);
  heif_encoder_set_lossy_quality(encoder, 80);
  heif_image* heifImage = nullptr;
  heif_image_create(image.width(), image.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                    &heifImage);
  heif_image_add_plane(heifImage, heif_channel_interleaved, image.width(), image.height(), 8);
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(heifImage, heif_channel_interleaved, &stride);
  std::size_t size = 0;
  auto* pixels = static_cast<std::uint8_t*>(image.write_to_memory(&size));
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(plane + y * stride, pixels + y * image.width() * 3, image.width() * 3);
  g_free(pixels);
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = orientation;
  ASSERT_EQ(heif_context_encode_image(context, heifImage, encoder, options, nullptr).code,
            heif_error_Ok);
  ASSERT_EQ(heif_context_write_to_file(context, path.c_str()).code, heif_error_Ok);
  heif_encoding_options_free(options);
  heif_image_release(heifImage);
  heif_encoder_release(encoder);
  heif_context_free(context);
}

std::pair<int, int> heicSize(const std::string& path) {
  VImage image = VImage::new_from_file(path.c_str());
  return {image.width(), image.height()};
}

Thumbnailer::Image loadHeic(const std::string& path) {
  VImage image = VImage::new_from_file(path.c_str()).colourspace(VIPS_INTERPRETATION_sRGB);
  Thumbnailer::Image out;
  out.width = image.width();
  out.height = image.height();
  out.channels = image.bands();
  std::size_t size = 0;
  auto* memory = static_cast<std::uint8_t*>(image.write_to_memory(&size));
  out.pixels.assign(memory, memory + size);
  g_free(memory);
  return out;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool haveFfmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

// Runs the ffmpeg command to make a small H.264 fixture from lavfi sources.
bool makeVideo(const std::string& path, const std::string& source, const std::string& extra = "") {
  const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i \"" +
                              source + "\" -c:v libx264 -preset ultrafast -pix_fmt yuv420p " +
                              extra + " '" + path + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

class ThumbnailerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ensureVipsStarted());
    std::string pattern = (fs::temp_directory_path() / "thumbs-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    storage_ = root_ + "/data/Tallowick";
    thumbsDir_ = storage_ + "/thumbs";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string file(const std::string& name) const { return root_ + "/" + name; }

  Item item(const std::string& path, Kind kind) const {
    Item made;
    made.path = path;
    made.kind = kind;
    return made;
  }

  std::string root_;
  std::string storage_;
  std::string thumbsDir_;
};

TEST_F(ThumbnailerTest, ConstructorCreatesFolderAndSetsDefaults) {
  Thumbnailer thumbnailer(thumbsDir_ + "/");
  EXPECT_TRUE(fs::is_directory(thumbsDir_));
  EXPECT_EQ(thumbnailer.dir(), thumbsDir_);
  EXPECT_EQ(thumbnailer.maxPixel(), 640);
  EXPECT_DOUBLE_EQ(thumbnailer.quality(), 0.6);
}

TEST_F(ThumbnailerTest, ConstructorThrowsWhenFolderCannotBeMade) {
  writeBytes(file("plain"), "x");
  EXPECT_THROW(Thumbnailer(file("plain")), std::system_error);
  EXPECT_THROW(Thumbnailer(file("plain/thumbs")), std::system_error);
}

TEST_F(ThumbnailerTest, FileNamesUseUpperCaseIdsAndSiblingPreviewFolder) {
  Thumbnailer thumbnailer(thumbsDir_);
  Item photo = item(file("a.jpg"), Kind::image);
  photo.id = *Uuid::parse("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
  EXPECT_EQ(thumbnailer.thumbnailPath(photo),
            thumbsDir_ + "/0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.heic");
  EXPECT_EQ(thumbnailer.previewPath(photo, 1024),
            storage_ + "/previews/0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D-1024.heic");
}

TEST_F(ThumbnailerTest, JpegWithOrientationTagComesOutUpright) {
  // Stored landscape with orientation 6 (turn clockwise to view): the viewer
  // sees a portrait picture whose stored left half is on top.
  saveJpeg(redLeftBlueRight(1600, 1200), file("portrait.jpg"), 6);

  auto image = Thumbnailer::imageThumbnail(file("portrait.jpg"), 640);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 480);
  EXPECT_EQ(image->height, 640);
  EXPECT_TRUE(isRed(pixelAt(*image, 240, 40))) << describe(pixelAt(*image, 240, 40));
  EXPECT_TRUE(isBlue(pixelAt(*image, 240, 600))) << describe(pixelAt(*image, 240, 600));

  Thumbnailer thumbnailer(thumbsDir_);
  auto path = thumbnailer.thumbnail(item(file("portrait.jpg"), Kind::image));
  ASSERT_TRUE(path);
  Thumbnailer::Image stored = loadHeic(*path);
  EXPECT_EQ(stored.width, 480);
  EXPECT_EQ(stored.height, 640);
  EXPECT_TRUE(isRed(pixelAt(stored, 240, 40))) << describe(pixelAt(stored, 240, 40));
  EXPECT_TRUE(isBlue(pixelAt(stored, 240, 600))) << describe(pixelAt(stored, 240, 600));
}

TEST_F(ThumbnailerTest, HeicWithContainerRotationIsTurnedExactlyOnce) {
  saveRotatedHeic(redLeftBlueRight(800, 600), file("rotated.heic"), heif_orientation_rotate_90_cw);

  auto image = Thumbnailer::imageThumbnail(file("rotated.heic"), 640);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 480);
  EXPECT_EQ(image->height, 640);
  EXPECT_TRUE(isRed(pixelAt(*image, 240, 40))) << describe(pixelAt(*image, 240, 40));
  EXPECT_TRUE(isBlue(pixelAt(*image, 240, 600))) << describe(pixelAt(*image, 240, 600));
}

TEST_F(ThumbnailerTest, PicturesShrinkToTheLongestSideAndAreNeverEnlarged) {
  struct Case {
    int width, height, maxPixel, wantWidth, wantHeight;
  };
  const Case cases[] = {
      {1600, 1200, 640, 640, 480},  // landscape
      {1200, 1600, 640, 480, 640},  // portrait
      {300, 200, 640, 300, 200},    // smaller than the limit stays as it is
      {640, 640, 640, 640, 640},    // exactly the limit
      {1000, 10, 100, 100, 1},      // a sliver keeps at least one row
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " -> " +
                 std::to_string(c.maxPixel));
    const std::string path =
        file("s" + std::to_string(c.width) + "x" + std::to_string(c.height) + ".png");
    redLeftBlueRight(c.width, c.height).pngsave(path.c_str());
    auto image = Thumbnailer::imageThumbnail(path, c.maxPixel);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, c.wantWidth);
    EXPECT_EQ(image->height, c.wantHeight);
    EXPECT_TRUE(image->isValid());
  }
}

TEST_F(ThumbnailerTest, AlphaAndGreyPicturesBecomeRgbOrRgba) {
  VImage grey = VImage::black(50, 40).new_from_image(std::vector<double>{128});
  grey.pngsave(file("grey.png").c_str());
  VImage withAlpha = redLeftBlueRight(50, 40).bandjoin(
      VImage::black(50, 40).new_from_image(std::vector<double>{100}).cast(VIPS_FORMAT_UCHAR));
  withAlpha.pngsave(file("alpha.png").c_str());

  auto g = Thumbnailer::imageThumbnail(file("grey.png"), 640);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->channels, 3);
  EXPECT_NEAR(pixelAt(*g, 10, 10).r, 128, 2);
  EXPECT_EQ(pixelAt(*g, 10, 10).r, pixelAt(*g, 10, 10).b);

  auto a = Thumbnailer::imageThumbnail(file("alpha.png"), 640);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->channels, 4);
  EXPECT_EQ(a->pixels[3], 100);
  // And it survives the HEIC round trip with its alpha.
  ASSERT_TRUE(Thumbnailer::writeHEIC(*a, file("alpha.heic"), 0.6));
  EXPECT_EQ(VImage::new_from_file(file("alpha.heic").c_str()).bands(), 4);
}

TEST_F(ThumbnailerTest, WriteHeicProducesDecodableFilesAndRejectsBadInput) {
  for (auto [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {3, 5}, {641, 479}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    Thumbnailer::Image image{w, h, 3, std::vector<std::uint8_t>(w * h * 3, 200)};
    const std::string path = file("w" + std::to_string(w) + ".heic");
    ASSERT_TRUE(Thumbnailer::writeHEIC(image, path, 0.6));
    EXPECT_EQ(heicSize(path), std::make_pair(w, h));
  }
  // Higher quality costs bytes: the setting reaches the encoder.
  Thumbnailer::Image noisy{256, 256, 3, {}};
  for (int i = 0; i < 256 * 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i * 2654435761u >> 24);
    noisy.pixels.insert(noisy.pixels.end(), {v, static_cast<std::uint8_t>(v ^ 0x5a), 7});
  }
  auto low = Thumbnailer::encodeHEIC(noisy, 0.1);
  auto high = Thumbnailer::encodeHEIC(noisy, 0.95);
  ASSERT_TRUE(low && high);
  EXPECT_LT(low->size(), high->size());

  Thumbnailer::Image empty;
  Thumbnailer::Image shortBuffer{10, 10, 3, std::vector<std::uint8_t>(10)};
  Thumbnailer::Image twoChannels{2, 2, 2, std::vector<std::uint8_t>(8)};
  for (const auto* bad : {&empty, &shortBuffer, &twoChannels}) {
    EXPECT_FALSE(Thumbnailer::writeHEIC(*bad, file("bad.heic"), 0.6));
    EXPECT_FALSE(fs::exists(file("bad.heic")));
  }
  Thumbnailer::Image fine{2, 2, 3, std::vector<std::uint8_t>(12)};
  EXPECT_FALSE(Thumbnailer::writeHEIC(fine, file("missing-folder/x.heic"), 0.6));
}

// Bytes currently allocated on the heap by this thread's arena (the encoder
// is opened and closed on the calling thread).
std::size_t heapInUse() {
#ifdef THUMBS_TEST_SANITIZED
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

TEST_F(ThumbnailerTest, RepeatedEncodesDoNotGrowTheHeap) {
  // The server encodes thousands of thumbnails in one run; some x265
  // settings lose about 20 KB per 640 x 480 encode, which adds up.
  Thumbnailer::Image image{640, 480, 3, {}};
  image.pixels.resize(640 * 480 * 3);
  for (std::size_t i = 0; i < image.pixels.size(); ++i)
    image.pixels[i] = static_cast<std::uint8_t>((i / 3 % 640 + i / 1920) / 5);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Thumbnailer::encodeHEIC(image, 0.6));
  const std::size_t before = heapInUse();
  constexpr int kEncodes = 40;
  for (int i = 0; i < kEncodes; ++i) ASSERT_TRUE(Thumbnailer::encodeHEIC(image, 0.6));
  const std::size_t after = heapInUse();
  const long long grownPerEncode =
      (static_cast<long long>(after) - static_cast<long long>(before)) / kEncodes;
  EXPECT_LT(grownPerEncode, 8 * 1024) << "heap grows by " << grownPerEncode << " bytes per encode";
}

TEST_F(ThumbnailerTest, OnlyImagesAndVideosGetThumbnailsOrPreviews) {
  saveJpeg(redLeftBlueRight(200, 100), file("real.jpg"));
  Thumbnailer thumbnailer(thumbsDir_);
  for (Kind kind : {Kind::document, Kind::archive, Kind::installer, Kind::other}) {
    SCOPED_TRACE(std::string(EnumNames<Kind>::names[static_cast<int>(kind)]));
    // The file is a fine picture: only the kind keeps it from rendering.
    Item it = item(file("real.jpg"), kind);
    EXPECT_FALSE(thumbnailer.thumbnail(it));
    EXPECT_FALSE(thumbnailer.preview(it, 1024, 0.7));
    EXPECT_FALSE(fs::exists(thumbnailer.thumbnailPath(it)));
    EXPECT_FALSE(fs::exists(thumbnailer.previewPath(it, 1024)));
  }
  EXPECT_TRUE(thumbnailer.thumbnail(item(file("real.jpg"), Kind::image)));
}

TEST_F(ThumbnailerTest, ThumbnailIsReusedOnceWritten) {
  saveJpeg(redLeftBlueRight(800, 600), file("photo.jpg"));
  Thumbnailer thumbnailer(thumbsDir_);
  Item photo = item(file("photo.jpg"), Kind::image);
  auto first = thumbnailer.thumbnail(photo);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, thumbnailer.thumbnailPath(photo));
  EXPECT_EQ(heicSize(*first), std::make_pair(640, 480));
  const auto bytes = readWholeFile(*first);

  // With the source gone a render would fail; the stored file still answers.
  fs::remove(file("photo.jpg"));
  auto second = thumbnailer.thumbnail(photo);
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, *first);
  EXPECT_EQ(readWholeFile(*second), bytes);

  // A fresh id (the next scan) renders afresh, and fails without a source.
  EXPECT_FALSE(thumbnailer.thumbnail(item(file("photo.jpg"), Kind::image)));
}

TEST_F(ThumbnailerTest, PreviewIsCachedByIdAndSize) {
  saveJpeg(redLeftBlueRight(1600, 1200), file("big.jpg"));
  Thumbnailer thumbnailer(thumbsDir_);
  Item photo = item(file("big.jpg"), Kind::image);

  auto first = thumbnailer.preview(photo, 1024, 0.7);
  ASSERT_TRUE(first);
  const std::string stored = thumbnailer.previewPath(photo, 1024);
  EXPECT_EQ(readWholeFile(stored), first);
  EXPECT_EQ(heicSize(stored), std::make_pair(1024, 768));

  // A cache hit is a file read: it works with the source gone.
  fs::remove(file("big.jpg"));
  EXPECT_EQ(thumbnailer.preview(photo, 1024, 0.7), first);
  EXPECT_FALSE(thumbnailer.preview(photo, 512, 0.7));
}

TEST_F(ThumbnailerTest, PreviewSizeIsCappedAndMustBePositive) {
  redLeftBlueRight(5000, 50).pngsave(file("wide.png").c_str());
  Thumbnailer thumbnailer(thumbsDir_);
  Item wide = item(file("wide.png"), Kind::image);

  auto data = thumbnailer.preview(wide, 10000, 0.7);
  ASSERT_TRUE(data);
  EXPECT_TRUE(fs::exists(thumbnailer.previewPath(wide, 4096)));
  EXPECT_FALSE(fs::exists(thumbnailer.previewPath(wide, 10000)));
  EXPECT_EQ(heicSize(thumbnailer.previewPath(wide, 4096)).first, 4096);

  for (int bad : {0, -1, -4096}) EXPECT_FALSE(thumbnailer.preview(wide, bad, 0.7)) << bad;
}

TEST_F(ThumbnailerTest, PreviewStillAnswersWhenItCannotBeStored) {
  saveJpeg(redLeftBlueRight(400, 300), file("photo.jpg"));
  Thumbnailer thumbnailer(thumbsDir_);
  // A plain file where the preview folder should be.
  writeBytes(storage_ + "/previews", "not a folder");
  auto data = thumbnailer.preview(item(file("photo.jpg"), Kind::image), 256, 0.7);
  ASSERT_TRUE(data);
  EXPECT_GT(data->size(), 100u);
}

// An uncompressed 8-bit grey TIFF of `width` x `height`, one row per
// strip, whose pixel data is a hole in a sparse file: a complete, valid
// picture that costs no disk.
void writeSparseTiff(const std::string& path, std::uint32_t width, std::uint32_t height) {
  std::string out("II*\0\x08\0\0\0", 8);
  auto put16 = [&](std::uint16_t v) { out.append({char(v & 0xff), char(v >> 8)}); };
  auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xff));
  };
  constexpr std::uint16_t kShort = 3, kLong = 4;
  const std::uint32_t entries = 9;
  const std::uint32_t offsetsAt = 8 + 2 + entries * 12 + 4;
  const std::uint32_t countsAt = offsetsAt + 4 * height;
  const std::uint32_t dataAt = countsAt + 4 * height;
  auto tag = [&](std::uint16_t id, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
    put16(id);
    put16(type);
    put32(count);
    if (type == kShort && count == 1) {
      put16(static_cast<std::uint16_t>(value));
      put16(0);
    } else {
      put32(value);
    }
  };
  put16(entries);
  tag(256, kLong, 1, width);
  tag(257, kLong, 1, height);
  tag(258, kShort, 1, 8);
  tag(259, kShort, 1, 1);  // no compression
  tag(262, kShort, 1, 1);  // black is zero
  tag(273, kLong, height, offsetsAt);
  tag(277, kShort, 1, 1);
  tag(278, kLong, 1, 1);  // one row per strip
  tag(279, kLong, height, countsAt);
  put32(0);
  for (std::uint32_t row = 0; row < height; ++row) put32(dataAt + row * width);
  for (std::uint32_t row = 0; row < height; ++row) put32(width);
  writeBytes(path, out);
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(dataAt) +
                                         static_cast<off_t>(width) * static_cast<off_t>(height)),
            0);
}

// A PNG whose header claims 50000 x 50000 with a token of pixel data.
std::string hugePngHeader() {
  auto crc = [](const std::string& bytes) {
    std::uint32_t c = 0xffffffffu;
    for (unsigned char b : bytes) {
      c ^= b;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
  };
  auto be32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc(type + data));
  };
  std::string ihdr = be32(50000) + be32(50000) + std::string("\x08\x02\x00\x00\x00", 5);
  std::string idat("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", idat) +
         chunk("IEND", "");
}

TEST_F(ThumbnailerTest, PictureClaimingTooManyPixelsIsRefusedBeforeDecoding) {
  // 50000 x 50000 = 2.5 gigapixels, well over the limit, yet a valid file:
  // only the size check keeps it from being decoded.
  writeSparseTiff(file("huge.tif"), 50000, 50000);
  EXPECT_FALSE(Thumbnailer::imageThumbnail(file("huge.tif"), 640));
  // The same format at a sane size renders, so the refusal is the size.
  writeSparseTiff(file("small.tif"), 300, 200);
  auto small = Thumbnailer::imageThumbnail(file("small.tif"), 640);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->width, 300);
}

TEST_F(ThumbnailerTest, BadPictureFilesGiveNoThumbnail) {
  saveJpeg(redLeftBlueRight(800, 600), file("good.jpg"));
  const std::string good = *readWholeFile(file("good.jpg"));
  writeBytes(file("truncated.jpg"), good.substr(0, good.size() / 2));
  std::string corrupt = good.substr(0, 200) + std::string(good.size() - 200, '\x55');
  writeBytes(file("corrupt.jpg"), corrupt);
  writeBytes(file("empty.jpg"), "");
  writeBytes(file("text.jpg"), "This is not a picture at all.\n");
  writeBytes(file("pdf.jpg"), "%PDF-1.4\n1 0 obj << >> endobj\ntrailer << >>\n%%EOF\n");
  writeBytes(file("huge.png"), hugePngHeader());
  // A loader kept away from untrusted files (a valid 2 x 2 PPM).
  writeBytes(file("ppm.jpg"), std::string("P6\n2 2\n255\n") + std::string(12, '\x7f'));
  fs::create_directory(file("folder.jpg"));
  ASSERT_EQ(::mkfifo(file("fifo.jpg").c_str(), 0600), 0);

  Thumbnailer thumbnailer(thumbsDir_);
  for (const char* name : {"truncated.jpg", "corrupt.jpg", "empty.jpg", "text.jpg", "pdf.jpg",
                           "huge.png", "ppm.jpg", "folder.jpg", "fifo.jpg", "missing.jpg"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Thumbnailer::imageThumbnail(file(name), 640));
    Item it = item(file(name), Kind::image);
    EXPECT_FALSE(thumbnailer.thumbnail(it));
    EXPECT_FALSE(fs::exists(thumbnailer.thumbnailPath(it)));
    EXPECT_FALSE(thumbnailer.preview(it, 1024, 0.7));
  }
  for (int bad : {0, -640}) EXPECT_FALSE(Thumbnailer::imageThumbnail(file("good.jpg"), bad));
}

// Rewrites the transformation matrix in the track header of an MP4 written
// by ffmpeg (version-0 'tkhd') so that players turn the picture clockwise by
// `degrees` (90 or 180); the demuxer reports it as the display matrix.
bool setTrackRotation(const std::string& path, int degrees, int width, int height) {
  std::optional<std::string> bytes = readWholeFile(path);
  if (!bytes) return false;
  const std::size_t at = bytes->find("tkhd");
  if (at == std::string::npos || (*bytes)[at + 4] != 0) return false;
  const std::size_t matrixAt = at + 4 + 4 + 20 + 8 + 8;
  const std::int32_t one = 0x10000;
  std::array<std::int32_t, 9> m{};
  if (degrees == 90) m = {0, one, 0, -one, 0, 0, height * one, 0, 0x40000000};
  if (degrees == 180) m = {-one, 0, 0, 0, -one, 0, width * one, height * one, 0x40000000};
  for (int i = 0; i < 9; ++i)
    for (int b = 0; b < 4; ++b)
      (*bytes)[matrixAt + 4 * i + b] =
          static_cast<char>((static_cast<std::uint32_t>(m[i]) >> (24 - 8 * b)) & 0xff);
  return writeFileAtomically(path, *bytes);
}

class VideoTest : public ThumbnailerTest {
 protected:
  void SetUp() override {
    ThumbnailerTest::SetUp();
    if (!haveFfmpeg()) GTEST_SKIP() << "the ffmpeg command is not installed; no video fixtures";
  }
};

// Red until 1 s, blue from 1.0 s to 1.4 s, green after: the frame at 1 s is
// blue, the first frame red and the last green.
const char* kColourTimeline =
    "color=c=red:s=320x240:d=2:r=25,"
    "drawbox=x=0:y=0:w=iw:h=ih:color=blue:t=fill:enable='between(t,1,1.4)',"
    "drawbox=x=0:y=0:w=iw:h=ih:color=green:t=fill:enable='gte(t,1.44)'";

TEST_F(VideoTest, FrameIsTakenAtOneSecond) {
  ASSERT_TRUE(makeVideo(file("clip.mp4"), kColourTimeline));
  auto frame = Thumbnailer::videoFrame(file("clip.mp4"), 640);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 320);
  EXPECT_EQ(frame->height, 240);
  EXPECT_TRUE(isBlue(pixelAt(*frame, 160, 120))) << describe(pixelAt(*frame, 160, 120));

  auto small = Thumbnailer::videoFrame(file("clip.mp4"), 100);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->width, 100);
  EXPECT_EQ(small->height, 75);

  Thumbnailer thumbnailer(thumbsDir_);
  auto path = thumbnailer.thumbnail(item(file("clip.mp4"), Kind::video));
  ASSERT_TRUE(path);
  EXPECT_EQ(heicSize(*path), std::make_pair(320, 240));
  auto preview = thumbnailer.preview(item(file("clip.mp4"), Kind::video), 160, 0.7);
  ASSERT_TRUE(preview);
}

TEST_F(VideoTest, VideoShorterThanOneSecondGivesItsLastFrame) {
  ASSERT_TRUE(makeVideo(file("short.mp4"),
                        "color=c=red:s=160x120:d=0.5:r=25,"
                        "drawbox=x=0:y=0:w=iw:h=ih:color=green:t=fill:enable='gte(t,0.4)'"));
  auto frame = Thumbnailer::videoFrame(file("short.mp4"), 640);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(isGreen(pixelAt(*frame, 80, 60))) << describe(pixelAt(*frame, 80, 60));
}

TEST_F(VideoTest, DisplayRotationIsApplied) {
  // Stored landscape, left red and right blue, tagged to be shown turned a
  // quarter clockwise: upright it is portrait with red on top.
  const std::string source =
      "color=c=red:s=320x240:d=2:r=25,"
      "drawbox=x=160:y=0:w=160:h=240:color=blue:t=fill";
  ASSERT_TRUE(makeVideo(file("rotated.mp4"), source));
  ASSERT_TRUE(setTrackRotation(file("rotated.mp4"), 90, 320, 240));
  auto frame = Thumbnailer::videoFrame(file("rotated.mp4"), 640);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 240);
  EXPECT_EQ(frame->height, 320);
  EXPECT_TRUE(isRed(pixelAt(*frame, 120, 20))) << describe(pixelAt(*frame, 120, 20));
  EXPECT_TRUE(isBlue(pixelAt(*frame, 120, 300))) << describe(pixelAt(*frame, 120, 300));

  ASSERT_TRUE(makeVideo(file("upside.mp4"), source));
  ASSERT_TRUE(setTrackRotation(file("upside.mp4"), 180, 320, 240));
  auto upside = Thumbnailer::videoFrame(file("upside.mp4"), 640);
  ASSERT_TRUE(upside);
  EXPECT_EQ(upside->width, 320);
  EXPECT_TRUE(isBlue(pixelAt(*upside, 20, 120))) << describe(pixelAt(*upside, 20, 120));
  EXPECT_TRUE(isRed(pixelAt(*upside, 300, 120))) << describe(pixelAt(*upside, 300, 120));
}

TEST_F(VideoTest, BadVideoFilesGiveNoFrame) {
  ASSERT_TRUE(makeVideo(file("clip.mp4"), kColourTimeline));
  const std::string good = *readWholeFile(file("clip.mp4"));
  writeBytes(file("truncated.mp4"), good.substr(0, good.size() / 2));
  writeBytes(file("empty.mp4"), "");
  writeBytes(file("text.mp4"), "Definitely not a movie.\n");
  saveJpeg(redLeftBlueRight(64, 64), file("picture.mp4"));
  // A list that would make the demuxer open another file: a playable one.
  writeBytes(file("list.mp4"), "ffconcat version 1.0\nfile 'clip.mp4'\n");
  writeBytes(file("playlist.mp4"),
             "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nclip.mp4\n#EXT-X-ENDLIST\n");
  fs::create_directory(file("folder.mp4"));
  ASSERT_EQ(::mkfifo(file("fifo.mp4").c_str(), 0600), 0);

  Thumbnailer thumbnailer(thumbsDir_);
  for (const char* name : {"truncated.mp4", "empty.mp4", "text.mp4", "picture.mp4", "list.mp4",
                           "playlist.mp4", "folder.mp4", "fifo.mp4", "missing.mp4"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Thumbnailer::videoFrame(file(name), 640));
    EXPECT_FALSE(thumbnailer.thumbnail(item(file(name), Kind::video)));
  }
  EXPECT_FALSE(Thumbnailer::videoFrame(file("clip.mp4"), 0));
}

TEST_F(ThumbnailerTest, ManyThreadsRenderAtOnce) {
  saveJpeg(redLeftBlueRight(1200, 900), file("a.jpg"), 6);
  redLeftBlueRight(700, 500).pngsave(file("b.png").c_str());
  const bool videos = haveFfmpeg() && makeVideo(file("clip.mp4"), kColourTimeline);
  Thumbnailer thumbnailer(thumbsDir_);

  // Items shared between threads race for the same target file; every
  // thread also renders items of its own.
  std::vector<Item> shared = {item(file("a.jpg"), Kind::image), item(file("b.png"), Kind::image)};
  if (videos) shared.push_back(item(file("clip.mp4"), Kind::video));
  constexpr int kThreads = 6;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> written(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2; ++round) {
        for (const Item& it : shared) {
          Item own = it;
          own.id = Uuid::random();
          for (const Item* x : std::array<const Item*, 2>{&it, &own}) {
            auto path = thumbnailer.thumbnail(*x);
            if (!path)
              ++failures;
            else
              written[t].push_back(*path);
          }
          if (!thumbnailer.preview(it, 320, 0.7)) ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (const auto& paths : written) {
    for (const auto& path : paths) {
      auto [w, h] = heicSize(path);
      EXPECT_LE(std::max(w, h), 640) << path;
      EXPECT_GT(std::min(w, h), 0) << path;
    }
  }
  // No temporary files are left behind by the racing writers.
  for (const auto& entry : fs::directory_iterator(thumbsDir_))
    EXPECT_EQ(entry.path().extension(), ".heic") << entry.path();
}

}  // namespace
}  // namespace tallowick
