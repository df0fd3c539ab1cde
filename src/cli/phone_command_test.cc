#include "cli/phone_command.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "shared/keychain.h"
#include "shared/pairing_payload.h"
#include "shared/phone_client_fake_agent.h"

namespace tallowick::cli {
namespace {

using testing::agentWith;
using testing::FakeAgent;
using testing::keyOf;
using namespace std::chrono_literals;

std::vector<Message> replies(const Message& request) {
  if (request.is<Message::Commit>()) return {Message::CommitResult{1, 10, {}}};
  if (request.is<Message::EmptyTrash>()) return {Message::Refused{"commit first"}};
  return {};
}

FileCard fileCard(std::string name, std::string folder, std::int64_t bytes,
                  std::vector<Reason> reasons) {
  FileCard card;
  card.id = Uuid::random();
  card.name = std::move(name);
  card.folder = std::move(folder);
  card.path = card.folder + "/" + card.name;
  card.bytes = bytes;
  card.reasons = std::move(reasons);
  card.thumb = Bytes(16, 0x42);
  return card;
}

// A smart deck of `count` file cards, paged as the agent pages it; the
// other requests as `replies`.
struct SmartDeck {
  std::vector<Card> cards;

  explicit SmartDeck(int count) {
    for (int i = 0; i < count; ++i) {
      cards.emplace_back(
          fileCard("f" + std::to_string(i), "/home/ann", 2000000, {Reason::staleLargeDownload}));
    }
  }

  FakeAgent::Responder replies() const {
    return [cards = cards](const Message& request) -> std::vector<Message> {
      const auto* next = request.get<Message::DeckNext>();
      if (!next) return tallowick::cli::replies(request);
      const std::size_t start = std::min<std::size_t>(next->after, cards.size());
      const std::size_t end = std::min<std::size_t>(start + next->n, cards.size());
      return {Message::QueueBatch{std::vector<Card>(cards.begin() + start, cards.begin() + end)}};
    };
  }
};

std::size_t lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class PhoneCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("phone_command_test-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    setenv("HOME", dir.c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  int run(FakeAgent& agent, PhoneCommandOptions options) {
    options.host = "127.0.0.1";
    options.port = agent.port();
    options.storage = (dir / "storage").string();
    options.timeout = 5s;
    out.str("");
    err.str("");
    std::istringstream in;
    return runPhone(options, in, out, err);
  }

  std::filesystem::path dir;
  std::ostringstream out, err;
};

TEST_F(PhoneCommandTest, QrPairingSavesTheKeyAndDeviceReusesIt) {
  const std::string offer = "dev-0123456789abcdef";
  FakeAgent agent(agentWith(std::nullopt, {{offer, keyOf(9)}}));
  PhoneCommandOptions options;
  options.qr = PairingPayload("Desk", offer, keyOf(9)).jsonString();
  options.json = true;
  options.commands = {"hello"};
  ASSERT_EQ(run(agent, options), 0) << err.str();
  EXPECT_EQ(Json::parse(out.str())["hello"]["name"], "Fake Desk");
  EXPECT_EQ(Keychain::read(offer, (dir / "storage").string()), keyOf(9));

  PhoneCommandOptions again;
  again.device = offer;
  again.commands = {"hello"};
  ASSERT_EQ(run(agent, again), 0) << err.str();
  ASSERT_EQ(agent.hellos().size(), 2u);
  EXPECT_EQ(agent.hellos()[1].deviceID, offer);
}

TEST_F(PhoneCommandTest, SeveralCommandsShareOneConnection) {
  const SmartDeck deck(2);
  FakeAgent agent(agentWith("123456"), deck.replies());
  const Uuid a = deck.cards[0].id(), b = deck.cards[1].id();
  PhoneCommandOptions options;
  options.code = "123456";
  options.json = true;
  options.commands = {"decide", a.string(), "trash", "decide", b.string(), "keep", "commit"};
  ASSERT_EQ(run(agent, options), 0) << err.str();
  EXPECT_EQ(out.str(), "{\"commitResult\":{\"failed\":[],\"freed\":10,\"trashed\":1}}\n");
  EXPECT_EQ(agent.hellos().size(), 1u);
  // Each card is looked up before it is decided.
  const Message lookup = Message::DeckNext{DeckID::smart, 0, 100};
  EXPECT_EQ(agent.requests(),
            (std::vector<Message>{lookup, Message::Decision{a, Action::trash}, lookup,
                                  Message::Decision{b, Action::keep}, Message::Commit{}}));
}

TEST_F(PhoneCommandTest, DecideAndUndoOfACardTheAgentLacksSendNothingAndFail) {
  // More cards than one page, so the lookup pages on.
  const SmartDeck deck(250);
  FakeAgent agent(agentWith("123456"), deck.replies());
  const std::string unknown = Uuid::random().string();
  const std::string last = deck.cards.back().id().string();
  struct Case {
    std::vector<std::string> commands;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"decide", unknown, "trash"},
       1,
       "",
       "tallowick phone: the agent has no card " + unknown + "; decision not sent\n"},
      {{"undo", unknown},
       1,
       "",
       "tallowick phone: the agent has no card " + unknown + "; undo not sent\n"},
      {{"decide", last, "skip"}, 0, last + ": skipped\n", ""},
      {{"undo", last}, 0, last + ": decision withdrawn (committed files come back)\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.commands));
    PhoneCommandOptions options;
    options.code = "123456";
    options.commands = c.commands;
    EXPECT_EQ(run(agent, options), c.status);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.err);
  }
  // Only the decisions on the known card reached the agent (the last one
  // may still be on its way: nothing answers it). Each lookup took three
  // pages.
  ASSERT_TRUE(agent.waitForRequests(4 * 3 + 2, 5s));
  std::vector<Message> sent;
  for (const Message& request : agent.requests()) {
    if (!request.is<Message::DeckNext>()) sent.push_back(request);
  }
  EXPECT_EQ(sent, (std::vector<Message>{Message::Decision{deck.cards.back().id(), Action::skip},
                                        Message::Undo{deck.cards.back().id()}}));
}

