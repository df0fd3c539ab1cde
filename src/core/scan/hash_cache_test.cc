#include "core/scan/hash_cache.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "shared/file_util.h"
#include "shared/json_codec.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kDigestA[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
constexpr char kDigestB[] = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";

Date at(double secondsSince1970) {
  return Date(
      std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(secondsSince1970)));
}

class HashCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "hash_cache_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    file_ = (fs::path(dir_) / "store" / "hashes.plist").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  void writeRaw(std::string_view bytes) {
    fs::create_directories(fs::path(file_).parent_path());
    ASSERT_TRUE(writeFileAtomically(file_, bytes));
  }

  std::string dir_;
  std::string file_;
};

HashCache::Entry imageEntry(std::int64_t size, double mtime) {
  HashCache::Entry e;
  e.size = size;
  e.mtime = mtime;
  e.phash = 0xFFFFFFFFFFFFFFFFull;
  e.width = 4000;
  e.height = 3000;
  return e;
}

HashCache::Entry digestEntry(std::int64_t size, double mtime, const char* digest) {
  HashCache::Entry e;
  e.size = size;
  e.mtime = mtime;
  e.sha256 = digest;
  return e;
}

TEST_F(HashCacheTest, SavedEntriesReadBackUnchangedAndParentIsCreated) {
  {
    HashCache cache(file_);
    auto full = imageEntry(5'000'000'000LL, 1733700000.123456);
    full.sha256 = kDigestA;
    cache.store("/home/u/Pictures/a b.jpg", full);
    cache.store("/home/u/x.bin", digestEntry(1, 0, kDigestB));
    cache.store("/home/u/y.bin", HashCache::Entry{7, 12.5, {}, {}, {}, {}});
    ASSERT_NO_THROW(cache.save());
  }
  HashCache reloaded(pathToFileURL(file_));
  EXPECT_EQ(reloaded.path(), file_);
  ASSERT_EQ(reloaded.entries().size(), 3u);
  auto full = imageEntry(5'000'000'000LL, 1733700000.123456);
  full.sha256 = kDigestA;
  EXPECT_EQ(reloaded.entries().at("/home/u/Pictures/a b.jpg"), full);
  EXPECT_EQ(reloaded.entries().at("/home/u/x.bin"), digestEntry(1, 0, kDigestB));
  EXPECT_EQ(reloaded.entries().at("/home/u/y.bin"), (HashCache::Entry{7, 12.5, {}, {}, {}, {}}));
  for (const auto& [path, entry] : reloaded.entries()) EXPECT_FALSE(reloaded.touched(path)) << path;
  EXPECT_EQ(reloaded.hits(), 0);
  EXPECT_EQ(reloaded.misses(), 0);
}

// The file must be a binary property list with the documented value types,
// whoever reads it.
TEST_F(HashCacheTest, FileIsBinaryPlistWithTypedValuesAndAbsentKeysLeftOut) {
  HashCache cache(file_);
  cache.store("/p", imageEntry(10, 1.5));
  cache.save();
  auto data = readWholeFile(file_);
  ASSERT_TRUE(data);
  ASSERT_EQ(data->substr(0, 8), "bplist00");
  plist_t root = nullptr;
  plist_from_bin(data->data(), static_cast<uint32_t>(data->size()), &root);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(plist_get_node_type(root), PLIST_DICT);
  plist_t entry = plist_dict_get_item(root, "/p");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(plist_dict_get_size(entry), 5u);  // no "sha256"
  EXPECT_EQ(plist_get_node_type(plist_dict_get_item(entry, "size")), PLIST_UINT);
  EXPECT_EQ(plist_get_node_type(plist_dict_get_item(entry, "mtime")), PLIST_REAL);
  EXPECT_EQ(plist_dict_get_item(entry, "sha256"), nullptr);
  uint64_t phash = 0;
  plist_get_uint_val(plist_dict_get_item(entry, "phash"), &phash);
  EXPECT_EQ(phash, 0xFFFFFFFFFFFFFFFFull);
  plist_free(root);
}

// Entry sets that exercise every width the format has: integers of 1, 2, 4
// and 8 bytes, negative ones, perceptual hashes from 2^63 up (16-byte form),
// strings and dictionaries with counts of 15 and more, non-ASCII paths (as
// UTF-16, with surrogate pairs), and enough objects for wider references.
struct EntrySet {
  const char* name;
  HashCache::Entries entries;
};

std::vector<EntrySet> entrySets() {
  std::vector<EntrySet> sets;
  sets.push_back({"empty cache", {}});
  sets.push_back({"absent optionals", {{"/a", {7, 0, {}, {}, {}, {}}}}});

  HashCache::Entries numbers;
  const std::uint64_t phashes[] = {0,
                                   1,
                                   0xFF,
                                   0x100,
                                   0xFFFF,
                                   0x10000,
                                   0xFFFFFFFFull,
                                   0x100000000ull,
                                   0x7FFFFFFFFFFFFFFFull,
                                   0x8000000000000000ull,
                                   0xFFFFFFFFFFFFFFFFull};
  const std::int64_t sizes[] = {0, 255, 256, 70000, 5'000'000'000LL, INT64_MAX, -1, INT64_MIN};
  const int sides[] = {0, 1, 4000, 65536, INT_MAX, -1, INT_MIN};
  int n = 0;
  for (std::uint64_t phash : phashes) {
    HashCache::Entry e;
    e.size = sizes[n % std::size(sizes)];
    e.mtime = n % 2 ? 1733700000.123456 + n : -0.5 * n;
    e.phash = phash;
    e.width = sides[n % std::size(sides)];
    e.height = sides[(n + 3) % std::size(sides)];
    if (n % 3 == 0) e.sha256 = kDigestA;
    numbers["/numbers/" + std::to_string(n++)] = e;
  }
  sets.push_back({"big and small numbers", numbers});

  HashCache::Entries names;
  names["/home/zoë/Bilder/Ürlaub 2024.jpg"] = digestEntry(1, 2, kDigestA);
  names["/home/u/日本語/写真.png"] = imageEntry(3, 4);
  names["/home/u/😀/a\tb\"c\\d.txt"] = digestEntry(5, 6, kDigestB);
  names["/" + std::string(300, 'x')] = digestEntry(8, 9, kDigestA);
  names["/" + std::string(70000, 'y') + "é"] = digestEntry(10, 11, kDigestB);
  names[""] = digestEntry(12, 13, kDigestA);
  sets.push_back({"non-ASCII and long paths", names});

  HashCache::Entries many;
  for (int i = 0; i < 12000; ++i) {
    auto e = imageEntry(i, i * 0.25);
    e.phash = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(i);
    if (i % 2) e.sha256 = kDigestB;
    many["/many/" + std::to_string(i) + ".jpg"] = e;
  }
  sets.push_back({"more than 65536 objects", many});
  return sets;
}

// An independent reader's view of a file: Python's plistlib loads it and
// prints it as JSON, which reads back into entries here.
std::optional<HashCache::Entries> readWithPython(const std::string& file) {
  const std::string command =
      "python3 -c 'import json, plistlib, sys\n"
      "with open(sys.argv[1], \"rb\") as f: d = plistlib.load(f)\n"
      "json.dump(d, sys.stdout, ensure_ascii=True)' '" +
      file + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string text;
  char buffer[1 << 16];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  HashCache::Entries entries;
  const Json json = Json::parse(text);
  for (const auto& [path, value] : json.items()) {
    HashCache::Entry e;
    e.size = codec::field<std::int64_t>(value, "size");
    e.mtime = codec::field<double>(value, "mtime");
    e.sha256 = codec::optionalField<std::string>(value, "sha256");
    e.phash = codec::optionalField<std::uint64_t>(value, "phash");
    e.width = codec::optionalField<int>(value, "width");
    e.height = codec::optionalField<int>(value, "height");
    entries[path] = e;
  }
  return entries;
}

// libplist's binary form of `root`, which it frees.
std::string libplistBinary(plist_t root) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string out(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return out;
}

// The same property list as libplist reads and writes it again (its own
// object order, widths and shared strings).
std::string rewrittenByLibplist(const std::string& data) {
  plist_t root = nullptr;
  plist_from_bin(data.data(), static_cast<uint32_t>(data.size()), &root);
  if (root == nullptr) return {};
  return libplistBinary(root);
}

bool havePython() { return std::system("python3 -c 'import plistlib' >/dev/null 2>&1") == 0; }
bool havePlistutil() { return std::system("plistutil -h >/dev/null 2>&1") == 0; }

TEST_F(HashCacheTest, WrittenFileReadsBackInEveryReader) {
  const bool python = havePython();
  const bool plistutil = havePlistutil();
  for (const auto& set : entrySets()) {
    SCOPED_TRACE(set.name);
    auto data = HashCache::encode(set.entries);
    ASSERT_TRUE(data);
    ASSERT_EQ(data->substr(0, 8), "bplist00");
    EXPECT_EQ(HashCache::decode(*data), set.entries);
    // libplist reads it, and what libplist writes of it reads back the same.
    EXPECT_EQ(HashCache::decode(rewrittenByLibplist(*data)), set.entries);
    writeRaw(*data);
    // Loaded and saved again (written to the file in pieces), nothing
    // changes.
    {
      HashCache cache(file_);
      for (const auto& [path, entry] : set.entries) {
        cache.lookup(path, entry.size, std::nullopt);
      }
      cache.save();
      EXPECT_EQ(HashCache::decode(readWholeFile(file_).value_or("")), set.entries);
    }
    if (python) {
      EXPECT_EQ(readWithPython(file_), set.entries);
    }
    if (plistutil) {
      // plistutil's XML form, read by plistlib: unsigned hashes must come out
      // unsigned there too.
      const std::string xml = file_ + ".xml";
      ASSERT_EQ(std::system(("plistutil -i '" + file_ + "' -o '" + xml + "'").c_str()), 0);
      ASSERT_EQ(readWholeFile(xml).value_or("").substr(0, 5), "<?xml");
      if (python) {
        EXPECT_EQ(readWithPython(xml), set.entries);
      }
    }
  }
  if (!python || !plistutil) GTEST_SKIP() << "python3 or plistutil missing; libplist alone checked";
}

// Files written by earlier versions hold hashes from 2^63 up as 8-byte
// signed integers; they keep reading as the same unsigned values.
TEST_F(HashCacheTest, ReadsHashesInTheOlderSignedForm) {
  plist_t root = plist_new_dict();
  plist_t entry = plist_new_dict();
  plist_dict_set_item(entry, "size", plist_new_uint(1));
  plist_dict_set_item(entry, "mtime", plist_new_real(2));
  plist_dict_set_item(entry, "phash", plist_new_uint(0xFEDCBA9876543210ull));
  plist_dict_set_item(root, "/old", entry);
  const std::string data = libplistBinary(root);
  // The libplist this runs against writes the signed form.
  ASSERT_NE(data.find("\x13\xFE\xDC\xBA\x98\x76\x54\x32\x10"), std::string::npos);
  auto entries = HashCache::decode(data);
  ASSERT_TRUE(entries);
  EXPECT_EQ(entries->at("/old").phash, 0xFEDCBA9876543210ull);
}

TEST_F(HashCacheTest, LookupIsValidOnlyForExactSizeAndTime) {
  const Date modified = at(1733700000) + milliseconds(250);
  const double mtime = HashCache::mtimeSeconds(modified);
  struct Case {
    const char* name;
    std::int64_t size;
    std::optional<Date> modifiedAt;
    bool hit;
  };
  const Case cases[] = {
      {"same size and time", 100, modified, true},
      {"time a millisecond later", 100, modified + milliseconds(1), false},
      {"time a second earlier", 100, modified - seconds(1), false},
      {"one byte larger", 101, modified, false},
      {"no time against a timed entry", 100, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HashCache cache(file_);
    cache.store("/f", digestEntry(100, mtime, kDigestA));
    auto found = cache.lookup("/f", c.size, c.modifiedAt);
    EXPECT_EQ(found != nullptr, c.hit);
    EXPECT_EQ(cache.hits(), c.hit ? 1 : 0);
    EXPECT_EQ(cache.misses(), c.hit ? 0 : 1);
    if (found) {
      EXPECT_EQ(found->sha256, kDigestA);
    }
  }
}

TEST_F(HashCacheTest, FileWithoutTimeMatchesEntryWithZeroTime) {
  HashCache cache(file_);
  cache.store("/f", digestEntry(9, 0, kDigestA));
  EXPECT_TRUE(cache.lookup("/f", 9, std::nullopt));
  EXPECT_FALSE(cache.lookup("/f", 9, at(1)));
  EXPECT_FALSE(cache.lookup("/unknown", 9, std::nullopt));
  EXPECT_EQ(cache.hits(), 1);
  EXPECT_EQ(cache.misses(), 2);
}

TEST_F(HashCacheTest, TimeSurvivesTheFileWithSubSecondPrecision) {
  const Date modified = at(1733700000) + std::chrono::microseconds(123457);
  {
    HashCache cache(file_);
    cache.store("/f", digestEntry(3, HashCache::mtimeSeconds(modified), kDigestA));
    cache.save();
  }
  HashCache reloaded(file_);
  EXPECT_TRUE(reloaded.lookup("/f", 3, modified));
  EXPECT_FALSE(reloaded.lookup("/f", 3, modified + std::chrono::microseconds(1)));
}

TEST_F(HashCacheTest, SaveKeepsOnlyTouchedPaths) {
  {
    HashCache cache(file_);
    cache.store("/looked-up", digestEntry(1, 1, kDigestA));
    cache.store("/stored", digestEntry(2, 2, kDigestA));
    cache.store("/gone", digestEntry(3, 3, kDigestA));
    cache.save();
  }
  HashCache cache(file_);
  // A miss (here: the file changed) still keeps the old entry alive.
  EXPECT_FALSE(cache.lookup("/looked-up", 1, at(99)));
  cache.store("/stored", digestEntry(2, 2, kDigestB));
  cache.save();
  EXPECT_EQ(cache.entries().size(), 2u);  // pruned in memory too
  EXPECT_FALSE(cache.entries().contains("/gone"));

  HashCache reloaded(file_);
  ASSERT_EQ(reloaded.entries().size(), 2u);
  EXPECT_EQ(reloaded.entries().at("/looked-up"), digestEntry(1, 1, kDigestA));
  EXPECT_EQ(reloaded.entries().at("/stored").sha256, kDigestB);
}

TEST_F(HashCacheTest, SaveRewritesTheFileOnlyWhenSomethingChanged) {
  HashCache::Entries entries;
  entries["/a"] = digestEntry(1, 1, kDigestA);
  entries["/b"] = imageEntry(2, 2);
  // Another writer's bytes for the same entries, so a rewrite would show.
  const std::string theirs = rewrittenByLibplist(*HashCache::encode(entries));
  ASSERT_NE(theirs, *HashCache::encode(entries));
  writeRaw(theirs);
  {
    HashCache cache(file_);
    EXPECT_TRUE(cache.lookup("/a", 1, at(1)));
    EXPECT_TRUE(cache.lookup("/b", 2, at(2)));
    cache.store("/a", digestEntry(1, 1, kDigestA));  // what it already holds
    cache.save();
    EXPECT_EQ(readWholeFile(file_), theirs);
  }
  struct Case {
    const char* name;
    std::function<void(HashCache&)> use;
    HashCache::Entries expected;
  };
  const Case cases[] = {
      {"an entry changed",
       [](HashCache& c) {
         c.lookup("/a", 1, at(1));
         c.store("/b", digestEntry(2, 2, kDigestB));
       },
       {{"/a", entries["/a"]},
        {"/b",
         [&] {
           auto e = imageEntry(2, 2);
           e.sha256 = kDigestB;
           return e;
         }()}}},
      {"an entry added",
       [](HashCache& c) {
         c.lookup("/a", 1, at(1));
         c.lookup("/b", 2, at(2));
         c.store("/c", digestEntry(3, 3, kDigestA));
       },
       {{"/a", entries["/a"]}, {"/b", entries["/b"]}, {"/c", digestEntry(3, 3, kDigestA)}}},
      {"an entry dropped", [](HashCache& c) { c.lookup("/b", 2, at(2)); }, {{"/b", entries["/b"]}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeRaw(theirs);
    HashCache cache(file_);
    c.use(cache);
    cache.save();
    EXPECT_EQ(HashCache::decode(readWholeFile(file_).value_or("")), c.expected);
  }
}

TEST_F(HashCacheTest, StoreCarriesOverOnlyFromAnEntryForTheSameContent) {
  HashCache cache(file_);
  auto withDigest = imageEntry(10, 5);
  withDigest.sha256 = kDigestA;
  cache.store("/img", withDigest);

  // Same size and time: a new perceptual hash keeps the digest.
  auto newHash = imageEntry(10, 5);
  newHash.phash = 42;
  cache.store("/img", newHash);
  EXPECT_EQ(cache.entries().at("/img").sha256, kDigestA);
  EXPECT_EQ(cache.entries().at("/img").phash, 42u);

  // A new digest keeps the perceptual hash and pixel size.
  cache.store("/img", digestEntry(10, 5, kDigestB));
  EXPECT_EQ(cache.entries().at("/img").phash, 42u);
  EXPECT_EQ(cache.entries().at("/img").width, 4000);
  EXPECT_EQ(cache.entries().at("/img").sha256, kDigestB);

  // The file was edited: nothing of the old content survives.
  cache.store("/img", imageEntry(11, 5));
  EXPECT_FALSE(cache.entries().at("/img").sha256);
  cache.store("/img", digestEntry(11, 6, kDigestA));
  EXPECT_FALSE(cache.entries().at("/img").phash);
  EXPECT_FALSE(cache.entries().at("/img").width);
  EXPECT_TRUE(cache.touched("/img"));
}

// A binary property list made by hand from its objects' bytes, with 1-byte
// offsets and references; object 0 is the top.
std::string handMade(const std::vector<std::string>& objects) {
  std::string out = "bplist00";
  std::string table;
  for (const auto& object : objects) {
    table += static_cast<char>(out.size());
    out += object;
  }
  const std::size_t tableAt = out.size();
  out += table;
  out += std::string(6, '\0') + "\x01\x01";
  for (std::uint64_t value :
       {std::uint64_t{objects.size()}, std::uint64_t{0}, std::uint64_t{tableAt}}) {
    for (int i = 7; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  }
  return out;
}

TEST_F(HashCacheTest, UnusableFilesGiveAnEmptyCache) {
  std::string valid;
  {
    HashCache::Entries entries;
    entries["/a"] = digestEntry(1, 1, kDigestA);
    entries["/b"] = imageEntry(2, 2);
    valid = *HashCache::encode(entries);
  }
  auto encodeRaw = libplistBinary;
  auto entryWith = [&](const char* key, plist_t value) {
    plist_t root = plist_new_dict();
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "size", plist_new_uint(1));
    plist_dict_set_item(entry, "mtime", plist_new_real(1));
    plist_dict_set_item(entry, key, value);
    plist_dict_set_item(root, "/a", entry);
    return encodeRaw(root);
  };
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_uint(1));
  plist_t noSize = plist_new_dict();
  plist_t noSizeEntry = plist_new_dict();
  plist_dict_set_item(noSizeEntry, "mtime", plist_new_real(1));
  plist_dict_set_item(noSize, "/a", noSizeEntry);

  // A path in the one-byte string form with a byte above 127: no such
  // string is valid, and no file of the scan can have that path.
  std::string notUTF8 = valid;
  const std::size_t pathA = notUTF8.find("\x52/a");
  ASSERT_NE(pathA, std::string::npos);
  notUTF8[pathA + 2] = '\xE9';
  // NUL characters, which libplist cannot hand out.
  std::string nulInPath = valid;
  nulInPath[pathA + 2] = '\0';
  std::string nulInDigest = valid;
  const std::size_t digest = nulInDigest.find(kDigestA);
  ASSERT_NE(digest, std::string::npos);
  nulInDigest[digest + 10] = '\0';
  // The valid file with its trailer's fields changed: offset width,
  // reference width, object count, top object, offset table.
  auto withTrailer = [&](std::size_t field, std::size_t width, std::uint64_t value) {
    std::string out = valid;
    for (std::size_t i = 0; i < width; ++i) {
      out[out.size() - 32 + field + width - 1 - i] = static_cast<char>(value >> (8 * i) & 0xFF);
    }
    return out;
  };
  // The first offset of the table (the top dictionary's) pointing elsewhere.
  auto withTopAt = [&](std::uint8_t offset) {
    std::string out = valid;
    out[static_cast<std::uint8_t>(valid.back())] = static_cast<char>(offset);
    return out;
  };
  ASSERT_LT(valid.size(), 256u);  // so the table's place is the last byte
  const std::string lone = std::string("\x61\xD8\x00", 3);

  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"path not UTF-8", notUTF8},
      {"NUL in a path", nulInPath},
      {"NUL in a digest", nulInDigest},
      {"offset width 0", withTrailer(6, 1, 0)},
      {"offset width 9", withTrailer(6, 1, 9)},
      {"reference width 0", withTrailer(7, 1, 0)},
      {"more objects than the table holds", withTrailer(8, 8, 1000)},
      {"object count near 2^64", withTrailer(8, 8, ~std::uint64_t{0})},
      {"top object past the last", withTrailer(16, 8, 13)},
      {"offset table past the end", withTrailer(24, 8, valid.size())},
      {"offset table inside the header", withTrailer(24, 8, 3)},
      {"top object inside the header", withTopAt(2)},
      {"top object in the offset table", withTopAt(static_cast<std::uint8_t>(valid.back()))},
      {"top dictionary is its own entry", handMade({"\xD1\x01\x00", "\x52/a"})},
      {"more pairs than bytes", handMade({"\xDF\x10\x7F\x01\x02", "\x52/a", "\xD0"})},
      {"lone surrogate in a path", handMade({"\xD1\x01\x02", lone, "\xD0"})},
      {"count of 16 bytes", handMade({"\xDF\x14" + std::string(16, '\0'), "\x52/a"})},
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"last byte cut", valid.substr(0, valid.size() - 1)},
      {"garbage", std::string(512, '\xA5')},
      {"header only", "bplist00"},
      {"xml form", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>"},
      {"top level array", encodeRaw(array)},
      {"entry without size", encodeRaw(noSize)},
      {"digest as number", entryWith("sha256", plist_new_uint(5))},
      {"digest not hex", entryWith("sha256", plist_new_string("not a digest"))},
      {"phash as string", entryWith("phash", plist_new_string("12"))},
      {"width out of range", entryWith("width", plist_new_uint(1ull << 40))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeRaw(c.bytes);
    HashCache cache(file_);
    EXPECT_TRUE(cache.entries().empty());
    EXPECT_FALSE(cache.lookup("/a", 1, at(1)));
  }
  writeRaw(valid);
  EXPECT_EQ(HashCache(file_).entries().size(), 2u);
  // The hand-made form itself is sound: a UTF-16 path, a 1-byte size.
  const std::string one = std::string("\x3F\xF0", 2) + std::string(6, '\0');
  auto made = HashCache::decode(
      handMade({"\xD1\x01\x02", std::string("\x62\x00/\x00\xE9", 5), "\xD2\x03\x04\x05\x06",
                "\x54size", "\x55mtime", "\x10\x07", "\x23" + one}));
  ASSERT_TRUE(made);
  EXPECT_EQ(*made, (HashCache::Entries{{"/é", {7, 1.0, {}, {}, {}, {}}}}));
}

TEST_F(HashCacheTest, MissingFileGivesEmptyCacheAndSaveCreatesIt) {
  HashCache cache(file_);
  EXPECT_TRUE(cache.entries().empty());
  EXPECT_FALSE(fs::exists(file_));
  cache.save();
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_TRUE(HashCache(file_).entries().empty());
}

TEST(HashCacheWalkOrderTest, AFolderComesBeforeNamesThatContinueIt) {
  struct Case {
    const char* a;
    const char* b;
  };
  // Each a before b.
  const Case cases[] = {
      {"/a/x", "/a b/x"},  // ' ' sorts below '/' by bytes
      {"/a/x", "/a-b"},   {"/a/z", "/a.b/a"},
      {"/a", "/a/b"},     {"/a", "/ab"},
      {"/a/b", "/ab"},    {"/a/b/c", "/a/bc"},
      {"/é/x", "/éa"},    {"/a/\x7F", "/a/\xC3\xA9"},  // bytes above 127 after ASCII
      {"", "/"},
  };
  const HashCache::WalkOrder before;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " | " + c.b);
    EXPECT_TRUE(before(c.a, c.b));
    EXPECT_FALSE(before(c.b, c.a));
    EXPECT_FALSE(before(c.a, c.a));
  }
}

// Paths whose walk order differs from their byte order, so a lookup that
// relies on either order alone would miss some.
HashCache::Entries treeEntries() {
  HashCache::Entries entries;
  int n = 0;
  for (const char* folder : {"/t/a", "/t/a b", "/t/a-c", "/t/a/b", "/t/a.d/e", "/t/b"}) {
    for (int i = 0; i < 7; ++i) {
      ++n;
      entries[std::string(folder) + "/f" + std::to_string(i)] = digestEntry(n, n, kDigestA);
    }
  }
  return entries;
}

// A scan asks in walk order; a cache from elsewhere, or a scan of other
// roots, asks in any order and skips paths. Every entry must be found, and
// no path that has none.
TEST_F(HashCacheTest, LookupsInAnyOrderFindEveryEntry) {
  const HashCache::Entries entries = treeEntries();
  std::vector<std::string> walk;
  for (const auto& [path, entry] : entries) walk.push_back(path);
  std::vector<std::string> bytes = walk;
  std::sort(bytes.begin(), bytes.end());
  ASSERT_NE(bytes, walk);
  std::vector<std::string> reversed(walk.rbegin(), walk.rend());
  std::vector<std::string> shuffled = walk;
  std::uint64_t seed = 42;
  for (std::size_t i = shuffled.size(); i > 1; --i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    std::swap(shuffled[i - 1], shuffled[(seed >> 33) % i]);
  }
  std::vector<std::string> everyThird;
  for (std::size_t i = 0; i < walk.size(); i += 3) everyThird.push_back(walk[i]);
  std::vector<std::string> lastThenFirst = {walk.back(), walk.front(), walk[walk.size() / 2]};
  struct Case {
    const char* name;
    std::vector<std::string> order;
  };
  const Case cases[] = {{"walk order", walk},        {"byte order", bytes},
                        {"reversed", reversed},      {"shuffled", shuffled},
                        {"every third", everyThird}, {"last, first, middle", lastThenFirst}};
  writeRaw(*HashCache::encode(entries));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HashCache cache(file_);
    for (const std::string& path : c.order) {
      const auto& expected = entries.at(path);
      const HashCache::Entry* found = cache.lookup(path, expected.size, at(expected.mtime));
      ASSERT_NE(found, nullptr) << path;
      EXPECT_EQ(*found, expected) << path;
      // Paths next to it that have no entry.
      EXPECT_EQ(cache.lookup(path + "x", expected.size, at(expected.mtime)), nullptr);
      EXPECT_EQ(cache.lookup(path.substr(0, path.size() - 1), 1, at(1)), nullptr);
    }
    EXPECT_EQ(cache.hits(), static_cast<int>(c.order.size()));
    EXPECT_EQ(cache.lookup("/", 1, at(1)), nullptr);
    EXPECT_EQ(cache.lookup("/zzz", 1, at(1)), nullptr);
    for (const auto& [path, entry] : entries) {
      EXPECT_EQ(cache.touched(path),
                std::find(c.order.begin(), c.order.end(), path) != c.order.end())
          << path;
    }
  }
}

// The file keeps its paths in walk order whatever order they were stored
// in, and one written in another order (or with a path twice) still loads.
TEST_F(HashCacheTest, FileKeepsPathsInWalkOrderWhateverTheOrderOfStores) {
  const HashCache::Entries entries = treeEntries();
  const std::string expected = *HashCache::encode(entries);
  std::vector<std::string> walk;
  for (const auto& [path, entry] : entries) walk.push_back(path);
  // Stored backwards, then some stored again.
  {
    HashCache cache(file_);
    for (auto it = walk.rbegin(); it != walk.rend(); ++it) cache.store(*it, entries.at(*it));
    for (std::size_t i = 0; i < walk.size(); i += 5) cache.store(walk[i], entries.at(walk[i]));
    EXPECT_EQ(cache.size(), entries.size());
    EXPECT_EQ(cache.entries(), entries);
    cache.save();
  }
  EXPECT_EQ(readWholeFile(file_), expected);

  // libplist's file of the same entries in reverse order: loaded, then
  // saved again in walk order with one more entry in the middle and one at
  // the end.
  plist_t root = plist_new_dict();
  for (auto it = walk.rbegin(); it != walk.rend(); ++it) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "size", plist_new_uint(static_cast<uint64_t>(entries.at(*it).size)));
    plist_dict_set_item(entry, "mtime", plist_new_real(entries.at(*it).mtime));
    plist_dict_set_item(entry, "sha256", plist_new_string(kDigestA));
    plist_dict_set_item(root, it->c_str(), entry);
  }
  writeRaw(libplistBinary(root));
  HashCache::Entries more = entries;
  more["/t/a b/f0x"] = digestEntry(1, 1, kDigestB);
  more["/u"] = digestEntry(2, 2, kDigestB);
  {
    HashCache cache(file_);
    EXPECT_EQ(cache.entries(), entries);
    for (const std::string& path : walk) cache.lookup(path, 0, std::nullopt);
    cache.store("/u", more.at("/u"));
    cache.store("/t/a b/f0x", more.at("/t/a b/f0x"));
    EXPECT_EQ(*cache.find("/t/a b/f0x"), more.at("/t/a b/f0x"));
    EXPECT_NE(cache.lookup("/t/a b/f0x", 1, at(1)), nullptr);
    cache.save();
    EXPECT_EQ(cache.entries(), more);
  }
  EXPECT_EQ(readWholeFile(file_), HashCache::encode(more));

  // A path given twice: the later entry counts.
  const std::string twice =
      handMade({"\xD2\x01\x01\x02\x03", "\x52/a", "\xD2\x04\x05\x06\x08", "\xD2\x04\x05\x07\x08",
                "\x54size", "\x55mtime", std::string("\x10\x07", 2), std::string("\x10\x08", 2),
                "\x23" + std::string("\x3F\xF0", 2) + std::string(6, '\0')});
  EXPECT_EQ(HashCache::decode(twice), (HashCache::Entries{{"/a", {8, 1.0, {}, {}, {}, {}}}}));
}

