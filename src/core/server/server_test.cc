// The server end to end over loopback TLS: pairing with the code and with the
// QR offer through the real listener, refusals of bad or silent peers, the
// pause after repeated failures, status and events, and a rescan.

#include "core/server/server.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>
#include <asio.hpp>

#include "core/commit/commit_engine.h"
#include "core/server/dnssd_test_env.h"
#include "core/server/server_test_util.h"
#include "core/server/service_browser.h"
#include "shared/file_util.h"
#include "shared/pairing_payload.h"
#include "shared/psk.h"
#include "shared/tls_test_util.h"
#include "shared/transport.h"
#include "shared/wire.h"

namespace tallowick {
namespace {

using ::tallowick::testing::EventLog;
using ::tallowick::testing::kIdentities;
using ::tallowick::testing::makeTestHome;
using ::tallowick::testing::releaseServer;
using ::tallowick::testing::runUntil;
using ::tallowick::testing::StateLog;
using ::tallowick::testing::TestClock;
using ::tallowick::testing::watch;
using namespace std::chrono_literals;

constexpr const char* kCode = "123456";

// The 4-byte header of a frame announcing `length` bytes.
Bytes frameHeader(std::uint32_t length) {
  return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

// A phone as the tests drive it: a TLS client on the test's io_context.
struct Phone {
  std::shared_ptr<TlsConnection> conn;
  std::shared_ptr<StateLog> states = std::make_shared<StateLog>();
  std::vector<Message> received;
  bool closed = false;
  std::optional<std::string> reason;

  template <class T>
  const T* first() const {
    for (const auto& message : received) {
      if (const T* found = message.get<T>()) return found;
    }
    return nullptr;
  }
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTestHome("tallowick-server-test");
    ASSERT_FALSE(dir_.empty());
    root_ = dir_ + "/root";
    storage_ = dir_ + "/storage";
    ASSERT_TRUE(createDirectories(root_));
  }

  void TearDown() override {
    for (auto& phone : phones_) phone->conn->cancel();
    runUntil(
        io_,
        [&] {
          for (auto& phone : phones_) {
            if (!phone->states->ended() && !phone->states->states.empty()) return false;
          }
          return true;
        },
        3s);
    phones_.clear();
    releaseServer(server_);
    std::filesystem::remove_all(dir_);
  }

  Server::Config config() {
    Server::Config config("Test Mac", std::vector<std::string>{root_}, 1, storage_);
    config.advertise = false;
    config.bindAddress = "127.0.0.1";
    config.clock = [clock = clock_] { return clock->now(); };
    config.tickInterval = 50ms;
    return config;
  }

  // Starts the server and waits until it listens.
  void start(Server::Config config, std::optional<Report> report = std::nullopt) {
    server_ = Server::make(std::move(config), std::move(report), std::string(kCode));
    server_->setOnEvent([events = events_](const ServerEvent& event) { events->add(event); });
    server_->start();
    ASSERT_TRUE(waitFor([&] { return events_->port().has_value(); }));
    port_ = *events_->port();
  }

  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    return runUntil(io_, done, limit);
  }

  std::shared_ptr<Phone> connect(Transport::Parameters parameters) {
    auto phone = std::make_shared<Phone>();
    phone->conn = TlsConnection::make("127.0.0.1", port_, std::move(parameters));
    watch(phone->conn, phone->states);
    phone->conn->start(io_.get_executor());
    std::weak_ptr<Phone> weak = phone;
    Transport::receive(
        phone->conn,
        [weak](Message message) {
          if (auto p = weak.lock()) p->received.push_back(std::move(message));
        },
        [weak](std::optional<std::string> reason) {
          if (auto p = weak.lock()) {
            p->closed = true;
            p->reason = reason;
          }
        });
    phones_.push_back(phone);
    return phone;
  }

  void hello(Phone& phone, const std::string& name, const std::string& deviceID, const Bytes& key) {
    Transport::send(Message::Hello{name, deviceID, PSK::proof(key, deviceID)}, phone.conn);
  }

  // Connects with the code and says hello; returns once the agent answered.
  std::shared_ptr<Phone> greetedWithCode(const std::string& name, const std::string& code = kCode) {
    auto phone = connect(Transport::pairingParameters(code));
    hello(*phone, name, "", PSK::derive(code));
    EXPECT_TRUE(waitFor([&] { return phone->first<Message::Hello>() != nullptr; }));
    return phone;
  }

  std::string dir_, root_, storage_;
  std::shared_ptr<TestClock> clock_ = std::make_shared<TestClock>();
  std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>();
  asio::io_context io_;
  std::shared_ptr<Server> server_;
  std::uint16_t port_ = 0;
  std::vector<std::shared_ptr<Phone>> phones_;
};

TEST_F(ServerTest, PairsWithTheCodeAndForgetsThePhoneWhenItCloses) {
  start(config());
  auto status = events_->status();
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->listening);
  EXPECT_EQ(status->code, kCode);
  EXPECT_TRUE(events_->lines().front().starts_with("listening with identities: tallowick, dev-"));

