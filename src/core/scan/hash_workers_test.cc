#include "core/scan/hash_workers.h"

#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/scan/hash_cache.h"

namespace tallowick {
namespace {

// Files that exist only here: a path's content decides its digest and its
// perceptual hash, as the bytes of a real file would. Counts every call.
class FakeFiles {
 public:
  void add(const std::string& path, const std::string& content, bool picture = false) {
    content_[path] = content;
    Item item;
    item.path = path;
    item.bytes = static_cast<std::int64_t>(content.size());
    item.kind = picture ? Kind::image : Kind::other;
    item.modifiedAt = Date{} + std::chrono::seconds(1000);
    items_.push_back(item);
  }
  // A picture that cannot be decoded (its digest is still taken).
  void undecodable(const std::string& path) { undecodable_.insert(path); }

  std::vector<Item>& items() { return items_; }
  const Item& item(const std::string& path) const {
    for (const Item& item : items_) {
      if (item.path == path) return item;
    }
    throw std::out_of_range(path);
  }

  // The content itself in hexadecimal, padded to a digest's 64 digits: one
  // digest per content, told apart at a glance. REQUIRES: at most 32 bytes.
  static std::string digestOf(const std::string& content) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : content) {
      hex += kDigits[c >> 4];
      hex += kDigits[c & 0x0F];
    }
    return std::string(64 - hex.size(), '0') + hex;
  }
  static Hashing::Perceptual perceptualOf(const std::string& content) {
    return {std::hash<std::string>()(content), static_cast<int>(content.size()), 7};
  }

  HashFunctions functions() {
    HashFunctions functions;
    functions.digests = [this](const std::vector<std::string>& paths,
                               const std::vector<Hashing::FileStamp>& stamps) {
      EXPECT_EQ(paths.size(), stamps.size());
      std::vector<std::optional<std::string>> out;
      for (const std::string& path : paths) {
        count(digested_, path);
        out.push_back(digestOf(content_.at(path)));
      }
      return out;
    };
    functions.perceptual = [this](const std::string& path,
                                  const Hashing::FileStamp&) -> std::optional<Hashing::Perceptual> {
      count(decoded_, path);
      if (undecodable_.contains(path)) return std::nullopt;
      return perceptualOf(content_.at(path));
    };
    return functions;
  }

  std::map<std::string, int> decoded() const {
    std::lock_guard lock(mutex_);
    return decoded_;
  }
  std::map<std::string, int> digested() const {
    std::lock_guard lock(mutex_);
    return digested_;
  }

 private:
  void count(std::map<std::string, int>& calls, const std::string& path) {
    std::lock_guard lock(mutex_);
    ++calls[path];
  }

  std::map<std::string, std::string> content_;
  std::set<std::string> undecodable_;
  std::vector<Item> items_;
  mutable std::mutex mutex_;
  std::map<std::string, int> decoded_;
  std::map<std::string, int> digested_;
};

// What the stage fills in, item by item (the ids are random).
struct Hashes {
  std::string path;
  std::optional<std::string> sha256;
  std::optional<std::uint64_t> phash;
  std::optional<int> width, height;
  friend bool operator==(const Hashes&, const Hashes&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Hashes& h) {
    return out << h.path << " " << h.sha256.value_or("-") << " " << h.phash.value_or(0);
  }
};

std::vector<Hashes> hashesOf(const std::vector<Item>& items) {
  std::vector<Hashes> out;
  for (const Item& item : items) {
    out.push_back({item.path, item.sha256, item.phash, item.width, item.height});
  }
  return out;
}

HashWorkers::Options both(int threads, HashCache* cache = nullptr) {
  return {.images = true, .everything = true, .cache = cache, .threads = threads};
}

// A cache with no file behind it: nothing is read, and nothing is written
// as long as it is not saved.
std::string noCacheFile() { return ::testing::TempDir() + "/hash_workers_test/none.plist"; }

