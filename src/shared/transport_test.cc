#include "shared/transport.h"

#include <malloc.h>

#include <gtest/gtest.h>

#include "shared/tls_test_util.h"
#include "shared/wire.h"

namespace tallowick {
namespace {

using testing::keyOf;
using testing::LoopbackServer;
using testing::runUntil;
using State = TlsConnection::State;

std::string frameOf(const Message& message) { return *Wire::encode(message); }

std::string header(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

// What a receive loop reported.
struct LoopLog {
  std::vector<Message> messages;
  int closes = 0;
  std::optional<std::string> reason;
  // When set, every message is sent back on this connection from inside
  // onMessage.
  std::shared_ptr<TlsConnection> echoTo;
};

void runLoop(const std::shared_ptr<TlsConnection>& connection, const std::shared_ptr<LoopLog>& log,
             Transport::FrameLimit limit = {}) {
  Transport::receive(
      connection,
      [log](Message message) {
        if (log->echoTo) Transport::send(message, log->echoTo);
        log->messages.push_back(std::move(message));
      },
      [log](std::optional<std::string> reason) {
        ++log->closes;
        log->reason = std::move(reason);
      },
      std::move(limit));
}

// A loopback listener and a client, both ready; the server side runs a
// receive loop from the start, as the server does.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(io, Transport::parameters({{"tallowick", keyOf(1)}})));
    client =
        TlsConnection::make("127.0.0.1", server.port, Transport::parameters("tallowick", keyOf(1)));
    client->start(io.get_executor());
    ASSERT_TRUE(runUntil(io, [&] { return !server.accepted.empty(); }));
    runLoop(server.accepted[0], serverLog);
    ASSERT_TRUE(runUntil(io, [&] { return client->state() == State::ready; }));
  }

  void TearDown() override {
    serverLog->echoTo.reset();
    client->cancel();
    server.stop();
    io.run_for(std::chrono::milliseconds(100));
  }

  // One more client, connected and ready; the server side's loop, which the
  // caller starts, is on server.accepted.back().
  std::shared_ptr<TlsConnection> anotherClient() {
    auto another =
        TlsConnection::make("127.0.0.1", server.port, Transport::parameters("tallowick", keyOf(1)));
    another->start(io.get_executor());
    const std::size_t accepted = server.accepted.size();
    EXPECT_TRUE(runUntil(
        io, [&] { return server.accepted.size() > accepted && another->state() == State::ready; }));
    return another;
  }

  // Runs until the server's loop ended, then a little longer to catch any
  // callback made after onClose.
  void awaitClose() {
    ASSERT_TRUE(runUntil(
        io, [&] { return serverLog->closes > 0; }, std::chrono::seconds(60)));
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(serverLog->closes, 1);
  }

  asio::io_context io;
  LoopbackServer server;
  std::shared_ptr<TlsConnection> client;
  std::shared_ptr<LoopLog> serverLog = std::make_shared<LoopLog>();
};

const Message kOk = Message::Ok{};
const Message kDecision =
    Message::Decision{Uuid::parse("0F8B6C2E-1A2B-4C3D-8E9F-A0B1C2D3E4F5").value(), Action::trash};

struct StreamCase {
  std::string name;
  std::string bytes;                  // what the peer writes before its clean close
  std::vector<Message> delivered;     // messages that reach onMessage
  std::optional<std::string> reason;  // exact reason, or
  std::string reasonContains = {};    // a prefix and a fragment when the text is the decoder's
};

class StreamEndTest : public TransportTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamEndTest, EndsOnceWithItsReason) {
  const StreamCase& c = GetParam();
  if (!c.bytes.empty()) client->send(c.bytes);
  client->cancel();
  awaitClose();
  EXPECT_EQ(serverLog->messages, c.delivered);
  if (c.reasonContains.empty()) {
    EXPECT_EQ(serverLog->reason, c.reason);
  } else {
    ASSERT_TRUE(serverLog->reason.has_value());
    EXPECT_EQ(serverLog->reason->rfind(*c.reason, 0), 0u) << *serverLog->reason;
    EXPECT_NE(serverLog->reason->find(c.reasonContains), std::string::npos) << *serverLog->reason;
  }
}

std::string twoCaseBody() { return R"({"ok":{},"summary":{}})"; }

