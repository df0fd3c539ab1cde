#include "core/scan/scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vips/vips8>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/scan/content_types.h"
#include "core/scan/hash_cache.h"
#include "core/scan/hashing.h"
#include "core/scan/scan_test_util.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

void writeFile(const std::string& path, std::size_t size, char fill = 'x') {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

std::vector<std::string> pathsOf(const ScanResult& result) {
  std::vector<std::string> paths;
  for (const auto& item : result.items) paths.push_back(item.path);
  return paths;
}

const Item* findItem(const ScanResult& result, const std::string& path) {
  for (const auto& item : result.items) {
    if (item.path == path) return &item;
  }
  return nullptr;
}

ScanOptions plainOptions(const std::string& home) {
  ScanOptions options;
  options.minBytes = 1;
  options.home = home;
  return options;
}

TEST(ScannerFacts, RecentFactsAndScreenshotNames) {
  const Date visited = *codec::parseDate("2024-05-01T08:30:00Z");
  Item item;
  item.path = "/home/ann/Desktop/photo.png";
  Scanner::apply(SpotlightFacts{visited, false}, item);
  EXPECT_EQ(item.lastOpenedAt, visited);
  EXPECT_FALSE(item.isScreenCapture);

  Item flagged;
  flagged.path = "/home/ann/Desktop/photo.png";
  Scanner::apply(SpotlightFacts{std::nullopt, true}, flagged);
  EXPECT_TRUE(flagged.isScreenCapture);

  // The name flags a file the facts do not (or that has none); the folder
  // does not count.
  for (const auto& facts :
       {std::optional<SpotlightFacts>(), std::optional(SpotlightFacts{visited, false})}) {
    Item named;
    named.path = "/home/ann/Screenshots/Снимок экрана от 2024-05-01.png";
    Scanner::apply(facts, named);
    EXPECT_TRUE(named.isScreenCapture);
    Item inFolder;
    inFolder.path = "/home/ann/Screenshot/photo.png";
    Scanner::apply(facts, inFolder);
    EXPECT_FALSE(inFolder.isScreenCapture);
  }
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The recent-files list is read from here, never from the real home.
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
  }

  std::string root() const { return root_.path().string(); }
  std::string at(const std::string& relative) const { return root_ / relative; }

  ScanResult scan(ScanOptions options) const { return Scanner(std::move(options)).scan({root()}); }

  // The same scan with its hashes on the scanning thread, then on two
  // workers.
  std::pair<ScanResult, ScanResult> scanOnOneThreadAndTwo(ScanOptions options) const {
    options.hashThreads = 0;
    ScanResult single = scan(options);
    options.hashThreads = 2;
    return {std::move(single), scan(options)};
  }

  TempDir home_;
  TempDir root_;
};

TEST_F(ScanTest, WalkRecordsRegularFilesAndKeepsOutOfWhatIsExcluded) {
  writeFile(at("a.txt"), 5);
  writeFile(at("sub/b.jpg"), 7);
  writeFile(at("sub/deeper/c.pdf"), 3);
  writeFile(at(".hidden.txt"), 4);
  writeFile(at(".config/inside.txt"), 4);
  writeFile(at("node_modules/pkg/index.js"), 4);
  writeFile(at("sub/node_modules/x.js"), 4);
  writeFile(at("Tool.app/Contents/binary"), 4);
  writeFile(at("Photos Library.photoslibrary/p.jpg"), 4);
  writeFile(at("Report.pdf.icloud"), 4);  // a cloud placeholder: not even counted
  TempDir outside;
  writeFile(outside / "elsewhere.txt", 9);
  fs::create_symlink(outside / "elsewhere.txt", at("link-to-file.txt"));
  fs::create_directory_symlink(outside.path(), at("link-to-dir"));
  ASSERT_EQ(mkfifo(at("pipe").c_str(), 0600), 0);

  const ScanResult result = scan(plainOptions(home_.path().string()));
  EXPECT_EQ(pathsOf(result),
            (std::vector<std::string>{at("a.txt"), at("sub/b.jpg"), at("sub/deeper/c.pdf")}));
  EXPECT_EQ(result.filesSeen, 3);
  EXPECT_EQ(result.bytesSeen, 15);

  const Item* jpeg = findItem(result, at("sub/b.jpg"));
  ASSERT_NE(jpeg, nullptr);
  EXPECT_EQ(jpeg->kind, Kind::image);
  EXPECT_EQ(jpeg->bytes, 7);
  EXPECT_FALSE(jpeg->sha256 || jpeg->phash || jpeg->lastOpenedAt);
  EXPECT_TRUE(jpeg->reasons.empty());
  EXPECT_EQ(jpeg->score, 0);
}

