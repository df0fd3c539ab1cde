#pragma once
// Marks state that belongs to one thread (the server queue's): a check that
// fails loudly in debug builds when that state is touched from elsewhere.
//
// Before attach() the checker accepts every thread, so an object may be built
// on its creator's thread and handed to its queue afterwards.

#include <atomic>
#include <cassert>
#include <thread>

namespace tallowick {

class SequenceChecker {
 public:
  // Binds the checker to the calling thread.
  void attach() { owner_.store(std::this_thread::get_id()); }
  // True on the bound thread, or on any thread before attach().
  bool isCurrent() const {
    std::thread::id owner = owner_.load();
    return owner == std::thread::id() || owner == std::this_thread::get_id();
  }
  // True only on the bound thread.
  bool isAttachedHere() const { return owner_.load() == std::this_thread::get_id(); }

 private:
  std::atomic<std::thread::id> owner_{};
};

}  // namespace tallowick

// Asserts (in debug builds) that the caller runs on the checker's thread.
#define TALLOWICK_DCHECK_SEQUENCE(checker) assert((checker).isCurrent())