  auto phone = greetedWithCode("Ann's phone");
  const auto* reply = phone->first<Message::Hello>();
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->name, "Test Mac");
  EXPECT_EQ(reply->deviceID, "");
  EXPECT_TRUE(reply->proof.empty());
  ASSERT_TRUE(
      waitFor([&] { return events_->has("· hello from “Ann's phone” (code:Ann's phone)"); }));
  EXPECT_TRUE(events_->has("+ peer connected"));
  EXPECT_EQ(events_->status()->phone, "Ann's phone");

  Transport::send(Message::Summary{}, phone->conn);
  ASSERT_TRUE(waitFor([&] { return phone->first<Message::SummaryResult>() != nullptr; }));
  const auto* summary = phone->first<Message::SummaryResult>();
  EXPECT_EQ(summary->macName, "Test Mac");
  // No report yet: scanned in "the distant past".
  EXPECT_EQ(codec::formatDate(summary->scannedAt), "0001-01-01T00:00:00Z");
  EXPECT_TRUE(summary->decks.empty());
  EXPECT_EQ(summary->roots, std::vector<std::string>{"root"});

  // A clean close from the phone must end the peer on the agent too.
  phone->conn->cancel();
  ASSERT_TRUE(waitFor([&] { return events_->has("- peer gone"); }));
  ASSERT_TRUE(waitFor([&] { return !events_->status()->phone.has_value(); }));
  // A code pairing stores nothing.
  EXPECT_FALSE(std::filesystem::exists(storage_ + "/devices.json"));
}

TEST_F(ServerTest, PairsWithTheQrOfferAndReconnectsAsAPairedDevice) {
  start(config());
  auto payload = PairingPayload::parse(events_->status()->qrPayload);
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->name, "Test Mac");
  Bytes key = *codec::base64Decode(payload->psk);
  int listensBefore = events_->listeningCount();

  auto phone = connect(Transport::parameters(payload->id, key));
  hello(*phone, "Bo", payload->id, key);
  ASSERT_TRUE(waitFor([&] { return phone->first<Message::Hello>() != nullptr; }));
  ASSERT_TRUE(waitFor([&] { return events_->has("★ paired new device “Bo” as " + payload->id); }));
  auto status = events_->status();
  ASSERT_EQ(status->devices.size(), 1u);
  EXPECT_EQ(status->devices[0].deviceID, payload->id);
  EXPECT_EQ(status->devices[0].key, key);
  auto newPayload = PairingPayload::parse(status->qrPayload);
  ASSERT_TRUE(newPayload);
  EXPECT_NE(newPayload->id, payload->id) << "a used offer is replaced";
  EXPECT_TRUE(std::filesystem::exists(storage_ + "/devices.json"));

  // The new offer works at once, while the first phone is still served, and
  // the listener is not restarted for it.
  Bytes newKey = *codec::base64Decode(newPayload->psk);
  auto second = connect(Transport::parameters(newPayload->id, newKey));
  hello(*second, "Cy", newPayload->id, newKey);
  ASSERT_TRUE(waitFor([&] { return second->first<Message::Hello>() != nullptr; }));
  ASSERT_TRUE(
      waitFor([&] { return events_->has("★ paired new device “Cy” as " + newPayload->id); }));
  Transport::send(Message::Summary{}, phone->conn);
  ASSERT_TRUE(waitFor([&] { return phone->first<Message::SummaryResult>() != nullptr; }));
  EXPECT_FALSE(phone->closed);
  // A used offer is no longer one: it pairs nobody else.
  auto late = connect(Transport::parameters(newPayload->id, Bytes(PSK::keyLength, 1)));
  ASSERT_TRUE(waitFor([&] { return late->states->ended(); }));
  EXPECT_FALSE(late->states->has(TlsConnection::State::ready));
  phone->conn->cancel();
  second->conn->cancel();
  ASSERT_TRUE(waitFor([&] { return events_->count("- peer gone") == 2; }));
  EXPECT_EQ(events_->listeningCount(), listensBefore);

  auto again = connect(Transport::parameters(payload->id, key));
  hello(*again, "Bo", payload->id, key);
  ASSERT_TRUE(waitFor([&] { return again->first<Message::Hello>() != nullptr; }));
  ASSERT_TRUE(
      waitFor([&] { return events_->count("· hello from “Bo” (" + payload->id + ")") == 2; }));
  EXPECT_EQ(events_->count("★ paired"), 2) << "Bo and Cy, once each";
}

