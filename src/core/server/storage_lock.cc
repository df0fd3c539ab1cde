#include "core/server/storage_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "shared/file_util.h"

namespace tallowick {

StorageLock::StorageLock(std::string storage) : storage_(std::move(storage)) {
  if (!createDirectories(storage_, 0700)) {
    error_ = "cannot create " + storage_ + ": " + std::strerror(errno);
    return;
  }
  const std::string path = storage_ + "/" + kStorageLockName;
  fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_.valid()) {
    error_ = "cannot open " + path + ": " + std::strerror(errno);
    return;
  }
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      error_ = "cannot lock " + path + ": " + std::strerror(errno);
      fd_.reset(-1);
      return;
    }
    state_ = State::Busy;
    if (auto text = readWholeFile(path)) {
      char* end = nullptr;
      long pid = std::strtol(text->c_str(), &end, 10);
      if (end != text->c_str() && pid > 0) holder_ = pid;
    }
    fd_.reset(-1);
    return;
  }
  state_ = State::Held;
  // Only for the refusal message of the next instance; the lock itself is
  // the flock, so a failed write changes nothing.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_.get(), 0) == 0) {
    [[maybe_unused]] ssize_t written = ::pwrite(fd_.get(), pid.data(), pid.size(), 0);
  }
}

std::string StorageLock::busyMessage() const {
  std::string line = "another Tallowick agent is already using " + storage_;
  if (holder_) line += " (process " + std::to_string(*holder_) + ")";
  return line;
}

}  // namespace tallowick
