#pragma once

// The file facts (statx) of many names in one open folder, taken by two
// threads at once when there are many: the kernel's lookup of each name is
// the largest cost of a walk, and a rescan with a warm cache does little
// else per file. The results are the same as one statx after another.

#include <sys/stat.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace tallowick {

class FolderStats {
 public:
  struct Request {
    // The facts are left unset until take() (a folder of files asks for
    // thousands of them).
    explicit Request(const char* name) : name(name) {}

    const char* name;  // in the folder, not owned
    struct statx info;
    bool ok = false;  // statx succeeded
  };

  // `mask` is what statx is asked for; names are never followed when they
  // are symbolic links. No thread is started until a folder is large.
  explicit FolderStats(unsigned mask) : mask_(mask) {}
  ~FolderStats();
  FolderStats(const FolderStats&) = delete;
  FolderStats& operator=(const FolderStats&) = delete;

  // REQUIRES: `dirFd` is an open folder and every request names an entry of
  // it (or not: that request is then not ok).
  // Fills every request's info and ok. Not reentrant: one call at a time.
  void take(int dirFd, std::vector<Request>& requests);

 private:
  void statRange(int dirFd, Request* begin, Request* end) const;
  void helperLoop();

  const unsigned mask_;
  std::thread helper_;
  bool helperFailed_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  // The helper's share of the current call; null when it has none.
  Request* jobBegin_ = nullptr;
  Request* jobEnd_ = nullptr;
  int jobDirFd_ = -1;
  bool jobDone_ = false;
  bool stopping_ = false;
};

}  // namespace tallowick