struct BadHelloCase {
  const char* label;
  std::function<Message(const Bytes& codeKey)> message;
  std::string line;
};

TEST_F(ServerTest, ClosesPeersThatDoNotProveTheirKeyAndKeepsServingOthers) {
  const std::string unknown = "dev-00112233445566ff";
  const std::vector<BadHelloCase> cases = {
      {"message before hello", [](const Bytes&) { return Message(Message::Summary{}); },
       "! message before hello — closed"},
      {"wrong proof",
       [](const Bytes&) {
         return Message(Message::Hello{"Eve", "", Bytes(32, 7)});
       },
       "! hello proof failed for “code” — closed"},
      {"unknown device",
       [unknown](const Bytes& key) {
         return Message(Message::Hello{"Eve", unknown, PSK::proof(key, unknown)});
       },
       "! hello proof failed for “" + unknown + "” — closed"},
  };
  start(config());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto phone = connect(Transport::pairingParameters(kCode));
    Transport::send(c.message(PSK::derive(kCode)), phone->conn);
    ASSERT_TRUE(waitFor([&] { return phone->closed; }));
    EXPECT_TRUE(phone->received.empty()) << "nothing is sent to an unauthenticated peer";
    EXPECT_TRUE(events_->has(c.line));
  }
  // The line that says why is the only one: the close the agent asked for is
  // not also reported as a failed receive.
  EXPECT_EQ(events_->containing("! receive "), std::vector<std::string>{});
  EXPECT_FALSE(events_->has("· hello"));
  EXPECT_FALSE(events_->status()->phone.has_value());
  // TLS completed for all of them: none counts as a failed pairing.
  EXPECT_FALSE(events_->status()->pairingPaused);

  auto good = greetedWithCode("Ann");
  EXPECT_NE(good->first<Message::Hello>(), nullptr);
}

TEST_F(ServerTest, ClosesAGreetedPeerThatSendsABadFrameLength) {
  const std::vector<std::pair<std::uint32_t, const char*>> cases = {{0, "zero"},
                                                                    {67'108'865, "64 MiB + 1"}};
  start(config());
  for (const auto& [length, label] : cases) {
    SCOPED_TRACE(label);
    auto phone = greetedWithCode("Ann");
    int goneBefore = events_->count("- peer gone");
    phone->conn->send(frameHeader(length));
    ASSERT_TRUE(waitFor([&] { return phone->closed; }));
    ASSERT_TRUE(waitFor([&] { return events_->count("- peer gone") == goneBefore + 1; }));
    EXPECT_TRUE(events_->has("! bad frame length"));
  }
  // The status follows the "- peer gone" line.
  EXPECT_TRUE(waitFor([&] { return !events_->status()->phone.has_value(); }));
}