INSTANTIATE_TEST_SUITE_P(
    Frames, StreamEndTest,
    ::testing::Values(StreamCase{"closeBeforeAnyByte", "", {}, std::nullopt},
                      StreamCase{"closeAfterWholeFrame", frameOf(kOk), {kOk}, std::nullopt},
                      StreamCase{"framesBackToBackInOneWrite",
                                 frameOf(kDecision) + frameOf(kOk) + frameOf(kDecision),
                                 {kDecision, kOk, kDecision},
                                 std::nullopt},
                      StreamCase{"twoHeaderBytes", std::string("\0\0", 2), {}, "bad frame length"},
                      StreamCase{"frameThenTwoHeaderBytes",
                                 frameOf(kOk) + std::string("\0\0", 2),
                                 {kOk},
                                 "bad frame length"},
                      StreamCase{"zeroLength", header(0), {}, "bad frame length"},
                      StreamCase{"oneOverMaxFrame", header(0x04000001), {}, "bad frame length"},
                      StreamCase{"allOnesLength", header(0xFFFFFFFF), {}, "bad frame length"},
                      StreamCase{
                          "closeMidBody", header(100) + std::string(60, 'x'), {}, "short frame"},
                      StreamCase{"closeRightAfterHeader", header(100), {}, "short frame"},
                      StreamCase{"twoCaseNames",
                                 header(twoCaseBody().size()) + twoCaseBody(),
                                 {},
                                 "undecodable message: ",
                                 "Invalid number of keys found, expected one."},
                      StreamCase{"messageThenUndecodable",
                                 frameOf(kOk) + header(twoCaseBody().size()) + twoCaseBody(),
                                 {kOk},
                                 "undecodable message: ",
                                 "Invalid number of keys found, expected one."}),
    [](const auto& info) { return info.param.name; });

TEST_F(TransportTest, NotJsonReasonCarriesTheDecoderText) {
  // The decoder's own description follows the prefix.
  client->send(header(4) + "nope");
  client->cancel();
  awaitClose();
  ASSERT_TRUE(serverLog->reason.has_value());
  EXPECT_EQ(serverLog->reason->rfind("undecodable message: ", 0), 0u) << *serverLog->reason;
  EXPECT_GT(serverLog->reason->size(), std::string("undecodable message: ").size());
}

TEST_F(TransportTest, LargestFrameIsReadWhole) {
  // A "refused" message whose body is exactly maxFrame bytes: header 04 00 00 00.
  const std::size_t overhead = frameOf(Message::Refused{""}).size() - Wire::kHeaderSize;
  Message big = Message::Refused{std::string(Wire::maxFrame - overhead, 'r')};
  std::string frame = frameOf(big);
  ASSERT_EQ(frame.substr(0, 4), std::string("\x04\x00\x00\x00", 4));
  // Cancelled only once the frame is written: a cancel gives queued sends a
  // bounded time, which a slow (sanitizer) build can use up on 64 MiB.
  std::optional<std::optional<std::string>> sent;
  client->send(std::move(frame), [&](std::optional<std::string> error) { sent = error; });
  ASSERT_TRUE(runUntil(
      io, [&] { return sent.has_value(); }, std::chrono::seconds(120)));
  EXPECT_EQ(*sent, std::nullopt);
  client->cancel();
  awaitClose();
  EXPECT_EQ(serverLog->reason, std::nullopt);
  ASSERT_EQ(serverLog->messages.size(), 1u);
  EXPECT_EQ(serverLog->messages[0], big);
}

// Memory follows what the peer sent, not what its header announced: a
// 64 MiB announcement followed by nothing costs no 64 MiB.
TEST_F(TransportTest, AnAnnouncedBodyIsNotAllocatedBeforeItArrives) {
  auto second = anotherClient();
  bool headerRead = false;
  auto log = std::make_shared<LoopLog>();
  runLoop(server.accepted.back(), log, [&headerRead] {
    headerRead = true;
    return Wire::maxFrame;
  });
  // Large blocks come from mmap and count apart from the heap.
  auto held = [] { return ::mallinfo2().uordblks + ::mallinfo2().hblkhd; };
  const std::size_t before = held();
  second->send(header(Wire::maxFrame) + std::string(1000, 'x'));
  // The read of the body is asked for inside the handler that read the
  // header, so once that ran, whatever it allocated is allocated.
  ASSERT_TRUE(runUntil(io, [&] { return headerRead; }));
  const std::size_t after = held();
  EXPECT_LT(after, before + 4 * 1024 * 1024) << "bytes held after the header: " << after - before;
  EXPECT_EQ(log->closes, 0);
  second->cancel();
  ASSERT_TRUE(runUntil(io, [&] { return log->closes == 1; }));
}

TEST_F(TransportTest, AFrameOverTheLimitEndsTheLoop) {
  struct Case {
    const char* name;
    std::uint32_t body;
    std::optional<std::string> reason;
  } cases[] = {{"at the limit", 1000, std::nullopt}, {"one over", 1001, "frame too large"}};
  for (const Case& c : cases) {
    auto another = anotherClient();
    auto log = std::make_shared<LoopLog>();
    runLoop(server.accepted.back(), log, [] { return std::uint32_t{1000}; });
    const std::size_t overhead = frameOf(Message::Refused{""}).size() - Wire::kHeaderSize;
    another->send(frameOf(Message::Refused{std::string(c.body - overhead, 'r')}));
    another->cancel();
    ASSERT_TRUE(runUntil(io, [&] { return log->closes == 1; })) << c.name;
    EXPECT_EQ(log->reason, c.reason) << c.name;
    EXPECT_EQ(log->messages.size(), c.reason ? 0u : 1u) << c.name;
  }
}

