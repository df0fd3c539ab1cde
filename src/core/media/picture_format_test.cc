#include "core/media/picture_format.h"

#include <fcntl.h>
#include <unistd.h>
#include <vips/vips8>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/media/picture_codec.h"
#include "core/media/picture_hash.h"
#include "core/media/vips_setup.h"

namespace tallowick::media {
namespace {

using vips::VImage;
using namespace std::string_literals;

std::optional<PictureFormat> formatOf(const std::string& head) {
  return pictureFormatOf(
      std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()));
}

TEST(PictureFormat, TellsTheFormatsWeDecodeFromTheirFirstBytes) {
  struct Case {
    std::string name;
    std::string head;
    std::optional<PictureFormat> format;
  };
  const Case cases[] = {
      {"JPEG", "\xFF\xD8\xFF\xE0\0\x10JFIF\0"s, PictureFormat::jpeg},
      {"PNG", "\x89PNG\r\n\x1A\n\0\0\0\x0D"s, PictureFormat::png},
      {"GIF", "GIF89a\x01\0\x01\0"s, PictureFormat::gif},
      {"WebP", "RIFF\x24\0\0\0WEBPVP8 "s, PictureFormat::webp},
      {"TIFF, Intel order", "II*\0\x08\0\0\0"s, PictureFormat::tiff},
      {"TIFF, Motorola order", "MM\0*\0\0\0\x08"s, PictureFormat::tiff},
      {"BigTIFF", "II+\0\x08\0\0\0"s, PictureFormat::tiff},
      {"HEIC",
       "\0\0\0\x18"
       "ftypheic\0\0\0\0"s,
       PictureFormat::heif},
      {"HEIF",
       "\0\0\0\x1C"
       "ftypmif1\0\0\0\0"s,
       PictureFormat::heif},
      {"AVIF",
       "\0\0\0\x20"
       "ftypavif\0\0\0\0"s,
       PictureFormat::heif},
      // Everything else, pictures included, is refused.
      {"MP4 video",
       "\0\0\0\x20"
       "ftypisom\0\0\x02\0"s,
       std::nullopt},
      {"QuickTime video",
       "\0\0\0\x14"
       "ftypqt  "s,
       std::nullopt},
      {"WAVE sound", "RIFF\x24\0\0\0WAVEfmt "s, std::nullopt},
      {"WEBP without RIFF", "RIFX\x24\0\0\0WEBPVP8 "s, std::nullopt},
      {"FITS", "SIMPLE  =                    T"s, std::nullopt},
      {"PPM", "P6\n2 2\n255\n"s, std::nullopt},
      {"PDF", "%PDF-1.7\n%\xE2\xE3"s, std::nullopt},
      {"OpenEXR", "\x76\x2F\x31\x01\x02\0\0\0"s, std::nullopt},
      {"SVG", "<svg xmlns=\"http"s, std::nullopt},
      {"BMP", "BM\x36\0\0\0\0\0"s, std::nullopt},
      {"Photoshop", "8BPS\0\x01\0\0"s, std::nullopt},
      {"Matlab", "MATLAB 5.0 MAT-file"s, std::nullopt},
      {"a matrix", "2 2\n0 1\n1 0\n"s, std::nullopt},
      {"half a JPEG signature", "\xFF"s, std::nullopt},
      {"a cut-off ftyp box",
       "\0\0\0\x18"
       "ftyphe"s,
       std::nullopt},
      {"an empty file", ""s, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(formatOf(c.head), c.format);
  }
}

class PictureFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(startVips());
    dir_ = std::filesystem::temp_directory_path() /
           ("tallowick-pictures-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static VImage picture() {
    VImage xyz = VImage::xyz(48, 32);
    return (xyz[0] * 5).bandjoin(xyz[1] * 7).bandjoin(128).cast(VIPS_FORMAT_UCHAR);
  }

  // HEIC goes through our own encoder on this thread: libvips would encode it
  // on a worker it hands libheif's objects to through locks ThreadSanitizer
  // cannot see.
  void write(const std::string& name) const {
    if (!name.ends_with(".heic")) {
      picture().write_to_file(path(name).c_str());
      return;
    }
    VImage image = picture();
    Thumbnailer::Image pixels{image.width(), image.height(), image.bands(), {}};
    std::size_t size = 0;
    auto* bytes = static_cast<std::uint8_t*>(image.write_to_memory(&size));
    pixels.pixels.assign(bytes, bytes + size);
    g_free(bytes);
    std::optional<std::string> heic = encodeHEIC(pixels, 0.9);
    ASSERT_TRUE(heic.has_value());
    std::ofstream(path(name), std::ios::binary) << *heic;
  }

  static std::optional<PictureHash> hashOf(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<PictureHash> hash = pictureHash(fd);
    ::close(fd);
    return hash;
  }

  std::filesystem::path dir_;
};

TEST_F(PictureFilesTest, EveryFormatWeDecodeGivesAThumbnailAndAHash) {
  const std::vector<std::string> names = {"photo.jpg",  "photo.png", "photo.gif",
                                          "photo.webp", "photo.tif", "photo.heic"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    write(name);
    std::optional<Thumbnailer::Image> thumb = imageThumbnail(path(name), 16);
    ASSERT_TRUE(thumb.has_value());
    EXPECT_EQ(thumb->width, 16);
    std::optional<PictureHash> hash = hashOf(path(name));
    ASSERT_TRUE(hash.has_value());
    EXPECT_EQ(hash->width, 48);
    EXPECT_EQ(hash->height, 32);
  }
}

// Files libvips could read, or would hand to a foreign library to find out,
// under the names that bring them into a scan as pictures.
TEST_F(PictureFilesTest, OtherFormatsAreRefusedBeforeTheImageLibrarySeesThem) {
  std::string fits;
  for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                    8",
                           "NAXIS   =                    2", "NAXIS1  =                    4",
                           "NAXIS2  =                    4", "END"}) {
    fits += std::string(card) + std::string(80 - std::string(card).size(), ' ');
  }
  fits.resize(2880, ' ');
  fits += std::string(2880, '\0');
  const struct {
    std::string name;
    std::string bytes;
  } files[] = {
      {"sky.fits", fits},
      {"grid.mat", "4 4\n0 1 0 1\n1 0 1 0\n0 1 0 1\n1 0 1 0\n"},
      {"table.csv", "0,1,0\n1,0,1\n"},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.name);
    std::ofstream(path(file.name), std::ios::binary) << file.bytes;
    EXPECT_FALSE(imageThumbnail(path(file.name), 16).has_value());
    EXPECT_FALSE(hashOf(path(file.name)).has_value());
  }
  // Formats libvips writes itself.
  for (const std::string name : {"photo.ppm", "photo.v"}) {
    SCOPED_TRACE(name);
    picture().write_to_file(path(name).c_str());
    EXPECT_FALSE(imageThumbnail(path(name), 16).has_value());
    EXPECT_FALSE(hashOf(path(name)).has_value());
  }
}

}  // namespace
}  // namespace tallowick::media
