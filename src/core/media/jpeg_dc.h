#pragma once

// The brightness of a baseline JPEG at an eighth of its size, from the DC
// coefficients alone.
//
// At 1/8 the decoder's output is one pixel per 8 x 8 block, the block's
// mean, and nearly all of its time goes into reading the AC coefficients
// it then throws away. Here each AC code is skipped with one table lookup
// (the code and the bits that follow it, whose value is never needed), at
// about twice libjpeg's speed. The output is byte for byte what libjpeg
// gives at scale 1/8 in grey; anything this reader does not handle in
// exactly the same way (progressive or arithmetic coding, unusual sampling,
// a damaged stream, ...) gives no value, and the caller decodes with
// libjpeg instead.

#include <cstdint>
#include <optional>
#include <span>

#include "core/media/jpeg_grey.h"

namespace tallowick {

// The picture in `file` (a whole JPEG file) as decodeJpegGrey would give it
// at scale 1/8, or no value. No value as well when 1/8 would leave the
// longer side under `minLongerSide`, or the picture claims more than
// `maxPixels`.
std::optional<JpegGrey> decodeJpegLumaDc(std::span<const std::uint8_t> file, int minLongerSide,
                                         long long maxPixels);

}  // namespace tallowick
