#include "core/commit/containment.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/commit/test_support.h"

namespace tallowick {
namespace {

using testing::TempTree;
using testing::writeText;

class ContainmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeText(tree.path("Down/a.txt"), "a");
    writeText(tree.path("Down/sub/b.txt"), "b");
    writeText(tree.path("Downloads/c.txt"), "c");
    writeText(tree.path("outside/secret.txt"), "s");
    symlink(tree.path("outside/secret.txt"), tree.path("Down/link-out"));
    symlink("../outside", tree.path("Down/dir-out"));
    symlink(tree.path("outside/not-there"), tree.path("Down/dangling-out"));
    symlink("sub/b.txt", tree.path("Down/link-in"));
    symlink(tree.path("Down"), tree.path("via-link"));
    symlink(tree.path("loop"), tree.path("loop"));
  }
  void symlink(const std::string& target, const std::string& at) {
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
  }
  TempTree tree;
};

TEST_F(ContainmentTest, PathsAgainstOneRoot) {
  struct Case {
    const char* path;
    bool inside;
  } cases[] = {
      {"Down/a.txt", true},
      {"Down/sub/b.txt", true},
      {"Down/sub/../a.txt", true},
      {"Down/./sub//b.txt", true},
      {"Down/not-yet-there.txt", true},
      {"Down/link-in", true},
      {"via-link/a.txt", true},
      // A root is not inside itself.
      {"Down", false},
      {"Down/", false},
      {"Down/sub/..", false},
      // A sibling whose name merely starts with the root's name.
      {"Downloads/c.txt", false},
      {"Down/../outside/secret.txt", false},
      {"Down/link-out", false},
      {"Down/dir-out/secret.txt", false},
      {"Down/dangling-out", false},
      {"outside/secret.txt", false},
      {"loop", false},
  };
  std::vector<std::string> roots{tree.path("Down")};
  for (const Case& c : cases) {
    EXPECT_EQ(Containment::isInside(tree.path(c.path), roots), c.inside) << c.path;
  }
}

TEST_F(ContainmentTest, RootForms) {
  std::string file = tree.path("Down/a.txt");
  EXPECT_TRUE(Containment::isInside(file, {tree.path("via-link")}));
  EXPECT_TRUE(Containment::isInside(file, {tree.path("Down/")}));
  EXPECT_TRUE(Containment::isInside(file, {pathToFileURL(tree.path("Down"))}));
  EXPECT_TRUE(Containment::isInside(file, {tree.path("outside"), tree.path("Down")}));
  EXPECT_FALSE(Containment::isInside(file, {}));
  EXPECT_FALSE(Containment::isInside(file, {tree.path("Down/sub")}));
  EXPECT_FALSE(Containment::isInside(file, {tree.path("loop")}));
}

}  // namespace
}  // namespace tallowick
