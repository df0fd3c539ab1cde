#include "core/server/job_counter.h"

namespace tallowick {

std::shared_ptr<void> JobCounter::start() {
  {
    std::lock_guard lock(state_->mutex);
    ++state_->running;
  }
  return std::shared_ptr<void>(nullptr, [state = state_](void*) {
    std::lock_guard lock(state->mutex);
    if (--state->running == 0) state->idle.notify_all();
  });
}

void JobCounter::waitIdle() const {
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [&] { return state_->running == 0; });
}

}  // namespace tallowick