TEST_F(PhoneCommandTest, RefusalsAndClosedConnectionsExitNonZeroWithOneLine) {
  FakeAgent agent(agentWith("123456"), replies);
  PhoneCommandOptions refusedTrash;
  refusedTrash.code = "123456";
  refusedTrash.commands = {"empty-trash", "--confirm", "commit"};
  EXPECT_EQ(run(agent, refusedTrash), 1);
  EXPECT_NE(err.str().find("commit first"), std::string::npos) << err.str();
  // The commit after the refusal is never sent.
  EXPECT_EQ(agent.requests(), (std::vector<Message>{Message::EmptyTrash{true}}));

  FakeAgent closing(agentWith("123456", {}, FakeAgent::HelloMode::close));
  PhoneCommandOptions hello;
  hello.code = "123456";
  hello.commands = {"hello"};
  EXPECT_EQ(run(closing, hello), 1);
  EXPECT_TRUE(out.str().empty());
  EXPECT_EQ(lines(err.str()), 1u) << err.str();

  PhoneCommandOptions unknownDevice;
  unknownDevice.device = "dev-ffffffffffffffff";
  unknownDevice.commands = {"hello"};
  EXPECT_EQ(run(agent, unknownDevice), 1);
  EXPECT_NE(err.str().find("no saved key"), std::string::npos) << err.str();
}

TEST_F(PhoneCommandTest, BadUsageExitsTwoWithoutConnecting) {
  FakeAgent agent(agentWith("123456"), replies);
  struct Case {
    std::string code, qr;
    std::vector<std::string> commands;
  };
  const std::string id = Uuid::random().string();
  const Case cases[] = {
      {"123456", "", {}},
      {"123456", "", {"frobnicate"}},
      {"123456", "", {"decide", id, "burn"}},
      {"123456", "", {"decide", "not-a-uuid", "trash"}},
      {"123456", "", {"deck", "everything"}},
      {"123456", "", {"deck", "smart", "--n", "many"}},
      {"123456", "", {"preview", id}},
      {"123456", "", {"deck", "smart", "--n", "0"}},
      {"123456", "", {"deck", "smart", "--after", "-1"}},
      {"123456", "", {"deck", "smart", "--n", "0x10"}},
      {"123456", "", {"preview", id, "--max", "1.5", "--out", "x.heic"}},
      {"123456", "", {"empty-trash"}},
      {"123456", "", {"commit", "empty-trash"}},
      {"12345", "", {"hello"}},
      {"", "", {"hello"}},
      {"123456", "{\"v\":1}", {"hello"}},
      {"", "{\"v\":2}", {"hello"}},
  };
  for (const auto& c : cases) {
    PhoneCommandOptions options;
    options.code = c.code;
    options.qr = c.qr;
    options.commands = c.commands;
    EXPECT_EQ(run(agent, options), kUsageError)
        << c.code << " " << ::testing::PrintToString(c.commands);
    EXPECT_EQ(lines(err.str()), 1u) << err.str();
  }
  EXPECT_TRUE(agent.hellos().empty());
}

