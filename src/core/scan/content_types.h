#pragma once

// File kinds from the shared-mime-info database, by file name only: the walk
// never reads a file to classify it.

#include <optional>
#include <string>
#include <string_view>

#include "shared/report.h"

namespace tallowick {

// The content type the desktop guesses from `fileName` alone (for example
// "image/png"), or no value when the name says nothing (the guess is the
// generic "application/octet-stream").
std::optional<std::string> contentTypeForName(std::string_view fileName);

// True when `contentType` is `base` or a subtype of it; `base` may be a
// whole media type such as "image/*".
bool contentTypeConformsTo(const std::string& contentType, const char* base);

}  // namespace tallowick
