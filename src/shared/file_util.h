#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "shared/json_codec.h"

namespace tallowick {

// Writes `data` to a temporary file beside `path`, syncs it, and renames it
// over `path`, so readers see the old file or the new one, never a part.
// The file gets `mode` (the umask does not apply). Returns false on any
// failure, leaving the old file as it was.
bool writeFileAtomically(const std::string& path, std::string_view data, mode_t mode = 0644);

// The same for a file written in pieces, so a large file never has to be
// held whole in memory. Nothing appears at `path` until commit(); an
// instance destroyed without a successful commit removes its temporary file.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::string path, mode_t mode = 0644);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // False once any write failed (or the temporary file could not be made);
  // later writes are then ignored.
  bool write(std::string_view data);
  // Syncs the temporary file and renames it over the path. False on any
  // failure, leaving the old file as it was.
  bool commit();
  // Why the first failure of write() or commit() happened (or making the
  // temporary file); empty while nothing failed.
  std::error_code error() const { return error_; }

 private:
  // Keeps errno as the reason, unless an earlier failure gave one.
  void failed();

  std::string path_;
  std::string temp_;
  mode_t mode_;
  int fd_ = -1;
  bool ok_ = false;
  std::error_code error_;
};

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
// Date, to the microsecond below. Times outside the years 1 to 9999 (any user
// can date a file on tmpfs in the year 300000) are held at kDistantPast or
// kLatestDate, the ends of what a date's text can say.
Date dateFromFileTime(std::int64_t seconds, std::int64_t nanoseconds);

}  // namespace tallowick