// Before hello a peer is no one: it may not make the agent hold a large
// frame, however far its body is from arriving.
TEST_F(ServerTest, ClosesAPeerThatAnnouncesALargeFrameBeforeHello) {
  const std::vector<std::pair<std::uint32_t, const char*>> cases = {{67'108'864, "64 MiB"},
                                                                    {65'537, "64 KiB + 1"}};
  start(config());
  for (const auto& [length, label] : cases) {
    SCOPED_TRACE(label);
    auto phone = connect(Transport::pairingParameters(kCode));
    ASSERT_TRUE(waitFor([&] { return phone->conn->state() == TlsConnection::State::ready; }));
    int before = events_->count("! frame too large");
    phone->conn->send(frameHeader(length));
    ASSERT_TRUE(waitFor([&] { return phone->closed; }));
    EXPECT_TRUE(waitFor([&] { return events_->count("! frame too large") == before + 1; }));
    EXPECT_TRUE(phone->received.empty());
  }
  // A hello of the largest size allowed before hello is still read.
  auto phone = connect(Transport::pairingParameters(kCode));
  Message::Hello hello{"", "", PSK::proof(PSK::derive(kCode), "")};
  const std::size_t overhead = Wire::encode(hello)->size() - Wire::kHeaderSize;
  hello.name = std::string(65'536 - overhead, 'n');
  ASSERT_EQ(Wire::encode(hello)->size(), Wire::kHeaderSize + 65'536);
  Transport::send(hello, phone->conn);
  EXPECT_TRUE(waitFor([&] { return phone->first<Message::Hello>() != nullptr; }));
}

// Runs in a child of IdleConnectionsLeaveDescriptorsForPhones, under a
// limit of 256 descriptors for the whole process: 150 plain TCP connections
// that never say anything, then a phone.
TEST_F(ServerTest, IdleConnectionFloodChild) {
  if (std::getenv("TALLOWICK_FLOOD_CHILD") == nullptr) {
    GTEST_SKIP() << "run by ServerFlood.IdleConnectionsLeaveDescriptorsForPhones";
  }
  constexpr int kFlood = 150;
  auto c = config();
  c.maxUngreeted = 64;
  start(c);
  std::vector<std::unique_ptr<asio::ip::tcp::socket>> flood;
  for (int i = 0; i < kFlood; ++i) {
    flood.push_back(std::make_unique<asio::ip::tcp::socket>(io_));
    flood.back()->connect({asio::ip::make_address("127.0.0.1"), port_});
    flood.back()->non_blocking(true);
  }
  // The agent keeps the newest 64 and closes the others, oldest first.
  auto closedByAgent = [&](asio::ip::tcp::socket& socket) {
    char byte;
    std::error_code ec;
    socket.read_some(asio::buffer(&byte, 1), ec);
    return ec && ec != asio::error::would_block && ec != asio::error::try_again;
  };
  std::vector<bool> closed(kFlood, false);
  ASSERT_TRUE(waitFor([&] {
    int n = 0;
    for (int i = 0; i < kFlood; ++i) {
      closed[i] = closed[i] || closedByAgent(*flood[i]);
      n += closed[i];
    }
    return n == kFlood - 64;
  }));
  for (int i = 0; i < kFlood - 64; ++i) EXPECT_TRUE(closed[i]) << i;
  EXPECT_FALSE(events_->has("! too many failed pairings")) << "closing them is no failed pairing";

  auto phone = greetedWithCode("Ann");
  ASSERT_NE(phone->first<Message::Hello>(), nullptr);
  Transport::send(Message::Summary{}, phone->conn);
  EXPECT_TRUE(waitFor([&] { return phone->first<Message::SummaryResult>() != nullptr; }));
}

TEST(ServerFlood, IdleConnectionsLeaveDescriptorsForPhones) {
  if (::system("prlimit --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no prlimit";
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string command = "TALLOWICK_FLOOD_CHILD=1 prlimit --nofile=256:256 '" + self +
                        "' --gtest_filter=ServerTest.IdleConnectionFloodChild 2>&1";
  FILE* child = ::popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, child)) output.append(buffer, n);
  int status = ::pclose(child);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[       OK ] ServerTest.IdleConnectionFloodChild"), std::string::npos)
      << output;
}

TEST_F(ServerTest, SurvivesGarbageInsteadOfTls) {
  start(config());
  asio::ip::tcp::socket raw(io_);
  raw.connect({asio::ip::make_address("127.0.0.1"), port_});
  std::string garbage = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  asio::write(raw, asio::buffer(garbage));
  ASSERT_TRUE(waitFor([&] { return events_->count("! peer failed: ") == 1; }));
  EXPECT_FALSE(events_->has("+ peer connected"));
  auto phone = greetedWithCode("Ann");
  EXPECT_NE(phone->first<Message::Hello>(), nullptr);
}

TEST_F(ServerTest, ClosesConnectionsThatStaySilent) {
  auto c = config();
  c.helloTimeout = 300ms;
  start(c);
  // One never starts TLS, the other completes TLS but never says hello.
  asio::ip::tcp::socket raw(io_);
  raw.connect({asio::ip::make_address("127.0.0.1"), port_});
  auto silent = connect(Transport::pairingParameters(kCode));
  ASSERT_TRUE(waitFor([&] { return silent->closed; }, 10s));
  EXPECT_TRUE(silent->received.empty());
  ASSERT_TRUE(waitFor([&] { return events_->count("! no hello in time — closed") == 2; }, 10s));
  // The agent closed the raw socket too: reading it ends.
  raw.non_blocking(false);
  char byte;
  std::error_code ec;
  raw.read_some(asio::buffer(&byte, 1), ec);
  EXPECT_TRUE(ec) << "the silent socket is closed by the agent";
  // A phone that says hello in time stays.
  auto phone = greetedWithCode("Ann");
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(phone->closed);
  EXPECT_EQ(events_->containing("! receive "), std::vector<std::string>{})
      << "a close the agent chose is no receive failure";
}

TEST_F(ServerTest, FiveWrongCodesPausePairingUntilThePauseEnds) {
  start(config());
  for (int i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    auto phone = connect(Transport::pairingParameters("654321"));
    ASSERT_TRUE(waitFor([&] { return phone->states->ended(); }));
    EXPECT_FALSE(phone->states->has(TlsConnection::State::ready));
    ASSERT_TRUE(waitFor([&] { return events_->count("! peer failed: ") == i; }));
  }
  const std::string pauseLine = "! too many failed pairings — code rotated, paused 60 s";
  ASSERT_TRUE(waitFor([&] { return events_->has(pauseLine); }));
  ASSERT_TRUE(waitFor([&] { return events_->status()->pairingPaused; }));
  std::string newCode = events_->status()->code;
  EXPECT_NE(newCode, kCode);

  // The old code no longer works, and neither does the new one while paused.
  for (const std::string& code : {std::string(kCode), newCode}) {
    auto phone = connect(Transport::pairingParameters(code));
    ASSERT_TRUE(waitFor([&] { return phone->states->ended(); }));
    EXPECT_FALSE(phone->states->has(TlsConnection::State::ready)) << code;
  }
  EXPECT_EQ(events_->count(pauseLine), 1);

  // After the pause the code works again.
  clock_->offset += 61;
  ASSERT_TRUE(waitFor([&] { return !events_->status()->pairingPaused; }));
  auto phone = greetedWithCode("Ann", events_->status()->code);
  EXPECT_NE(phone->first<Message::Hello>(), nullptr);
}

TEST_F(ServerTest, ServesTwentyPhonesAtOnce) {
  start(config());
  std::vector<std::shared_ptr<Phone>> phones;
  for (int i = 0; i < 20; ++i) {
    auto phone = connect(Transport::pairingParameters(kCode));
    hello(*phone, "phone " + std::to_string(i), "", PSK::derive(kCode));
    phones.push_back(phone);
  }
  ASSERT_TRUE(waitFor([&] {
    return std::all_of(phones.begin(), phones.end(), [](const std::shared_ptr<Phone>& p) {
      return p->first<Message::Hello>() != nullptr;
    });
  }));
  EXPECT_EQ(events_->count("+ peer connected"), 20);
  EXPECT_EQ(events_->count("· hello from"), 20);
  // One leaves: the others keep the phone shown.
  phones[0]->conn->cancel();
  ASSERT_TRUE(waitFor([&] { return events_->count("- peer gone") == 1; }));
  EXPECT_TRUE(events_->status()->phone.has_value());
  for (auto& phone : phones) phone->conn->cancel();
  ASSERT_TRUE(waitFor([&] { return events_->count("- peer gone") == 20; }));
  // The status follows the "- peer gone" line.
  EXPECT_TRUE(waitFor([&] { return !events_->status()->phone.has_value(); }));
}

TEST_F(ServerTest, ForgettingADeviceClosesItsConnectionAndDropsItsIdentity) {
  start(config());
  auto payload = *PairingPayload::parse(events_->status()->qrPayload);
  Bytes key = *codec::base64Decode(payload.psk);
  auto phone = connect(Transport::parameters(payload.id, key));
  hello(*phone, "Bo", payload.id, key);
  ASSERT_TRUE(waitFor([&] { return phone->first<Message::Hello>() != nullptr; }));

  // Another phone stays connected throughout: the forgotten one is refused
  // at once all the same.
  auto other = greetedWithCode("Ann");
  server_->forgetDevice(payload.id);
  ASSERT_TRUE(waitFor([&] { return phone->closed; }));
  ASSERT_TRUE(waitFor([&] { return events_->status()->devices.empty(); }));
  auto again = connect(Transport::parameters(payload.id, key));
  ASSERT_TRUE(waitFor([&] { return again->states->ended(); }));
  EXPECT_FALSE(again->states->has(TlsConnection::State::ready));
  // The refused handshake may be reported as a failed receive; the close the
  // agent chose is not.
  EXPECT_EQ(events_->containing("Operation canceled"), std::vector<std::string>{});
  EXPECT_FALSE(other->closed);
}

TEST_F(ServerTest, ANewCodeWorksAtOnceWhileAPhoneIsConnected) {
  start(config());
  auto ann = greetedWithCode("Ann");
  clock_->offset += 301;  // the next tick rotates the code
  ASSERT_TRUE(waitFor([&] { return events_->status()->code != kCode; }));
  const std::string newCode = events_->status()->code;
  auto bo = greetedWithCode("Bo", newCode);
  EXPECT_NE(bo->first<Message::Hello>(), nullptr);
  // The old code fails at TLS already.
  auto late = connect(Transport::pairingParameters(kCode));
  ASSERT_TRUE(waitFor([&] { return late->states->ended(); }));
  EXPECT_FALSE(late->states->has(TlsConnection::State::ready));
  EXPECT_FALSE(ann->closed);
  EXPECT_EQ(events_->count("listening with identities: "), 1) << "no restart was needed";
}

TEST_F(ServerTest, PortProbesAndOtherProtocolsAreNoPairingAttempts) {
  auto c = config();
  c.helloTimeout = 300ms;
  start(c);
  // More than the five failures that would pause pairing: connections that
  // close at once, that send something other than TLS, and one that stays
  // silent until the agent gives up on it.
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    asio::ip::tcp::socket raw(io_);
    raw.connect({asio::ip::make_address("127.0.0.1"), port_});
    if (i % 2 == 1) asio::write(raw, asio::buffer(std::string("SSH-2.0-probe\r\n")));
    raw.close();
    ASSERT_TRUE(waitFor([&] { return events_->count("! peer failed: ") == i + 1; }));
  }
  asio::ip::tcp::socket silent(io_);
  silent.connect({asio::ip::make_address("127.0.0.1"), port_});
  ASSERT_TRUE(waitFor([&] { return events_->has("! no hello in time — closed"); }, 10s));
  EXPECT_FALSE(events_->status()->pairingPaused);
  EXPECT_EQ(events_->status()->code, kCode);
  EXPECT_FALSE(events_->has("! too many failed pairings"));
  auto phone = greetedWithCode("Ann");
  EXPECT_NE(phone->first<Message::Hello>(), nullptr);
}

TEST_F(ServerTest, StopEndsEveryConnectionAndStartListensAgain) {
  start(config());
  auto phone = greetedWithCode("Ann");
  server_->stop();
  ASSERT_TRUE(waitFor([&] { return phone->closed; }));
  ASSERT_TRUE(waitFor([&] {
    auto s = events_->status();
    return !s->listening && !s->phone;
  }));
  server_->start();
  ASSERT_TRUE(waitFor([&] { return events_->listeningCount() == 2; }));
  port_ = *events_->port();
  auto next = greetedWithCode("Ann");
  EXPECT_NE(next->first<Message::Hello>(), nullptr);
  EXPECT_EQ(events_->containing("! "), std::vector<std::string>{})
      << "stopping is no problem to report";
}

TEST_F(ServerTest, AFirstStartOnABusyPortReportsTheFailure) {
  asio::ip::tcp::acceptor busy(io_, {asio::ip::make_address("127.0.0.1"), 0});
  auto c = config();
  c.port = busy.local_endpoint().port();
  server_ = Server::make(c, std::nullopt, std::string(kCode));
  server_->setOnEvent([events = events_](const ServerEvent& event) { events->add(event); });
  server_->start();
  ASSERT_TRUE(waitFor([&] {
    for (const auto& event : events_->events()) {
      if (event.get<ServerEvent::ListenFailed>()) return true;
    }
    return false;
  }));
  EXPECT_FALSE(events_->status()->listening);
  EXPECT_EQ(events_->listeningCount(), 0) << "a port the user chose is not swapped silently";
  EXPECT_FALSE(events_->has("port busy after restart; re-listening on any port"));
}

TEST_F(ServerTest, ARestartWhosePortIsTakenListensOnceOnAnotherPort) {
  // The restart logs its identities after it closed the old listener and
  // before it binds the new one; the event handler runs right then, on the
  // server's queue, and takes the port.
  struct Squatter {
    std::atomic<bool> armed{false};
    asio::io_context io;
    std::optional<asio::ip::tcp::acceptor> acceptor;
    std::string error;
  };
  auto squatter = std::make_shared<Squatter>();
  server_ = Server::make(config(), std::nullopt, std::string(kCode));
  server_->setOnEvent([events = events_, squatter, this](const ServerEvent& event) {
    const auto* log = event.get<ServerEvent::Log>();
    if (log && log->line.starts_with(kIdentities) && squatter->armed.exchange(false)) {
      try {
        squatter->acceptor.emplace(
            squatter->io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_));
      } catch (const std::exception& e) {
        squatter->error = e.what();
      }
    }
    events->add(event);
  });
  server_->start();
  ASSERT_TRUE(waitFor([&] { return events_->port().has_value(); }));
  port_ = *events_->port();

  squatter->armed = true;
  server_->restartListener();
  ASSERT_TRUE(waitFor([&] { return events_->listeningCount() == 2; }));
  ASSERT_TRUE(squatter->error.empty()) << squatter->error;
  ASSERT_TRUE(squatter->acceptor.has_value());
  EXPECT_EQ(events_->count("port busy after restart; re-listening on any port"), 1);
  EXPECT_EQ(events_->count(std::string(kIdentities)), 3) << "start, restart, retry";
  for (const auto& event : events_->events()) {
    EXPECT_EQ(event.get<ServerEvent::ListenFailed>(), nullptr) << "the retry is not a failure";
  }
  std::optional<std::uint16_t> newPort = events_->port();
  ASSERT_TRUE(newPort.has_value());
  EXPECT_NE(*newPort, port_);
  EXPECT_TRUE(events_->status()->listening);

  port_ = *newPort;
  auto phone = greetedWithCode("Ann");
  EXPECT_NE(phone->first<Message::Hello>(), nullptr);

  // A later restart keeps the new port and, finding it free, needs no retry.
  phone->conn->cancel();
  ASSERT_TRUE(waitFor([&] { return events_->has("- peer gone"); }));
  server_->restartListener();
  ASSERT_TRUE(waitFor([&] { return events_->listeningCount() == 3; }));
  EXPECT_EQ(events_->port(), newPort);
  EXPECT_EQ(events_->count("port busy after restart; re-listening on any port"), 1);
}

// The server advertising itself through a private Avahi daemon that sees
// only the loopback interface.
class ServerAdvertisingTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    std::string why;
    box_ = dnssd_test::Sandbox::create(&why);
    if (!box_) GTEST_SKIP() << "no loopback DNS-SD sandbox here: " << why;
  }
  void TearDown() override {
    ServerTest::TearDown();
    box_.reset();
  }

  Server::Config advertised() {
    Server::Config c = config();
    c.advertise = true;
    return c;
  }

  std::function<bool(const dnssd_test::BrowsedService&)> ours(std::uint16_t port) const {
    return [port](const dnssd_test::BrowsedService& s) {
      return s.name == "Test Mac" && s.type == "_tallowick._tcp" && s.port == port;
    };
  }

  std::unique_ptr<dnssd_test::Sandbox> box_;
};