// The owner cancelled the connection: that is no transport failure, whether
// the loop was waiting for a header or in the middle of a body.
class LocalCancelTest : public TransportTest,
                        public ::testing::WithParamInterface<std::pair<std::string, std::string>> {
};

TEST_P(LocalCancelTest, EndsTheLoopWithoutAReason) {
  const std::string& bytes = GetParam().second;
  auto peer = server.accepted[0];
  ASSERT_TRUE(runUntil(io, [&] { return peer->state() == State::ready; }));
  if (!bytes.empty()) {
    bool sent = false;
    client->send(bytes, [&](std::optional<std::string>) { sent = true; });
    ASSERT_TRUE(runUntil(io, [&] { return sent; }));
    io.run_for(std::chrono::milliseconds(100));
  }
  peer->cancel();
  awaitClose();
  EXPECT_EQ(serverLog->reason, std::nullopt);
  EXPECT_TRUE(serverLog->messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Cancel, LocalCancelTest,
                         ::testing::Values(std::pair<std::string, std::string>{"waitingForHeader",
                                                                               ""},
                                           std::pair<std::string, std::string>{
                                               "midBody", header(100) + std::string(10, 'x')}),
                         [](const auto& info) { return info.param.first; });

TEST_F(TransportTest, FailedHandshakeEndsTheLoopWithAHeaderError) {
  // A second client with a wrong key: the server side never becomes ready.
  auto intruder =
      TlsConnection::make("127.0.0.1", server.port, Transport::parameters("tallowick", keyOf(2)));
  intruder->start(io.get_executor());
  ASSERT_TRUE(runUntil(io, [&] { return server.accepted.size() == 2; }));
  auto log = std::make_shared<LoopLog>();
  runLoop(server.accepted[1], log);
  ASSERT_TRUE(runUntil(io, [&] { return log->closes > 0; }));
  EXPECT_FALSE(server.logs[1]->has(State::ready));
  ASSERT_TRUE(log->reason.has_value());
  EXPECT_EQ(log->reason->rfind("receive header: ", 0), 0u) << *log->reason;
  EXPECT_TRUE(log->messages.empty());
  intruder->cancel();
}

TEST_F(TransportTest, RepliesSentFromOnMessageArriveInOrder) {
  // The server answers every message from inside onMessage; the client's own
  // loop sees the answers in order.
  serverLog->echoTo = server.accepted[0];
  auto clientLog = std::make_shared<LoopLog>();
  runLoop(client, clientLog);
  std::vector<Message> sent = {
      kDecision, kOk, Message::Refused{"no"},
      Message::PreviewData{kDecision.get<Message::Decision>()->id, Bytes(300000, 0xab)}};
  int completions = 0;
  for (const Message& m : sent) Transport::send(m, client, [&] { ++completions; });
  ASSERT_TRUE(runUntil(io, [&] { return serverLog->messages.size() == sent.size(); }));
  EXPECT_EQ(serverLog->messages, sent);
  EXPECT_EQ(completions, static_cast<int>(sent.size()));
  ASSERT_TRUE(runUntil(io, [&] { return clientLog->messages.size() == sent.size(); }));
  EXPECT_EQ(clientLog->messages, sent);
  EXPECT_EQ(clientLog->closes, 0);
}

TEST_F(TransportTest, SendCompletionIsCalledEvenWhenTheConnectionIsGone) {
  client->cancel();
  bool called = false;
  Transport::send(kOk, client, [&] { called = true; });
  ASSERT_TRUE(runUntil(io, [&] { return called; }));
}

// The loop holds its connection only weakly: a connection whose loop waits
// for a header is freed once its executor is gone, whether the handshake
// was still under way or the loop had a read in flight.
TEST(TransportLifetime, ALoopDoesNotKeepItsConnectionAlive) {
  for (bool ready : {false, true}) {
    SCOPED_TRACE(ready ? "read in flight" : "receive queued before the handshake");
    auto io = std::make_unique<asio::io_context>();
    std::weak_ptr<TlsConnection> weak;
    auto log = std::make_shared<LoopLog>();
    {
      LoopbackServer server;
      ASSERT_TRUE(server.start(*io, Transport::parameters({{"tallowick", keyOf(1)}})));
      auto client = TlsConnection::make("127.0.0.1", server.port,
                                        Transport::parameters("tallowick", keyOf(1)));
      client->start(io->get_executor());
      ASSERT_TRUE(runUntil(*io, [&] { return !server.accepted.empty(); }));
      std::shared_ptr<TlsConnection> peer = server.accepted[0];
      if (ready) ASSERT_TRUE(runUntil(*io, [&] { return peer->state() == State::ready; }));
      runLoop(peer, log);
      weak = peer;
      server.listener->cancel();
      server.accepted.clear();
      // The client stays open: nothing ends the loop but the executor going.
      io->run_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(weak.expired()) << "a started connection keeps itself alive";
    io.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(log->closes, 0);
  }
}

}  // namespace
}  // namespace tallowick