TEST_F(PhoneCommandTest, CardsAreReadableLinesOrJsonWithoutThumbnails) {
  const FileCard shot =
      fileCard("Screenshot \033[2J.png", "/home/ann/Desktop", 3000, {Reason::screenshot});
  GroupCard group;
  group.id = Uuid::random();
  group.members = {fileCard("a.pdf", "/home/ann/Documents", 4000, {}),
                   fileCard("a.pdf", "/home/ann/Downloads", 4000, {Reason::exactDuplicate})};
  group.keeperID = group.members[0].id;
  group.reclaimable = 4000;
  FakeAgent agent(agentWith("123456"), [&](const Message& request) -> std::vector<Message> {
    if (request.is<Message::DeckNext>()) {
      return {Message::QueueBatch{{Card{shot}, Card{group}}}};
    }
    return {};
  });
  PhoneCommandOptions options;
  options.code = "123456";
  options.commands = {"deck", "smart"};
  ASSERT_EQ(run(agent, options), 0) << err.str();
  EXPECT_EQ(
      out.str(),
      "Screenshot \\x1B[2J.png  in /home/ann/Desktop  3.0 kB  (an old screenshot)  [" +
          shot.id.string() + "]\n" + "2 exact copies, 4.0 kB to free  [" + group.id.string() +
          "]\n" + "  keep  a.pdf  in /home/ann/Documents  4.0 kB  [" +
          group.members[0].id.string() + "]\n" +
          "        a.pdf  in /home/ann/Downloads  4.0 kB  (an exact copy of another file)  [" +
          group.members[1].id.string() + "]\n");

  options.json = true;
  ASSERT_EQ(run(agent, options), 0) << err.str();
  EXPECT_EQ(out.str().find("\"thumb\""), std::string::npos) << out.str();
  EXPECT_EQ(lines(out.str()), 1u);
  options.thumbs = true;
  ASSERT_EQ(run(agent, options), 0) << err.str();
  EXPECT_EQ(Message::fromJson(Json::parse(out.str())),
            (Message::QueueBatch{{Card{shot}, Card{group}}}));
}

TEST_F(PhoneCommandTest, AnUnknownCardEndsAtOnceWithOneLine) {
  // Like the agent: silence for a keeper change of an unknown card.
  FakeAgent agent(agentWith("123456"), [](const Message& request) -> std::vector<Message> {
    if (request.is<Message::Summary>()) return {Message::SummaryResult{}};
    return {};
  });
  PhoneCommandOptions options;
  options.code = "123456";
  options.commands = {"keeper", Uuid::random().string(), Uuid::random().string(), "summary"};
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run(agent, options), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "waited for the reply timeout";
  EXPECT_EQ(err.str(), "tallowick phone: the agent has no group card with that member\n");
}

TEST_F(PhoneCommandTest, NothingListeningIsNotAWrongCode) {
  std::uint16_t port = 0;
  {
    FakeAgent gone(agentWith("123456"));
    port = gone.port();
  }
  PhoneCommandOptions options;
  options.code = "123456";
  options.commands = {"hello"};
  options.host = "127.0.0.1";
  options.port = port;
  options.timeout = 5s;
  std::istringstream in;
  EXPECT_EQ(runPhone(options, in, out, err), 1);
  EXPECT_EQ(err.str(), "tallowick phone: nothing answers at 127.0.0.1 port " +
                           std::to_string(port) + " (connection refused)\n");

  FakeAgent other(agentWith("654321"));
  EXPECT_EQ(run(other, options), 1);
  EXPECT_EQ(err.str().find("tallowick phone: wrong code or key: "), 0u) << err.str();
}

}  // namespace
}  // namespace tallowick::cli
