#include "cli/scan_progress.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace tallowick::cli {
namespace {

TEST(ScanProgressTest, HashingLine) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    HashProgress progress;
    const char* line;
  };
  const Case cases[] = {
      {{}, "Hashing… 0 of 0 files, 0 bytes of 0 bytes (100%)"},
      {{.files = 0, .totalFiles = 1, .bytes = 0, .totalBytes = 1},
       "Hashing… 0 of 1 file, 0 bytes of 1 byte (0%)"},
      {{.files = 1, .totalFiles = 3, .bytes = 1'500'000, .totalBytes = 4'500'000},
       "Hashing… 1 of 3 files, 1.5 MB of 4.5 MB (33%)"},
      // Rounded down: not done is never 100%.
      {{.files = 2, .totalFiles = 3, .bytes = 990'000, .totalBytes = 1'000'000},
       "Hashing… 2 of 3 files, 990.0 kB of 1.0 MB (99%)"},
      {{.files = 1'234, .totalFiles = 1'234, .bytes = 56'789, .totalBytes = 56'789},
       "Hashing… 1,234 of 1,234 files, 56.8 kB of 56.8 kB (100%)"},
      // Empty files only: the files say how far.
      {{.files = 1, .totalFiles = 4, .bytes = 0, .totalBytes = 0},
       "Hashing… 1 of 4 files, 0 bytes of 0 bytes (25%)"},
      // Byte counts whose hundredfold does not fit in 64 bits.
      {{.files = 1, .totalFiles = 2, .bytes = kMax / 2, .totalBytes = kMax},
       "Hashing… 1 of 2 files, 4611.7 PB of 9223.4 PB (49%)"},
      {{.files = 2'000'000, .totalFiles = 2'000'000, .bytes = kMax, .totalBytes = kMax},
       "Hashing… 2,000,000 of 2,000,000 files, 9223.4 PB of 9223.4 PB (100%)"},
  };
  for (const Case& c : cases) EXPECT_EQ(hashProgressLine(c.progress), c.line);
}

TEST(ScanProgressTest, WalkLine) {
  EXPECT_EQ(walkProgressLine(1), "Scanning… 1 file seen");
  EXPECT_EQ(walkProgressLine(1'234'567), "Scanning… 1,234,567 files seen");
}

TEST(ScanProgressTest, ThrottleLetsOneLineThroughPerInterval) {
  using namespace std::chrono_literals;
  ProgressThrottle throttle(100ms);
  const ProgressThrottle::Clock::time_point start{};
  struct Step {
    std::chrono::milliseconds at;
    bool due;
  };
  const Step steps[] = {{0ms, true},    {1ms, false},  {99ms, false}, {100ms, true},
                        {150ms, false}, {450ms, true}, {451ms, false}};
  for (const Step& step : steps) {
    EXPECT_EQ(throttle.due(start + step.at), step.due) << step.at.count() << " ms";
  }
}

}  // namespace
}  // namespace tallowick::cli
