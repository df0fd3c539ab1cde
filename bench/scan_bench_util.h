#pragma once

// Small helpers shared by the scan benchmarks: a temporary folder that
// removes itself and a wall clock.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace scan_bench {

class TempDir {
 public:
  explicit TempDir(const char* name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(name) + ".XXXXXX")).string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Seconds taken by `work`, best of `rounds` (the least disturbed run).
template <class Work>
double bestSeconds(int rounds, Work work) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

}  // namespace scan_bench
