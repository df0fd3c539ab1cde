#pragma once
// Reading back the HEIC pictures the thumbnailer writes, for clients that
// show them (the desktop's review window gets them as bytes from the
// server, and Qt has no HEIC reader of its own).
//
// Thread safety: no shared state; call from any thread, several at once.

#include <optional>
#include <string_view>

#include "core/thumbs/thumbnailer.h"

namespace tallowick {

// The primary picture of the HEIC file `bytes` as 8-bit RGB, its
// orientation applied. No value for anything that is not a readable HEIC
// picture, or one that claims more than kMaxImagePixels pixels.
std::optional<Thumbnailer::Image> decodeHEIC(std::string_view bytes);

}  // namespace tallowick
