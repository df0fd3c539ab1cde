#include "core/scan/folder_stats.h"

#include <fcntl.h>

#include <system_error>

namespace tallowick {
namespace {

// Below this a hand-over costs about what the helper saves.
constexpr std::size_t kShareFrom = 128;

}  // namespace

FolderStats::~FolderStats() {
  if (!helper_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  helper_.join();
}

void FolderStats::statRange(int dirFd, Request* begin, Request* end) const {
  for (Request* r = begin; r != end; ++r) {
    r->ok = ::statx(dirFd, r->name, AT_SYMLINK_NOFOLLOW, mask_, &r->info) == 0;
  }
}

void FolderStats::helperLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || jobBegin_ != nullptr; });
    if (stopping_) return;
    Request* begin = jobBegin_;
    Request* end = jobEnd_;
    const int dirFd = jobDirFd_;
    lock.unlock();
    statRange(dirFd, begin, end);
    lock.lock();
    jobBegin_ = jobEnd_ = nullptr;
    jobDone_ = true;
    changed_.notify_all();
  }
}

void FolderStats::take(int dirFd, std::vector<Request>& requests) {
  Request* const begin = requests.data();
  Request* const end = begin + requests.size();
  if (requests.size() >= kShareFrom && !helper_.joinable() && !helperFailed_) {
    try {
      helper_ = std::thread([this] { helperLoop(); });
    } catch (const std::system_error&) {
      helperFailed_ = true;  // all on this thread, as with a small folder
    }
  }
  if (requests.size() < kShareFrom || !helper_.joinable()) {
    statRange(dirFd, begin, end);
    return;
  }
  // The helper takes the second half; this thread the first.
  Request* const middle = begin + requests.size() / 2;
  {
    std::lock_guard lock(mutex_);
    jobBegin_ = middle;
    jobEnd_ = end;
    jobDirFd_ = dirFd;
    jobDone_ = false;
  }
  changed_.notify_all();
  statRange(dirFd, begin, middle);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return jobDone_; });
}

}  // namespace tallowick
