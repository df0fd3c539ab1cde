#include "core/pairing/pairing_guard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "shared/psk.h"

namespace tallowick {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Nothing here touches files, but a private HOME and XDG_DATA_HOME keep any
// future change from reaching the real ones.
class TempHome : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pairing-guard-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / ".local/share").c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

 private:
  std::filesystem::path root_;
};
[[maybe_unused]] ::testing::Environment* const kTempHome =
    ::testing::AddGlobalTestEnvironment(new TempHome);

const Date kStart = sys_days{2026y / March / 1} + 8h;

// Hands out the queued codes in order; fails the test when it runs dry.
struct ScriptedCodes {
  std::shared_ptr<std::deque<std::string>> queue = std::make_shared<std::deque<std::string>>();
  std::shared_ptr<int> draws = std::make_shared<int>(0);

  PairingGuard::CodeSource source() const {
    return [queue = queue, draws = draws]() -> std::string {
      ++*draws;
      if (queue->empty()) {
        ADD_FAILURE() << "no scripted code left";
        return "999999";
      }
      std::string code = queue->front();
      queue->pop_front();
      return code;
    };
  }
};

Date after(double secondsFromStart) {
  return kStart + duration_cast<Date::duration>(duration<double>(secondsFromStart));
}

TEST(PairingGuard, StartsOpenWithTheGivenCode) {
  PairingGuard guard("004217", kStart);
  EXPECT_EQ(guard.code(), "004217");
  EXPECT_EQ(guard.failures(), 0);
  EXPECT_EQ(guard.rotatedAt(), kStart);
  EXPECT_FALSE(guard.pausedUntil().has_value());
  EXPECT_EQ(guard.maxFailures(), 5);
  EXPECT_EQ(guard.pauseSeconds(), 60.0);
  EXPECT_EQ(guard.rotateSeconds(), 300.0);
  EXPECT_TRUE(guard.acceptsPairing(kStart));
  // Derived from the six characters, leading zeros included.
  EXPECT_EQ(guard.pairingKey(kStart), PSK::derive("004217"));
  EXPECT_NE(guard.pairingKey(kStart), PSK::derive("4217"));
}

