#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shared/json_codec.h"

namespace tallowick {

// Writes `data` to a temporary file beside `path`, syncs it, and renames it
// over `path`, so readers see the old file or the new one, never a part.
// The file gets `mode` (the umask does not apply). Returns false on any
// failure, leaving the old file as it was.
bool writeFileAtomically(const std::string& path, std::string_view data, mode_t mode = 0644);

// The whole file, or no value when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// mkdir -p; true when the directory exists afterwards.
bool createDirectories(const std::string& path, mode_t mode = 0755);

// "file:///a%20b/c" for "/a b/c" (percent-encodes everything outside the
// unreserved set and "/"); and back. fileURLToPath gives no value for
// anything that is not an absolute file URL.
std::string pathToFileURL(std::string_view path);
std::optional<std::string> fileURLToPath(std::string_view url);

// True when `text` is valid UTF-8 (paths that are not cannot travel in JSON).
bool isValidUTF8(std::string_view text);

// A file time (seconds and nanoseconds since 1970, as stat gives them) as a
// Date. Times beyond what a Date holds (about the years 1678 to 2262; any
// user can set a file's time to the year 3000) are held at its ends rather
// than overflowing its count.
Date dateFromFileTime(std::int64_t seconds, std::int64_t nanoseconds);

}  // namespace tallowick
