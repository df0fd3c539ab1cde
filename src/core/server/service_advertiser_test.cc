#include "core/server/service_advertiser.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <deque>
#include <mutex>
#include <thread>

#include "core/server/dnssd_test_env.h"

namespace tallowick {
namespace {

using dnssd_test::BrowsedService;
using dnssd_test::Sandbox;
using dnssd_test::waitUntil;
using namespace std::chrono_literals;

// Stands in for the server queue: jobs wait until the test thread runs them,
// so the test sees exactly what reaches the owner, and on which thread.
class Owner {
 public:
  ServiceAdvertiser::Poster poster() {
    return [this](std::function<void()> job) {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    };
  }
  ServiceAdvertiser::LogFn logger() {
    return [this](const std::string& line) {
      noteThread();
      logs.push_back(line);
    };
  }
  ServiceAdvertiser::RegisteredFn registrar() {
    return [this](const std::string& name) {
      noteThread();
      registered.push_back(name);
    };
  }

  std::size_t queued() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
  }
  void runQueued() {
    std::deque<std::function<void()>> jobs;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job();
  }
  // Runs queued jobs until `done` holds.
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    return waitUntil(
        [&] {
          runQueued();
          return done();
        },
        timeout);
  }

  std::vector<std::string> logs;
  std::vector<std::string> registered;
  bool calledOffThread = false;

 private:
  void noteThread() { calledOffThread |= std::this_thread::get_id() != thread_; }

  std::thread::id thread_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;
};

auto named(const std::string& name, int port) {
  return [name, port](const BrowsedService& s) { return s.name == name && s.port == port; };
}

class ServiceAdvertiserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    box_ = Sandbox::create(&why);
    if (!box_) GTEST_SKIP() << "no loopback DNS-SD sandbox here: " << why;
  }

  std::unique_ptr<Sandbox> box_;
  Owner owner_;
};

#define START_DAEMONS_OR_SKIP()                                           \
  do {                                                                    \
    std::string why;                                                      \
    if (!box_->startAll(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why; \
  } while (0)

TEST_F(ServiceAdvertiserTest, PublishesNameTypeAndPortOnLoopbackOnly) {
  START_DAEMONS_OR_SKIP();
  // The asio flavour: callbacks arrive through the io_context the test runs.
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::string> registered;
  std::vector<std::string> logs;
  const auto testThread = std::this_thread::get_id();
  bool offThread = false;
  ServiceAdvertiser advertiser(
      io.get_executor(), [&](const std::string& line) { logs.push_back(line); },
      [&](const std::string& name) {
        offThread |= std::this_thread::get_id() != testThread;
        registered.push_back(name);
      });
  const std::string name = "Büro Desk 7";
  advertiser.start(name, 41234);

  ASSERT_TRUE(waitUntil(
      [&] {
        io.poll();
        return !registered.empty();
      },
      20s));
  EXPECT_EQ(registered, std::vector<std::string>{name});
  EXPECT_FALSE(offThread);
  EXPECT_TRUE(logs.empty()) << logs.front();

  ASSERT_TRUE(box_->waitForService(named(name, 41234), true));
  const auto services = box_->browse();
  ASSERT_EQ(services.size(), 1u);
  const BrowsedService& s = services.front();
  EXPECT_EQ(s.interface, "lo");
  EXPECT_EQ(s.protocol, "IPv4");
  EXPECT_EQ(s.type, "_tallowick._tcp");
  EXPECT_EQ(s.domain, "local");
  EXPECT_EQ(s.address, "127.0.0.1");
  EXPECT_EQ(s.port, 41234);
  // No TXT record of ours; at most the empty one DNS-SD requires.
  EXPECT_TRUE(s.txt.empty() || s.txt == "\"\"") << s.txt;
}

TEST_F(ServiceAdvertiserTest, StopWithdrawsAndStartPublishesAgain) {
  START_DAEMONS_OR_SKIP();
  ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar());
  advertiser.start("Stop Test", 41001);
  ASSERT_TRUE(owner_.waitFor([&] { return owner_.registered.size() == 1; }));
  ASSERT_TRUE(box_->waitForService(named("Stop Test", 41001), true));

  advertiser.stop();
  EXPECT_TRUE(box_->waitForService(named("Stop Test", 41001), false));

  // A new listener may come up on another port.
  advertiser.start("Stop Test", 41002);
  ASSERT_TRUE(owner_.waitFor([&] { return owner_.registered.size() == 2; }));
  EXPECT_EQ(owner_.registered.back(), "Stop Test");
  EXPECT_TRUE(box_->waitForService(named("Stop Test", 41002), true));
  EXPECT_TRUE(box_->waitForService(named("Stop Test", 41001), false));
  EXPECT_TRUE(owner_.logs.empty());
  EXPECT_FALSE(owner_.calledOffThread);
}

TEST_F(ServiceAdvertiserTest, NameCollisionMovesToTheNextAlternativeName) {
  START_DAEMONS_OR_SKIP();
  Owner first;
  ServiceAdvertiser holder(first.poster(), first.logger(), first.registrar());
  holder.start("Desk", 42001);
  ASSERT_TRUE(first.waitFor([&] { return !first.registered.empty(); }));
  ASSERT_EQ(first.registered.front(), "Desk");

  ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar());
  advertiser.start("Desk", 42002);
  ASSERT_TRUE(owner_.waitFor([&] { return !owner_.registered.empty(); }));
  EXPECT_EQ(owner_.registered.front(), "Desk #2");
  EXPECT_TRUE(box_->waitForService(named("Desk #2", 42002), true));
  EXPECT_TRUE(box_->waitForService(named("Desk", 42001), true));

  // Restarting the listener on the same port keeps the name it won.
  advertiser.start("Desk", 42002);
  owner_.waitFor([] { return false; }, 1s);
  EXPECT_EQ(owner_.registered, std::vector<std::string>{"Desk #2"});
  EXPECT_TRUE(box_->waitForService(named("Desk #2", 42002), true));
}