TEST_F(ScanTest, ExcludedRootYieldsNothingButTheCloudFolderIsWalked) {
  const std::string h = home_.path().string();
  writeFile(home_ / "Library/Caches/cache.bin", 10);
  writeFile(home_ / "Library/Mobile Documents/com~apple~CloudDocs/doc.txt", 10);
  ScanOptions options = plainOptions(h);
  ScanResult caches = Scanner(options).scan({home_ / "Library/Caches"});
  EXPECT_TRUE(caches.items.empty());
  EXPECT_EQ(caches.filesSeen, 0);

  ScanResult cloud =
      Scanner(options).scan({home_ / "Library/Mobile Documents/com~apple~CloudDocs"});
  ASSERT_EQ(cloud.items.size(), 1u);
  EXPECT_TRUE(cloud.items[0].isCloud);
  // Through a link to it, and in a folder below it.
  writeFile(home_ / "Library/Mobile Documents/com~apple~CloudDocs/sub/deep.txt", 10);
  fs::create_directory_symlink(home_ / "Library/Mobile Documents", home_ / "cloud");
  ScanResult linked = Scanner(options).scan({home_ / "cloud"});
  ASSERT_EQ(linked.items.size(), 2u);
  EXPECT_TRUE(linked.items[0].isCloud);
  EXPECT_TRUE(linked.items[1].isCloud);

  // Walking the whole home never enters its Library, so the cloud folder
  // inside is reached only as a root of its own.
  writeFile(home_ / "Documents/letter.txt", 10);
  ScanResult whole = Scanner(options).scan({h});
  EXPECT_EQ(pathsOf(whole), std::vector<std::string>{home_ / "Documents/letter.txt"});
}

TEST_F(ScanTest, SizeFloorCountsEverythingButRecordsOnlyFromTheFloorUp) {
  writeFile(at("exact.bin"), 100);
  writeFile(at("short.bin"), 99);
  writeFile(at("empty.bin"), 0);
  ScanOptions options = plainOptions(home_.path().string());
  options.minBytes = 100;
  const ScanResult result = scan(options);
  EXPECT_EQ(pathsOf(result), std::vector<std::string>{at("exact.bin")});
  EXPECT_EQ(result.filesSeen, 3);
  EXPECT_EQ(result.bytesSeen, 199);
}

TEST_F(ScanTest, PathThatIsNotUtf8IsCountedButNotRecorded) {
  writeFile(at("good.txt"), 3);
  writeFile(at(std::string("bad-\xff\xfe.txt")), 4);
  const ScanResult result = scan(plainOptions(home_.path().string()));
  EXPECT_EQ(pathsOf(result), std::vector<std::string>{at("good.txt")});
  EXPECT_EQ(result.filesSeen, 2);
  EXPECT_EQ(result.bytesSeen, 7);
  Report report;
  report.items = result.items;
  EXPECT_NO_THROW(Report::fromStoredJSON(report.storedJSON()));
}

TEST_F(ScanTest, ProgressIsReportedAtEveryTwoHundredRecordedFiles) {
  for (int i = 0; i < 400; ++i) writeFile(at("f" + std::to_string(i)), 1);
  // Files below the floor raise the count without a call when the count
  // lands on a multiple of 200 there.
  writeFile(at("zz-empty"), 0);
  ScanOptions options = plainOptions(home_.path().string());
  std::vector<std::int64_t> calls;
  options.progress = [&calls](std::int64_t seen) { calls.push_back(seen); };
  const ScanResult result = scan(options);
  EXPECT_EQ(calls, (std::vector<std::int64_t>{200, 400}));
  EXPECT_EQ(result.filesSeen, 401);

  // 199 recorded files and an empty one that makes the 200th: no call.
  TempDir other;
  for (int i = 0; i < 199; ++i) writeFile(other / ("f" + std::to_string(i)), 1);
  writeFile(other / "zz-empty", 0);
  calls.clear();
  Scanner(options).scan({other.path().string()});
  EXPECT_TRUE(calls.empty());
}

