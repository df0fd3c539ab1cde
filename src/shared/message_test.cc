#include "shared/message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallowick {
namespace {

using M = Message;

Uuid id(int n) {
  Uuid u;
  u.bytes[0] = 0xAB;
  u.bytes[15] = static_cast<std::uint8_t>(n);
  return u;
}

FileCard file(int n) {
  FileCard c;
  c.id = id(n);
  c.name = "f" + std::to_string(n);
  c.path = "/tmp/f" + std::to_string(n);
  c.folder = "tmp";
  c.kind = Kind::video;
  c.bytes = 1 << 20;
  c.reasons = {Reason::staleLargeVideo};
  c.score = 1.25;
  c.width = 1920;
  c.height = 1080;
  return c;
}

Card groupCard() {
  GroupCard g;
  g.id = id(50);
  g.type = GroupType::exact;
  g.members = {file(1), file(2)};
  g.keeperID = id(1);
  g.reclaimable = 1 << 20;
  g.score = 2;
  return g;
}

// One value of every case with the name it must be written under.
struct Sample {
  const char* name;
  Message message;
};
std::vector<Sample> samples() {
  Bytes proof(32, 0xEE);
  return {
      {"hello", M::Hello{"Phone", "dev-0123456789abcdef", proof}},
      {"summary", M::Summary{}},
      {"summaryResult", M::SummaryResult{"Desk",
                                         *codec::parseDate("2026-03-01T08:30:00Z"),
                                         5000,
                                         {Deck{DeckID::smart, "Smart", 2, 5000, 1},
                                          Deck{DeckID::installers, "Installers", 0, 0, 0}},
                                         3,
                                         1234,
                                         {"/home/u/Downloads", "/home/u/Pictures"}}},
      {"deckNext", M::DeckNext{DeckID::largeDownloads, 20, 10}},
      {"queueBatch", M::QueueBatch{{Card(file(3)), groupCard()}}},
      {"preview", M::Preview{id(4), 2048}},
      {"cancelPreview", M::CancelPreview{id(4)}},
      {"previewData", M::PreviewData{id(4), Bytes{1, 2, 3, 4, 5}}},
      {"setKeeper", M::SetKeeper{id(50), id(2)}},
      {"cardUpdated", M::CardUpdated{groupCard()}},
      {"staged", M::Staged{}},
      {"stagedBatch", M::StagedBatch{{Card(file(7))}}},
      {"decision", M::Decision{id(7), Action::trash}},
      {"undo", M::Undo{id(7)}},
      {"commit", M::Commit{}},
      {"commitResult", M::CommitResult{2, 4096, {CommitFailure{id(8), "missing"}}}},
      {"rescan", M::Rescan{}},
      {"scanProgress", M::ScanProgress{40, 100}},
      {"emptyTrash", M::EmptyTrash{true}},
      {"ok", M::Ok{}},
      {"refused", M::Refused{"pairing paused"}},
  };
}

TEST(MessageTest, EveryCaseIsWrittenUnderItsNameAndReadsBack) {
  auto all = samples();
  ASSERT_EQ(all.size(), std::variant_size_v<M::Value>);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto& s = all[i];
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.message.value.index(), i) << "samples follow declaration order";
    EXPECT_EQ(s.message.caseName(), s.name);
    Json j = s.message.toJson();
    ASSERT_EQ(j.size(), 1u);
    ASSERT_TRUE(j.contains(s.name));
    EXPECT_TRUE(j[s.name].is_object());
    Message back = M::fromJson(codec::parse(codec::dumpCompact(j)));
    EXPECT_EQ(back, s.message);
  }
}

