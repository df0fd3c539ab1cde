#include "core/commit/journal_file.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/commit/test_support.h"

namespace tallowick {
namespace {

using testing::readText;
using testing::TempTree;
using testing::writeText;

TEST(JournalFile, AppendsWholeLinesAndMendsATornOne) {
  TempTree tree;
  const std::string path = tree.path("storage/deeper/decisions.jsonl");
  JournalFile journal(path);
  EXPECT_FALSE(journal.openForReading().valid());
  ASSERT_FALSE(journal.append("one"));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(tree.path("storage/deeper").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  writeText(path, readText(path) + "tor");
  journal.setTorn(true);
  {
    JournalFile::Batch batch(journal);
    ASSERT_FALSE(journal.append("two"));
    ASSERT_FALSE(journal.append("three"));
  }
  EXPECT_FALSE(journal.torn());
  EXPECT_EQ(readText(path), "one\ntor\ntwo\nthree\n");
  EXPECT_TRUE(journal.openForReading().valid());
  EXPECT_FALSE(journal.reserve(1 << 20));
  EXPECT_EQ(readText(path), "one\ntor\ntwo\nthree\n") << "a reserve leaves the length";
}

TEST(JournalFile, RefusesWhatIsNotItsRegularFile) {
  struct Case {
    const char* name;
    // Puts something in the way; returns the journal's path.
    std::string (*arrange)(TempTree& tree);
    std::errc error;
  } cases[] = {
      {"a folder",
       [](TempTree& tree) {
         std::filesystem::create_directories(tree.path("decisions.jsonl"));
         return tree.path("decisions.jsonl");
       },
       std::errc::is_a_directory},
      {"a link",
       [](TempTree& tree) {
         writeText(tree.path("target"), "");
         std::filesystem::create_symlink(tree.path("target"), tree.path("decisions.jsonl"));
         return tree.path("decisions.jsonl");
       },
       std::errc::too_many_symbolic_link_levels},
      {"a FIFO",
       [](TempTree& tree) {
         ::mkfifo(tree.path("decisions.jsonl").c_str(), 0600);
         return tree.path("decisions.jsonl");
       },
       std::errc::no_such_device_or_address},
      {"a file where its folder should be",
       [](TempTree& tree) {
         writeText(tree.path("storage"), "");
         return tree.path("storage/decisions.jsonl");
       },
       std::errc::not_a_directory},
  };
  for (const Case& c : cases) {
    TempTree tree;
    JournalFile journal(c.arrange(tree));
    EXPECT_EQ(journal.append("line"), c.error) << c.name;
    EXPECT_EQ(journal.reserve(4096), c.error) << c.name;
    EXPECT_FALSE(journal.openForReading().valid()) << c.name;
  }
  TempTree tree;
  writeText(tree.path("target"), "kept");
  std::filesystem::create_symlink(tree.path("target"), tree.path("decisions.jsonl"));
  JournalFile(tree.path("decisions.jsonl")).append("line");
  EXPECT_EQ(readText(tree.path("target")), "kept");
}

}  // namespace
}  // namespace tallowick
