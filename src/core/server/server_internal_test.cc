#include "core/server/server_internal.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <latch>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

namespace tallowick::server_internal {
namespace {

struct Weight {
  int policy;
  int niceness;
};

// The weight of every thread of `pool`: as many tasks as threads, each held
// until all are running, so each thread reports once.
std::vector<Weight> weightsOf(asio::thread_pool& pool, int threads) {
  std::latch all(threads);
  std::mutex mutex;
  std::vector<Weight> weights;
  std::vector<std::future<void>> done;
  for (int i = 0; i < threads; ++i) {
    done.push_back(asio::post(pool, std::packaged_task<void()>([&] {
                                Weight weight{
                                    ::sched_getscheduler(0),
                                    ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()))};
                                {
                                  std::lock_guard lock(mutex);
                                  weights.push_back(weight);
                                }
                                all.arrive_and_wait();
                              })));
  }
  for (auto& d : done) d.get();
  return weights;
}

TEST(BackgroundPools, OnlyTheWarmUpGivesWay) {
  const int mine = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  struct Case {
    const char* name;
    asio::thread_pool& pool;
    int threads;
    int policy;
    int niceness;
  } cases[] = {
      // A phone waits for its renders: they keep the program's weight.
      {"user-initiated", userInitiatedPool(), 2, SCHED_OTHER, mine},
      {"utility", utilityPool(), 1, SCHED_BATCH, std::min(19, mine + 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Weight> weights = weightsOf(c.pool, c.threads);
    ASSERT_EQ(weights.size(), static_cast<std::size_t>(c.threads));
    for (const Weight& weight : weights) {
      EXPECT_EQ(weight.policy, c.policy);
      EXPECT_EQ(weight.niceness, c.niceness);
    }
  }
  // The thread that made them keeps its own.
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())), mine);
  EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
}

}  // namespace
}  // namespace tallowick::server_internal
