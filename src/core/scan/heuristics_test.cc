#include "core/scan/heuristics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <random>
#include <set>

namespace tallowick {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

constexpr std::int64_t kMiB = 1024 * 1024;
const Date kNow = Date(seconds(1'750'000'000));

Date daysAgo(double days) {
  return kNow -
         std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(days * 86400));
}

Item file(std::string path, std::int64_t bytes = 1000) {
  Item item;
  item.path = std::move(path);
  item.bytes = bytes;
  return item;
}

// `digest` is a short hexadecimal label, padded to a whole digest.
Item copyOf(std::string path, const char* digest, std::optional<Date> created = std::nullopt) {
  Item item = file(std::move(path));
  item.sha256 = std::string(64 - std::string_view(digest).size(), '0') + digest;
  item.createdAt = created;
  return item;
}

Item photo(std::string path, std::uint64_t hash, std::optional<Date> created = std::nullopt,
           int width = 100, int height = 100, std::int64_t bytes = 1000) {
  Item item = file(std::move(path), bytes);
  item.kind = Kind::image;
  item.phash = hash;
  item.createdAt = created;
  item.width = width;
  item.height = height;
  return item;
}

// A hash `bits` bits away from `base`, flipping the lowest bits from `from`.
std::uint64_t flip(std::uint64_t base, int bits, int from = 0) {
  for (int i = 0; i < bits; ++i) base ^= std::uint64_t{1} << (from + i);
  return base;
}

const Group* groupOf(const Heuristics::Analysis& a, const Item& item) {
  for (const auto& g : a.groups) {
    if (item.groupID && g.id == *item.groupID) return &g;
  }
  return nullptr;
}

TEST(FolderRankTest, FirstMatchingFolderWins) {
  struct Case {
    const char* path;
    int rank;
  };
  const Case cases[] = {
      {"/home/u/Pictures/a.jpg", 0},
      {"/home/u/PICTURES/a.jpg", 0},
      {"/home/u/Downloads/Pictures/a.jpg", 0},
      {"/home/u/Documents/a.pdf", 1},
      {"/home/u/Movies/a.mov", 1},
      {"/home/u/Desktop/a.txt", 2},
      {"/home/u/Downloads/a.zip", 3},
      {"/home/u/Downloads/Desktop/a.zip", 2},
      {"/home/u/Music/a.mp3", 2},
      {"/home/u/MyPictures/a.jpg", 2},  // needs the whole folder name
      {"/home/u/Pictures", 2},          // and a slash after it
  };
  for (const auto& c : cases) EXPECT_EQ(Heuristics::folderRank(c.path), c.rank) << c.path;
}

TEST(ExactGroupTest, KeeperIsBestPlacedThenOldest) {
  constexpr char kA[] = "a";
  const Date early = kNow - hours(48);
  const Date late = kNow - hours(1);
  struct Case {
    const char* name;
    std::vector<Item> items;
    std::size_t keeper;
  };
  const Case cases[] = {
      {"pictures beats desktop and downloads",
       {copyOf("/h/Downloads/x", kA), copyOf("/h/Pictures/x", kA), copyOf("/h/Desktop/x", kA)},
       1},
      {"dated beats undated (dated last)",
       {copyOf("/h/Desktop/x", kA), copyOf("/h/Desktop/y", kA, early)},
       1},
      {"dated beats undated (dated first)",
       {copyOf("/h/Desktop/x", kA, early), copyOf("/h/Desktop/y", kA)},
       0},
      {"older beats newer", {copyOf("/h/x", kA, late), copyOf("/h/y", kA, early)}, 1},
      {"full tie keeps the first", {copyOf("/h/x", kA, early), copyOf("/h/y", kA, early)}, 0},
      {"rank outweighs age",
       {copyOf("/h/Downloads/x", kA, early), copyOf("/h/Documents/x", kA, late)},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = Heuristics::analyze(c.items, {}, kNow);
    ASSERT_EQ(a.groups.size(), 1u);
    const Group& g = a.groups[0];
    EXPECT_EQ(g.type, GroupType::exact);
    EXPECT_EQ(g.keeperID, a.items[c.keeper].id);
    ASSERT_EQ(g.memberIDs.size(), c.items.size());
    for (std::size_t i = 0; i < c.items.size(); ++i) {
      EXPECT_EQ(g.memberIDs[i], c.items[i].id);
      EXPECT_EQ(a.items[i].groupID, g.id);
      const std::vector<Reason> want =
          i == c.keeper ? std::vector<Reason>{} : std::vector<Reason>{Reason::exactDuplicate};
      EXPECT_EQ(a.items[i].reasons, want);
    }
    EXPECT_EQ(g.reclaimable, 1000 * static_cast<std::int64_t>(c.items.size() - 1));
  }
}

TEST(ExactGroupTest, OnlyEqualDigestsGroupAndExactMembersStayOutOfSimilarGroups) {
  std::vector<Item> items = {copyOf("/h/a", "d1"), copyOf("/h/b", "d2"), copyOf("/h/c", "d1"),
                             file("/h/no-digest")};
  items[0].phash = 0;
  items[0].kind = Kind::image;
  items.push_back(photo("/h/p1", 1));  // one bit from items[0], but that one is grouped
  auto a = Heuristics::analyze(items, {}, kNow);
  ASSERT_EQ(a.groups.size(), 1u);
  EXPECT_EQ(a.groups[0].memberIDs, (std::vector<Uuid>{items[0].id, items[2].id}));
  EXPECT_FALSE(a.items[1].groupID);
  EXPECT_FALSE(a.items[3].groupID);
  EXPECT_FALSE(a.items[4].groupID);
  EXPECT_EQ(a.items.size(), items.size());
}

TEST(SimilarGroupTest, ChainsLinkTransitively) {
  const std::uint64_t a = 0;
  const std::uint64_t b = flip(a, 6);
  const std::uint64_t c = flip(b, 6, 6);  // 12 bits from a
  ASSERT_EQ(std::popcount(a ^ c), 12);
  const Date t = kNow - hours(100);
  auto r = Heuristics::analyze(
      {photo("/h/a", a, t), photo("/h/b", b, t + minutes(1)), photo("/h/c", c, t + minutes(2))}, {},
      kNow);
  ASSERT_EQ(r.groups.size(), 1u);
  EXPECT_EQ(r.groups[0].type, GroupType::similar);
  EXPECT_EQ(r.groups[0].memberIDs.size(), 3u);
  EXPECT_EQ(r.groups[0].keeperID, r.items[0].id);  // full tie keeps the first
  EXPECT_EQ(r.items[1].reasons, std::vector<Reason>{Reason::similarPhoto});
  EXPECT_EQ(r.items[2].reasons, std::vector<Reason>{Reason::similarPhoto});
}

TEST(SimilarGroupTest, DistanceAndTimeBoundaries) {
  const Date t = kNow - hours(100);
  struct Case {
    const char* name;
    int bits;
    std::optional<Date> first;
    std::optional<Date> second;
    double window;
    int threshold;
    bool linked;
  };
  const Case cases[] = {
      {"8 bits, same time", 8, t, t, 3600, 8, true},
      {"9 bits, same time", 9, t, t, 3600, 8, false},
      {"identical hashes", 0, t, t, 3600, 8, true},
      {"exactly the window apart", 8, t, t + seconds(3600), 3600, 8, true},
      {"a second past the window", 8, t, t + seconds(3601), 3600, 8, false},
      {"a millisecond past the window", 0, t, t + seconds(3600) + std::chrono::milliseconds(1),
       3600, 8, false},
      {"2 hours apart", 8, t, t + hours(2), 3600, 8, false},
      {"2 hours apart, window 0", 8, t, t + hours(2), 0, 8, true},
      {"2 hours apart, window negative", 8, t, t + hours(2), -5, 8, true},
      {"one without a date", 8, t, std::nullopt, 3600, 8, true},
      {"neither with a date", 8, std::nullopt, std::nullopt, 3600, 8, true},
      {"threshold 0, identical", 0, t, t, 3600, 0, true},
      {"threshold 0, one bit", 1, t, t, 3600, 0, false},
      {"negative threshold", 0, t, t, 3600, -1, false},
      {"threshold 64, all bits", 64, t, t, 3600, 64, true},
      {"dates centuries apart", 0, Date(seconds(-8'000'000'000LL)), Date(seconds(9'000'000'000LL)),
       3600, 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HeuristicsConfig config;
    config.similarWindowSec = c.window;
    config.similarThreshold = c.threshold;
    const std::uint64_t base = 0x0123456789ABCDEFull;
    std::uint64_t other = base;
    for (int i = 0; i < c.bits; ++i) other ^= std::uint64_t{1} << (i * 7 % 64);
    if (c.bits == 64) other = ~base;
    ASSERT_EQ(std::popcount(base ^ other), c.bits);
    // Reverse order too: the result must not depend on which comes first.
    for (bool reversed : {false, true}) {
      std::vector<Item> items = {photo("/h/a", base, c.first), photo("/h/b", other, c.second)};
      if (reversed) std::swap(items[0], items[1]);
      auto r = Heuristics::analyze(items, config, kNow);
      EXPECT_EQ(r.groups.size(), c.linked ? 1u : 0u) << (reversed ? "reversed" : "");
      EXPECT_EQ(r.items[0].groupID.has_value(), c.linked);
    }
  }
}

TEST(SimilarGroupTest, KeeperHasMostPixelsThenMostBytes) {
  struct Case {
    const char* name;
    std::vector<Item> items;
    std::size_t keeper;
  };
  const Case cases[] = {
      {"larger picture in a smaller file",
       {photo("/h/a", 0, {}, 1920, 1080, 9000), photo("/h/b", 1, {}, 4000, 3000, 5000)},
       1},
      {"equal pixels, larger file",
       {photo("/h/a", 0, {}, 100, 100, 10), photo("/h/b", 1, {}, 100, 100, 20)},
       1},
      {"full tie keeps the first",
       {photo("/h/a", 0, {}, 100, 100, 10), photo("/h/b", 1, {}, 100, 100, 10)},
       0},
      {"missing height counts as no pixels",
       {photo("/h/a", 0, {}, 100, 100, 10), photo("/h/b", 1, {}, 5000, 0, 99)},
       0},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "missing height counts as no pixels") c.items[1].height.reset();
    auto r = Heuristics::analyze(c.items, {}, kNow);
    ASSERT_EQ(r.groups.size(), 1u);
    EXPECT_EQ(r.groups[0].keeperID, r.items[c.keeper].id);
    EXPECT_EQ(r.groups[0].reclaimable, r.items[1 - c.keeper].bytes);
  }
}

TEST(AgeReasonTest, ThresholdsAreStrictlyOlderAndSizesAtLeast) {
  auto screenshot = [](double days) {
    Item i = file("/h/Desktop/Screenshot.png", 5000);
    i.isScreenCapture = true;
    i.lastOpenedAt = daysAgo(days);
    i.modifiedAt = daysAgo(1000);  // the last-opened date takes precedence
    return i;
  };
  auto installer = [](double days) {
    Item i = file("/h/Desktop/setup.dmg", 5000);
    i.kind = Kind::installer;
    i.modifiedAt = daysAgo(days);
    return i;
  };
  auto download = [](const char* path, std::int64_t bytes, double days) {
    Item i = file(path, bytes);
    i.createdAt = daysAgo(days);
    return i;
  };
  auto video = [](std::int64_t bytes, double days) {
    Item i = file("/h/Movies/clip.mov", bytes);
    i.kind = Kind::video;
    i.modifiedAt = daysAgo(days);
    return i;
  };
  struct Case {
    const char* name;
    Item item;
    std::vector<Reason> reasons;
  };
  const Case cases[] = {
      {"screenshot 29 days", screenshot(29), {}},
      {"screenshot 31 days", screenshot(31), {Reason::screenshot}},
      {"installer exactly 14 days", installer(14.0), {}},
      {"installer 14.01 days", installer(14.01), {Reason::staleInstaller}},
      {"download 100 MiB, 91 days",
       download("/h/Downloads/big.iso", 100 * kMiB, 91),
       {Reason::staleLargeDownload}},
      {"download case-insensitive folder",
       download("/h/DOWNLOADS/big.iso", 100 * kMiB, 91),
       {Reason::staleLargeDownload}},
      {"download 1 byte short", download("/h/Downloads/big.iso", 100 * kMiB - 1, 91), {}},
      {"download exactly 90 days", download("/h/Downloads/big.iso", 100 * kMiB, 90), {}},
      {"large file outside downloads", download("/h/Desktop/big.iso", 100 * kMiB, 91), {}},
      {"video 200 MiB, 181 days", video(200 * kMiB, 181), {Reason::staleLargeVideo}},
      {"video 1 byte short", video(200 * kMiB - 1, 181), {}},
      {"video 179 days", video(200 * kMiB, 179), {}},
      {"date in the future", installer(-30), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Heuristics::analyze({c.item}, {}, kNow);
    EXPECT_EQ(r.items[0].reasons, c.reasons);
    if (c.reasons.empty()) {
      EXPECT_EQ(r.items[0].score, 0);
    } else {
      EXPECT_GT(r.items[0].score, 0);
    }
  }
}

TEST(AgeReasonTest, ReasonsKeepTheirOrderAfterTheGroupReason) {
  // A year-old large video in a download folder, duplicated: every reason
  // that applies, group reason first.
  Item keeper = copyOf("/h/Pictures/v.mov", "d");
  Item dup = copyOf("/h/Downloads/v.mov", "d");
  for (Item* i : {&keeper, &dup}) {
    i->kind = Kind::video;
    i->bytes = 300 * kMiB;
    i->modifiedAt = daysAgo(365);
  }
  auto r = Heuristics::analyze({keeper, dup}, {}, kNow);
  EXPECT_EQ(r.items[0].reasons, std::vector<Reason>{Reason::staleLargeVideo});
  EXPECT_EQ(r.items[1].reasons,
            (std::vector<Reason>{Reason::exactDuplicate, Reason::staleLargeDownload,
                                 Reason::staleLargeVideo}));
  EXPECT_DOUBLE_EQ(r.items[1].score, 1.0 * 3.0 * 300 * kMiB);
  EXPECT_DOUBLE_EQ(r.items[0].score, 0.5 * 3.0 * 300 * kMiB);
}

TEST(ScoreTest, HighestWeightTimesCappedAgeTimesSize) {
  struct Case {
    const char* name;
    std::vector<Reason> reasons;
    double ageDays;
    double expected;
  };
  const Case cases[] = {
      {"no reasons", {}, 100, 0},
      {"screenshot 31 days", {Reason::screenshot}, 31, 0.9 * (31 / 90.0) * 1000},
      {"opened today", {Reason::exactDuplicate}, 0, 0},
      {"saturates at 270 days", {Reason::similarPhoto}, 1000, 0.8 * 3.0 * 1000},
      {"largest weight wins", {Reason::staleLargeVideo, Reason::staleInstaller}, 90, 0.95 * 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Item i = file("/h/x", 1000);
    i.reasons = c.reasons;
    i.modifiedAt = daysAgo(c.ageDays);
    EXPECT_NEAR(Heuristics::score(i, kNow), c.expected, 1e-6);
  }
  for (Reason r : allCases<Reason>()) EXPECT_GT(Heuristics::weight(r), 0);
  EXPECT_EQ(Heuristics::weight(Reason::exactDuplicate), 1.0);
  EXPECT_EQ(Heuristics::weight(Reason::staleLargeDownload), 0.6);
}

TEST(CandidatesTest, KeepersOnlyWithAgeReasonsSortedStablyAndReclaimableCountsOnce) {
  Item keeper = copyOf("/h/Pictures/s.png", "d");
  keeper.isScreenCapture = true;
  Item dup = copyOf("/h/Downloads/s.png", "d");
  Item plainKeeper = copyOf("/h/Pictures/p.png", "e");
  Item plainDup = copyOf("/h/Desktop/p.png", "e");
  Item loose1 = file("/h/Desktop/a.dmg", 700);
  loose1.kind = Kind::installer;
  Item loose2 = loose1;
  loose2.id = Uuid::random();
  for (Item* i : {&keeper, &dup, &plainKeeper, &plainDup, &loose1, &loose2}) {
    i->modifiedAt = daysAgo(400);
  }
  auto r = Heuristics::analyze({keeper, dup, plainKeeper, plainDup, loose1, loose2}, {}, kNow);
  auto c = Heuristics::candidates(r.items);
  std::vector<Uuid> ids;
  for (const auto& i : c) ids.push_back(i.id);
  // Scores: dup and plainDup 3000, keeper 0.9 x 3000, loose 0.95 x 2100.
  EXPECT_EQ(ids, (std::vector<Uuid>{dup.id, plainDup.id, keeper.id, loose1.id, loose2.id}));
  // Grouped candidates count through their groups; the keeper not at all.
  EXPECT_EQ(Heuristics::reclaimable(c, r.groups), 1000 + 1000 + 700 + 700);
  EXPECT_TRUE(Heuristics::candidates({}).empty());
  EXPECT_EQ(Heuristics::reclaimable({}, {}), 0);
}

// Taking the items over gives the same candidates in the same order as
// copying them, ties included.
TEST(CandidatesTest, TakenOverInTheSameOrderAsCopied) {
  std::mt19937_64 rng(3);
  std::vector<Item> items;
  for (int i = 0; i < 500; ++i) {
    Item item = file("/h/" + std::to_string(i));
    if (rng() % 4) item.reasons = {Reason::screenshot};
    item.score = static_cast<double>(rng() % 20);  // many ties
    items.push_back(item);
  }
  const std::vector<Item> copied = Heuristics::candidates(items);
  const std::vector<Item> taken = Heuristics::candidates(std::vector<Item>(items));
  EXPECT_EQ(taken, copied);
  EXPECT_GT(copied.size(), 300u);
}

// Paths that are one file (hard links) free its bytes once, whether through
// a group or as items of their own.
TEST(CandidatesTest, ReclaimableCountsAFileUnderSeveralPathsOnce) {
  Item keeper = file("/h/Pictures/k", 100);
  Item dup = file("/h/Downloads/d", 100);
  Group group;
  group.keeperID = keeper.id;
  group.memberIDs = {keeper.id, dup.id};
  group.reclaimable = 100;
  keeper.groupID = dup.groupID = group.id;
  Item linkOfDup = file("/h/Downloads/e", 100);     // freed with the group already
  Item linkOfKeeper = file("/h/Downloads/l", 100);  // the keeper's bytes are not counted
  Item loose = file("/h/Desktop/a.dmg", 7);
  Item linkOfLoose = file("/h/Desktop/b.dmg", 7);
  Item other = file("/h/Desktop/c.dmg", 5);
  const std::unordered_map<Uuid, Uuid> sameFileAs = {
      {linkOfDup.id, dup.id}, {linkOfKeeper.id, keeper.id}, {linkOfLoose.id, loose.id}};
  const std::vector<Item> candidates = {dup, linkOfDup, linkOfKeeper, loose, linkOfLoose, other};
  EXPECT_EQ(Heuristics::reclaimable(candidates, {group}, sameFileAs), 100 + 100 + 7 + 5);
  // Without the links known, every path counts.
  EXPECT_EQ(Heuristics::reclaimable(candidates, {group}), 100 + 100 + 100 + 7 + 7 + 5);
}

// ---- The plain all-pairs rule, kept as the reference for the index ----------

std::vector<std::set<std::size_t>> allPairsClusters(const std::vector<Item>& items,
                                                    const HeuristicsConfig& config) {
  std::vector<std::size_t> pool;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].phash && !items[i].sha256) pool.push_back(i);  // no exact groups in these inputs
  }
  std::vector<std::size_t> parent(pool.size());
  std::iota(parent.begin(), parent.end(), 0);
  auto find = [&](std::size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (std::size_t i = 0; i < pool.size(); ++i) {
    for (std::size_t j = i + 1; j < pool.size(); ++j) {
      const Item& a = items[pool[i]];
      const Item& b = items[pool[j]];
      if (std::popcount(*a.phash ^ *b.phash) > config.similarThreshold) continue;
      if (a.createdAt && b.createdAt && config.similarWindowSec > 0 &&
          std::abs(std::chrono::duration<double>(*a.createdAt - *b.createdAt).count()) >
              config.similarWindowSec) {
        continue;
      }
      parent[find(i)] = find(j);
    }
  }
  std::map<std::size_t, std::set<std::size_t>> byRoot;
  for (std::size_t i = 0; i < pool.size(); ++i) byRoot[find(i)].insert(pool[i]);
  std::vector<std::set<std::size_t>> out;
  for (auto& [root, members] : byRoot) {
    if (members.size() >= 2) out.push_back(members);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::size_t referenceKeeper(const std::vector<Item>& items, const std::set<std::size_t>& members) {
  std::size_t k = *members.begin();
  for (std::size_t c : members) {
    if (items[c].pixels() > items[k].pixels() ||
        (items[c].pixels() == items[k].pixels() && items[c].bytes > items[k].bytes)) {
      k = c;
    }
  }
  return k;
}

struct RandomCase {
  const char* name;
  bool clustered;
  double datedShare;  // 0: no dates, 1: all dated
  int threshold;
  double window;
  std::size_t count;
};

std::vector<Item> randomPhotos(const RandomCase& c, std::mt19937_64& rng) {
  std::vector<Item> items;
  std::vector<std::uint64_t> centres(std::max<std::size_t>(1, c.count / 8));
  for (auto& h : centres) h = rng();
  const Date start = kNow - hours(24 * 30);
  std::uniform_real_distribution<double> unit(0, 1);
  for (std::size_t i = 0; i < c.count; ++i) {
    std::uint64_t hash = rng();
    if (c.clustered) {
      hash = centres[rng() % centres.size()];
      const int flips = static_cast<int>(rng() % 8);
      for (int f = 0; f < flips; ++f) hash ^= std::uint64_t{1} << (rng() % 64);
    }
    std::optional<Date> created;
    if (unit(rng) < c.datedShare) {
      // Dates over a few days, so the one-hour window both links and splits.
      created = start + seconds(static_cast<std::int64_t>(unit(rng) * 4 * 86400));
    }
    items.push_back(photo("/h/p" + std::to_string(i), hash, created,
                          static_cast<int>(rng() % 3 + 1) * 100, 100,
                          static_cast<std::int64_t>(rng() % 4)));
  }
  return items;
}

TEST(SimilarGroupTest, IndexGivesTheAllPairsGroupsKeepersAndReasons) {
  const RandomCase cases[] = {
      {"clustered, dated", true, 1.0, 8, 3600, 1500},
      {"clustered, undated", true, 0.0, 8, 3600, 1500},
      {"clustered, half dated", true, 0.5, 8, 3600, 1500},
      {"clustered, window off", true, 1.0, 8, 0, 1500},
      {"clustered, threshold 3", true, 0.5, 3, 3600, 1500},
      {"clustered, threshold 0", true, 0.3, 0, 3600, 800},
      {"clustered, threshold 13", true, 0.3, 13, 3600, 800},
      {"clustered, threshold 30", true, 0.3, 30, 7200, 400},
      {"uniform, dated", false, 1.0, 8, 3600, 3000},
      {"uniform, undated", false, 0.0, 8, 3600, 3000},
      {"uniform, threshold 24", false, 0.0, 24, 3600, 800},
      {"tiny pool", true, 0.5, 8, 3600, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::uint64_t seed : {1u, 2u, 3u}) {
      std::mt19937_64 rng(seed * 7919 + c.count);
      auto items = randomPhotos(c, rng);
      HeuristicsConfig config;
      config.similarThreshold = c.threshold;
      config.similarWindowSec = c.window;
      const auto expected = allPairsClusters(items, config);

      auto r = Heuristics::analyze(items, config, kNow);
      std::map<Uuid, std::size_t> position;
      for (std::size_t i = 0; i < items.size(); ++i) position[items[i].id] = i;
      std::vector<std::set<std::size_t>> got;
      for (const auto& g : r.groups) {
        ASSERT_EQ(g.type, GroupType::similar);
        std::set<std::size_t> members;
        for (const auto& id : g.memberIDs) members.insert(position.at(id));
        EXPECT_EQ(position.at(g.keeperID), referenceKeeper(items, members));
        got.push_back(members);
      }
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, expected) << "seed " << seed;
      if (c.count > 100 && c.clustered) {
        EXPECT_FALSE(expected.empty());  // the inputs do exercise linking
      }

      std::set<std::size_t> keepers;
      for (const auto& members : expected) keepers.insert(referenceKeeper(items, members));
      std::set<std::size_t> grouped;
      for (const auto& members : expected) grouped.insert(members.begin(), members.end());
      for (std::size_t i = 0; i < items.size(); ++i) {
        const bool nonKeeper = grouped.contains(i) && !keepers.contains(i);
        EXPECT_EQ(r.items[i].reasons,
                  nonKeeper ? std::vector<Reason>{Reason::similarPhoto} : std::vector<Reason>{})
            << i;
        if (grouped.contains(i)) {
          const Group* g = groupOf(r, r.items[i]);
          ASSERT_NE(g, nullptr);
          EXPECT_NE(std::find(g->memberIDs.begin(), g->memberIDs.end(), items[i].id),
                    g->memberIDs.end());
        } else {
          EXPECT_FALSE(r.items[i].groupID);
        }
      }
    }
  }
}

TEST(SimilarGroupTest, ClustersAreOrderedAndMembersSorted) {
  const std::vector<std::uint64_t> hashes = {~0ull, 0, ~0ull, 1, 5};
  const std::vector<std::optional<Date>> dates(hashes.size());
  auto clusters = Heuristics::similarClusters(hashes, dates, {});
  EXPECT_EQ(clusters, (std::vector<std::vector<std::size_t>>{{0, 2}, {1, 3, 4}}));
  EXPECT_TRUE(Heuristics::similarClusters({}, {}, {}).empty());
}

}  // namespace
}  // namespace tallowick
