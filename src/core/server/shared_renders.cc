#include "core/server/shared_renders.h"

namespace tallowick {

SharedRenders::SharedRenders(asio::io_context& queue, JobCounter jobs)
    : queue_(queue), jobs_(std::move(jobs)) {}

void SharedRenders::request(const std::string& key, asio::thread_pool& pool, Render render,
                            Done done) {
  auto [waiting, first] = waiting_.try_emplace(key);
  waiting->second.push_back(std::move(done));
  if (!first) return;
  asio::post(pool, [weak = weak_from_this(), queue = &queue_, render = std::move(render), key,
                    running = jobs_.start()] {
    std::optional<std::string> result = render();
    // The queue outlives this job (see the constructor), the object need
    // not.
    asio::post(*queue, [weak, key, result = std::move(result)] {
      if (auto self = weak.lock()) self->finished(key, result);
    });
  });
}

void SharedRenders::finished(const std::string& key, const std::optional<std::string>& result) {
  auto found = waiting_.find(key);
  if (found == waiting_.end()) return;
  std::vector<Done> callbacks = std::move(found->second);
  waiting_.erase(found);
  for (const Done& done : callbacks) done(result);
}

}  // namespace tallowick
