#pragma once

// Fixtures shared by the commit tests: a private temporary tree that also
// serves as HOME and XDG_DATA_HOME, so no test reaches the real Trash.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "shared/file_util.h"
#include "shared/json_codec.h"
#include "shared/report.h"

namespace tallowick::testing {

class TempTree {
 public:
  TempTree() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tallowick-commit-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    home_ = root_ + "/home";
    std::filesystem::create_directories(home_ + "/.local/share");
    ::setenv("HOME", home_.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ + "/.local/share").c_str(), 1);
  }
  ~TempTree() {
    std::error_code ignored;
    // Read-only folders would stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::filesystem::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  std::string homeTrash() const { return home_ + "/.local/share/Trash"; }

 private:
  std::string root_;
  std::string home_;
};

inline void writeText(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string readText(const std::string& path) {
  auto text = readWholeFile(path);
  return text ? *text : std::string("<unreadable>");
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline void setModified(const std::string& path, Date date) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = ns / 1000000000;
  times[1].tv_nsec = ns % 1000000000;
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("utimensat failed on " + path);
  }
}

inline Date modifiedOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) throw std::runtime_error("stat failed on " + path);
  return dateFromFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

// A scanned item for a file written now with `content`, as the scanner
// would describe it.
inline Item scannedFile(const std::string& path, const std::string& content) {
  writeText(path, content);
  Item item;
  item.path = path;
  item.bytes = static_cast<std::int64_t>(content.size());
  item.modifiedAt = modifiedOf(path);
  return item;
}

}  // namespace tallowick::testing