TEST(MessageTest, ExactJsonOfSmallMessages) {
  struct Case {
    Message message;
    const char* json;
  };
  const Case cases[] = {
      {M::Summary{}, R"({"summary":{}})"},
      {M::Ok{}, R"({"ok":{}})"},
      {M::QueueBatch{}, R"({"queueBatch":{"_0":[]}})"},
      {M::Decision{id(1), Action::keep},
       R"({"decision":{"action":"keep","id":"AB000000-0000-0000-0000-000000000001"}})"},
      {M::EmptyTrash{false}, R"({"emptyTrash":{"confirm":false}})"},
      {M::ScanProgress{1, 2}, R"({"scanProgress":{"done":1,"total":2}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(codec::dumpCompact(c.message.toJson()), c.json);
}

TEST(MessageTest, FieldEncodings) {
  Json hello = Message(M::Hello{"P", "", Bytes(32, 7)}).toJson();
  EXPECT_EQ(hello["hello"]["proof"].get<std::string>().size(), 44u);
  EXPECT_EQ(hello["hello"]["deviceID"], "");

  Json summary = samples()[2].message.toJson();
  EXPECT_EQ(summary["summaryResult"]["scannedAt"], "2026-03-01T08:30:00Z");
  EXPECT_EQ(summary["summaryResult"]["decks"][0]["id"], "smart");

  Json updated = Message(M::CardUpdated{groupCard()}).toJson();
  EXPECT_EQ(updated["cardUpdated"]["_0"], groupCard().toJson());
}

TEST(MessageTest, DecodeTable) {
  const std::string u = "ab000000-0000-0000-0000-000000000001";  // lower case reads fine
  struct Case {
    std::string json;
    const char* expect;  // case name, or nullptr for a decode error
    const char* errorContains = nullptr;
  };
  const std::string kCount = "Invalid number of keys found, expected one.";
  const Case cases[] = {
      {R"({"ok":{}})", "ok"},
      {R"({"ok":null})", nullptr},
      {R"({"ok":[]})", nullptr},
      {R"({"ok":true})", nullptr},
      {R"({"summary":{},"commit":{}})", nullptr, kCount.c_str()},
      {R"({"summary":{},"unknown":{}})", "summary"},
      {R"({"unknown":{}})", nullptr, kCount.c_str()},
      {R"({})", nullptr, kCount.c_str()},
      {R"({"Summary":{}})", nullptr, kCount.c_str()},
      {R"([{"ok":{}}])", nullptr},
      {R"("ok")", nullptr},
      {R"({"ok":{"extra":1}})", "ok"},
      {R"({"decision":{"id":")" + u + R"(","action":"trash","extra":[1,2]}})", "decision"},
      {R"({"decision":{"id":")" + u + R"(","action":"delete"}})", nullptr},
      {R"({"decision":{"id":")" + u + R"("}})", nullptr, "action"},
      {R"({"decision":{"id":"x","action":"keep"}})", nullptr},
      {R"({"queueBatch":{"_0":[]}})", "queueBatch"},
      {R"({"queueBatch":{}})", nullptr, "_0"},
      {R"({"queueBatch":{"_0":[{"file":{}}]}})", nullptr},
      {R"({"queueBatch":{"_0":[{"file":{"_0":{}},"group":{"_0":{}}}]}})", nullptr, kCount.c_str()},
      {R"({"cardUpdated":{"_0":{}}})", nullptr, kCount.c_str()},
      {R"({"deckNext":{"deck":"largeDownloads","after":0,"n":50}})", "deckNext"},
      {R"({"deckNext":{"deck":"large_downloads","after":0,"n":50}})", nullptr},
      {R"({"deckNext":{"deck":"smart","after":0,"n":4294967296}})", nullptr},
      {R"({"deckNext":{"deck":"smart","after":0,"n":1.5}})", nullptr},
      {R"({"deckNext":{"deck":"smart","after":0,"n":"5"}})", nullptr},
      {R"({"emptyTrash":{"confirm":"yes"}})", nullptr},
      {R"({"emptyTrash":{"confirm":1}})", nullptr},
      {R"({"emptyTrash":{}})", nullptr, "confirm"},
      {R"({"hello":{"name":"P","deviceID":"","proof":""}})", "hello"},
      {R"({"hello":{"name":"P","deviceID":"","proof":"!!!!"}})", nullptr},
      {R"({"hello":{"name":"P","proof":""}})", nullptr, "deviceID"},
      {R"({"preview":{"id":")" + u + R"(","maxPixel":640}})", "preview"},
      {R"({"refused":{"reason":null}})", nullptr},
      {R"({"commitResult":{"trashed":1,"freed":9223372036854775807,"failed":[]}})", "commitResult"},
      {R"({"commitResult":{"trashed":1,"freed":9223372036854775808,"failed":[]}})", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    if (c.expect) {
      EXPECT_EQ(M::fromJson(codec::parse(c.json)).caseName(), c.expect);
      continue;
    }
    try {
      M::fromJson(codec::parse(c.json));
      ADD_FAILURE() << "decoded";
    } catch (const DecodeError& e) {
      if (c.errorContains) {
        EXPECT_NE(std::string(e.what()).find(c.errorContains), std::string::npos) << e.what();
      }
    }
  }
}

TEST(MessageTest, DatesAreWholeSecondsInUtc) {
  auto withDate = [](const std::string& date) {
    return R"({"summaryResult":{"macName":"M","scannedAt":")" + date +
           R"(","reclaimable":0,"decks":[],"pendingCount":0,"pendingBytes":0,"roots":[]}})";
  };
  const Message m = M::fromJson(codec::parse(withDate("2026-03-01T08:30:00Z")));
  ASSERT_TRUE(m.get<M::SummaryResult>());
  EXPECT_EQ(codec::formatDate(m.get<M::SummaryResult>()->scannedAt), "2026-03-01T08:30:00Z");

  for (const char* bad : {"2026-03-01T08:30:00.123Z", "2026-03-01T08:30:00", "2026-03-01 08:30:00Z",
                          "2026-03-01T08:30:00+00:00", "2026-02-30T08:30:00Z", "1772353800"}) {
    EXPECT_THROW(M::fromJson(codec::parse(withDate(bad))), DecodeError) << bad;
  }
}

TEST(MessageTest, AccessorsSeeTheHeldCase) {
  Message m = M::Decision{id(3), Action::skip};
  EXPECT_TRUE(m.is<M::Decision>());
  EXPECT_FALSE(m.is<M::Undo>());
  ASSERT_NE(m.get<M::Decision>(), nullptr);
  EXPECT_EQ(m.get<M::Decision>()->action, Action::skip);
  EXPECT_EQ(m.get<M::Undo>(), nullptr);
  EXPECT_NE(m, Message(M::Decision{id(3), Action::keep}));
}

}  // namespace
}  // namespace tallowick
