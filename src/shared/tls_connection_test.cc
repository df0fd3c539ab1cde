#include "shared/tls_connection.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "shared/tls_test_util.h"

namespace tallowick {
namespace {

using testing::keyOf;
using testing::LoopbackServer;
using testing::runUntil;
using testing::StateLog;
using State = TlsConnection::State;
using Transport::Credential;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct HandshakeCase {
  std::string name;
  std::vector<Credential> server;
  Credential client;
  std::optional<std::string> identity;  // expected on both sides; nullopt = must fail
};

class HandshakeTest : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeTest, ReadyOnlyWithAKnownIdentityAndItsKey) {
  const HandshakeCase& c = GetParam();
  asio::io_context io;
  LoopbackServer server;
  ASSERT_TRUE(server.start(io, Transport::parameters(c.server)));

  auto client = TlsConnection::make("127.0.0.1", server.port, Transport::parameters({c.client}));
  auto clientLog = std::make_shared<StateLog>();
  testing::watch(client, clientLog);
  client->start(io.get_executor());

  ASSERT_TRUE(runUntil(io, [&] {
    bool serverSettled =
        !server.logs.empty() && (server.logs[0]->has(State::ready) || server.logs[0]->ended());
    return serverSettled && (clientLog->has(State::ready) || clientLog->ended());
  }));
  const StateLog& serverLog = *server.logs[0];
  if (c.identity) {
    EXPECT_TRUE(serverLog.has(State::ready)) << serverLog.error;
    EXPECT_TRUE(clientLog->has(State::ready)) << clientLog->error;
    EXPECT_EQ(server.accepted[0]->identity(), c.identity);
    EXPECT_EQ(client->identity(), c.identity);
  } else {
    EXPECT_FALSE(serverLog.has(State::ready));
    EXPECT_FALSE(clientLog->has(State::ready));
    EXPECT_TRUE(serverLog.has(State::failed));
    EXPECT_FALSE(serverLog.error.empty());
    EXPECT_EQ(server.accepted[0]->identity(), std::nullopt);
  }
  client->cancel();
  server.stop();
  runUntil(io, [&] { return clientLog->has(State::cancelled); });
}

Bytes shortKey() { return Bytes(16, 7); }

INSTANTIATE_TEST_SUITE_P(
    Credentials, HandshakeTest,
    ::testing::Values(
        HandshakeCase{
            "matchingKey", {{"tallowick", keyOf(1)}}, {"tallowick", keyOf(1)}, "tallowick"},
        HandshakeCase{"laterCredentialInList",
                      {{"tallowick", keyOf(1)}, {"dev-0123456789abcdef", keyOf(2)}},
                      {"dev-0123456789abcdef", keyOf(2)},
                      "dev-0123456789abcdef"},
        HandshakeCase{"firstOfRepeatedIdentityWins",
                      {{"dev-a", keyOf(3)}, {"dev-a", keyOf(4)}},
                      {"dev-a", keyOf(3)},
                      "dev-a"},
        HandshakeCase{"pairingCode",
                      {Credential::pairing("012345")},
                      Credential::pairing("012345"),
                      "tallowick"},
        HandshakeCase{"pairingCodeWithoutLeadingZero",
                      {Credential::pairing("012345")},
                      Credential::pairing("12345"),
                      {}},
        HandshakeCase{"wrongKey", {{"tallowick", keyOf(1)}}, {"tallowick", keyOf(9)}, {}},
        HandshakeCase{"unknownIdentity", {{"tallowick", keyOf(1)}}, {"stranger", keyOf(1)}, {}},
        HandshakeCase{
            "identityDiffersInCase", {{"tallowick", keyOf(1)}}, {"Tallowick", keyOf(1)}, {}},
        HandshakeCase{"noServerCredentials", {}, {"tallowick", keyOf(1)}, {}},
        HandshakeCase{
            "shortKeysNeverUsed", {{"tallowick", shortKey()}}, {"tallowick", shortKey()}, {}},
        HandshakeCase{"emptyKeysNeverUsed", {{"tallowick", {}}}, {"tallowick", {}}, {}}),
    [](const auto& info) { return info.param.name; });

// A client and an accepted server connection, both ready.
class ConnectedPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(io, Transport::parameters({{"dev-x", keyOf(5)}})));
    client =
        TlsConnection::make("127.0.0.1", server.port, Transport::parameters("dev-x", keyOf(5)));
    testing::watch(client, clientLog);
    client->start(io.get_executor());
    ASSERT_TRUE(runUntil(io, [&] {
      return clientLog->has(State::ready) && !server.logs.empty() &&
             server.logs[0]->has(State::ready);
    }));
    peer = server.accepted[0];
  }

  void TearDown() override {
    if (client) client->cancel();
    server.stop();
    runUntil(io, [&] { return clientLog->ended(); });
  }

  struct Received {
    bool done = false;
    Bytes content;
    bool isComplete = false;
    std::optional<std::string> error;
  };

  std::shared_ptr<Received> receiveOn(const std::shared_ptr<TlsConnection>& connection,
                                      std::size_t length) {
    auto result = std::make_shared<Received>();
    connection->receive(length,
                        [result](Bytes content, bool isComplete, std::optional<std::string> error) {
                          EXPECT_FALSE(result->done) << "completion called twice";
                          result->done = true;
                          result->content = std::move(content);
                          result->isComplete = isComplete;
                          result->error = std::move(error);
                        });
    return result;
  }

  asio::io_context io;
  LoopbackServer server;
  std::shared_ptr<TlsConnection> client;
  std::shared_ptr<TlsConnection> peer;
  std::shared_ptr<StateLog> clientLog = std::make_shared<StateLog>();
};

