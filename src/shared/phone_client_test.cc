#include "shared/phone_client.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/phone_client_fake_agent.h"
#include "shared/psk.h"

namespace tallowick {
namespace {

using testing::agentWith;
using testing::FakeAgent;
using testing::keyOf;
using Status = PhoneClient::Received::Status;
using namespace std::chrono_literals;

PhoneClient::Endpoint local(const FakeAgent& agent) { return {"127.0.0.1", agent.port()}; }

TEST(PhoneClientTest, CodePairingGreetsWithAnEmptyDeviceID) {
  FakeAgent agent(agentWith("012345"));
  PhoneClient client;
  auto hello = client.connect(local(agent), PhoneClient::Login::code("012345"), "Pixel", 10s);
  ASSERT_TRUE(hello.ok()) << hello.error;
  const auto* agentHello = hello.message->get<Message::Hello>();
  ASSERT_NE(agentHello, nullptr);
  EXPECT_EQ(agentHello->name, "Fake Desk");
  // The agent checked the proof over "hello:" alone; this is what it saw.
  auto hellos = agent.hellos();
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_EQ(hellos[0].name, "Pixel");
  EXPECT_EQ(hellos[0].deviceID, "");
  EXPECT_EQ(hellos[0].proof, PSK::proof(PSK::derive("012345"), ""));
}

TEST(PhoneClientTest, QrPayloadPresentsTheOfferAsIdentityAndDeviceID) {
  const std::string offer = "dev-00112233aabbccdd";
  FakeAgent agent(agentWith(std::nullopt, {{offer, keyOf(7)}}));
  auto login = PhoneClient::Login::payload(PairingPayload("Desk", offer, keyOf(7)));
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ(login->credential.identity, offer);
  PhoneClient client;
  auto hello = client.connect(local(agent), *login, "Pixel", 10s);
  ASSERT_TRUE(hello.ok()) << hello.error;
  ASSERT_EQ(agent.hellos().size(), 1u);
  EXPECT_EQ(agent.hellos()[0].deviceID, offer);
}

TEST(PhoneClientTest, PayloadWithoutAUsableKeyGivesNoLogin) {
  PairingPayload payload("Desk", "dev-00112233aabbccdd", keyOf(1));
  payload.psk = "not base64!";
  EXPECT_FALSE(PhoneClient::Login::payload(payload).has_value());
  payload.psk = "AAAA";  // 3 bytes
  EXPECT_FALSE(PhoneClient::Login::payload(payload).has_value());
}

struct RefusalCase {
  const char* label;
  FakeAgent::HelloMode mode;
  PhoneClient::Login login;
  const char* errorPart;
};

class PhoneClientRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PhoneClientRefusalTest, EndsClosedWithAReason) {
  const auto& c = GetParam();
  FakeAgent agent(agentWith(
      "111111", {{"dev-aaaaaaaaaaaaaaaa", keyOf(1)}, {"dev-bbbbbbbbbbbbbbbb", keyOf(2)}}, c.mode));
  PhoneClient client;
  auto hello = client.connect(local(agent), c.login, "Pixel", 10s);
  EXPECT_EQ(hello.status, Status::closed);
  EXPECT_NE(hello.error.find(c.errorPart), std::string::npos) << hello.error;
  EXPECT_TRUE(client.closed());
  EXPECT_FALSE(client.send(Message::Summary{}));
  EXPECT_TRUE(agent.hellos().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhoneClientRefusalTest,
    ::testing::Values(
        RefusalCase{"wrongCode", FakeAgent::HelloMode::answer, PhoneClient::Login::code("111112"),
                    "TLS handshake"},
        RefusalCase{"unknownDevice", FakeAgent::HelloMode::answer,
                    PhoneClient::Login::device("dev-cccccccccccccccc", keyOf(3)), "TLS handshake"},
        // TLS as device A, but the hello claims device B: the proof is made
        // with A's key, so the agent's check with B's key fails.
        RefusalCase{"proofForAnotherDevice", FakeAgent::HelloMode::answer,
                    PhoneClient::Login{{"dev-aaaaaaaaaaaaaaaa", keyOf(1)}, "dev-bbbbbbbbbbbbbbbb"},
                    "refused the hello"},
        RefusalCase{"agentClosesAtHello", FakeAgent::HelloMode::close,
                    PhoneClient::Login::code("111111"), "refused the hello"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PhoneClientTest, SilentAgentTimesOutInsteadOfHanging) {
  FakeAgent agent(agentWith("222222", {}, FakeAgent::HelloMode::silent));
  PhoneClient client;
  auto hello = client.connect(local(agent), PhoneClient::Login::code("222222"), "Pixel", 300ms);
  EXPECT_EQ(hello.status, Status::timeout);
  EXPECT_EQ(hello.error, "no hello from the agent in time");
  EXPECT_TRUE(client.closed());
}

TEST(PhoneClientTest, NothingListeningEndsClosed) {
  std::uint16_t port;
  {
    FakeAgent gone(agentWith("222222"));
    port = gone.port();
  }
  PhoneClient client;
  auto hello = client.connect({"127.0.0.1", port}, PhoneClient::Login::code("222222"), "P", 10s);
  EXPECT_EQ(hello.status, Status::closed);
}

// Answers summary, commit and deckNext; decisions get no answer, as on the
// real agent. Before the commit result it pushes an unrelated progress.
std::vector<Message> scriptedReplies(const Message& request) {
  if (request.is<Message::Summary>()) {
    Message::SummaryResult result;
    result.macName = "Fake Desk";
    result.pendingCount = 3;
    return {result};
  }
  if (request.is<Message::Commit>()) {
    return {Message::ScanProgress{200, 400}, Message::CommitResult{2, 4096, {}}};
  }
  return {};
}

class PhoneClientSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto hello = client.connect(local(agent), PhoneClient::Login::code("333333"), "Pixel", 10s);
    ASSERT_TRUE(hello.ok()) << hello.error;
  }
  FakeAgent agent{agentWith("333333"), scriptedReplies};
  PhoneClient client;
};

TEST_F(PhoneClientSessionTest, RequestsGoOutInOrderAndAwaitTheirReply) {
  Uuid a = Uuid::random(), b = Uuid::random();
  ASSERT_TRUE(client.send(Message::Decision{a, Action::trash}));
  ASSERT_TRUE(client.send(Message::Decision{b, Action::keep}));
  std::vector<Message> others;
  auto result = client.request(
      Message::Commit{}, [](const Message& m) { return m.is<Message::CommitResult>(); }, 10s,
      [&](const Message& m) { others.push_back(m); });
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(*result.message, Message(Message::CommitResult{2, 4096, {}}));
  ASSERT_EQ(others.size(), 1u);
  EXPECT_TRUE(others[0].is<Message::ScanProgress>());
  EXPECT_EQ(agent.requests(),
            (std::vector<Message>{Message::Decision{a, Action::trash},
                                  Message::Decision{b, Action::keep}, Message::Commit{}}));
}

TEST_F(PhoneClientSessionTest, UnansweredRequestTimesOutAndTheConnectionStaysUsable) {
  auto none = client.request(
      Message::Staged{}, [](const Message&) { return true; }, 200ms);
  EXPECT_EQ(none.status, Status::timeout);
  EXPECT_FALSE(client.closed());
  auto summary = client.request(
      Message::Summary{}, [](const Message& m) { return m.is<Message::SummaryResult>(); }, 10s);
  ASSERT_TRUE(summary.ok()) << summary.error;
  EXPECT_EQ(summary.message->get<Message::SummaryResult>()->pendingCount, 3);
}

TEST_F(PhoneClientSessionTest, AgentClosingEndsAWaitAtOnce) {
  agent.closeAll();
  // Well inside the timeout: the wait must end on the close, not the clock.
  auto start = std::chrono::steady_clock::now();
  auto received = client.receive(60s);
  EXPECT_EQ(received.status, Status::closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_FALSE(client.send(Message::Summary{}));
}

TEST_F(PhoneClientSessionTest, ListenerGetsEveryMessageInOrderThenTheEnd) {
  ASSERT_TRUE(client.send(Message::Summary{}));
  ASSERT_TRUE(client.send(Message::Commit{}));
  // Whatever already waits in the queue when listening starts comes first.
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> seen;
  std::optional<std::string> ended;
  client.listen(
      [&](Message message) {
        std::lock_guard lock(mutex);
        seen.emplace_back(message.caseName());
        changed.notify_all();
      },
      [&](const std::string& reason) {
        std::lock_guard lock(mutex);
        ended = reason;
        changed.notify_all();
      });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"summaryResult", "scanProgress", "commitResult"}));
  EXPECT_FALSE(ended.has_value());
  lock.unlock();
  agent.closeAll();
  lock.lock();
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return ended.has_value(); }));
  EXPECT_EQ(client.receive(0ms).status, Status::closed);
}

}  // namespace
}  // namespace tallowick
