#include "shared/tls_listener.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "shared/tls_test_util.h"

namespace tallowick {
namespace {

using testing::keyOf;
using testing::runUntil;
using State = TlsListener::State;

struct ListenerLog {
  std::vector<State> states;
  std::string error;
  bool has(State state) const {
    return std::find(states.begin(), states.end(), state) != states.end();
  }
};

std::shared_ptr<TlsListener> makeWatched(asio::io_context& io, std::uint16_t port,
                                         const std::string& address,
                                         const std::shared_ptr<ListenerLog>& log) {
  auto listener =
      TlsListener::make(Transport::parameters({{"tallowick", keyOf(1)}}), port, address);
  listener->setStateHandler([log](State state, const std::string& error) {
    log->states.push_back(state);
    if (!error.empty()) log->error = error;
  });
  listener->start(io.get_executor());
  return listener;
}

TEST(TlsListener, AnyPortBecomesReadyWithTheBoundPortThenCancels) {
  asio::io_context io;
  auto log = std::make_shared<ListenerLog>();
  auto listener = makeWatched(io, 0, "127.0.0.1", log);
  ASSERT_TRUE(runUntil(io, [&] { return log->has(State::ready); }));
  ASSERT_TRUE(listener->port().has_value());
  EXPECT_NE(*listener->port(), 0);

  // The port really accepts TCP connections.
  asio::ip::tcp::socket probe(io);
  std::error_code ec;
  probe.connect({asio::ip::make_address("127.0.0.1"), *listener->port()}, ec);
  EXPECT_FALSE(ec) << ec.message();

  listener->cancel();
  listener->cancel();
  ASSERT_TRUE(runUntil(io, [&] { return log->has(State::cancelled); }));
  io.poll();
  EXPECT_EQ(log->states, (std::vector<State>{State::ready, State::cancelled}));
}

TEST(TlsListener, GivenPortIsUsedAndATakenPortFails) {
  asio::io_context io;
  auto firstLog = std::make_shared<ListenerLog>();
  auto first = makeWatched(io, 0, "127.0.0.1", firstLog);
  ASSERT_TRUE(runUntil(io, [&] { return firstLog->has(State::ready); }));
  std::uint16_t port = *first->port();

  auto secondLog = std::make_shared<ListenerLog>();
  auto second = makeWatched(io, port, "127.0.0.1", secondLog);
  ASSERT_TRUE(runUntil(io, [&] { return !secondLog->states.empty(); }));
  EXPECT_EQ(secondLog->states, std::vector<State>{State::failed});
  EXPECT_EQ(secondLog->error, "Address already in use");
  EXPECT_EQ(second->port(), std::nullopt);

  // Once the first is gone the port can be taken again, as a restarted
  // listener does.
  first->cancel();
  auto thirdLog = std::make_shared<ListenerLog>();
  auto third = makeWatched(io, port, "127.0.0.1", thirdLog);
  ASSERT_TRUE(runUntil(io, [&] { return !thirdLog->states.empty(); }));
  EXPECT_EQ(thirdLog->states, std::vector<State>{State::ready});
  EXPECT_EQ(third->port(), port);

  second->cancel();
  third->cancel();
  ASSERT_TRUE(runUntil(io, [&] { return secondLog->has(State::cancelled); }));
  io.poll();
}

TEST(TlsListener, UnparsableBindAddressFails) {
  asio::io_context io;
  auto log = std::make_shared<ListenerLog>();
  auto listener = makeWatched(io, 0, "not-an-address", log);
  ASSERT_TRUE(runUntil(io, [&] { return !log->states.empty(); }));
  EXPECT_EQ(log->states, std::vector<State>{State::failed});
  EXPECT_FALSE(log->error.empty());
}

// ---- An independent TLS implementation against the listener --------------

// The listener runs on its own thread while the external tool, run from the
// test's thread, connects.
class ExternalClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = TlsListener::make(
        Transport::parameters({{"dev-0123456789abcdef", keyOf(40)}, {"tallowick", keyOf(1)}}), 0,
        "127.0.0.1");
    listener->setNewConnectionHandler([this](std::shared_ptr<TlsConnection> connection) {
      connection->setStateHandler(
          [this, weak = std::weak_ptr(connection)](TlsConnection::State state, const std::string&) {
            auto c = weak.lock();
            if (state == TlsConnection::State::ready && c) {
              std::lock_guard lock(mutex);
              readyIdentities.push_back(c->identity().value_or("?"));
            }
          });
      connection->start(io.get_executor());
      connections.push_back(connection);
    });
    listener->start(io.get_executor());
    ASSERT_TRUE(runUntil(io, [&] { return listener->port().has_value(); }));
    port = *listener->port();
    thread = std::thread([this] { io.run(); });
  }