TEST(HashWorkersTest, DigestsOnlyWhereAnotherItemSharesTheSize) {
  for (int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    FakeFiles files;
    files.add("/a", "0123456789");
    files.add("/b", "abcdefghij");
    files.add("/lonely", "eleven char");
    files.add("/x", "twelve chars");
    files.add("/x-link", "twelve chars");  // another path of /x
    files.add("/a-link", "0123456789");    // and of /a
    const std::vector<bool> sameFile = {false, false, false, false, true, true};
    HashWorkers({.everything = true, .threads = threads}, files.functions())
        .run(files.items(), sameFile);
    EXPECT_EQ(files.item("/a").sha256, FakeFiles::digestOf("0123456789"));
    EXPECT_EQ(files.item("/b").sha256, FakeFiles::digestOf("abcdefghij"));
    // Another path of a file shares no size with it, and gets nothing.
    for (const char* path : {"/lonely", "/x", "/x-link", "/a-link"}) {
      EXPECT_EQ(files.item(path).sha256, std::nullopt) << path;
    }
    EXPECT_EQ(files.digested(), (std::map<std::string, int>{{"/a", 1}, {"/b", 1}}));
    for (const Item& item : files.items()) EXPECT_FALSE(item.phash) << item.path;
  }
}

TEST(HashWorkersTest, CopiesOfAPictureAreDecodedOnce) {
  struct Case {
    const char* name;
    bool originalDecodes;
    // How often each copy is decoded itself.
    int copyDecodes;
  };
  for (const Case& c : {Case{"original decodes", true, 0}, Case{"original fails", false, 1}}) {
    for (int threads : {0, 2}) {
      SCOPED_TRACE(std::string(c.name) + ", threads " + std::to_string(threads));
      FakeFiles files;
      files.add("/p/original.png", "picture", true);
      files.add("/q/copy1.png", "picture", true);
      files.add("/q/copy2.png", "picture", true);
      files.add("/q/other.png", "pixture", true);  // same size, other bytes
      files.add("/q/lonely.png", "a picture alone", true);
      if (!c.originalDecodes) files.undecodable("/p/original.png");
      HashWorkers(both(threads), files.functions()).run(files.items(), {});

      const auto decoded = files.decoded();
      EXPECT_EQ(decoded.at("/p/original.png"), 1);
      for (const char* copy : {"/q/copy1.png", "/q/copy2.png"}) {
        EXPECT_EQ(decoded.contains(copy) ? decoded.at(copy) : 0, c.copyDecodes) << copy;
        EXPECT_EQ(files.item(copy).phash, FakeFiles::perceptualOf("picture").phash) << copy;
        EXPECT_EQ(files.item(copy).width, 7) << copy;
        EXPECT_EQ(files.item(copy).sha256, FakeFiles::digestOf("picture")) << copy;
      }
      EXPECT_EQ(files.item("/p/original.png").phash.has_value(), c.originalDecodes);
      EXPECT_EQ(files.item("/q/other.png").phash, FakeFiles::perceptualOf("pixture").phash);
      // A size of its own: no digest, decoded for itself.
      EXPECT_EQ(files.item("/q/lonely.png").sha256, std::nullopt);
      EXPECT_EQ(decoded.at("/q/lonely.png"), 1);
    }
  }
}

