#include "core/server/thumbnail_renders.h"

namespace tallowick {

ThumbnailRenders::ThumbnailRenders(asio::io_context& queue, Render render, JobCounter jobs)
    : queue_(queue), render_(std::move(render)), jobs_(std::move(jobs)) {}

void ThumbnailRenders::request(const Item& item, asio::thread_pool& pool, Done done) {
  auto [waiting, first] = waiting_.try_emplace(item.id);
  waiting->second.push_back(std::move(done));
  if (!first) return;
  asio::post(pool, [weak = weak_from_this(), queue = &queue_, render = render_, item,
                    running = jobs_.start()] {
    std::optional<std::string> path = render(item);
    // The queue outlives this job (see the constructor), the object need
    // not.
    asio::post(*queue, [weak, id = item.id, path = std::move(path)] {
      if (auto self = weak.lock()) self->finished(id, path);
    });
  });
}

void ThumbnailRenders::finished(const Uuid& id, const std::optional<std::string>& path) {
  auto found = waiting_.find(id);
  if (found == waiting_.end()) return;
  std::vector<Done> callbacks = std::move(found->second);
  waiting_.erase(found);
  for (const Done& done : callbacks) done(path);
}

}  // namespace tallowick
