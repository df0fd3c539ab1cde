#include "core/commit/root_walk.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/commit/test_support.h"

namespace tallowick {
namespace {

using Stop = RootWalk::Stop;
using testing::exists;
using testing::TempTree;
using testing::writeText;

TEST(RootWalk, StopsWhereThePathLeavesTheFoldersOfItsRoot) {
  TempTree tree;
  const std::string root = tree.path("root");
  writeText(root + "/a/b/file.txt", "x");
  writeText(tree.path("outside/file.txt"), "x");
  writeText(root + "/plain", "x");
  std::filesystem::create_directory_symlink(tree.path("outside"), root + "/out");
  std::filesystem::create_directory_symlink(root + "/a", root + "/alias");
  // A root named through a link holds what lies below its target.
  std::filesystem::create_directory_symlink(root, tree.path("root-link"));

  struct Case {
    std::string path;
    Stop stop;
    std::string dirPath;  // when reached
  } cases[] = {
      {root + "/a/b/file.txt", Stop::none, root + "/a/b"},
      {root + "//a/b/file.txt", Stop::none, root + "/a/b"},
      {root + "/a/b/not-yet.txt", Stop::none, root + "/a/b"},
      {root + "/top.txt", Stop::none, root},
      {tree.path("root-link/a/b/file.txt"), Stop::none, root + "/a/b"},
      {root + "/out/file.txt", Stop::link, ""},
      {root + "/alias/b/file.txt", Stop::link, ""},
      {root + "/gone/b/file.txt", Stop::missing, ""},
      {root + "/plain/file.txt", Stop::notFolder, ""},
      {root, Stop::outside, ""},
      {tree.path("outside/file.txt"), Stop::outside, ""},
      {tree.path("rootling/file.txt"), Stop::outside, ""},
      {root + "/a/../../outside/file.txt", Stop::outside, ""},
      {root + "/a/./b/file.txt", Stop::outside, ""},
      {"relative/file.txt", Stop::outside, ""},
  };
  RootWalk walk({root, tree.path("root-link")});
  for (const Case& c : cases) {
    RootWalk::Parent parent = walk.openParent(c.path, false);
    EXPECT_EQ(parent.stop, c.stop) << c.path;
    EXPECT_EQ(parent.ok(), parent.dir.valid()) << c.path;
    if (c.stop == Stop::none) {
      EXPECT_EQ(parent.dirPath, c.dirPath) << c.path;
      struct stat opened, named;
      ASSERT_EQ(::fstat(parent.dir.get(), &opened), 0);
      ASSERT_EQ(::stat(c.dirPath.c_str(), &named), 0);
      EXPECT_EQ(opened.st_ino, named.st_ino) << c.path;
    }
  }
  EXPECT_FALSE(exists(root + "/gone"));
}

TEST(RootWalk, CreatesMissingFoldersButNeverThroughALink) {
  TempTree tree;
  const std::string root = tree.path("root");
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(tree.path("outside"));
  std::filesystem::create_directory_symlink(tree.path("outside"), root + "/out");
  RootWalk walk({"file://" + root});

  RootWalk::Parent made = walk.openParent(root + "/new/deeper/file.txt", true);
  EXPECT_EQ(made.stop, Stop::none);
  EXPECT_EQ(made.name, "file.txt");
  EXPECT_TRUE(std::filesystem::is_directory(root + "/new/deeper"));

  EXPECT_EQ(walk.openParent(root + "/out/new/file.txt", true).stop, Stop::link);
  EXPECT_FALSE(exists(tree.path("outside/new")));
  EXPECT_EQ(
      RootWalk({tree.path("no-such-root")}).openParent(tree.path("no-such-root/a/b"), true).stop,
      Stop::missing);
  EXPECT_FALSE(exists(tree.path("no-such-root")));
}

}  // namespace
}  // namespace tallowick