TEST(HashWorkersTest, TheCacheIsReadOnceAndLearnsWhatWasComputed) {
  FakeFiles files;
  files.add("/cached.bin", "0123456789");
  files.add("/new.bin", "abcdefghij");
  files.add("/cached.png", "a picture", true);
  files.add("/copy.png", "a picture", true);  // shares the size of cached.png
  files.add("/stale.png", "stale pixels!", true);
  HashCache cache(noCacheFile());
  const Item& cachedBin = files.item("/cached.bin");
  const double mtime = HashCache::mtimeSeconds(cachedBin.modifiedAt);
  // A value no file would give shows it was taken, not computed.
  const std::string kPlanted(64, 'e');
  HashCache::Entry entry;
  entry.size = 10;
  entry.mtime = mtime;
  entry.sha256 = kPlanted;
  cache.store("/cached.bin", entry);
  entry.size = 9;
  entry.sha256 = FakeFiles::digestOf("a picture");
  entry.phash = 0x1234;
  entry.width = 3;
  entry.height = 4;
  cache.store("/cached.png", entry);
  // Another size: the file changed since.
  entry.size = 99;
  entry.phash = 0x5678;
  cache.store("/stale.png", entry);

  HashWorkers(both(0, &cache), files.functions()).run(files.items(), {});

  EXPECT_EQ(cache.hits() + cache.misses(), 5);  // one lookup per item
  EXPECT_EQ(cache.hits(), 2);
  EXPECT_EQ(files.item("/cached.bin").sha256, kPlanted);
  EXPECT_EQ(files.item("/cached.png").phash, 0x1234u);
  // The copy took its digest from the files and its perceptual hash from
  // the cached picture, without a decode.
  EXPECT_EQ(files.item("/copy.png").phash, 0x1234u);
  EXPECT_EQ(files.item("/copy.png").width, 3);
  EXPECT_EQ(files.item("/stale.png").phash, FakeFiles::perceptualOf("stale pixels!").phash);
  EXPECT_EQ(files.decoded(), (std::map<std::string, int>{{"/stale.png", 1}}));
  EXPECT_EQ(files.digested(), (std::map<std::string, int>{{"/copy.png", 1}, {"/new.bin", 1}}));

  const HashCache::Entries& entries = cache.entries();
  EXPECT_EQ(entries.at("/cached.bin").sha256, kPlanted);
  EXPECT_EQ(entries.at("/new.bin").sha256, FakeFiles::digestOf("abcdefghij"));
  EXPECT_EQ(entries.at("/copy.png").sha256, FakeFiles::digestOf("a picture"));
  EXPECT_EQ(entries.at("/copy.png").phash, 0x1234u);
  EXPECT_EQ(entries.at("/stale.png").size, 13);
  EXPECT_EQ(entries.at("/stale.png").phash, FakeFiles::perceptualOf("stale pixels!").phash);
}

TEST(HashWorkersTest, AnyNumberOfThreadsGivesTheSameHashes) {
  // More jobs than are ever in flight at once, runs of one size longer than
  // are read side by side, and copies among the pictures.
  FakeFiles reference;
  auto fill = [](FakeFiles& files) {
    for (int i = 0; i < 400; ++i) {
      const std::string content = std::string(1 + i % 7, 'a' + i % 3) + std::to_string(i % 50);
      files.add("/f/" + std::to_string(i), content, i % 4 == 0);
      if (i % 9 == 0) files.undecodable("/f/" + std::to_string(i));
    }
  };
  fill(reference);
  HashWorkers(both(0), reference.functions()).run(reference.items(), {});
  int withDigest = 0;
  int withPerceptual = 0;
  for (const Item& item : reference.items()) {
    withDigest += item.sha256.has_value();
    withPerceptual += item.phash.has_value();
  }
  EXPECT_GT(withDigest, 300);
  EXPECT_GT(withPerceptual, 50);
  for (int threads : {1, 2, 3, -1}) {
    SCOPED_TRACE(threads);
    FakeFiles files;
    fill(files);
    HashWorkers(both(threads), files.functions()).run(files.items(), {});
    EXPECT_EQ(hashesOf(files.items()), hashesOf(reference.items()));
  }
}

// Every report of one run, with the thread it came on.
struct ProgressLog {
  std::vector<HashProgress> reports;
  bool offThread = false;

  std::function<void(const HashProgress&)> hook() {
    return [this, caller = std::this_thread::get_id()](const HashProgress& progress) {
      reports.push_back(progress);
      if (std::this_thread::get_id() != caller) offThread = true;
    };
  }
};

