#include "core/server/server_internal.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <latch>
#include <memory>

#include "shared/file_util.h"

namespace tallowick::server_internal {

namespace {

// A pool whose threads give way to everything else: the server queue, the
// renders a phone waits for, the user's own programs. For work nobody waits
// for (the thumbnail warm-up): at the same weight it took a core from a
// cold batch's renders and from the queue's thread alike, so a phone's
// summary could wait for the scheduler's next turn while the queue had
// nothing else to do.
asio::thread_pool* yieldingPool(int threads, int niceness) {
  auto* pool = new asio::thread_pool(threads);
  // Each thread lowers itself; the latch holds every thread in its task
  // until all have one, so no thread takes two. The tasks share the latch:
  // a thread may still be inside arrive_and_wait() after this one's wait()
  // has returned, so it must not live on this stack.
  auto lowered = std::make_shared<std::latch>(threads);
  for (int i = 0; i < threads; ++i) {
    asio::post(*pool, [lowered, niceness] {
      sched_param param{};
      ::sched_setscheduler(0, SCHED_BATCH, &param);
      // On Linux the nice value belongs to the thread; it is raised from
      // the program's own, never lowered.
      const auto self = static_cast<id_t>(::gettid());
      ::setpriority(PRIO_PROCESS, self, std::min(19, ::getpriority(PRIO_PROCESS, self) + niceness));
      lowered->arrive_and_wait();
    });
  }
  lowered->wait();
  return pool;
}

}  // namespace

asio::thread_pool& userInitiatedPool() {
  static auto* pool = new asio::thread_pool(2);
  return *pool;
}

asio::thread_pool& utilityPool() {
  static auto* pool = yieldingPool(1, 10);
  return *pool;
}

std::string pathOf(const std::string& pathOrURL) {
  if (pathOrURL.starts_with("file://")) return fileURLToPath(pathOrURL).value_or(pathOrURL);
  return pathOrURL;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

}  // namespace tallowick::server_internal
