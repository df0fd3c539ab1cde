#pragma once
// Marks state that belongs to one thread (the server queue's): a check that
// fails loudly, in every build, when that state is touched from elsewhere.
// The check is one atomic load and a compare, so it stays on in release
// builds too: a race on the server's state would corrupt decisions silently,
// which is worse than stopping.
//
// Before attach() the checker accepts every thread, so an object may be built
// on its creator's thread and handed to its queue afterwards.

#include <atomic>
#include <cstdio>
#include <cstdlib>
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

[[noreturn]] inline void sequenceCheckFailed(const char* file, int line) {
  std::fprintf(stderr, "%s:%d: state of the server queue touched from another thread\n", file,
               line);
  std::abort();
}

}  // namespace tallowick

// Stops the program when the caller does not run on the checker's thread.
#define TALLOWICK_DCHECK_SEQUENCE(checker) \
  ((checker).isCurrent() ? (void)0 : ::tallowick::sequenceCheckFailed(__FILE__, __LINE__))