TEST_F(HashCacheTest, FailedSaveThrowsAndLeavesWhatIsInTheWay) {
  // A directory where the file should go: the write cannot replace it.
  fs::create_directories(fs::path(file_) / "keep");
  HashCache cache(file_);
  cache.store("/b", digestEntry(2, 2, kDigestB));
  EXPECT_THROW(cache.save(), HashCache::SaveError);
  EXPECT_TRUE(fs::is_directory(fs::path(file_) / "keep"));
}

}  // namespace
}  // namespace tallowick

namespace tallowick {
namespace {

// The file is read on a thread of its own: whatever a caller does first with
// a new cache, it sees every entry of a file large enough to take a while.
TEST_F(HashCacheTest, EveryFirstUseSeesTheWholeFile) {
  HashCache::Entries entries;
  for (int i = 0; i < 50000; ++i) {
    entries.emplace("/home/u/f" + std::to_string(i), digestEntry(i + 1, i, kDigestA));
  }
  const std::string last = "/home/u/f9999";
  writeRaw(*HashCache::encode(entries));
  struct Case {
    const char* name;
    std::function<bool(HashCache&)> sawTheFile;
  };
  const Case cases[] = {
      {"size", [&](HashCache& c) { return c.size() == entries.size(); }},
      {"find", [&](HashCache& c) { return c.find(last) != nullptr; }},
      {"entries", [&](HashCache& c) { return c.entries() == entries; }},
      {"lookup", [&](HashCache& c) { return c.lookup(last, 10000, at(9999)) != nullptr; }},
      {"store",
       [&](HashCache& c) {
         c.store("/home/u/new", digestEntry(1, 1, kDigestB));
         return c.size() == entries.size() + 1;
       }},
      {"save",
       [&](HashCache& c) {
         c.lookup(last, 10000, at(9999));
         c.save();  // keeps the one touched entry
         return c.size() == 1 && c.find(last) != nullptr;
       }},
  };
  for (const Case& c : cases) {
    HashCache cache(file_);
    EXPECT_TRUE(c.sawTheFile(cache)) << c.name;
  }
  // A cache never used still finishes reading before it goes.
  { HashCache unused(file_); }
}

}  // namespace
}  // namespace tallowick
