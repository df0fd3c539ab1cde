#pragma once
// One server per storage folder. Two processes writing the same decision
// journal would lose each other's decisions, so the agent and `tallowick
// serve` each hold an advisory lock on "agent.lock" in the storage folder
// for as long as they run; a second one sees it taken and stops.
//
// The lock is flock(2) on an open file: the kernel drops it when the holder
// exits, however it exits, so a crash leaves no stale lock behind.

#include <optional>
#include <string>

#include "shared/unique_fd.h"

namespace tallowick {

class StorageLock {
 public:
  enum class State {
    Held,         // this object holds the lock
    Busy,         // another process (or another StorageLock) holds it
    Unavailable,  // the folder or the lock file cannot be made or opened
  };

  // Creates `storage` if needed, then takes the lock without waiting and
  // writes this process's id into the lock file.
  explicit StorageLock(std::string storage);
  // Releases the lock (when held).
  ~StorageLock() = default;
  StorageLock(const StorageLock&) = delete;
  StorageLock& operator=(const StorageLock&) = delete;

  State state() const { return state_; }
  const std::string& storage() const { return storage_; }
  // Busy: the process id the holder wrote, when it can be read.
  std::optional<long> holder() const { return holder_; }
  // Unavailable: what failed.
  const std::string& error() const { return error_; }

  // The one line a refused second instance prints:
  // "another Tallowick agent is already using STORAGE (process PID)".
  std::string busyMessage() const;

 private:
  std::string storage_;
  State state_ = State::Unavailable;
  std::optional<long> holder_;
  std::string error_;
  UniqueFd fd_;
};

// The lock file's name inside the storage folder.
inline constexpr const char* kStorageLockName = "agent.lock";

}  // namespace tallowick