TEST_F(ConnectedPair, ReceivesExactLengthsAcrossSendBoundaries) {
  client->send(bytesOf("abcdef"));
  client->send(bytesOf("ghij"));
  auto first = receiveOn(peer, 4);
  auto second = receiveOn(peer, 5);
  auto third = receiveOn(peer, 1);
  ASSERT_TRUE(runUntil(io, [&] { return third->done; }));
  EXPECT_EQ(first->content, bytesOf("abcd"));
  EXPECT_EQ(second->content, bytesOf("efghi"));
  EXPECT_EQ(third->content, bytesOf("j"));
  for (const auto& r : {first, second, third}) {
    EXPECT_FALSE(r->isComplete);
    EXPECT_EQ(r->error, std::nullopt);
  }
}

TEST_F(ConnectedPair, CleanFinishHandsOverPartialBytesThenCompletesEmpty) {
  client->send(bytesOf("xy"));
  client->cancel();
  auto partial = receiveOn(peer, 4);
  ASSERT_TRUE(runUntil(io, [&] { return partial->done; }));
  EXPECT_EQ(partial->content, bytesOf("xy"));
  EXPECT_TRUE(partial->isComplete);
  EXPECT_EQ(partial->error, std::nullopt);

  auto after = receiveOn(peer, 4);
  ASSERT_TRUE(runUntil(io, [&] { return after->done; }));
  EXPECT_TRUE(after->content.empty());
  EXPECT_TRUE(after->isComplete);
  EXPECT_EQ(after->error, std::nullopt);
  // A finished stream is not a failure; the owner decides when to cancel.
  EXPECT_EQ(peer->state(), State::ready);
}

TEST_F(ConnectedPair, SendsQueuedBeforeCancelStillArrive) {
  Bytes big(3 << 20, 0x5a);
  int sent = 0;
  client->send(big, [&](std::optional<std::string> error) {
    EXPECT_EQ(error, std::nullopt);
    ++sent;
  });
  client->send(bytesOf("tail"), [&](std::optional<std::string> error) {
    EXPECT_EQ(error, std::nullopt);
    ++sent;
  });
  client->cancel();
  auto body = receiveOn(peer, big.size());
  auto tail = receiveOn(peer, 4);
  auto end = receiveOn(peer, 1);
  ASSERT_TRUE(runUntil(io, [&] { return end->done; }));
  EXPECT_EQ(sent, 2);
  EXPECT_EQ(body->content, big);
  EXPECT_EQ(tail->content, bytesOf("tail"));
  EXPECT_TRUE(end->isComplete);
}

