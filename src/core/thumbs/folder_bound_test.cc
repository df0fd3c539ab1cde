#include "core/thumbs/folder_bound.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

namespace fs = std::filesystem;

class FolderBoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tallowick-bound-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A file of `bytes` bytes last modified `age` seconds before the others.
  void make(const std::string& name, std::size_t bytes, int age) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'p');
    struct timespec times[2] = {{1'700'000'000 - age, 0}, {1'700'000'000 - age, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  std::set<std::string> left() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names.insert(entry.path().filename().string());
    return names;
  }

  std::string dir_;
};

TEST_F(FolderBoundTest, RemovesTheOldestFilesUntilTheRestFit) {
  struct Case {
    std::uintmax_t maxBytes;
    std::set<std::string> left;
  };
  const Case cases[] = {
      {400, {"new", "mid", "old", "oldest"}},  // fits already
      {300, {"new", "mid", "old"}},           {250, {"new", "mid"}}, {100, {"new"}}, {0, {}},
  };
  for (const Case& c : cases) {
    make("oldest", 100, 30);
    make("old", 100, 20);
    make("mid", 100, 10);
    make("new", 100, 0);
    boundFolderSize(dir_, c.maxBytes);
    EXPECT_EQ(left(), c.left) << "at most " << c.maxBytes;
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
  }
}

TEST_F(FolderBoundTest, LeavesFoldersLinksAndMissingFoldersAlone) {
  make("old", 100, 10);
  fs::create_directory(dir_ + "/sub");
  std::ofstream(dir_ + "/sub/inner", std::ios::binary) << std::string(500, 's');
  fs::create_symlink(dir_ + "/sub/inner", dir_ + "/link");
  EXPECT_EQ(boundFolderSize(dir_, 0), 1);
  EXPECT_EQ(left(), (std::set<std::string>{"sub", "link"}));
  EXPECT_TRUE(fs::exists(dir_ + "/sub/inner"));
  EXPECT_EQ(boundFolderSize(dir_ + "/missing", 0), 0);
}

}  // namespace
}  // namespace tallowick