TEST(PairingGuard, TheFifthFailureChangesTheCodeAndPauses) {
  ScriptedCodes codes;
  codes.queue->assign({"222222"});
  PairingGuard guard("111111", kStart, codes.source());

  for (int i = 1; i <= 4; ++i) {
    EXPECT_FALSE(guard.recordFailure(after(i))) << i;
    EXPECT_EQ(guard.failures(), i);
    EXPECT_EQ(guard.code(), "111111");
    EXPECT_TRUE(guard.acceptsPairing(after(i)));
  }
  EXPECT_TRUE(guard.recordFailure(after(10)));
  EXPECT_EQ(guard.code(), "222222");
  EXPECT_EQ(guard.failures(), 0);
  EXPECT_EQ(guard.rotatedAt(), after(10));
  EXPECT_EQ(guard.pausedUntil(), after(70));

  // Paused strictly before pausedUntil, open from that instant on.
  struct Case {
    double at;
    bool open;
  } cases[] = {{10, false}, {40, false}, {69.999, false}, {70, true}, {70.001, true}, {500, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(guard.acceptsPairing(after(c.at)), c.open) << c.at;
    EXPECT_EQ(guard.pairingKey(after(c.at)).has_value(), c.open) << c.at;
  }
  EXPECT_EQ(guard.pairingKey(after(70)), PSK::derive("222222"));
  // The end of the last pause is kept.
  EXPECT_EQ(guard.pausedUntil(), after(70));
}

TEST(PairingGuard, FailuresWhilePausedCountAndExtendThePause) {
  ScriptedCodes codes;
  codes.queue->assign({"222222", "333333"});
  PairingGuard guard("111111", kStart, codes.source());
  for (int i = 0; i < 5; ++i) guard.recordFailure(after(1));
  ASSERT_EQ(guard.pausedUntil(), after(61));

  for (int i = 0; i < 4; ++i) EXPECT_FALSE(guard.recordFailure(after(30)));
  EXPECT_EQ(guard.pausedUntil(), after(61));
  EXPECT_TRUE(guard.recordFailure(after(30)));
  EXPECT_EQ(guard.code(), "333333");
  EXPECT_EQ(guard.pausedUntil(), after(90));
  EXPECT_FALSE(guard.acceptsPairing(after(61)));
  EXPECT_TRUE(guard.acceptsPairing(after(90)));
}

TEST(PairingGuard, RotatesOnScheduleFromTheLastNewCode) {
  ScriptedCodes codes;
  codes.queue->assign({"222222", "333333"});
  PairingGuard guard("111111", kStart, codes.source());
  guard.recordFailure(after(1));
  guard.recordFailure(after(2));

  EXPECT_FALSE(guard.rotateIfDue(after(299.9)));
  EXPECT_EQ(guard.code(), "111111");
  EXPECT_EQ(guard.failures(), 2);
  EXPECT_EQ(guard.rotatedAt(), kStart);

  EXPECT_TRUE(guard.rotateIfDue(after(300)));
  EXPECT_EQ(guard.code(), "222222");
  EXPECT_EQ(guard.failures(), 0);
  EXPECT_EQ(guard.rotatedAt(), after(300));

  // The clock restarts at the new code.
  EXPECT_FALSE(guard.rotateIfDue(after(599.9)));
  EXPECT_TRUE(guard.rotateIfDue(after(600)));
  EXPECT_EQ(guard.code(), "333333");
}

TEST(PairingGuard, APauseRestartsTheRotationClock) {
  ScriptedCodes codes;
  codes.queue->assign({"222222", "333333"});
  PairingGuard guard("111111", kStart, codes.source());
  for (int i = 0; i < 5; ++i) guard.recordFailure(after(200));
  ASSERT_EQ(guard.rotatedAt(), after(200));
  EXPECT_FALSE(guard.rotateIfDue(after(300)));
  EXPECT_FALSE(guard.rotateIfDue(after(499.9)));
  EXPECT_TRUE(guard.rotateIfDue(after(500)));
}

TEST(PairingGuard, RotatingDoesNotEndAPause) {
  ScriptedCodes codes;
  codes.queue->assign({"222222", "333333", "444444"});
  PairingGuard guard("111111", kStart, codes.source());
  for (int i = 0; i < 5; ++i) guard.recordFailure(kStart);
  guard.rotate(after(10));
  EXPECT_EQ(guard.code(), "333333");
  EXPECT_EQ(guard.rotatedAt(), after(10));
  EXPECT_EQ(guard.pausedUntil(), after(60));
  EXPECT_FALSE(guard.acceptsPairing(after(59)));
  EXPECT_FALSE(guard.pairingKey(after(59)).has_value());
  EXPECT_EQ(guard.pairingKey(after(60)), PSK::derive("333333"));

  // Rotation also clears failures counted towards the next pause.
  guard.recordFailure(after(70));
  guard.rotate(after(80));
  EXPECT_EQ(guard.failures(), 0);
  EXPECT_EQ(guard.code(), "444444");
}

TEST(PairingGuard, NeverReplacesACodeWithItself) {
  ScriptedCodes codes;
  codes.queue->assign({"111111", "111111", "222222", "222222", "222222", "000001"});
  PairingGuard guard("111111", kStart, codes.source());
  guard.rotate(after(1));
  EXPECT_EQ(guard.code(), "222222");
  EXPECT_EQ(*codes.draws, 3);
  for (int i = 0; i < 5; ++i) guard.recordFailure(after(2));
  EXPECT_EQ(guard.code(), "000001");
  EXPECT_EQ(*codes.draws, 6);
}

TEST(PairingGuard, AClockSetBackRotatesTheCode) {
  ScriptedCodes codes;
  codes.queue->assign({"222222"});
  PairingGuard guard("111111", kStart, codes.source());
  EXPECT_FALSE(guard.rotateIfDue(kStart));
  EXPECT_TRUE(guard.rotateIfDue(kStart - 1s));
  EXPECT_EQ(guard.code(), "222222");
  EXPECT_EQ(guard.rotatedAt(), kStart - 1s);
}

TEST(PairingGuard, UsesFreshRandomCodesByDefault) {
  PairingGuard guard("123456", kStart);
  for (int i = 0; i < 20; ++i) {
    std::string before = guard.code();
    guard.rotate(after(i));
    ASSERT_EQ(guard.code().size(), 6u);
    EXPECT_NE(guard.code(), before);
  }
}

}  // namespace
}  // namespace tallowick
