#pragma once

// Which picture format a file is, told from its first bytes, and the one
// libvips loader that opens it. libvips, left to pick a loader, asks every
// one it has whether the file is its kind, and some of them answer by
// handing the file to a foreign library (cfitsio for FITS, libmatio,
// OpenSlide) even when that loader is blocked; OpenSlide is asked before
// the JPEG and TIFF loaders, so it would see every photo. So a file that
// does not start like one of the formats we decode never reaches libvips,
// and one that does goes to its own loader only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <vips/vips8>

namespace tallowick::media {

// The formats whose libvips loaders stay unblocked (vips_setup.h).
enum class PictureFormat { jpeg, png, gif, webp, tiff, heif };

// How many first bytes pictureFormatOf() looks at.
inline constexpr std::size_t kPictureHeadBytes = 12;

// The format `head` (a file's first bytes; fewer when the file is shorter)
// starts like, or no value for anything else.
std::optional<PictureFormat> pictureFormatOf(std::span<const std::uint8_t> head);

// The picture in `source` opened with the loader of `format` alone (the
// header only, until pixels are asked for). Throws vips::VError when that
// loader cannot read it.
vips::VImage openPicture(vips::VSource source, PictureFormat format,
                         vips::VOption* options = nullptr);

// pictureFormatOf() for the open file `fd`, read from its start without
// moving its offset. No value when it cannot be read.
std::optional<PictureFormat> pictureFormatOfFile(int fd);

}  // namespace tallowick::media
