#pragma once
// Test helper: a fresh folder under the system's temporary folder, removed
// with everything in it when the helper goes.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace tallowick::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tallowick_scan_test.XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return (path_ / relative).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace tallowick::testing