TEST_F(ConnectedPair, CancelCompletesPendingWorkWithAnError) {
  auto pending = receiveOn(peer, 4);
  auto queued = receiveOn(peer, 4);
  peer->cancel();
  ASSERT_TRUE(runUntil(io, [&] { return pending->done && queued->done; }));
  for (const auto& r : {pending, queued}) {
    EXPECT_EQ(r->error, std::optional<std::string>("Operation canceled"));
    EXPECT_FALSE(r->isComplete);
  }
  ASSERT_TRUE(runUntil(io, [&] { return server.logs[0]->has(State::cancelled); }));

  bool sendDone = false;
  peer->send(bytesOf("late"), [&](std::optional<std::string> error) {
    EXPECT_TRUE(error.has_value());
    sendDone = true;
  });
  auto late = receiveOn(peer, 1);
  ASSERT_TRUE(runUntil(io, [&] { return sendDone && late->done; }));
  EXPECT_TRUE(late->error.has_value());

  // The client sees our close_notify as a clean end of stream.
  auto atClient = receiveOn(client, 1);
  ASSERT_TRUE(runUntil(io, [&] { return atClient->done; }));
  EXPECT_TRUE(atClient->isComplete);
  EXPECT_EQ(atClient->error, std::nullopt);
}

TEST_F(ConnectedPair, CancelledStateIsDeliveredOnceEvenAfterRepeatedCancels) {
  peer->cancel();
  peer->cancel();
  ASSERT_TRUE(runUntil(io, [&] { return server.logs[0]->has(State::cancelled); }));
  io.poll();
  const auto& states = server.logs[0]->states;
  EXPECT_EQ(std::count(states.begin(), states.end(), State::cancelled), 1);
}

TEST(TlsConnection, SendsAndReceivesIssuedBeforeReadyWaitForTheHandshake) {
  asio::io_context io;
  LoopbackServer server;
  ASSERT_TRUE(server.start(io, Transport::parameters({{"tallowick", keyOf(1)}})));
  auto client =
      TlsConnection::make("127.0.0.1", server.port, Transport::parameters("tallowick", keyOf(1)));
  client->start(io.get_executor());
  client->send(bytesOf("early"));
  ASSERT_TRUE(runUntil(io, [&] { return !server.accepted.empty(); }));
  Bytes got;
  server.accepted[0]->receive(5, [&](Bytes content, bool, std::optional<std::string> error) {
    EXPECT_EQ(error, std::nullopt);
    got = std::move(content);
  });
  ASSERT_TRUE(runUntil(io, [&] { return !got.empty(); }));
  EXPECT_EQ(got, bytesOf("early"));
  client->cancel();
  server.stop();
  io.poll();
}

TEST(TlsConnection, FailedHandshakeFailsQueuedReceives) {
  asio::io_context io;
  LoopbackServer server;
  ASSERT_TRUE(server.start(io, Transport::parameters({{"tallowick", keyOf(1)}})));
  auto client =
      TlsConnection::make("127.0.0.1", server.port, Transport::parameters("tallowick", keyOf(2)));
  client->start(io.get_executor());
  std::optional<std::string> error;
  bool done = false;
  client->receive(4, [&](Bytes, bool isComplete, std::optional<std::string> e) {
    EXPECT_FALSE(isComplete);
    error = e;
    done = true;
  });
  ASSERT_TRUE(runUntil(io, [&] { return done; }));
  ASSERT_TRUE(error.has_value());
  EXPECT_FALSE(error->empty());
  EXPECT_EQ(client->state(), State::failed);
  server.stop();
  io.poll();
}

TEST(TlsConnection, ConnectionRefusedFails) {
  asio::io_context io;
  // A port nothing listens on: bind one, note it, close it.
  asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::uint16_t port = probe.local_endpoint().port();
  probe.close();
  auto client =
      TlsConnection::make("127.0.0.1", port, Transport::parameters("tallowick", keyOf(1)));
  auto log = std::make_shared<StateLog>();
  testing::watch(client, log);
  client->start(io.get_executor());
  ASSERT_TRUE(runUntil(io, [&] { return log->ended(); }));
  EXPECT_TRUE(log->has(State::failed));
  EXPECT_EQ(log->error, "Connection refused");
}

