#include "shared/cards.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallowick {
namespace {

Uuid id(int n) {
  Uuid u;
  u.bytes[15] = static_cast<std::uint8_t>(n);
  return u;
}

Date at(const char* text) { return *codec::parseDate(text); }

FileCard bareFile(int n, std::string name = "a.png") {
  FileCard c;
  c.id = id(n);
  c.name = std::move(name);
  c.path = "/home/u/Downloads/" + c.name;
  c.folder = "Downloads";
  c.kind = Kind::image;
  c.bytes = 1000 + n;
  c.reasons = {Reason::screenshot};
  c.score = 0.5;
  return c;
}

FileCard fullFile(int n) {
  FileCard c = bareFile(n, "Screen Shot.png");
  c.createdAt = at("2026-03-01T08:30:00Z");
  c.lastOpenedAt = at("2026-03-02T09:00:01Z");
  c.width = 3024;
  c.height = 1964;
  c.isCloud = true;
  c.thumb = Bytes{0, 1, 2, 250, 255};
  c.reasons = {Reason::screenshot, Reason::exactDuplicate};
  return c;
}

GroupCard group(std::vector<FileCard> members, Uuid keeperID) {
  GroupCard g;
  g.id = id(100);
  g.type = GroupType::similar;
  g.members = std::move(members);
  g.keeperID = keeperID;
  g.reclaimable = 4096;
  g.score = 0.75;
  return g;
}

TEST(FileCardTest, AbsentOptionalsAreLeftOutAndReadBack) {
  FileCard c = bareFile(1);
  Json j = c.toJson();
  for (const char* key : {"createdAt", "lastOpenedAt", "width", "height", "thumb"}) {
    EXPECT_FALSE(j.contains(key)) << key;
  }
  for (const char* key :
       {"id", "name", "path", "folder", "kind", "bytes", "reasons", "score", "isCloud"}) {
    EXPECT_TRUE(j.contains(key)) << key;
  }
  EXPECT_EQ(FileCard::fromJson(j), c);
}

TEST(FileCardTest, FullCardKeepsEveryFieldInItsWireForm) {
  FileCard c = fullFile(7);
  Json j = c.toJson();
  EXPECT_EQ(j["id"], "00000000-0000-0000-0000-000000000007");
  EXPECT_EQ(j["kind"], "image");
  EXPECT_EQ(j["reasons"], Json::parse(R"(["screenshot","exactDuplicate"])"));
  EXPECT_EQ(j["createdAt"], "2026-03-01T08:30:00Z");
  EXPECT_EQ(j["thumb"], "AAEC+v8=");
  EXPECT_EQ(j["isCloud"], true);
  EXPECT_EQ(FileCard::fromJson(j), c);
}

TEST(FileCardTest, NullOptionalsReadAsAbsentAndUnknownMembersAreIgnored) {
  Json j = bareFile(2).toJson();
  j["createdAt"] = nullptr;
  j["thumb"] = nullptr;
  j["somethingNew"] = 42;
  EXPECT_EQ(FileCard::fromJson(j), bareFile(2));
}

TEST(FileCardTest, BadMembersFailTheDecode) {
  struct Case {
    const char* what;
    const char* key;
    Json value;  // null: remove the member
  };
  const Case cases[] = {
      {"missing name", "name", nullptr},
      {"missing isCloud", "isCloud", nullptr},
      {"missing reasons", "reasons", nullptr},
      {"date with milliseconds", "createdAt", "2026-03-01T08:30:00.000Z"},
      {"date with offset", "createdAt", "2026-03-01T08:30:00+01:00"},
      {"thumb not Base64", "thumb", "not base64!"},
      {"unknown kind", "kind", "picture"},
      {"unknown reason", "reasons", Json::parse(R"(["screenShot"])")},
      {"bytes as string", "bytes", "12"},
      {"width beyond int", "width", 4294967296LL},
      {"id not a UUID", "id", "not-a-uuid"},
  };
  for (const auto& c : cases) {
    Json j = bareFile(3).toJson();
    if (c.value.is_null()) {
      j.erase(c.key);
    } else {
      j[c.key] = c.value;
    }
    EXPECT_THROW(FileCard::fromJson(j), DecodeError) << c.what;
  }
}

TEST(FileCardTest, UuidReadsInEitherCase) {
  Json j = bareFile(0).toJson();
  j["id"] = "0000000a-0000-0000-0000-00000000abcd";
  EXPECT_EQ(FileCard::fromJson(j).id.string(), "0000000A-0000-0000-0000-00000000ABCD");
}

TEST(CardTest, JsonFormWrapsTheValueInCaseAndUnlabelledMember) {
  Card file = bareFile(1);
  Json j = file.toJson();
  ASSERT_EQ(j.size(), 1u);
  ASSERT_TRUE(j.contains("file"));
  ASSERT_EQ(j["file"].size(), 1u);
  EXPECT_EQ(j["file"]["_0"], bareFile(1).toJson());

  Card grouped = group({bareFile(1), bareFile(2)}, id(2));
  Json g = grouped.toJson();
  ASSERT_EQ(g.size(), 1u);
  ASSERT_TRUE(g.contains("group"));
  EXPECT_EQ(g["group"]["_0"]["keeperID"], id(2).string());
  EXPECT_EQ(g["group"]["_0"]["type"], "similar");

  EXPECT_EQ(Card::fromJson(j), file);
  EXPECT_EQ(Card::fromJson(g), grouped);
}

TEST(CardTest, DecodesOnlyWithExactlyOneCaseName) {
  const Json fileValue = Json{{"_0", bareFile(1).toJson()}};
  const Json groupValue = Json{{"_0", group({bareFile(1)}, id(1)).toJson()}};
  struct Case {
    const char* what;
    Json json;
    int expect;  // 0 file, 1 group, -1 count error, -2 other error
  };
  const Case cases[] = {
      {"file", Json{{"file", fileValue}}, 0},
      {"group", Json{{"group", groupValue}}, 1},
      {"file plus unknown member", Json{{"file", fileValue}, {"extra", 1}}, 0},
      {"inner extra member", Json{{"file", Json{{"_0", bareFile(1).toJson()}, {"_1", 2}}}}, 0},
      {"both cases", Json{{"file", fileValue}, {"group", groupValue}}, -1},
      {"neither case", Json{{"extra", fileValue}}, -1},
      {"empty object", Json::object(), -1},
      {"case name in other letter case", Json{{"File", fileValue}}, -1},
      {"inner without _0", Json{{"file", Json{{"value", bareFile(1).toJson()}}}}, -2},
      {"inner is null", Json{{"file", nullptr}}, -2},
      {"group value under file", Json{{"file", groupValue}}, -2},
      {"not an object", Json::array(), -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.expect >= 0) {
      Card card = Card::fromJson(c.json);
      EXPECT_EQ(card.value.index(), static_cast<std::size_t>(c.expect));
      continue;
    }
    try {
      Card::fromJson(c.json);
      ADD_FAILURE() << "decoded";
    } catch (const DecodeError& e) {
      if (c.expect == -1) {
        EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
      } else {
        EXPECT_STRNE(e.what(), "Invalid number of keys found, expected one.");
      }
    }
  }
}

TEST(CardTest, ComputedValuesOfGroupCards) {
  FileCard a = bareFile(1, "a.jpg"), b = bareFile(2, "b.jpg"), c = bareFile(3, "c.jpg");
  struct Case {
    const char* what;
    std::vector<FileCard> members;
    Uuid keeperID;
    int fileCount;
    bool hasKeeper;
    std::string title;
    std::optional<Uuid> preview;
  };
  const Case cases[] = {
      {"keeper in the middle", {a, b, c}, id(2), 2, true, "b.jpg", id(2)},
      {"keeper matches nobody", {a, b, c}, id(9), 2, false, "3 copies", id(1)},
      {"single member is the keeper", {a}, id(1), 0, true, "a.jpg", id(1)},
      {"no members", {}, id(1), 0, false, "0 copies", std::nullopt},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    GroupCard g = group(k.members, k.keeperID);
    Card card = g;
    EXPECT_EQ(g.fileCount(), k.fileCount);
    EXPECT_EQ(card.fileCount(), k.fileCount);
    EXPECT_EQ(g.keeper().has_value(), k.hasKeeper);
    EXPECT_EQ(card.title(), k.title);
    auto preview = card.previewFile();
    ASSERT_EQ(preview.has_value(), k.preview.has_value());
    if (preview) EXPECT_EQ(preview->id, *k.preview);
    EXPECT_EQ(card.id(), id(100));
    EXPECT_EQ(card.bytes(), 4096);
    EXPECT_EQ(card.score(), 0.75);
  }
}

TEST(CardTest, KeeperIsTheFirstMatchingMember) {
  FileCard first = bareFile(5, "first.jpg");
  FileCard second = bareFile(5, "second.jpg");  // same id, later in the array
  GroupCard g = group({bareFile(1), first, second}, id(5));
  ASSERT_TRUE(g.keeper());
  EXPECT_EQ(g.keeper()->name, "first.jpg");
}

TEST(CardTest, ComputedValuesOfFileCards) {
  FileCard f = fullFile(4);
  Card card = f;
  EXPECT_EQ(card.id(), id(4));
  EXPECT_EQ(card.fileCount(), 1);
  EXPECT_EQ(card.bytes(), f.bytes);
  EXPECT_EQ(card.score(), f.score);
  EXPECT_EQ(card.title(), "Screen Shot.png");
  ASSERT_TRUE(card.previewFile());
  EXPECT_EQ(*card.previewFile(), f);
}

TEST(DeckTest, RawValuesAreExactAndOrdered) {
  struct Case {
    const char* raw;
    std::optional<DeckID> expect;
  };
  const Case cases[] = {
      {"smart", DeckID::smart},
      {"screenshots", DeckID::screenshots},
      {"duplicates", DeckID::duplicates},
      {"similar", DeckID::similar},
      {"largeDownloads", DeckID::largeDownloads},
      {"installers", DeckID::installers},
      {"large_downloads", std::nullopt},
      {"LargeDownloads", std::nullopt},
      {"largedownloads", std::nullopt},
      {"Smart", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(enumFromRaw<DeckID>(c.raw), c.expect) << c.raw;

  std::vector<std::string> order;
  for (DeckID d : allCases<DeckID>()) order.emplace_back(rawValue(d));
  EXPECT_EQ(order, (std::vector<std::string>{"smart", "screenshots", "duplicates", "similar",
                                             "largeDownloads", "installers"}));
}

TEST(DeckTest, ActionRawValues) {
  EXPECT_EQ(enumFromRaw<Action>("keep"), Action::keep);
  EXPECT_EQ(enumFromRaw<Action>("trash"), Action::trash);
  EXPECT_EQ(enumFromRaw<Action>("skip"), Action::skip);
  EXPECT_EQ(enumFromRaw<Action>("Trash"), std::nullopt);
  EXPECT_EQ(enumFromRaw<Action>("delete"), std::nullopt);
}

TEST(DeckTest, JsonRoundTripAndStrictMembers) {
  Deck d{DeckID::largeDownloads, "Large downloads", 12, 1LL << 40, 3};
  Json j = d.toJson();
  EXPECT_EQ(j["id"], "largeDownloads");
  EXPECT_EQ(j["bytes"], 1LL << 40);
  EXPECT_EQ(Deck::fromJson(j), d);

  j["id"] = "large_downloads";
  EXPECT_THROW(Deck::fromJson(j), DecodeError);
  j = d.toJson();
  j.erase("reviewed");
  EXPECT_THROW(Deck::fromJson(j), DecodeError);
}

TEST(CommitFailureTest, RoundTripAndEquality) {
  CommitFailure f{id(3), "modified since scan"};
  EXPECT_EQ(CommitFailure::fromJson(f.toJson()), f);
  EXPECT_NE(f, (CommitFailure{id(3), "missing"}));
  EXPECT_NE(f, (CommitFailure{id(4), "modified since scan"}));
}

TEST(GroupCardTest, MemberNamesAreCaseSensitive) {
  Json j = group({bareFile(1)}, id(1)).toJson();
  j["keeperId"] = j["keeperID"];
  j.erase("keeperID");
  EXPECT_THROW(GroupCard::fromJson(j), DecodeError);
}

}  // namespace
}  // namespace tallowick
