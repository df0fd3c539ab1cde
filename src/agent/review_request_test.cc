#include "agent/review_request.h"

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"

namespace tallowick {
namespace {

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);

class ReviewRequestTest : public testing::AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    std::filesystem::create_directories(root_ + "/run");
    std::filesystem::permissions(root_ + "/run", std::filesystem::perms::owner_all);
    runtime_ = std::make_unique<testing::ScopedEnv>("XDG_RUNTIME_DIR", root_ + "/run");
  }
  void TearDown() override {
    runtime_.reset();
    AgentTest::TearDown();
  }
  std::unique_ptr<testing::ScopedEnv> runtime_;
};

TEST_F(ReviewRequestTest, TheRunningAgentOfTheSameStorageGetsTheRequest) {
  const std::string storage = home_ + "/.local/share/Tallowick";
  EXPECT_TRUE(
      ReviewRequests::socketPath(storage).startsWith(QString::fromStdString(root_ + "/run/")));
  EXPECT_NE(ReviewRequests::socketPath(storage), ReviewRequests::socketPath(storage + "2"));
  // Nobody listens yet.
  EXPECT_FALSE(ReviewRequests::send(storage, std::chrono::milliseconds(500)));

  ReviewRequests requests;
  int asked = 0;
  QObject::connect(&requests, &ReviewRequests::reviewRequested, [&] { ++asked; });
  ASSERT_TRUE(requests.listen(storage));
  EXPECT_TRUE(ReviewRequests::send(storage));
  ASSERT_TRUE(testing::processUntil([&] { return asked == 1; }));
  // Another storage folder is another agent.
  EXPECT_FALSE(ReviewRequests::send(storage + "2", std::chrono::milliseconds(500)));

  // A socket left by an agent that crashed is taken over.
  ReviewRequests next;
  int nextAsked = 0;
  QObject::connect(&next, &ReviewRequests::reviewRequested, [&] { ++nextAsked; });
  ASSERT_TRUE(next.listen(storage));
  EXPECT_TRUE(ReviewRequests::send(storage));
  ASSERT_TRUE(testing::processUntil([&] { return nextAsked == 1; }));
}

}  // namespace
}  // namespace tallowick
