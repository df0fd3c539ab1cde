#include "core/scan/pipeline.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips8>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "core/scan/hash_cache.h"
#include "core/scan/profile.h"
#include "core/thumbs/vips_runtime.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

// Profile marks are read once per process; turn them on (with an empty
// value) before anything in this program asks.
const bool kProfileOn = [] {
  setenv("TALLOWICK_PROFILE", "", 1);
  return true;
}();

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pipeline_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ + "/home");
    fs::create_directories(dir_ + "/data");
    setenv("HOME", (dir_ + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
    options_.minBytes = 1;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes `content` at dir_/rel, last modified `days` ago.
  std::string put(const std::string& rel, const std::string& content, double days = 0) {
    const fs::path path = fs::path(dir_) / rel;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    age(path.string(), days);
    return path.string();
  }
  static void age(const std::string& path, double days) {
    const auto when = std::chrono::system_clock::now() -
                      std::chrono::seconds(static_cast<long long>(days * 86400));
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    timespec times[2] = {{secs.count(), 0}, {secs.count(), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  // A small PNG drawn at test time; `shade` varies the picture.
  std::string image(const std::string& rel, int shade) {
    EXPECT_TRUE(ensureVipsStarted());
    const fs::path path = fs::path(dir_) / rel;
    fs::create_directories(path.parent_path());
    vips::VImage x = vips::VImage::xyz(48, 32)[0];
    ((x * 5 + shade) % 256).cast(VIPS_FORMAT_UCHAR).write_to_file(path.c_str());
    return path.string();
  }
  ScanRoot root(const std::string& rel, bool duplicates = true, bool screenshots = true,
                bool stale = true) {
    ScanRoot r = ScanRoot::fromPath(dir_ + "/" + rel);
    r.duplicates = duplicates;
    r.screenshots = screenshots;
    r.stale = stale;
    return r;
  }

  static const Item* find(const std::vector<Item>& items, const std::string& path) {
    for (const auto& i : items) {
      if (i.path == path) return &i;
    }
    return nullptr;
  }

  std::string dir_;
  Pipeline::Options options_;
};

TEST(OwningRootTest, LongestContainingRootWins) {
  auto r = [](const char* path, bool duplicates = true) {
    ScanRoot root = ScanRoot::fromPath(path);
    root.duplicates = duplicates;
    return root;
  };
  const std::vector<ScanRoot> roots = {r("/u/Pictures"), r("/u/Pictures/Trips"),
                                       r("/u/Pictures/Trips", false), r("/u/Pic"), r("/v/Music/")};
  struct Case {
    const char* path;
    std::optional<std::size_t> owner;
  };
  const Case cases[] = {
      {"/u/Pictures/a.jpg", 0},
      {"/u/Pictures/Trips/b.jpg", 1},  // first of the equal ones
      {"/u/Pictures/Trips", 0},        // the folder itself lies in its parent root
      {"/u/Pictures2/c.jpg", std::nullopt},
      {"/u/Pic/d.jpg", 3},
      {"/v/Music/e.mp3", 4},  // a root written with a trailing slash
      {"/w/f", std::nullopt},
  };
  for (const auto& c : cases) {
    auto owner = Pipeline::owningRoot(c.path, roots);
    ASSERT_EQ(owner.has_value(), c.owner.has_value()) << c.path;
    if (owner) {
      EXPECT_EQ(*owner, roots[*c.owner]) << c.path;
    }
  }
  EXPECT_EQ(Pipeline::owningRoot("/anything", {r("/")}), r("/"));
  EXPECT_FALSE(Pipeline::owningRoot("/u/a", {}));
}

TEST_F(PipelineTest, EmptyRootListGivesEmptyReport) {
  Report report = Pipeline::run(std::vector<ScanRoot>{}, options_);
  EXPECT_TRUE(report.roots.empty());
  EXPECT_TRUE(report.items.empty());
  EXPECT_TRUE(report.keepers.empty());
  EXPECT_TRUE(report.groups.empty());
  EXPECT_EQ(report.filesSeen, 0);
  EXPECT_EQ(report.bytesSeen, 0);
  EXPECT_EQ(report.reclaimable, 0);
}

TEST_F(PipelineTest, GroupsKeepersCandidatesAndTotals) {
  const std::string copy(5000, 'x');
  const std::string keep = put("Pictures/a.bin", copy, 10);
  const std::string dup1 = put("Downloads/a.bin", copy, 10);
  const std::string dup2 = put("Desktop/a.bin", copy, 10);
  const std::string sameSize = put("Desktop/b.bin", std::string(5000, 'y'), 10);
  const std::string old = put("Desktop/setup.dmg", "installer", 30);
  put("Desktop/tiny", "", 0);
  Report report = Pipeline::run(std::vector<std::string>{dir_}, options_);

  EXPECT_EQ(report.roots, std::vector<std::string>{dir_});
  EXPECT_EQ(report.filesSeen, 6);
  EXPECT_EQ(report.bytesSeen, 4 * 5000 + 9);
  ASSERT_EQ(report.groups.size(), 1u);
  ASSERT_EQ(report.keepers.size(), 1u);
  EXPECT_EQ(report.keepers[0].path, keep);
  EXPECT_EQ(report.groups[0].keeperID, report.keepers[0].id);
  ASSERT_EQ(report.items.size(), 3u);
  EXPECT_TRUE(find(report.items, dup1) && find(report.items, dup2) && find(report.items, old));
  EXPECT_FALSE(find(report.items, sameSize));
  EXPECT_EQ(find(report.items, old)->reasons, std::vector<Reason>{Reason::staleInstaller});
  EXPECT_EQ(report.reclaimable, 2 * 5000 + 9);
  // Highest score first.
  EXPECT_TRUE(std::is_sorted(report.items.begin(), report.items.end(),
                             [](const Item& a, const Item& b) { return a.score > b.score; }));
}

// Hard links are one file: never a duplicate of each other, grouped through
// one path only (the first in byte order: "x-y.bin" before "x/a.bin",
// although the walk meets the folder x first), and counted once.
TEST_F(PipelineTest, HardLinksAreOneFileInGroupsAndInReclaimableBytes) {
  const std::string content(5000, 'h');
  const std::string walkedFirst = put("Desktop/x/a.bin", content);
  const std::string standing = dir_ + "/Desktop/x-y.bin";
  ASSERT_EQ(::link(walkedFirst.c_str(), standing.c_str()), 0);
  const std::string copy = put("Downloads/c.bin", content);
  const std::string installer = put("Desktop/setup.dmg", "installer", 30);
  const std::string installerLink = dir_ + "/Desktop/setup-again.dmg";
  ASSERT_EQ(::link(installer.c_str(), installerLink.c_str()), 0);
  Report report = Pipeline::run(std::vector<std::string>{dir_}, options_);

  ASSERT_EQ(report.groups.size(), 1u);
  const Group& group = report.groups[0];
  ASSERT_EQ(group.memberIDs.size(), 2u);
  ASSERT_EQ(report.keepers.size(), 1u);
  EXPECT_EQ(report.keepers[0].path, standing);
  const Item* dup = find(report.items, copy);
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(group.memberIDs, (std::vector<Uuid>{report.keepers[0].id, dup->id}));
  EXPECT_EQ(group.reclaimable, 5000);
  EXPECT_FALSE(find(report.items, walkedFirst));
  // Both paths of the installer are stale installers, one file of 9 bytes.
  ASSERT_TRUE(find(report.items, installer) && find(report.items, installerLink));
  EXPECT_EQ(report.reclaimable, 5000 + 9);
}

TEST_F(PipelineTest, DuplicatesSwitchKeepsARootOutOfGroupsButNotOutOfAgeReasons) {
  const std::string copy(3000, 'c');
  put("on/a.bin", copy);
  const std::string offCopy = put("off/a.bin", copy);
  const std::string offShot = put("off/Screenshot 1.png", "shot", 40);
  Report report = Pipeline::run(std::vector<ScanRoot>{root("on"), root("off", false)}, options_);
  EXPECT_TRUE(report.groups.empty());
  EXPECT_FALSE(find(report.items, offCopy));
  const Item* shot = find(report.items, offShot);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(shot->reasons, std::vector<Reason>{Reason::screenshot});
  EXPECT_FALSE(shot->sha256);
}

TEST_F(PipelineTest, ReasonSwitchesRemoveReasonsAndRescore) {
  const std::string content(4000, 's');
  // The Pictures copy keeps the group and is an old screenshot as well.
  const std::string keeper = put("Pictures/Screenshot a.png", content, 60);
  const std::string dup = put("Downloads/copy.png", content, 60);
  const std::string installer = put("Pictures/old.pkg", "pkg", 60);
  Report report = Pipeline::run(
      std::vector<ScanRoot>{root("Pictures", true, false, false), root("Downloads")}, options_);
  ASSERT_EQ(report.groups.size(), 1u);
  EXPECT_FALSE(find(report.items, keeper));
  EXPECT_FALSE(find(report.items, installer));
  ASSERT_EQ(report.keepers.size(), 1u);
  EXPECT_EQ(report.keepers[0].path, keeper);
  EXPECT_TRUE(report.keepers[0].reasons.empty());
  EXPECT_EQ(report.keepers[0].score, 0);
  ASSERT_NE(find(report.items, dup), nullptr);
  EXPECT_EQ(find(report.items, dup)->reasons, std::vector<Reason>{Reason::exactDuplicate});

  // With the switches on, the keeper is a candidate for its age reason.
  Report on = Pipeline::run(std::vector<ScanRoot>{root("Pictures"), root("Downloads")}, options_);
  ASSERT_NE(find(on.items, keeper), nullptr);
  EXPECT_EQ(find(on.items, keeper)->reasons, std::vector<Reason>{Reason::screenshot});
  EXPECT_GT(find(on.items, keeper)->score, 0);
  EXPECT_TRUE(on.keepers.empty());
  EXPECT_TRUE(find(on.items, installer));
}

TEST_F(PipelineTest, NestedRootsFollowTheInnerSwitchesAndListFilesOnce) {
  const std::string outer = put("Pictures/Screenshot 1.png", "one", 60);
  const std::string inner = put("Pictures/Trips/Screenshot 2.png", "two!", 60);
  Report report = Pipeline::run(
      std::vector<ScanRoot>{root("Pictures"), root("Pictures/Trips", true, false, true)}, options_);
  EXPECT_TRUE(find(report.items, outer));
  EXPECT_FALSE(find(report.items, inner));
  EXPECT_EQ(report.filesSeen, 2);

  // Both with every switch on: the inner file is one file, not a duplicate
  // of itself.
  Report both = Pipeline::run(
      std::vector<std::string>{dir_ + "/Pictures", dir_ + "/Pictures/Trips"}, options_);
  EXPECT_TRUE(both.groups.empty());
  EXPECT_EQ(std::count_if(both.items.begin(), both.items.end(),
                          [&](const Item& i) { return i.path == inner; }),
            1);

  // One folder given twice, once with a trailing slash, nests in itself.
  Report twice = Pipeline::run(
      std::vector<std::string>{dir_ + "/Pictures/Trips", dir_ + "/Pictures/Trips/"}, options_);
  EXPECT_EQ(twice.filesSeen, 1);
  EXPECT_TRUE(twice.groups.empty());
  EXPECT_EQ(twice.items.size(), 1u);
}

TEST_F(PipelineTest, CacheIsSavedAndServesTheRescan) {
  const std::string copy(2000, 'k');
  put("a/x.bin", copy);
  put("b/x.bin", copy);
  image("a/pic.png", 7);
  const std::string cacheFile = dir_ + "/store/hashes.plist";
  std::size_t groups = 0;
  {
    HashCache cache(cacheFile);
    Pipeline::Options options = options_;
    options.cache = &cache;
    Report first = Pipeline::run(std::vector<std::string>{dir_}, options);
    groups = first.groups.size();
    EXPECT_EQ(cache.hits(), 0);
  }
  ASSERT_TRUE(fs::exists(cacheFile));
  HashCache cache(cacheFile);
  EXPECT_EQ(cache.entries().size(), 3u);
  Pipeline::Options options = options_;
  options.cache = &cache;
  Report second = Pipeline::run(std::vector<std::string>{dir_}, options);
  EXPECT_EQ(second.groups.size(), groups);
  EXPECT_EQ(cache.misses(), 0);
  EXPECT_GE(cache.hits(), 3);
}

TEST_F(PipelineTest, ThumbnailsOnlyForPicturesAndVideosWhenAsked) {
  const std::string keep = image("Pictures/p.png", 3);
  fs::create_directories(dir_ + "/Downloads");
  const std::string dup = dir_ + "/Downloads/p.png";
  fs::copy_file(keep, dup);
  const std::string installer = put("Desktop/old.dmg", "dmg", 60);

  Report plain = Pipeline::run(std::vector<std::string>{dir_}, options_);
  for (const Item& i : plain.allItems()) EXPECT_FALSE(i.thumbPath) << i.path;

  Pipeline::Options options = options_;
  options.thumbsDir = dir_ + "/thumbs";
  Report report = Pipeline::run(std::vector<std::string>{dir_}, options);
  ASSERT_NE(find(report.items, dup), nullptr);
  ASSERT_NE(find(report.items, installer), nullptr);
  ASSERT_EQ(report.keepers.size(), 1u);
  for (const Item* i : std::vector<const Item*>{find(report.items, dup), &report.keepers[0]}) {
    ASSERT_TRUE(i->thumbPath) << i->path;
    EXPECT_EQ(*i->thumbPath, dir_ + "/thumbs/" + i->id.string() + ".heic");
    EXPECT_GT(fs::file_size(*i->thumbPath), 0u);
  }
  EXPECT_FALSE(find(report.items, installer)->thumbPath);
}

TEST_F(PipelineTest, ProfileMarksEachStageOnStandardError) {
  ASSERT_TRUE(kProfileOn);
  ASSERT_TRUE(Profile::enabled());
  put("a/x.bin", "data");
  ::testing::internal::CaptureStderr();
  Pipeline::run(std::vector<std::string>{dir_}, options_);
  const std::string err = ::testing::internal::GetCapturedStderr();

  std::vector<std::string> labels;
  const std::regex line(R"(  \[profile\] (.*): (-?\d+) MB resident)");
  std::istringstream lines(err);
  for (std::string l; std::getline(lines, l);) {
    std::smatch m;
    if (std::regex_match(l, m, line)) {
      labels.push_back(m[1]);
      EXPECT_GT(std::stol(m[2]), 0) << l;
    }
  }
  // The walk adds its own two marks between "start" and "after walk".
  std::vector<std::string> own;
  for (const auto& l : labels) {
    if (!l.starts_with("after spotlight query (") && l != "after enumeration") own.push_back(l);
  }
  EXPECT_EQ(own, (std::vector<std::string>{"start", "after walk (1 items)", "after cache save",
                                           "after analyze"}))
      << err;
  ASSERT_FALSE(labels.empty());
  EXPECT_EQ(labels.front(), "start");
  ASSERT_EQ(labels.size(), 6u) << err;
  EXPECT_TRUE(labels[1].starts_with("after spotlight query (")) << labels[1];
  EXPECT_EQ(labels[2], "after enumeration");
}

TEST(ProfileTest, LineFormat) {
  EXPECT_EQ(Profile::line("after walk (3 items)", 42),
            "  [profile] after walk (3 items): 42 MB resident\n");
  EXPECT_GT(Profile::residentMB(), 0);
}

}  // namespace
}  // namespace tallowick
