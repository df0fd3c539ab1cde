#pragma once

// A JPEG decoded straight to a small grey picture, for the perceptual hash.
//
// The decoder can scale a JPEG down by 2, 4 or 8 while decoding, computing
// only the brightness channel and, at 1/8, only one coefficient per block.
// Going through the general image library instead costs about half as much
// again for the same photo (a second header pass, region buffers, colour
// conversion and per-operation set-up), and the perceptual hash of photos
// is most of the processor time of a first scan.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tallowick {

struct JpegGrey {
  // Size of the full picture as its frame header states it.
  int width = 0;
  int height = 0;
  // EXIF orientation, 1 (upright) to 8; 1 when absent or invalid.
  int orientation = 1;
  // The decoded, scaled-down picture: one byte of luma per pixel, rows top
  // to bottom, as stored (the orientation is not applied).
  int scaledWidth = 0;
  int scaledHeight = 0;
  std::vector<std::uint8_t> pixels;
};

// Whether `head` (the first bytes of a file) starts like a JPEG.
bool looksLikeJpeg(std::span<const std::uint8_t> head);

enum class JpegGreyStatus {
  decoded,
  // Not a JPEG this decoder handles as grey (CMYK, arithmetic coding, ...):
  // the caller should try the general image library.
  unsupported,
  // A JPEG that cannot be decoded at all, or claims more than `maxPixels`.
  failed,
};

struct JpegGreyResult {
  JpegGreyStatus status = JpegGreyStatus::failed;
  JpegGrey image;
};

// Decodes the JPEG in `file` (the whole file) at the largest scale-down
// that keeps the longer side at least `minLongerSide` pixels. A truncated
// or damaged stream decodes as far as it goes, the rest grey, as the
// general image library does by default.
// REQUIRES: minLongerSide >= 1.
JpegGreyResult decodeJpegGrey(std::span<const std::uint8_t> file, int minLongerSide,
                              long long maxPixels);

// The largest scale-down the decoder does itself (8, 4 or 2, else 1) that
// leaves the longer side at least `minLongerSide` pixels.
int jpegScaleDownFor(long long width, long long height, int minLongerSide);

// The orientation stored in an APP1 "Exif" segment's payload (starting at
// "Exif\0\0"); 1 when absent, malformed or out of range.
int exifOrientation(std::span<const std::uint8_t> app1);

}  // namespace tallowick