TEST_F(ScanTest, Sha256OnlyForSharedSizes) {
  writeFile(at("a.bin"), 10, 'a');
  writeFile(at("b.bin"), 10, 'a');
  writeFile(at("c.bin"), 11, 'a');
  ScanOptions options = plainOptions(home_.path().string());
  options.hashEverything = true;
  const ScanResult result = scan(options);
  ASSERT_EQ(result.items.size(), 3u);
  const std::string tenAs = "bf2cb58a68f684d95a3b78ef8f661c9a4e5b09e82cc8f9cc88cce90528caeb27";
  EXPECT_EQ(findItem(result, at("a.bin"))->sha256, tenAs);
  EXPECT_EQ(findItem(result, at("b.bin"))->sha256, tenAs);
  EXPECT_EQ(findItem(result, at("c.bin"))->sha256, std::nullopt);
}

TEST_F(ScanTest, ALongRunOfOneSizeGetsEachFilesOwnDigest) {
  // More files of one size than are read side by side, some alike.
  for (int i = 0; i < 40; ++i) writeFile(at("run/f" + std::to_string(i)), 100, 'a' + i % 3);
  ScanOptions options = plainOptions(home_.path().string());
  options.hashEverything = true;
  options.hashThreads = 2;
  const ScanResult result = scan(options);
  ASSERT_EQ(result.items.size(), 40u);
  for (const auto& item : result.items) {
    SCOPED_TRACE(item.path);
    EXPECT_EQ(item.sha256, Hashing::sha256(item.path));
  }
}

TEST_F(ScanTest, DatesComeFromTheFileSystem) {
  writeFile(at("old.txt"), 3);
  const Date modified = *codec::parseDate("2021-06-01T12:00:00Z") + std::chrono::milliseconds(250);
  const auto since = modified.time_since_epoch();
  struct timespec times[2];
  times[0] = times[1] = {
      static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count()),
      250'000'000};
  ASSERT_EQ(utimensat(AT_FDCWD, at("old.txt").c_str(), times, 0), 0);
  const ScanResult result = scan(plainOptions(home_.path().string()));
  ASSERT_EQ(result.items.size(), 1u);
  // Sub-second precision is kept: the hash cache compares times exactly.
  EXPECT_EQ(result.items[0].modifiedAt, modified);
}

