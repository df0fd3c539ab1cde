#pragma once
// The pictures being rendered right now (card thumbnails, previews), shared
// by everything on the server queue that wants one: the warm-up after a card
// build, the batches of cards sent to phones, preview requests and the
// previews rendered ahead of them. One file is never rendered twice at the
// same time: a second request for a render in flight waits for the first
// instead of starting its own.
//
// Threading: the object belongs to the server queue; every member is called
// there. Renders run on the pool each request names; their results come back
// to the queue, where the waiting callbacks are called in request order.
// A render that ends after the object is gone is dropped.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <asio.hpp>

#include "core/server/job_counter.h"

namespace tallowick {

class SharedRenders : public std::enable_shared_from_this<SharedRenders> {
 public:
  // Renders one picture and returns what the requests want of it (a path,
  // the bytes); no value when there is none. Called on a pool thread.
  using Render = std::function<std::optional<std::string>()>;
  // Receives what the render returned. Called on the queue.
  using Done = std::function<void(const std::optional<std::string>& result)>;

  // `jobs` counts the renders queued or running on pools.
  // REQUIRES: `queue` lives until `jobs` is idle.
  SharedRenders(asio::io_context& queue, JobCounter jobs);

  // Runs `render` on `pool` and calls `done` with its result, or, when a
  // render under the same `key` (the file it makes) is already running,
  // calls `done` when that one ends and drops `render`.
  // REQUIRES: the object is owned by a shared_ptr; called on the queue.
  void request(const std::string& key, asio::thread_pool& pool, Render render, Done done);

  // Whether a render under this key has started and not yet come back.
  bool inFlight(const std::string& key) const { return waiting_.contains(key); }

 private:
  void finished(const std::string& key, const std::optional<std::string>& result);

  asio::io_context& queue_;
  JobCounter jobs_;
  std::unordered_map<std::string, std::vector<Done>> waiting_;
};

}  // namespace tallowick
