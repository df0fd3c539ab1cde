#include "core/media/picture_format.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

namespace tallowick::media {
namespace {

struct Signature {
  std::string_view start;
  PictureFormat format;
};

using namespace std::string_view_literals;

// How each format starts, as its libvips loader checks it.
constexpr std::array kSignatures = {
    Signature{"\xFF\xD8"sv, PictureFormat::jpeg},
    Signature{"\x89PNG\r\n\x1A\n"sv, PictureFormat::png},
    Signature{"GIF8"sv, PictureFormat::gif},
    Signature{"II*\0"sv, PictureFormat::tiff},
    Signature{"MM\0*"sv, PictureFormat::tiff},
    Signature{"II+\0"sv, PictureFormat::tiff},  // BigTIFF
    Signature{"MM\0+"sv, PictureFormat::tiff},
};

// The major brands of an ISO base media file that hold a HEIF or AVIF
// picture; other "ftyp" files (MP4, QuickTime, 3GP) are videos.
constexpr std::array kHeifBrands = {"heic"sv, "heix"sv, "hevc"sv, "hevx"sv, "heim"sv, "heis"sv,
                                    "hevm"sv, "hevs"sv, "mif1"sv, "msf1"sv, "avif"sv, "avis"sv};

bool has(std::string_view head, std::size_t offset, std::string_view bytes) {
  return head.size() >= offset + bytes.size() && head.substr(offset, bytes.size()) == bytes;
}

}  // namespace

std::optional<PictureFormat> pictureFormatOf(std::span<const std::uint8_t> head) {
  const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  for (const Signature& signature : kSignatures) {
    if (text.starts_with(signature.start)) return signature.format;
  }
  // Containers that name their kind a few bytes in.
  if (has(text, 0, "RIFF") && has(text, 8, "WEBP")) return PictureFormat::webp;
  if (has(text, 4, "ftyp") && text.size() >= 12 &&
      std::find(kHeifBrands.begin(), kHeifBrands.end(), text.substr(8, 4)) != kHeifBrands.end()) {
    return PictureFormat::heif;
  }
  return std::nullopt;
}

vips::VImage openPicture(vips::VSource source, PictureFormat format, vips::VOption* options) {
  using Load = vips::VImage (*)(vips::VSource, vips::VOption*);
  // In the order of PictureFormat.
  static constexpr Load kLoaders[] = {
      vips::VImage::jpegload_source, vips::VImage::pngload_source,  vips::VImage::gifload_source,
      vips::VImage::webpload_source, vips::VImage::tiffload_source, vips::VImage::heifload_source,
  };
  return kLoaders[static_cast<int>(format)](std::move(source), options);
}

std::optional<PictureFormat> pictureFormatOfFile(int fd) {
  std::array<std::uint8_t, kPictureHeadBytes> head{};
  ssize_t got;
  do {
    got = ::pread(fd, head.data(), head.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return std::nullopt;
  return pictureFormatOf(std::span(head.data(), static_cast<std::size_t>(got)));
}

}  // namespace tallowick::media
