#include "core/server/empty_trash_policy.h"

#include <chrono>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

using namespace std::chrono_literals;

TEST(EmptyTrashPolicyTest, OnlyTheCommittingPhoneWithinTheWindowAndConfirmed) {
  const Date commitAt = std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} + 9h;
  EmptyTrashPolicy policy;
  policy.lastCommit = EmptyTrashPolicy::LastCommit{"dev-A", commitAt};

  struct Case {
    const char* what;
    std::string device;
    std::chrono::milliseconds after;
    bool confirm;
    bool allowed;
  };
  const Case cases[] = {
      {"right after the commit", "dev-A", 0ms, true, true},
      {"at the boundary", "dev-A", 600s, true, true},
      {"a second late", "dev-A", 601s, true, false},
      {"a fraction late", "dev-A", 600s + 1ms, true, false},
      {"without confirmation", "dev-A", 1s, false, false},
      {"another phone", "dev-B", 1s, true, false},
      {"a code pairing of another name", "code:A", 1s, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(policy.allows(c.device, commitAt + c.after, c.confirm), c.allowed) << c.what;
  }
}

TEST(EmptyTrashPolicyTest, RefusesEveryoneBeforeAnyCommit) {
  EmptyTrashPolicy policy;
  EXPECT_FALSE(policy.allows("dev-A", currentDate(), true));
}

}  // namespace
}  // namespace tallowick
