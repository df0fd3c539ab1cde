#include "shared/report_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tallowick {
namespace {

using std::chrono::seconds;

// What the report's JSON document printed by nlohmann gives: the form every
// stored report had before it was streamed.
std::string throughTheDocument(const Report& report) { return codec::dumpStored(report.toJson()); }

std::string streamed(const Report& report, std::size_t chunkSize) {
  std::string text;
  OutputBuffer out(
      [&](std::string_view chunk) {
        text.append(chunk);
        return true;
      },
      chunkSize);
  writeReportJSON(report, out);
  EXPECT_TRUE(out.finish());
  return text;
}

Item bareItem(std::string path) {
  Item item;
  item.path = std::move(path);
  return item;
}

Item fullItem() {
  Item item;
  item.path = "/home/ann/Pictures/IMG_0001.jpg";
  item.kind = Kind::image;
  item.bytes = 5'000'000'000LL;
  item.createdAt = Date(seconds(1'700'000'000));
  item.modifiedAt = Date(seconds(1'700'000'100));
  item.lastOpenedAt = Date(seconds(1'700'000'200));
  item.isScreenCapture = true;
  item.isCloud = true;
  item.sha256 = std::string(64, 'f');
  item.phash = std::numeric_limits<std::uint64_t>::max();
  item.width = 4000;
  item.height = 3000;
  item.groupID = Uuid::random();
  item.thumbPath = "/data/Tallowick/thumbs/X.heic";
  item.reasons = {Reason::similarPhoto, Reason::screenshot, Reason::staleLargeVideo};
  item.score = 12345.678;
  return item;
}

std::vector<std::pair<const char*, Report>> reports() {
  std::vector<std::pair<const char*, Report>> out;
  out.push_back({"empty", Report{}});

  Report bare;
  bare.items = {bareItem("/a")};
  bare.keepers = {bareItem("/b")};
  out.push_back({"item without optionals", bare});

  Report full;
  full.roots = {"/home/ann/Pictures", "/home/ann/Downloads"};
  full.items = {fullItem()};
  Group exact;
  exact.keeperID = full.items[0].id;
  exact.memberIDs = {full.items[0].id, Uuid::random(), Uuid::random()};
  exact.reclaimable = 42;
  Group similar = exact;
  similar.id = Uuid::random();
  similar.type = GroupType::similar;
  full.groups = {exact, similar};
  full.filesSeen = 1'000'000;
  full.bytesSeen = std::numeric_limits<std::int64_t>::max();
  full.reclaimable = -1;
  out.push_back({"every field", full});

  // Text as paths may hold it: quotes, backslashes, every control
  // character, DEL, non-ASCII (two, three and four bytes) and bytes that
  // are no UTF-8 at all.
  Report text;
  std::string controls;
  for (char c = 1; c < 0x20; ++c) controls.push_back(c);
  for (std::string path :
       {std::string("/q\"uo\"te/back\\slash/sl/ash"), "/ctl" + controls + "end",
        std::string("/del\x7f/tab\t/nl\n/cr\r"), std::string("/zoë/日本語/😀.jpg"),
        std::string("/bad\xff\xfe/cut\xe6\x97"), std::string("/lone\x80") + "\"x",
        std::string(5000, 'L'), std::string(1, '\0') + "nul"}) {
    Item item = bareItem(path);
    item.thumbPath = path;
    text.items.push_back(item);
    text.roots.push_back(path);
  }
  out.push_back({"awkward text", text});

  // Numbers at the edges of nlohmann's number printing.
  Report numbers;
  for (double score :
       {0.0, -0.0, 1.0, 0.1, 1.0 / 3, 1e-5, 1e-4, 123456789012345.0, 1e15, 1e16, 1e20,
        1.7976931348623157e308, 5e-324, -2.5, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity()}) {
    Item item = bareItem("/n");
    item.score = score;
    item.bytes = std::numeric_limits<std::int64_t>::min();
    item.width = std::numeric_limits<int>::min();
    item.height = 0;
    item.phash = 0;
    numbers.items.push_back(item);
  }
  numbers.scannedAt = Date(seconds(-2'000'000'000));
  out.push_back({"numbers and dates at the edges", numbers});

  // Many items with fields drawn at random.
  std::mt19937_64 rng(7);
  Report random;
  for (int i = 0; i < 300; ++i) {
    Item item = (rng() % 2) ? fullItem() : bareItem("/r/" + std::to_string(rng()));
    item.id = Uuid::random();
    item.score =
        std::ldexp(static_cast<double>(rng() % 1000000), static_cast<int>(rng() % 80) - 40);
    if (rng() % 3 == 0) item.reasons.clear();
    if (rng() % 2) item.sha256.reset();
    (i % 4 ? random.items : random.keepers).push_back(item);
  }
  out.push_back({"random items", random});

  // Enough items, keepers and groups to be written in pieces, with a last
  // piece of odd length.
  Report large;
  for (int i = 0; i < 5000; ++i) {
    Item item = (rng() % 2) ? fullItem() : bareItem("/large/" + std::to_string(i));
    item.id = Uuid::random();
    item.score = static_cast<double>(rng() % 100000) / 7;
    (i % 5 ? large.items : large.keepers).push_back(item);
    if (i % 2) {
      Group group;
      group.keeperID = item.id;
      group.memberIDs = {item.id, Uuid::random()};
      group.reclaimable = i;
      large.groups.push_back(group);
    }
  }
  out.push_back({"many items, keepers and groups", large});
  return out;
}

TEST(ReportWriter, SameBytesAsTheWholeDocument) {
  for (const auto& [name, report] : reports()) {
    SCOPED_TRACE(name);
    const std::string expected = throughTheDocument(report);
    EXPECT_EQ(streamed(report, 1 << 20), expected);
    // Small chunks cut through every token.
    EXPECT_EQ(streamed(report, 7), expected);
    EXPECT_EQ(report.storedJSON(), expected);
  }
}

TEST(ReportWriter, WrittenReportReadsBack) {
  Report report = reports()[2].second;
  report.scannedAt = codec::wholeSeconds(report.scannedAt);  // what the text holds
  EXPECT_EQ(Report::fromStoredJSON(report.storedJSON()), report);
}

}  // namespace
}  // namespace tallowick
