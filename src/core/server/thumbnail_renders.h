#pragma once
// The card thumbnails being rendered right now, shared by everything on the
// server queue that wants one (the warm-up after a card build, the batches
// of cards sent to phones), so that one picture is never rendered twice at
// the same time: a second request for a thumbnail in flight waits for the
// first render instead of starting its own.
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
#include "shared/report.h"

namespace tallowick {

class ThumbnailRenders : public std::enable_shared_from_this<ThumbnailRenders> {
 public:
  // Renders the thumbnail file of an item and returns its path; no value
  // when there is none. Called on a pool thread, several at once.
  using Render = std::function<std::optional<std::string>(const Item&)>;
  // Receives what the render returned. Called on the queue.
  using Done = std::function<void(const std::optional<std::string>& path)>;

  // `jobs` counts the renders queued or running on pools.
  // REQUIRES: `queue` lives until `jobs` is idle.
  ThumbnailRenders(asio::io_context& queue, Render render, JobCounter jobs);

  // Renders the thumbnail of `item` on `pool` and calls `done` with the
  // result, or, when a render of the same item is already running, calls
  // `done` when that one ends.
  // REQUIRES: the object is owned by a shared_ptr; called on the queue.
  void request(const Item& item, asio::thread_pool& pool, Done done);

  // Whether a render of this item has started and not yet come back.
  bool inFlight(const Uuid& id) const { return waiting_.contains(id); }

 private:
  void finished(const Uuid& id, const std::optional<std::string>& path);

  asio::io_context& queue_;
  Render render_;
  JobCounter jobs_;
  std::unordered_map<Uuid, std::vector<Done>> waiting_;
};

}  // namespace tallowick
