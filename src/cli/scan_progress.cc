#include "cli/scan_progress.h"

#include "cli/human_bytes.h"

namespace tallowick::cli {
namespace {

int percentOf(std::int64_t done, std::int64_t total) {
  if (total <= 0) return 100;
  if (done <= 0) return 0;
  if (done >= total) return 100;
  // In 128 bits: a byte count times 100 may not fit in 64.
  return static_cast<int>(static_cast<__int128>(done) * 100 / total);
}

}  // namespace

std::string walkProgressLine(std::int64_t seen) {
  return "Scanning… " + grouped(seen) + (seen == 1 ? " file seen" : " files seen");
}

std::string hashProgressLine(const HashProgress& progress) {
  const int percent = progress.totalBytes > 0 ? percentOf(progress.bytes, progress.totalBytes)
                                              : percentOf(progress.files, progress.totalFiles);
  return "Hashing… " + grouped(progress.files) + " of " + grouped(progress.totalFiles) +
         (progress.totalFiles == 1 ? " file, " : " files, ") + humanBytes(progress.bytes) + " of " +
         humanBytes(progress.totalBytes) + " (" + std::to_string(percent) + "%)";
}

bool ProgressThrottle::due(Clock::time_point now) {
  if (last_ && now - *last_ < interval_) return false;
  last_ = now;
  return true;
}

}  // namespace tallowick::cli
