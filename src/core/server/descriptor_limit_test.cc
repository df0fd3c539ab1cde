#include "core/server/descriptor_limit.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(DescriptorLimit, RaisesTheSoftLimitToTheHardOne) {
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 256) GTEST_SKIP() << "hard limit too low to lower the soft one";
  struct rlimit lowered = saved;
  lowered.rlim_cur = 128;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

  std::optional<rlim_t> now = raiseDescriptorLimit();
  struct rlimit after;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(after.rlim_cur, saved.rlim_max);
  EXPECT_EQ(now, saved.rlim_max);
}

}  // namespace
}  // namespace tallowick
