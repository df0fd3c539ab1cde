#pragma once
// Counts running background jobs so their owner can wait for them to end
// before it goes: a job that renders with a shared library must not be
// running when the process tears those libraries down.

#include <condition_variable>
#include <memory>
#include <mutex>

namespace tallowick {

class JobCounter {
 public:
  // Marks one job as running for as long as the token (or a copy) lives.
  // Tokens may outlive the counter.
  std::shared_ptr<void> start();
  // Blocks until no token is held.
  // REQUIRES: not called from a job holding a token.
  void waitIdle() const;

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tallowick