TEST(HashWorkersTest, ProgressCountsEveryFileThatNeedsAHashOnceUpToTheTotals) {
  for (int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    FakeFiles files;
    files.add("/a", "0123456789");
    files.add("/b", "abcdefghij");
    files.add("/lonely", "eleven char");           // a size of its own: nothing to do
    files.add("/a-link", "0123456789");            // another path of /a: takes no part
    files.add("/p.png", "picture", true);          // digest and decode
    files.add("/copy.png", "picture", true);       // digest, then the decode of /p.png
    files.add("/bad.png", "undecodable!!", true);  // a decode that fails still settles
    files.add("/cached.bin", "987654321");         // its digest is in the cache
    files.add("/other.bin", "123456789");          // shares that size
    files.undecodable("/bad.png");
    HashCache cache(noCacheFile());
    HashCache::Entry entry;
    entry.size = 9;
    entry.mtime = HashCache::mtimeSeconds(files.item("/cached.bin").modifiedAt);
    entry.sha256 = std::string(64, 'e');  // a digest no file here has
    cache.store("/cached.bin", entry);
    ProgressLog log;
    HashWorkers::Options options = both(threads, &cache);
    options.progress = log.hook();
    HashWorkers(options, files.functions())
        .run(files.items(), {false, false, false, true, false, false, false, false, false});

    const HashProgress total{.files = 6, .totalFiles = 6, .bytes = 56, .totalBytes = 56};
    ASSERT_EQ(log.reports.size(), 7u);
    EXPECT_EQ(log.reports.front(), (HashProgress{.totalFiles = 6, .totalBytes = 56}));
    EXPECT_EQ(log.reports.back(), total);
    EXPECT_FALSE(log.offThread);
  }
}

TEST(HashWorkersTest, ProgressGrowsByOneFileAtATimeOnEveryNumberOfThreads) {
  for (int threads : {0, 1, 3}) {
    SCOPED_TRACE(threads);
    FakeFiles files;
    for (int i = 0; i < 300; ++i) {
      const std::string content = std::string(1 + i % 7, 'a' + i % 3) + std::to_string(i % 40);
      files.add("/f/" + std::to_string(i), content, i % 4 == 0);
      if (i % 9 == 0) files.undecodable("/f/" + std::to_string(i));
    }
    ProgressLog log;
    HashWorkers::Options options = both(threads);
    options.progress = log.hook();
    HashWorkers(options, files.functions()).run(files.items(), {});

    ASSERT_FALSE(log.reports.empty());
    const HashProgress first = log.reports.front();
    EXPECT_EQ(first.files, 0);
    EXPECT_EQ(first.bytes, 0);
    EXPECT_GT(first.totalFiles, 200);
    for (std::size_t i = 1; i < log.reports.size(); ++i) {
      const HashProgress& before = log.reports[i - 1];
      const HashProgress& now = log.reports[i];
      ASSERT_EQ(now.files, before.files + 1) << i;
      ASSERT_GT(now.bytes, before.bytes) << i;
      ASSERT_EQ(now.totalFiles, first.totalFiles) << i;
      ASSERT_EQ(now.totalBytes, first.totalBytes) << i;
    }
    EXPECT_EQ(log.reports.back().files, first.totalFiles);
    EXPECT_EQ(log.reports.back().bytes, first.totalBytes);
    EXPECT_FALSE(log.offThread);
  }
}

TEST(HashWorkersTest, NoProgressWhenNothingNeedsAHash) {
  FakeFiles files;
  files.add("/one", "a");
  files.add("/two", "bb");
  ProgressLog log;
  HashWorkers::Options options = both(0);
  options.progress = log.hook();
  HashWorkers(options, files.functions()).run(files.items(), {});
  EXPECT_TRUE(log.reports.empty());
}

}  // namespace
}  // namespace tallowick
