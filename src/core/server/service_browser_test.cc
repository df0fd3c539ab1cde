#include "core/server/service_browser.h"

#include <gtest/gtest.h>

#include <atomic>

#include "core/server/dnssd_test_env.h"
#include "core/server/service_advertiser.h"

namespace tallowick {
namespace {

using dnssd_test::Sandbox;
using dnssd_test::waitUntil;
using namespace std::chrono_literals;

constexpr std::string_view kType = "_tallowick._tcp";

// Runs the advertiser's jobs at once on whatever thread posts them; these
// tests only wait for flags.
ServiceAdvertiser::Poster immediate() {
  return [](std::function<void()> job) { job(); };
}

class ServiceBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    box_ = Sandbox::create(&why);
    if (!box_) GTEST_SKIP() << "no loopback DNS-SD sandbox here: " << why;
  }

  std::unique_ptr<Sandbox> box_;
};

TEST_F(ServiceBrowserTest, ResolvesTheAdvertisedServiceToLoopbackAndPort) {
  std::string why;
  if (!box_->startAll(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  std::atomic<bool> registered = false;
  ServiceAdvertiser advertiser(
      immediate(), [](const std::string&) {}, [&](const std::string&) { registered = true; });
  advertiser.start("Browse Me", 47001);
  ASSERT_TRUE(waitUntil([&] { return registered.load(); }, 20s));

  const auto found = ServiceBrowser::findFirst(kType, 20s);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->name, "Browse Me");
  EXPECT_EQ(found->address, "127.0.0.1");
  EXPECT_EQ(found->port, 47001);
  EXPECT_TRUE(found->hostName.ends_with(".local")) << found->hostName;
}

TEST_F(ServiceBrowserTest, FindsNothingWhenOnlyOtherTypesAreAdvertised) {
  std::string why;
  if (!box_->startAll(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  std::atomic<bool> registered = false;
  ServiceAdvertiser::Options other;
  other.type = "_other._tcp";
  ServiceAdvertiser advertiser(
      immediate(), [](const std::string&) {}, [&](const std::string&) { registered = true; },
      other);
  advertiser.start("Not Ours", 47002);
  ASSERT_TRUE(waitUntil([&] { return registered.load(); }, 20s));
  ASSERT_TRUE(ServiceBrowser::findFirst("_other._tcp", 20s).has_value());

  EXPECT_FALSE(ServiceBrowser::findFirst(kType, 5s).has_value());
}

TEST_F(ServiceBrowserTest, FindsNothingWithoutDaemonOrBus) {
  EXPECT_FALSE(ServiceBrowser::findFirst(kType, 2s).has_value()) << "no bus";
  std::string why;
  if (!box_->startBus(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  EXPECT_FALSE(ServiceBrowser::findFirst(kType, 2s).has_value()) << "bus without daemon";
}

}  // namespace
}  // namespace tallowick