TEST_F(ScanTest, FarFileDatesAreRecordedAsTheyAreWithinTheWrittenYears) {
  // ext4 holds file times up to 2446 only; tmpfs holds any.
  std::string pattern = "/dev/shm/scanner_test.XXXXXX";
  if (!fs::is_directory("/dev/shm") || !mkdtemp(pattern.data())) {
    GTEST_SKIP() << "no writable /dev/shm here";
  }
  const std::string root = pattern;
  struct Case {
    const char* name;
    std::int64_t seconds;
    const char* recorded;
  };
  const Case cases[] = {
      {"3000", 32'503'680'000, "3000-01-01T00:00:00Z"},
      {"9999", 253'402'300'799, "9999-12-31T23:59:59Z"},
      {"0001", -62'135'596'800, "0001-01-01T00:00:00Z"},
      {"1600", -11'676'096'000, "1600-01-01T00:00:00Z"},
      {"20000", 568'971'820'800, "9999-12-31T23:59:59Z"},
      {"-5000", -219'842'668'800, "0001-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) {
    const std::string path = root + "/" + c.name;
    writeFile(path, 3);
    struct timespec times[2];
    times[0] = times[1] = {static_cast<time_t>(c.seconds), 0};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  const ScanResult result = Scanner(plainOptions(home_.path().string())).scan({root});
  fs::remove_all(root);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Item* item = findItem(result, root + "/" + c.name);
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(item->modifiedAt.has_value());
    EXPECT_EQ(codec::formatDate(*item->modifiedAt), c.recorded);
  }
}

TEST_F(ScanTest, LastOpenedDatesComeFromTheRecentFilesList) {
  writeFile(at("opened.txt"), 3);
  writeFile(at("never.txt"), 3);
  writeFile(at("Screenshot 2024-01-02.png"), 3);
  fs::create_directories(home_ / ".local/share");
  std::ofstream(home_ / ".local/share/recently-used.xbel")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<xbel version=\"1.0\" "
         "xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\" "
         "xmlns:mime=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
         "  <bookmark href=\""
      << pathToFileURL(at("opened.txt"))
      << "\" added=\"2024-01-01T10:00:00Z\" modified=\"2024-01-01T10:00:00Z\" "
         "visited=\"2024-05-01T08:30:00Z\"/>\n"
         "  <bookmark href=\"file:///somewhere/else.txt\" added=\"2024-01-01T10:00:00Z\" "
         "modified=\"2024-01-01T10:00:00Z\" visited=\"2024-05-01T08:30:00Z\"/>\n"
         "</xbel>\n";
  auto facts = Scanner::spotlightFacts({root()});
  EXPECT_EQ(facts.size(), 1u);
  const ScanResult result = scan(plainOptions(home_.path().string()));
  EXPECT_EQ(findItem(result, at("opened.txt"))->lastOpenedAt,
            codec::parseDate("2024-05-01T08:30:00Z"));
  EXPECT_EQ(findItem(result, at("never.txt"))->lastOpenedAt, std::nullopt);
  EXPECT_TRUE(findItem(result, at("Screenshot 2024-01-02.png"))->isScreenCapture);
  EXPECT_FALSE(findItem(result, at("opened.txt"))->isScreenCapture);
}

TEST_F(ScanTest, BrokenOrMissingRecentFilesListGivesNoFacts) {
  writeFile(at("a.txt"), 3);
  EXPECT_TRUE(Scanner::spotlightFacts({root()}).empty());
  fs::create_directories(home_ / ".local/share");
  std::ofstream(home_ / ".local/share/recently-used.xbel") << "<xbel><bookmark href=";
  EXPECT_TRUE(Scanner::spotlightFacts({root()}).empty());
  EXPECT_EQ(scan(plainOptions(home_.path().string())).items.size(), 1u);
}

void writeGradient(const std::string& path, int width, bool falling) {
  fs::create_directories(fs::path(path).parent_path());
  vips::VImage ramp = vips::VImage::xyz(width, width * 2 / 3).extract_band(0);
  ramp = (falling ? (ramp * -255.0 / width + 255) : (ramp * 255.0 / width)).cast(VIPS_FORMAT_UCHAR);
  ramp.write_to_file(path.c_str());
}

// Strips the random ids so two scans can be compared item by item.
std::vector<Item> withoutIds(std::vector<Item> items) {
  for (auto& item : items) item.id = Uuid();
  return items;
}

TEST_F(ScanTest, HashesOnWorkerThreadsMatchAOneThreadRun) {
  ASSERT_TRUE(ensureVipsStarted());
  for (int i = 0; i < 30; ++i) {
    writeGradient(at("photos/p" + std::to_string(i) + ".png"), 40 + i, i % 2 == 0);
    writeFile(at("copies/c" + std::to_string(i) + ".bin"), 100 + i % 5, 'a' + i % 3);
  }
  writeFile(at("photos/broken.png"), 50);
  ScanOptions options = plainOptions(home_.path().string());
  options.hashImages = true;
  options.hashEverything = true;
  const auto [single, pooled] = scanOnOneThreadAndTwo(options);
  EXPECT_EQ(withoutIds(single.items), withoutIds(pooled.items));
  EXPECT_EQ(single.filesSeen, pooled.filesSeen);

  const Item* falling = findItem(pooled, at("photos/p0.png"));
  ASSERT_NE(falling, nullptr);
  EXPECT_EQ(falling->phash, ~std::uint64_t{0});
  EXPECT_EQ(falling->width, 40);
  EXPECT_EQ(findItem(pooled, at("photos/p1.png"))->phash, 0u);
  EXPECT_EQ(findItem(pooled, at("photos/broken.png"))->phash, std::nullopt);
  int withDigest = 0;
  for (const auto& item : pooled.items) withDigest += item.sha256.has_value();
  EXPECT_EQ(withDigest, 30);  // every copy shares its size; photos differ in size
}

// A picture that cannot be opened once the hashing threads reach it: they
// must end cleanly although libvips was never started in the process. Each
// case runs in a fresh process (the death-test child), since any earlier
// test of this program has started libvips already.
TEST_F(ScanTest, HashingThreadsEndCleanlyWhenNoPictureCouldBeOpened) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    bool removeDuringWalk;  // else unreadable to the scanning user
  };
  for (const Case& c :
       {Case{"removed between walk and hash", true}, Case{"unreadable to the user", false}}) {
    SCOPED_TRACE(c.name);
    // Not a real picture: writing one would start libvips here.
    const std::string photo = at("a/photo.png");
    writeFile(photo, 64);
    for (int i = 0; i < 199; ++i) writeFile(at("b/f" + std::to_string(i)), 1);
    fs::permissions(root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    ::chmod(photo.c_str(), 0);
    ScanOptions options = plainOptions(home_.path().string());
    options.hashImages = true;
    options.hashThreads = 2;
    if (c.removeDuringWalk) {
      // Runs once, at the 200th file, after the picture was walked.
      options.progress = [photo](std::int64_t) { fs::remove(photo); };
    }
    const bool dropPrivileges = !c.removeDuringWalk && ::geteuid() == 0;
    EXPECT_EXIT(
        {
          // Root reads a file of mode 000; an unprivileged user does not.
          if (dropPrivileges && ::setresuid(-1, 65534, -1) != 0) std::_Exit(2);
          const ScanResult result = scan(options);
          if (dropPrivileges && ::setresuid(-1, 0, -1) != 0) std::_Exit(2);
          const Item* item = findItem(result, photo);
          const bool unhashed = item && !item->phash;
          // This process ends here, before its fixture would clean up.
          fs::remove_all(root());
          fs::remove_all(home_.path());
          std::_Exit(unhashed ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    fs::remove_all(at("a"));
    fs::remove_all(at("b"));
  }
}

TEST_F(ScanTest, CacheSuppliesHashesAndLearnsNewOnes) {
  ASSERT_TRUE(ensureVipsStarted());
  writeGradient(at("p.png"), 64, true);
  writeFile(at("a.bin"), 10, 'a');
  writeFile(at("b.bin"), 10, 'b');
  const std::string cachePath = home_ / "hashes.plist";
  ScanOptions options = plainOptions(home_.path().string());
  options.hashImages = true;
  options.hashEverything = true;
  {
    HashCache cache(cachePath);
    options.cache = &cache;
    const ScanResult first = scan(options);
    EXPECT_EQ(cache.hits(), 0);
    EXPECT_EQ(cache.entries().at(at("p.png")).phash, ~std::uint64_t{0});
    EXPECT_TRUE(cache.entries().at(at("a.bin")).sha256.has_value());
    cache.save();
  }
  // The cached values are used as they are: plant a value no file would
  // give to see that it is not recomputed.
  {
    HashCache cache(cachePath);
    auto entry = cache.entries().at(at("a.bin"));
    entry.sha256 = std::string(64, '0');
    cache.store(at("a.bin"), entry);
    options.cache = &cache;
    const ScanResult second = scan(options);
    EXPECT_EQ(cache.hits(), 3);
    EXPECT_EQ(cache.misses(), 0);
    EXPECT_EQ(findItem(second, at("a.bin"))->sha256, std::string(64, '0'));
    EXPECT_EQ(findItem(second, at("p.png"))->phash, ~std::uint64_t{0});
  }
}

TEST_F(ScanTest, FileChangedAfterTheWalkKeepsNoHash) {
  // The walk sees 10 bytes; by the time the digest is taken the file has
  // grown. The progress callback runs between walk and hashing.
  writeFile(at("a.bin"), 10, 'a');
  writeFile(at("b.bin"), 10, 'a');
  for (int i = 0; i < 198; ++i) writeFile(at("c" + std::to_string(i)), 1);
  ScanOptions options = plainOptions(home_.path().string());
  options.hashEverything = true;
  options.progress = [this](std::int64_t) { writeFile(at("a.bin"), 12, 'a'); };
  const ScanResult result = scan(options);
  EXPECT_EQ(findItem(result, at("a.bin"))->sha256, std::nullopt);
  EXPECT_TRUE(findItem(result, at("b.bin"))->sha256.has_value());
}

TEST_F(ScanTest, CopiesOfAPictureTakeItsPerceptualHash) {
  ASSERT_TRUE(ensureVipsStarted());
  writeGradient(at("a/photo.png"), 64, true);
  const std::string cachePath = home_ / "hashes.plist";
  ScanOptions options = plainOptions(home_.path().string());
  options.hashImages = true;
  options.hashEverything = true;
  writeFile(at("b/other.bin"), fs::file_size(at("a/photo.png")), 'z');  // shares the size
  {
    HashCache cache(cachePath);
    options.cache = &cache;
    scan(options);
    cache.save();
  }
  fs::create_directories(at("c"));
  fs::create_directories(at("d"));
  fs::copy_file(at("a/photo.png"), at("c/copy.png"));
  fs::copy_file(at("a/photo.png"), at("d/copy.png"));
  for (int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    // Plant a value no decode would give for the original: the copies take
    // it, so they were not decoded themselves.
    HashCache cache(cachePath);
    auto entry = cache.entries().at(at("a/photo.png"));
    ASSERT_TRUE(entry.sha256 && entry.phash);
    entry.phash = 0x1234;
    cache.store(at("a/photo.png"), entry);
    options.cache = &cache;
    options.hashThreads = threads;
    const ScanResult result = scan(options);
    for (const char* copy : {"c/copy.png", "d/copy.png"}) {
      const Item* item = findItem(result, at(copy));
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->sha256, entry.sha256);
      EXPECT_EQ(item->phash, 0x1234u);
      EXPECT_EQ(item->width, 64);
    }
    EXPECT_FALSE(findItem(result, at("b/other.bin"))->phash.has_value());
  }
}

TEST_F(ScanTest, CopiesAmongNewPicturesMatchAOneThreadRun) {
  // Pictures, their copies and files of the same size, none in a cache: the
  // copies wait for their digests, then share one decode.
  ASSERT_TRUE(ensureVipsStarted());
  for (int i = 0; i < 12; ++i) {
    const std::string name = "p" + std::to_string(i) + ".png";
    writeGradient(at("photos/" + name), 40 + i % 4, i % 2 == 0);
    if (i % 3 == 0) {
      fs::create_directories(at("copies"));
      fs::copy_file(at("photos/" + name), at("copies/" + name));
    }
    writeFile(at("same-size/f" + std::to_string(i)), fs::file_size(at("photos/" + name)), 'q');
  }
  ScanOptions options = plainOptions(home_.path().string());
  options.hashImages = true;
  options.hashEverything = true;
  const auto [single, pooled] = scanOnOneThreadAndTwo(options);
  EXPECT_EQ(withoutIds(single.items), withoutIds(pooled.items));
  for (int i = 0; i < 12; i += 3) {
    const std::string name = "p" + std::to_string(i) + ".png";
    const Item* original = findItem(pooled, at("photos/" + name));
    const Item* copy = findItem(pooled, at("copies/" + name));
    ASSERT_TRUE(original && copy);
    EXPECT_TRUE(copy->sha256.has_value());
    EXPECT_EQ(copy->sha256, original->sha256);
    EXPECT_EQ(copy->phash, original->phash);
    EXPECT_EQ(copy->phash, i % 2 == 0 ? ~std::uint64_t{0} : 0u);
  }
}

TEST_F(ScanTest, RootInSharedMemoryIsWalked) {
  // /dev is never entered from above, but /dev/shm is a tmpfs that a user
  // may choose as a root of its own.
  std::string pattern = "/dev/shm/scanner_test.XXXXXX";
  if (!fs::is_directory("/dev/shm") || !mkdtemp(pattern.data())) {
    GTEST_SKIP() << "no writable /dev/shm here";
  }
  const std::string root = pattern;
  writeFile(root + "/in-memory.txt", 5);
  writeFile(root + "/sub/deeper.txt", 6);
  const ScanResult result = Scanner(plainOptions(home_.path().string())).scan({root});
  fs::remove_all(root);
  EXPECT_EQ(pathsOf(result),
            (std::vector<std::string>{root + "/in-memory.txt", root + "/sub/deeper.txt"}));
}

TEST_F(ScanTest, UnreadableAndMissingRootsArePassedOver) {
  writeFile(at("a.txt"), 3);
  const ScanResult result =
      Scanner(plainOptions(home_.path().string())).scan({at("missing"), at("a.txt"), root()});
  EXPECT_EQ(pathsOf(result), std::vector<std::string>{at("a.txt")});
}

}  // namespace
}  // namespace tallowick
