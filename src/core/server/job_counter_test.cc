#include "core/server/job_counter.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(JobCounterTest, WaitsForEveryCopyOfEveryTokenAndOutlivesNothing) {
  JobCounter counter;
  counter.waitIdle();  // nothing running: returns at once

  std::atomic<bool> finished{false};
  std::shared_ptr<void> token = counter.start();
  std::thread job([copy = token, &finished] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finished = true;
  });
  token.reset();  // the job's copy still counts
  counter.waitIdle();
  EXPECT_TRUE(finished);
  job.join();

  // A token released after its counter is gone must not touch freed state.
  std::shared_ptr<void> late;
  {
    JobCounter shortLived;
    late = shortLived.start();
  }
  late.reset();
}

}  // namespace
}  // namespace tallowick
