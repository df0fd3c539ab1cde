#include "shared/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace tallowick {
namespace {

TEST(FileTime, WithinTheWrittenYearsExactAndBeyondThemHeldAtTheEnds) {
  using std::chrono::microseconds;
  using std::chrono::seconds;
  struct Case {
    std::int64_t seconds, nanoseconds;
    Date expected;
  };
  const Case cases[] = {
      {0, 0, Date{}},
      {1'622'548'800, 250'000'000, Date{} + seconds(1'622'548'800) + microseconds(250'000)},
      // Nanoseconds below the microsecond are dropped, towards the past.
      {1'622'548'800, 999'999'999, Date{} + seconds(1'622'548'801) - microseconds(1)},
      {-1, 999'999'999, Date{} - microseconds(1)},
      {32'503'680'000, 0, *codec::parseDate("3000-01-01T00:00:00Z")},
      {253'402'300'799, 500'000'000, kLatestDate + microseconds(500'000)},  // 9999-12-31T23:59:59
      {-62'135'596'800, 0, kDistantPast},                                   // 0001-01-01T00:00:00
      // Just beyond where a count of nanoseconds ends.
      {-9'223'372'037, 0, *codec::parseDate("1677-09-21T00:12:43Z")},
      {9'223'372'037, 0, *codec::parseDate("2262-04-11T23:47:17Z")},
      {253'402'300'800, 0, kLatestDate},  // the year 10000
      {-62'135'596'801, 999'999'999, kDistantPast},
      {INT64_MAX, 999'999'999, kLatestDate},
      {INT64_MIN, 0, kDistantPast},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(dateFromFileTime(c.seconds, c.nanoseconds), c.expected);
  }
}

TEST(FileURL, RoundTripsAwkwardPaths) {
  for (const char* path : {"/", "/home/u/a b", "/x/100%/é#?", "/tmp/a+b&c"}) {
    std::string url = pathToFileURL(path);
    EXPECT_EQ(url.find(' '), std::string::npos);
    EXPECT_EQ(fileURLToPath(url), path) << url;
  }
  EXPECT_EQ(fileURLToPath("file:///home/u/Pictures/"), "/home/u/Pictures");
  EXPECT_EQ(fileURLToPath("file://localhost/tmp"), "/tmp");
  for (const char* bad : {"/tmp", "http://x/y", "file://host/x", "file:///a%2", "file:///a%zz"}) {
    EXPECT_FALSE(fileURLToPath(bad)) << bad;
  }
}

TEST(UTF8, ValidatesStrictly) {
  EXPECT_TRUE(isValidUTF8("plain"));
  EXPECT_TRUE(isValidUTF8("caf\xc3\xa9 \xe2\x98\x85 \xf0\x9f\x98\x80"));
  for (const char* bad :
       {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"}) {
    EXPECT_FALSE(isValidUTF8(bad)) << bad;
  }
}

// ASCII is passed over a word at a time: a sequence must be judged wherever
// it falls against the words, also cut off at the end of the text.
TEST(UTF8, JudgesSequencesAtEveryOffset) {
  struct Case {
    std::string_view sequence;
    bool valid;
  };
  const Case cases[] = {
      {"\xc3\xa9", true},  {"\xe2\x98\x85", true},  {"\xf0\x9f\x98\x80", true},
      {"\x80", false},     {"\xc3", false},         {"\xe2\x98", false},
      {"\xc0\xaf", false}, {"\xed\xa0\x80", false}, {"\xff", false},
  };
  for (const Case& c : cases) {
    for (std::size_t before = 0; before <= 17; ++before) {
      for (std::size_t after : {0, 1, 8, 9}) {
        const std::string text =
            std::string(before, 'a') + std::string(c.sequence) + std::string(after, 'b');
        EXPECT_EQ(isValidUTF8(text), c.valid) << before << " + " << after;
      }
    }
  }
}

TEST(AtomicWrite, ReplacesWholeFileWithMode) {
  auto dir = std::filesystem::temp_directory_path() / ("tw-file-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "f.json").string();
  ASSERT_TRUE(writeFileAtomically(path, "one", 0600));
  ASSERT_TRUE(writeFileAtomically(path, "two!", 0600));
  EXPECT_EQ(readWholeFile(path), "two!");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  EXPECT_FALSE(writeFileAtomically((dir / "no/such/dir/f").string(), "x"));
  EXPECT_FALSE(readWholeFile((dir / "absent").string()));
  std::filesystem::remove_all(dir);
}

// A file written in pieces shows nothing until it is committed, and one
// abandoned half-way leaves the old file and no temporary file behind.
TEST(AtomicWrite, PiecesAppearOnlyOnCommit) {
  auto dir = std::filesystem::temp_directory_path() / ("tw-pieces-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "f.json").string();
  ASSERT_TRUE(writeFileAtomically(path, "old"));
  {
    AtomicFileWriter file(path);
    ASSERT_TRUE(file.write("new "));
    ASSERT_TRUE(file.write("content"));
    EXPECT_EQ(readWholeFile(path), "old");
  }
  EXPECT_EQ(readWholeFile(path), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  {
    AtomicFileWriter file(path);
    ASSERT_TRUE(file.write("new "));
    ASSERT_TRUE(file.write("content"));
    ASSERT_TRUE(file.commit());
  }
  EXPECT_EQ(readWholeFile(path), "new content");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  AtomicFileWriter nowhere((dir / "no/such/dir/f").string());
  EXPECT_FALSE(nowhere.write("x"));
  EXPECT_FALSE(nowhere.commit());
  std::filesystem::remove_all(dir);
}

TEST(CreateDirectories, SetsTheModeOnlyOnWhatItCreates) {
  auto dir = std::filesystem::temp_directory_path() / ("tw-mkdir-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  struct stat st;

  std::string made = (dir / "a/b").string();
  ASSERT_TRUE(createDirectories(made, 0750));
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);

  // Existing directories keep their modes.
  EXPECT_TRUE(createDirectories(dir.string(), 0755));
  EXPECT_TRUE(createDirectories(made, 0755));
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);

  // A file in the way is not a directory.
  ASSERT_TRUE(writeFileAtomically((dir / "file").string(), "x"));
  EXPECT_FALSE(createDirectories((dir / "file").string()));
  EXPECT_FALSE(createDirectories((dir / "file/sub").string()));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tallowick
