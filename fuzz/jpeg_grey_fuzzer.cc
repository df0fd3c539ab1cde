// Any file named *.jpg in a scanned folder reaches the DC reader, the grey
// decoder and the EXIF reader. None may crash, read out of bounds or hang;
// what the decoder returns must hold together; and whenever the DC reader
// gives a picture, libjpeg must give the very same one.

#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/media/jpeg_dc.h"
#include "core/media/jpeg_grey.h"

using namespace tallowick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const int orientation = exifOrientation(bytes);
  if (orientation < 1 || orientation > 8) std::abort();

  // A small pixel limit keeps a forged header from asking for gigabytes. A
  // longer side of 8 is enough for the 1/8 scale, so small inputs reach the
  // DC reader.
  constexpr long long kMaxPixels = 4'000'000;
  const JpegGreyResult result = decodeJpegGrey(bytes, 1, kMaxPixels);
  const auto fromDC = decodeJpegLumaDc(bytes, 1, kMaxPixels);
  if (fromDC && result.status == JpegGreyStatus::decoded &&
      (fromDC->pixels != result.image.pixels || fromDC->orientation != result.image.orientation ||
       fromDC->width != result.image.width || fromDC->height != result.image.height)) {
    std::abort();
  }
  if (result.status == JpegGreyStatus::decoded) {
    const JpegGrey& image = result.image;
    if (image.orientation < 1 || image.orientation > 8 || image.scaledWidth <= 0 ||
        image.scaledHeight <= 0 || image.scaledWidth > image.width ||
        image.scaledHeight > image.height ||
        image.pixels.size() != static_cast<std::size_t>(image.scaledWidth) * image.scaledHeight) {
      std::abort();
    }
  }
  return 0;
}
