#pragma once

// The line `tallowick scan` keeps rewriting on a terminal while it works:
// first the walk, then the hashing.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/scan/hash_workers.h"

namespace tallowick::cli {

// "Scanning… 1,234 files seen"
std::string walkProgressLine(std::int64_t seen);

// "Hashing… 1,234 of 5,678 files, 1.2 GB of 3.4 GB (35%)". The percentage is
// of the bytes (reading them is the work), of the files when there are no
// bytes, and 100 when there is nothing; rounded down, so 100% means done.
std::string hashProgressLine(const HashProgress& progress);

// Lets a progress line through at most once per `interval`, so a terminal is
// not flooded with one line per file; the caller lets the last one through
// regardless.
class ProgressThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ProgressThrottle(Clock::duration interval) : interval_(interval) {}

  // True, and counts as shown, when nothing was shown yet or `interval` has
  // passed since the last line shown.
  bool due(Clock::time_point now);

 private:
  Clock::duration interval_;
  std::optional<Clock::time_point> last_;
};

}  // namespace tallowick::cli
