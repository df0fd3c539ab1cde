#include "shared/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

namespace fs = std::filesystem;

TEST(PathsTest, TextOnlyForms) {
  struct Case {
    std::string path, parent, last, normal;
  };
  const Case cases[] = {
      {"/a/b", "/a", "b", "/a/b"},
      {"/a", "/", "a", "/a"},
      {"/", "/", "/", "/"},
      {"a", ".", "a", "/a"},
      {"", ".", "", "/"},
      {"/a/b/", "/a", "b", "/a/b"},
      {"/a/b//", "/a", "b", "/a/b"},
      {"//", "/", "/", "/"},
      {"/a//b/./c/", "/a//b/.", "c", "/a/b/c"},
      {"/a/b/../c", "/a/b/..", "c", "/a/c"},
      {"/a/../..", "/a/..", "..", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(parentOf(c.path), c.parent);
    EXPECT_EQ(lastComponent(c.path), c.last);
    EXPECT_EQ(lexicallyNormal(c.path), c.normal);
  }
}

TEST(PathsTest, AtOrBelowComparesWholeComponents) {
  struct Case {
    std::string path, tree;
    bool expected;
  };
  const Case cases[] = {
      {"/a", "/a", true},    {"/a/b", "/a", true},     {"/ab", "/a", false},
      {"/a", "/a/b", false}, {"/anything", "/", true}, {"/", "/", true},
      {"/a", "", false},     {"", "", false},          {"/dev/shmem", "/dev/shm", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isAtOrBelow(c.path, c.tree), c.expected) << c.path << " in " << c.tree;
  }
}

class CanonicalPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "paths_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = fs::canonical(pattern).string();
    fs::create_directories(at("Down/sub"));
    fs::create_directories(at("outside"));
    std::ofstream(at("Down/a.txt")) << "a";
    fs::create_directory_symlink(at("Down"), at("via-link"));
    fs::create_symlink(at("outside/not-there"), at("Down/dangling-out"));
    fs::create_symlink("../outside", at("Down/dir-out"));
    fs::create_symlink(at("loop"), at("loop"));
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string at(const std::string& relative) const { return root_ + "/" + relative; }

  std::string root_;
};

TEST_F(CanonicalPathTest, ResolvesLinksAndDots) {
  struct Case {
    std::string path, expected;
  };
  const Case cases[] = {
      {at("via-link/sub/../a.txt"), at("Down/a.txt")},
      {at("Down/./sub//"), at("Down/sub")},
      // Dangling links are followed; what lies below a missing part is
      // taken as written.
      {at("Down/dangling-out"), at("outside/not-there")},
      {at("Down/dir-out/x/../y"), at("outside/y")},
      {at("Down/missing/../a.txt"), at("Down/a.txt")},
      {at("loop"), ""},
      {at("loop/x"), ""},
      {"/", "/"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(canonicalPath(c.path), c.expected) << c.path;
}

TEST(PathsTest, WriteAllWritesEverythingOrSaysItFailed) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  // More than a pipe holds at once would need a reader; a megabyte written
  // from here while this thread reads shows the partial writes are resumed.
  const std::string data(1 << 20, 'q');
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipe[0], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  EXPECT_TRUE(writeAll(pipe[1], data));
  ::close(pipe[1]);
  reader.join();
  ::close(pipe[0]);
  EXPECT_EQ(received, data);

  EXPECT_TRUE(writeAll(-1, ""));
  EXPECT_FALSE(writeAll(-1, "x"));
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace tallowick