TEST_F(ServerAdvertisingTest, PublishesWhileListeningAndWithdrawsOnStop) {
  std::string why;
  if (!box_->startAll(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  start(advertised());
  ASSERT_TRUE(box_->waitForService(ours(port_), true));
  auto services = box_->browse();
  ASSERT_EQ(services.size(), 1u);
  EXPECT_EQ(services[0].interface, "lo");
  EXPECT_EQ(services[0].address, "127.0.0.1");
  EXPECT_EQ(events_->count("DNS-SD unavailable: "), 0);

  // A phone finds the agent by browsing and pairs at the address it got.
  auto found = ServiceBrowser::findFirst("_tallowick._tcp", 20s);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->name, "Test Mac");
  EXPECT_EQ(found->port, port_);
  auto phone = greetedWithCode("Ann");
  EXPECT_NE(phone->first<Message::Hello>(), nullptr);
  phone->conn->cancel();
  ASSERT_TRUE(waitFor([&] { return events_->has("- peer gone"); }));

  server_->stop();
  ASSERT_TRUE(waitFor([&] { return !events_->status()->listening; }));
  EXPECT_TRUE(box_->waitForService(ours(port_), false));

  // Started again, it is published again, under whatever port it now has.
  server_->start();
  ASSERT_TRUE(waitFor([&] { return events_->listeningCount() == 2; }));
  port_ = *events_->port();
  EXPECT_TRUE(box_->waitForService(ours(port_), true));
}

TEST_F(ServerAdvertisingTest, WithoutADaemonLogsOnceAndServesUnadvertised) {
  std::string why;
  if (!box_->startBus(&why)) GTEST_SKIP() << "DNS-SD sandbox: " << why;
  start(advertised());
  ASSERT_TRUE(waitFor([&] { return events_->count("DNS-SD unavailable: ") > 0; }));
  auto phone = greetedWithCode("Ann");
  EXPECT_NE(phone->first<Message::Hello>(), nullptr);
  // Give the advertiser time to say more, if it would.
  waitFor([] { return false; }, 1s);
  ASSERT_EQ(events_->count("DNS-SD unavailable: "), 1);
  for (const auto& line : events_->lines()) {
    if (line.starts_with("DNS-SD unavailable: ")) {
      EXPECT_TRUE(line.ends_with("; running unadvertised")) << line;
    }
  }
  EXPECT_TRUE(events_->status()->listening);
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

TEST_F(ServerTest, RescanStoresTheReportAndTellsGreetedPhones) {
  writeFile(root_ + "/a.bin", std::string(4096, 'x'));
  writeFile(root_ + "/b.bin", std::string(4096, 'x'));
  start(config());
  auto phone = greetedWithCode("Ann");
  Transport::send(Message::Rescan{}, phone->conn);
  ASSERT_TRUE(waitFor([&] {
    for (const auto& event : events_->events()) {
      if (event.get<ServerEvent::Scanned>()) return true;
    }
    return false;
  }));
  EXPECT_TRUE(events_->has("⟳ scanning root"));
  EXPECT_TRUE(events_->has("✓ scan: 2 files, 1 cards, 0 decisions re-attached, hash cache 0/"));
  auto status = events_->status();
  EXPECT_FALSE(status->scanning.has_value());
  EXPECT_EQ(status->cards, 1);
  EXPECT_EQ(status->groups, 1);
  EXPECT_EQ(status->reclaimable, 4096);
  ASSERT_TRUE(status->scannedAt.has_value());

  auto stored = readWholeFile(storage_ + "/report.json");
  ASSERT_TRUE(stored);
  Report report = Report::fromStoredJSON(*stored);
  EXPECT_EQ(report.filesSeen, 2);
  ASSERT_EQ(report.groups.size(), 1u);

  ASSERT_TRUE(waitFor([&] { return phone->first<Message::SummaryResult>() != nullptr; }));
  const auto* progress = phone->first<Message::ScanProgress>();
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->done, 2);
  EXPECT_EQ(progress->total, 2);
  const auto* summary = phone->first<Message::SummaryResult>();
  ASSERT_EQ(summary->decks.size(), 2u);
  EXPECT_EQ(summary->decks[0].id, DeckID::smart);
  EXPECT_EQ(summary->decks[1].id, DeckID::duplicates);
  EXPECT_EQ(summary->decks[1].bytes, 4096);
}

TEST_F(ServerTest, AReportThatCannotBeStoredIsLoggedAndTheScanStillCounts) {
  writeFile(root_ + "/a.bin", std::string(4096, 'x'));
  writeFile(root_ + "/b.bin", std::string(4096, 'x'));
  // A folder where the file belongs: no rename can replace it.
  std::filesystem::create_directories(storage_ + "/report.json");
  start(config());
  server_->rescan();
  ASSERT_TRUE(waitFor([&] {
    for (const auto& event : events_->events()) {
      if (event.get<ServerEvent::Scanned>()) return true;
    }
    return false;
  }));
  EXPECT_TRUE(events_->has("! could not write report.json: Is a directory"))
      << ::testing::PrintToString(events_->containing("report.json"));
  EXPECT_EQ(events_->status()->cards, 1);
  EXPECT_TRUE(std::filesystem::is_directory(storage_ + "/report.json"));
}

TEST_F(ServerTest, StatusCountsStagedDecisionsFromTheJournal) {
  // A report with a four-member duplicate group and a loose file; the
  // journal holds pending trash decisions for the group's three non-keepers.
  Report report;
  std::vector<Item> members;
  for (int i = 0; i < 4; ++i) {
    Item item;
    item.path = root_ + "/copy" + std::to_string(i);
    item.bytes = 100;
    item.score = 1;
    members.push_back(item);
  }
  Group group;
  group.keeperID = members[0].id;
  for (const auto& m : members) group.memberIDs.push_back(m.id);
  group.reclaimable = 300;
  report.keepers.push_back(members[0]);
  report.items.assign(members.begin() + 1, members.end());
  report.groups.push_back(group);
  Item loose;
  loose.path = root_ + "/old.dmg";
  loose.bytes = 50;
  loose.score = 2;
  report.items.push_back(loose);
  report.filesSeen = 5;
  {
    CommitEngine engine(CommitEngine::Config({root_}, storage_));
    for (int i = 1; i < 4; ++i) engine.record(members[i], Action::trash, "code:Ann");
    engine.record(loose, Action::keep, "code:Ann");
  }
  start(config(), report);
  auto status = events_->status();
  EXPECT_EQ(status->cards, 2);
  EXPECT_EQ(status->groups, 1);
  EXPECT_EQ(status->files, 1);
  EXPECT_EQ(status->reclaimable, 350);
  EXPECT_EQ(status->pendingCount, 3);
  EXPECT_EQ(status->pendingBytes, 300);
  EXPECT_EQ(status->scannedAt, std::optional<Date>(report.scannedAt));

  auto phone = greetedWithCode("Ann");
  Transport::send(Message::Summary{}, phone->conn);
  ASSERT_TRUE(waitFor([&] { return phone->first<Message::SummaryResult>() != nullptr; }));
  const auto* summary = phone->first<Message::SummaryResult>();
  EXPECT_EQ(summary->pendingCount, 3);
  ASSERT_FALSE(summary->decks.empty());
  EXPECT_EQ(summary->decks[0].id, DeckID::smart);
  EXPECT_EQ(summary->decks[0].reviewed, 2) << "the keep decision re-attaches too";
}

TEST_F(ServerTest, WithoutAReportEveryCountIsZero) {
  start(config());
  auto status = events_->status();
  EXPECT_EQ(status->cards, 0);
  EXPECT_EQ(status->reclaimable, 0);
  EXPECT_EQ(status->pendingCount, 0);
  EXPECT_FALSE(status->scannedAt.has_value());
  ASSERT_EQ(status->roots.size(), 1u);
  EXPECT_EQ(status->roots[0].path(), root_);
  // The ready listener's status comes before its port.
  auto events = events_->events();
  auto listening = std::find_if(events.begin(), events.end(), [](const ServerEvent& e) {
    return e.get<ServerEvent::Listening>() != nullptr;
  });
  ASSERT_NE(listening, events.begin());
  const auto* before = std::prev(listening)->get<ServerEvent::Status>();
  ASSERT_NE(before, nullptr);
  EXPECT_TRUE(before->status.listening);
}

}  // namespace
}  // namespace tallowick