TEST_F(ServiceAdvertiserTest, DestructionWithdrawsAndDropsPendingCallbacks) {
  START_DAEMONS_OR_SKIP();
  {
    ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar());
    advertiser.start("Gone Soon", 43001);
    // Let the registration reach the owner's queue, but do not run it.
    ASSERT_TRUE(waitUntil([&] { return owner_.queued() > 0; }, 20s));
    ASSERT_TRUE(box_->waitForService(named("Gone Soon", 43001), true));
  }
  owner_.runQueued();
  EXPECT_TRUE(owner_.registered.empty());
  EXPECT_TRUE(box_->waitForService(named("Gone Soon", 43001), false));
}

TEST_F(ServiceAdvertiserTest, WithoutDaemonLogsOnceThenRegistersWhenItAppears) {
  std::string why;
  if (!box_->startBus(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar());
  advertiser.start("Late Daemon", 44001);
  ASSERT_TRUE(owner_.waitFor([&] { return !owner_.logs.empty(); }));
  owner_.waitFor([] { return false; }, 1s);
  ASSERT_EQ(owner_.logs.size(), 1u);
  EXPECT_EQ(owner_.logs[0].rfind("DNS-SD unavailable: ", 0), 0u) << owner_.logs[0];
  EXPECT_TRUE(owner_.logs[0].ends_with("; running unadvertised")) << owner_.logs[0];
  EXPECT_TRUE(owner_.registered.empty());

  if (!box_->startAvahi(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  ASSERT_TRUE(owner_.waitFor([&] { return !owner_.registered.empty(); }));
  EXPECT_EQ(owner_.registered.front(), "Late Daemon");
  EXPECT_TRUE(box_->waitForService(named("Late Daemon", 44001), true));
  EXPECT_EQ(owner_.logs.size(), 1u);
  EXPECT_FALSE(owner_.calledOffThread);
}

TEST_F(ServiceAdvertiserTest, DaemonRestartRegistersAgain) {
  START_DAEMONS_OR_SKIP();
  ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar());
  advertiser.start("Restarted", 45001);
  ASSERT_TRUE(owner_.waitFor([&] { return owner_.registered.size() == 1; }));

  box_->stopAvahi();
  ASSERT_TRUE(owner_.waitFor([&] { return !owner_.logs.empty(); }));
  EXPECT_EQ(owner_.logs.size(), 1u);

  std::string why;
  if (!box_->startAvahi(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  ASSERT_TRUE(owner_.waitFor([&] { return owner_.registered.size() == 2; }));
  EXPECT_EQ(owner_.registered.back(), "Restarted");
  EXPECT_TRUE(box_->waitForService(named("Restarted", 45001), true));
  EXPECT_EQ(owner_.logs.size(), 1u);
}

TEST_F(ServiceAdvertiserTest, WithoutBusKeepsTryingUntilItAppears) {
  ServiceAdvertiser::Options options;
  options.busRetry = 100ms;
  ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar(), options);
  advertiser.start("No Bus Yet", 46001);
  ASSERT_TRUE(owner_.waitFor([&] { return !owner_.logs.empty(); }));
  // Several retries fail meanwhile; the owner still hears of it only once.
  owner_.waitFor([] { return false; }, 1s);
  ASSERT_EQ(owner_.logs.size(), 1u);
  EXPECT_EQ(owner_.logs[0].rfind("DNS-SD unavailable: ", 0), 0u) << owner_.logs[0];

  START_DAEMONS_OR_SKIP();
  ASSERT_TRUE(owner_.waitFor([&] { return !owner_.registered.empty(); }));
  EXPECT_EQ(owner_.registered.front(), "No Bus Yet");
  EXPECT_TRUE(box_->waitForService(named("No Bus Yet", 46001), true));
}

TEST_F(ServiceAdvertiserTest, NeverStartedLogsNothing) {
  // Advertising switched off: the server never calls start(), and a missing
  // daemon is then no news to the user.
  ServiceAdvertiser advertiser(owner_.poster(), owner_.logger(), owner_.registrar());
  owner_.waitFor([] { return false; }, 500ms);
  EXPECT_TRUE(owner_.logs.empty());
}

TEST(TruncatedServiceNameTest, CutsAtCharacterBoundaries) {
  const std::string sixtyTwo(62, 'a');
  struct Case {
    std::string in;
    std::size_t max;
    std::string want;
  } cases[] = {
      {"Desk", 63, "Desk"},
      {std::string(63, 'x'), 63, std::string(63, 'x')},
      {std::string(70, 'x'), 63, std::string(63, 'x')},
      // "é" is two bytes; cutting after its first byte would leave invalid UTF-8.
      {sixtyTwo + "\xC3\xA9", 63, sixtyTwo},
      {sixtyTwo + "\xE2\x82\xAC", 64, sixtyTwo},
      {"a\xF0\x9F\x98\x80", 4, "a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(truncatedServiceName(c.in, c.max), c.want) << c.in.size() << " bytes, max " << c.max;
  }
}

}  // namespace
}  // namespace tallowick
