#include "core/server/shared_renders.h"

#include <chrono>

#include <gtest/gtest.h>

#include "core/server/server_test_util.h"

namespace tallowick {
namespace {

using namespace std::chrono_literals;
using ::tallowick::testing::RenderGate;

class SharedRendersTest : public ::testing::Test {
 protected:
  void TearDown() override {
    gate_.open();
    jobs_.waitIdle();
    pool_.join();
  }
  // Runs the queue until `done` holds.
  void runUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < deadline) queue_.run_one_for(10ms);
  }

  asio::io_context queue_;
  // Keeps run_one_for() waiting while the renders are still on the pool.
  asio::executor_work_guard<asio::io_context::executor_type> work_{queue_.get_executor()};
  asio::thread_pool pool_{2};
  JobCounter jobs_;
  RenderGate gate_;
  std::shared_ptr<SharedRenders> renders_ = std::make_shared<SharedRenders>(queue_, jobs_);

  // Asks for the thumbnail of `item`, held back by the gate.
  void request(const Item& item, SharedRenders::Done done) {
    renders_->request(
        item.id.string(), pool_,
        [this, item]() -> std::optional<std::string> {
          gate_.enter(item.id);
          return "/thumbs/" + item.id.string() + ".heic";
        },
        std::move(done));
  }
};

TEST_F(SharedRendersTest, ASecondRequestForOneInFlightWaitsForTheFirstRender) {
  Item photo;
  std::vector<std::string> answers;
  auto answer = [&](std::string who) {
    return [&answers, who](const std::optional<std::string>& path) {
      answers.push_back(who + ":" + path.value_or("none"));
    };
  };
  request(photo, answer("batch"));
  ASSERT_TRUE(gate_.waitStarted(1));
  request(photo, answer("warm-up"));
  EXPECT_TRUE(renders_->inFlight(photo.id.string()));

  gate_.open();
  runUntil([&] { return answers.size() == 2; });
  std::string path = "/thumbs/" + photo.id.string() + ".heic";
  EXPECT_EQ(answers, (std::vector<std::string>{"batch:" + path, "warm-up:" + path}));
  EXPECT_EQ(gate_.started(), 1u);
  EXPECT_FALSE(renders_->inFlight(photo.id.string()));

  // Once it came back, a new request renders again.
  request(photo, answer("later"));
  runUntil([&] { return answers.size() == 3; });
  EXPECT_EQ(gate_.started(), 2u);
}

TEST_F(SharedRendersTest, DifferentItemsRenderSideBySide) {
  Item a, b;
  int answered = 0;
  request(a, [&](const auto&) { ++answered; });
  request(b, [&](const auto&) { ++answered; });
  // Both are running at once while neither may finish.
  EXPECT_TRUE(gate_.waitStarted(2));
  gate_.open();
  runUntil([&] { return answered == 2; });
  EXPECT_EQ(answered, 2);
}

TEST_F(SharedRendersTest, ARenderEndingAfterItsOwnerWentIsDropped) {
  Item photo;
  bool answered = false;
  request(photo, [&](const auto&) { answered = true; });
  ASSERT_TRUE(gate_.waitStarted(1));
  renders_.reset();
  gate_.open();
  jobs_.waitIdle();
  queue_.poll();
  EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace tallowick
