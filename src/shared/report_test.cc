#include "shared/report.h"

#include <gtest/gtest.h>

#include <limits>

namespace tallowick {
namespace {

using namespace std::chrono;

Date at(int y, unsigned m, unsigned d) { return sys_days{year{y} / month{m} / day{d}}; }

TEST(Item, AgeTakesLastOpenedThenModifiedThenCreated) {
  Date now = at(2026, 1, 31);
  struct Case {
    std::optional<Date> opened, modified, created;
    double days;
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, 0},
      {std::nullopt, std::nullopt, at(2026, 1, 1), 30},
      {std::nullopt, at(2026, 1, 21), at(2026, 1, 1), 10},
      {at(2026, 1, 30), at(2026, 1, 21), at(2026, 1, 1), 1},
      {at(2026, 2, 5), std::nullopt, std::nullopt, 0},  // in the future
  };
  for (const auto& c : cases) {
    Item item;
    item.lastOpenedAt = c.opened;
    item.modifiedAt = c.modified;
    item.createdAt = c.created;
    EXPECT_DOUBLE_EQ(item.ageDays(now), c.days);
  }
}

TEST(Item, AgeOfDatesCenturiesAwayDoesNotOverflow) {
  const Date now = at(2026, 1, 31);
  const Date ancient{Date::duration(std::numeric_limits<Date::rep>::min() + 1)};
  const Date distant{Date::duration(std::numeric_limits<Date::rep>::max() - 1)};
  Item item;
  item.modifiedAt = distant;
  item.createdAt = ancient;
  EXPECT_EQ(item.ageDays(ancient), 0);  // the reference lies far in the future
  item.modifiedAt = ancient;
  EXPECT_GT(item.ageDays(distant), 200000.0);  // about 584 years
  EXPECT_GT(item.ageDays(now), 100000.0);
}

TEST(Item, PixelsNeedBothDimensions) {
  Item item;
  item.width = 1920;
  EXPECT_EQ(item.pixels(), 0);
  item.height = 1080;
  EXPECT_EQ(item.pixels(), 1920 * 1080);
  item.width = 100000;
  item.height = 100000;
  EXPECT_EQ(item.pixels(), 10000000000);
}

TEST(Item, MinimalItemEncodesEightKeys) {
  Item item;
  item.path = "/home/u/a b.png";
  Json j = item.toJson();
  std::vector<std::string> keys;
  for (auto& [k, v] : j.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"bytes", "id", "isCloud", "isScreenCapture", "kind",
                                            "path", "reasons", "score"}));
  EXPECT_EQ(Item::fromJson(j), item);
  EXPECT_EQ(item.url(), "file:///home/u/a%20b.png");
}

TEST(Item, FullItemRoundTrips) {
  Item item;
  item.path = "/p/x.jpg";
  item.kind = Kind::image;
  item.bytes = 5'000'000'000;
  item.createdAt = at(2025, 3, 1) + 9h + 30min;
  item.modifiedAt = at(2025, 3, 2);
  item.lastOpenedAt = at(2025, 3, 3);
  item.isScreenCapture = true;
  item.sha256 = std::string(64, 'a');
  item.phash = 18446744073709551615ull;
  item.width = 4000;
  item.height = 3000;
  item.groupID = Uuid::random();
  item.thumbPath = "/t/x.heic";
  item.reasons = {Reason::similarPhoto, Reason::screenshot};
  item.score = 0.75;
  Json j = item.toJson();
  EXPECT_EQ(j["createdAt"], "2025-03-01T09:30:00Z");
  EXPECT_EQ(j["reasons"], Json::parse(R"(["similarPhoto","screenshot"])"));
  EXPECT_EQ(Item::fromJson(codec::parse(codec::dumpCompact(j))), item);
}

TEST(Item, DecodingRejectsBadRequiredMembersAndIgnoresUnknownOnes) {
  Json good = Item{}.toJson();
  good["unknown"] = 1;
  EXPECT_NO_THROW(Item::fromJson(good));
  for (const char* key :
       {"id", "path", "kind", "bytes", "isScreenCapture", "isCloud", "reasons", "score"}) {
    Json j = good;
    j.erase(key);
    EXPECT_THROW(Item::fromJson(j), DecodeError) << key;
  }
  Json badKind = good;
  badKind["kind"] = "Image";
  EXPECT_THROW(Item::fromJson(badKind), DecodeError);
  Json badDate = good;
  badDate["createdAt"] = "2025-03-01T09:30:00.5Z";
  EXPECT_THROW(Item::fromJson(badDate), DecodeError);
  // A digest is 64 lower-case hexadecimal digits or nothing.
  for (const std::string digest :
       {std::string("abc"), std::string(64, 'A'), std::string(64, 'g')}) {
    Json badDigest = good;
    badDigest["sha256"] = digest;
    EXPECT_THROW(Item::fromJson(badDigest), DecodeError) << digest;
  }
  Json goodDigest = good;
  goodDigest["sha256"] = std::string(64, 'c');
  EXPECT_EQ(Item::fromJson(goodDigest).sha256, std::string(64, 'c'));
}

TEST(Report, EmptyReportWritesEmptyArrays) {
  Report r;
  r.roots = {"/home/u/Downloads"};
  Json j = codec::parse(r.storedJSON());
  EXPECT_EQ(j["items"], Json::array());
  EXPECT_EQ(j["keepers"], Json::array());
  EXPECT_EQ(j["groups"], Json::array());
  EXPECT_EQ(j["reclaimable"], 0);
  Report back = Report::fromStoredJSON(r.storedJSON());
  EXPECT_EQ(back.scannedAt, codec::wholeSeconds(r.scannedAt));
  EXPECT_EQ(back.roots, r.roots);
}

TEST(Report, AllItemsIsItemsThenKeepers) {
  Report r;
  r.items = {Item{}, Item{}};
  r.keepers = {Item{}};
  auto all = r.allItems();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].id, r.items[0].id);
  EXPECT_EQ(all[2].id, r.keepers[0].id);
}

}  // namespace
}  // namespace tallowick