  void TearDown() override {
    asio::post(io, [this] {
      listener->cancel();
      for (auto& c : connections) c->cancel();
    });
    work.reset();
    thread.join();
  }

  static bool has(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
  }

  // Runs `command` with stdin closed; returns its combined output.
  static std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(("timeout 20 " + command + " </dev/null 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
  }

  std::string command(const std::string& tool, const std::string& identity, const Bytes& key) {
    std::string p = std::to_string(port);
    if (tool == "gnutls-cli") {
      return "gnutls-cli --pskusername=" + identity + " --pskkey=" + testing::hex(key) +
             " --priority 'NORMAL:-VERS-ALL:+VERS-TLS1.3:-KX-ALL:+PSK:+DHE-PSK' -p " + p +
             " 127.0.0.1";
    }
    return "openssl s_client -tls1_3 -psk_identity " + identity + " -psk " + testing::hex(key) +
           " -ciphersuites TLS_AES_128_GCM_SHA256 -connect 127.0.0.1:" + p;
  }

  std::vector<std::string> identities() {
    std::lock_guard lock(mutex);
    return readyIdentities;
  }

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::shared_ptr<TlsListener> listener;
  std::vector<std::shared_ptr<TlsConnection>> connections;  // touched on the io thread only
  std::uint16_t port = 0;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> readyIdentities;
};

struct ExternalCase {
  std::string name;
  std::string identity;
  Bytes key;
  bool completes;
};

class ExternalHandshakeTest
    : public ExternalClientTest,
      public ::testing::WithParamInterface<std::tuple<std::string, ExternalCase>> {};

TEST_P(ExternalHandshakeTest, CompletesOnlyWithTheRightKey) {
  const auto& [tool, c] = GetParam();
  if (!has(tool.c_str())) GTEST_SKIP() << tool << " is not installed";
  std::string output = run(command(tool, c.identity, c.key));
  // Both tools print the negotiated suite once the handshake is through.
  bool toolCompleted = output.find("AES-128-GCM") != std::string::npos ||
                       output.find("TLS_AES_128_GCM_SHA256") != std::string::npos;
  // Give the server side a moment to deliver its state.
  for (int i = 0; i < 50 && c.completes && identities().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (c.completes) {
    EXPECT_TRUE(toolCompleted) << output;
    EXPECT_EQ(identities(), std::vector<std::string>{c.identity}) << output;
  } else {
    EXPECT_FALSE(toolCompleted) << output;
    EXPECT_TRUE(identities().empty()) << output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ExternalHandshakeTest,
    ::testing::Combine(
        ::testing::Values("gnutls-cli", "openssl"),
        ::testing::Values(ExternalCase{"codeIdentity", "tallowick", keyOf(1), true},
                          ExternalCase{"deviceIdentity", "dev-0123456789abcdef", keyOf(40), true},
                          ExternalCase{"wrongKey", "tallowick", keyOf(2), false},
                          ExternalCase{"unknownIdentity", "stranger", keyOf(1), false})),
    [](const auto& info) {
      std::string tool = std::get<0>(info.param) == "openssl" ? "openssl" : "gnutls";
      return tool + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace tallowick
