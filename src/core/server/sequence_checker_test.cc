#include "core/server/sequence_checker.h"

#include <thread>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

bool checkOnOtherThread(const SequenceChecker& checker) {
  bool current = true;
  std::thread([&] { current = checker.isCurrent(); }).join();
  return current;
}

TEST(SequenceChecker, AcceptsEveryThreadUntilAttached) {
  SequenceChecker checker;
  EXPECT_TRUE(checker.isCurrent());
  EXPECT_FALSE(checker.isAttachedHere());
  EXPECT_TRUE(checkOnOtherThread(checker));
}

TEST(SequenceChecker, AfterAttachOnlyTheOwnerIsCurrent) {
  SequenceChecker checker;
  checker.attach();
  EXPECT_TRUE(checker.isCurrent());
  EXPECT_TRUE(checker.isAttachedHere());
  EXPECT_FALSE(checkOnOtherThread(checker));
}

// The check must stop the program in the build the tests use (which defines
// NDEBUG), not only in debug builds.
TEST(SequenceCheckerDeathTest, TouchFromAnotherThreadStops) {
  SequenceChecker checker;
  checker.attach();
  EXPECT_DEATH(std::thread([&] { TALLOWICK_DCHECK_SEQUENCE(checker); }).join(),
               "touched from another thread");
}

}  // namespace
}  // namespace tallowick