TEST(TlsConnection, AcceptedConnectionRunsOnTheExecutorItWasStartedOn) {
  // The listener runs on one io_context; the accepted connection is started
  // on another, run by its own thread. Every callback must come from there.
  asio::io_context listenerIo;
  asio::io_context serverIo;
  auto work = asio::make_work_guard(serverIo);
  std::thread serverThread([&] { serverIo.run(); });
  std::thread::id serverThreadId = serverThread.get_id();

  std::shared_ptr<TlsConnection> accepted;
  auto listener =
      TlsListener::make(Transport::parameters({{"tallowick", keyOf(1)}}), 0, "127.0.0.1");
  std::promise<void> received;
  std::atomic<bool> onServerThread{true};
  std::atomic<int> callbacks{0};
  listener->setNewConnectionHandler([&](std::shared_ptr<TlsConnection> connection) {
    accepted = connection;
    connection->setStateHandler([&](State, const std::string&) {
      if (std::this_thread::get_id() != serverThreadId) onServerThread = false;
      ++callbacks;
    });
    connection->start(serverIo.get_executor());
    asio::post(serverIo, [&, connection] {
      connection->receive(3, [&](Bytes, bool, std::optional<std::string>) {
        if (std::this_thread::get_id() != serverThreadId) onServerThread = false;
        ++callbacks;
        received.set_value();
      });
    });
  });
  listener->start(listenerIo.get_executor());
  ASSERT_TRUE(runUntil(listenerIo, [&] { return listener->port().has_value(); }));

  auto client = TlsConnection::make("127.0.0.1", *listener->port(),
                                    Transport::parameters("tallowick", keyOf(1)));
  client->start(listenerIo.get_executor());
  client->send(bytesOf("abc"));
  auto future = received.get_future();
  ASSERT_TRUE(runUntil(listenerIo, [&] {
    return future.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
  }));
  EXPECT_TRUE(onServerThread);
  EXPECT_GE(callbacks.load(), 3);  // preparing, ready, the receive

  asio::post(serverIo, [&] { accepted->cancel(); });
  client->cancel();
  listener->cancel();
  runUntil(listenerIo, [&] { return client->state() == State::cancelled; });
  work.reset();
  serverThread.join();
  accepted.reset();
}

// A completion that holds its own connection (as a caller's loop may) must
// not keep the connection alive once the connection is cancelled, nor once
// its executor is torn down without running what it had queued.
struct LifetimeCase {
  std::string name;
  bool ready;   // the receive is in flight, not queued before the handshake
  bool cancel;  // the owner cancels the connection first
  bool drain;   // the io_context runs out of work, rather than being destroyed as is
};

class LifetimeTest : public ::testing::TestWithParam<LifetimeCase> {};

TEST_P(LifetimeTest, PendingCompletionsDoNotKeepTheirConnectionAlive) {
  const LifetimeCase& c = GetParam();
  auto io = std::make_unique<asio::io_context>();
  std::weak_ptr<TlsConnection> weak;
  int calls = 0;
  {
    LoopbackServer server;
    ASSERT_TRUE(server.start(*io, Transport::parameters({{"tallowick", keyOf(1)}})));
    auto client =
        TlsConnection::make("127.0.0.1", server.port, Transport::parameters("tallowick", keyOf(1)));
    client->start(io->get_executor());
    ASSERT_TRUE(runUntil(*io, [&] { return !server.accepted.empty(); }));
    std::shared_ptr<TlsConnection> peer = server.accepted[0];
    if (c.ready) {
      ASSERT_TRUE(runUntil(*io, [&] { return peer->state() == State::ready; }));
    } else {
      ASSERT_NE(peer->state(), State::ready);
    }
    weak = peer;
    peer->receive(4, [peer, &calls](Bytes, bool, std::optional<std::string>) { ++calls; });
    peer->send(bytesOf("hi"), [peer](std::optional<std::string>) {});
    if (c.cancel) peer->cancel();
    client->cancel();
    server.listener->cancel();
    server.accepted.clear();
  }
  if (c.drain) {
    io->run_for(std::chrono::seconds(10));
    EXPECT_EQ(calls, 1) << "a drained executor completes the receive";
  }
  io.reset();
  EXPECT_TRUE(weak.expired());
}

INSTANTIATE_TEST_SUITE_P(
    Connections, LifetimeTest,
    ::testing::Values(LifetimeCase{"inFlightCancelledThenDrained", true, true, true},
                      LifetimeCase{"inFlightCancelledThenTornDown", true, true, false},
                      LifetimeCase{"inFlightTornDown", true, false, false},
                      LifetimeCase{"queuedCancelledThenDrained", false, true, true},
                      LifetimeCase{"queuedCancelledThenTornDown", false, true, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tallowick
