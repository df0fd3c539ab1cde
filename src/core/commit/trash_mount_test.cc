// The Trash of a file system other than the home one. The tests mount a
// tmpfs in a private mount namespace of this test process (through a user
// namespace when not root) and skip when the system does not permit that.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/commit/commit_engine.h"
#include "core/commit/test_support.h"
#include "core/commit/trash.h"

namespace tallowick {
namespace {

using testing::exists;
using testing::readText;
using testing::TempTree;
using testing::writeText;

bool writeProc(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

// Enters a private mount namespace once per process; the reason when it
// cannot.
std::string enterMountNamespace() {
  static const std::string failure = [] {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (uid == 0) {
      if (::unshare(CLONE_NEWNS) != 0)
        return "unshare(CLONE_NEWNS): " + std::string(std::strerror(errno));
    } else {
      if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return "unshare(CLONE_NEWUSER|CLONE_NEWNS): " + std::string(std::strerror(errno));
      }
      // Keep our own ids inside, so ownership checks see the same user.
      if (!writeProc("/proc/self/setgroups", "deny") ||
          !writeProc("/proc/self/uid_map",
                     std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
          !writeProc("/proc/self/gid_map",
                     std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        return std::string("cannot write the id maps of the user namespace");
      }
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return "making mounts private: " + std::string(std::strerror(errno));
    }
    return std::string();
  }();
  return failure;
}

class TrashMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = enterMountNamespace(); !why.empty()) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); skipping";
    }
    mnt = tree.path("mnt");
    std::filesystem::create_directories(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16m,mode=0755") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); skipping";
    }
    mounted.push_back(mnt);
    ::chown(mnt.c_str(), ::getuid(), ::getgid());
  }
  void TearDown() override {
    for (auto it = mounted.rbegin(); it != mounted.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }
  std::string uid() const { return std::to_string(::getuid()); }

  TempTree tree;
  std::string mnt;
  std::vector<std::string> mounted;
};

TEST_F(TrashMountTest, FileGoesToItsMountsTrashWithARelativePath) {
  std::string file = mnt + "/sub/a b.txt";
  writeText(file, "on tmpfs");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok()) << moved.error.message();
  std::string trash = mnt + "/.Trash-" + uid();
  EXPECT_EQ(*moved.trashPath, trash + "/files/a b.txt");
  EXPECT_EQ(readText(*moved.trashPath), "on tmpfs");
  EXPECT_THAT(readText(trash + "/info/a b.txt.trashinfo"),
              ::testing::StartsWith("[Trash Info]\nPath=sub/a%20b.txt\nDeletionDate="));
  struct stat st;
  ASSERT_EQ(::lstat(trash.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_FALSE(exists(tree.homeTrash() + "/files/a b.txt"));

  EXPECT_FALSE(Trash::putBack(*moved.trashPath, file));
  EXPECT_EQ(readText(file), "on tmpfs");
  EXPECT_FALSE(exists(trash + "/info/a b.txt.trashinfo"));
}

TEST_F(TrashMountTest, SharedTrashOnlyWhenStickyAndReal) {
  struct Case {
    const char* name;
    mode_t mode;  // of .Trash; 0 for a link to a sticky folder
    bool shared;
  } cases[] = {
      {"sticky .Trash", 01777, true},
      {".Trash without sticky bit", 0777, false},
      {".Trash as a link", 0, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::filesystem::remove_all(mnt + "/.Trash");
    std::filesystem::remove_all(mnt + "/.Trash-" + uid());
    if (c.mode == 0) {
      std::filesystem::create_directories(mnt + "/real");
      ::chmod((mnt + "/real").c_str(), 01777);
      ASSERT_EQ(::symlink("real", (mnt + "/.Trash").c_str()), 0);
    } else {
      std::filesystem::create_directories(mnt + "/.Trash");
      ::chmod((mnt + "/.Trash").c_str(), c.mode);
    }
    std::string file = mnt + "/f" + std::to_string(++n) + ".txt";
    writeText(file, c.name);
    Trash::MoveResult moved = Trash::moveToTrash(file);
    ASSERT_TRUE(moved.ok()) << c.name << ": " << moved.error.message();
    std::string expectedDir = c.shared ? mnt + "/.Trash/" + uid() : mnt + "/.Trash-" + uid();
    EXPECT_EQ(*moved.trashPath, expectedDir + "/files/f" + std::to_string(n) + ".txt") << c.name;
    EXPECT_FALSE(exists(mnt + "/real/" + uid())) << c.name;
  }
}

TEST_F(TrashMountTest, NoUsableTrashMeansTheFileStays) {
  writeText(mnt + "/.Trash-" + uid(), "a file, not a folder");
  std::string file = mnt + "/a.txt";
  writeText(file, "stays");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  EXPECT_FALSE(moved.ok());
  EXPECT_FALSE(moved.error.message().empty());
  EXPECT_EQ(readText(file), "stays");
  // Nothing went to the home Trash either: that would take a copy.
  EXPECT_FALSE(exists(tree.homeTrash() + "/files/a.txt"));
}

TEST_F(TrashMountTest, BindMountGetsItsOwnTrash) {
  std::filesystem::create_directories(mnt + "/a");
  std::filesystem::create_directories(mnt + "/b");
  ASSERT_EQ(::mount((mnt + "/a").c_str(), (mnt + "/b").c_str(), nullptr, MS_BIND, nullptr), 0)
      << std::strerror(errno);
  mounted.push_back(mnt + "/b");
  std::string file = mnt + "/b/x.txt";
  writeText(file, "bound");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok()) << moved.error.message();
  EXPECT_EQ(*moved.trashPath, mnt + "/b/.Trash-" + uid() + "/files/x.txt");
}

TEST_F(TrashMountTest, EmptyIncludesTheMountsTrash) {
  for (const char* name : {"a.txt", "b.txt"}) {
    writeText(mnt + "/" + name, name);
    ASSERT_TRUE(Trash::moveToTrash(mnt + "/" + name).ok());
  }
  writeText(mnt + "/kept.txt", "kept");
  Trash::EmptyResult result = Trash::emptyTrash({mnt});
  EXPECT_TRUE(result.ok()) << result.failedPath << ": " << result.error.message();
  EXPECT_EQ(result.removed, 4);
  EXPECT_TRUE(std::filesystem::is_empty(mnt + "/.Trash-" + uid() + "/files"));
  EXPECT_TRUE(std::filesystem::is_empty(mnt + "/.Trash-" + uid() + "/info"));
  EXPECT_EQ(readText(mnt + "/kept.txt"), "kept");
  // The full form looks at every mount point; this one is among them.
  auto mounts = Trash::mountPoints();
  EXPECT_NE(std::find(mounts.begin(), mounts.end(), mnt), mounts.end());
}

TEST_F(TrashMountTest, CommitAndUndoOnAnotherFileSystem) {
  CommitEngine engine(CommitEngine::Config({mnt}, tree.path("storage")));
  Item item = testing::scannedFile(mnt + "/Down/big.iso", "iso");
  engine.record(item, Action::trash, "phone");
  CommitEngine::Outcome outcome = engine.commit({item}, "phone");
  ASSERT_EQ(outcome.trashed, 1) << (outcome.failed.empty() ? "" : outcome.failed[0].reason);
  EXPECT_EQ(outcome.moved[0].trashPath, mnt + "/.Trash-" + uid() + "/files/big.iso");
  CommitEngine::Outcome undone = engine.undo(std::vector<std::string>{item.path});
  EXPECT_EQ(undone.trashed, 1);
  EXPECT_EQ(readText(item.path), "iso");
}

// One commit that takes files from two file systems in turn: each file goes
// to the Trash of its own, and each Trash is found again for the next file.
TEST_F(TrashMountTest, OneCommitAcrossTwoFileSystems) {
  std::string home = tree.path("Down");
  CommitEngine engine(CommitEngine::Config({mnt, home}, tree.path("storage")));
  std::vector<Item> items;
  for (int i = 0; i < 6; ++i) {
    std::string dir = i % 2 ? mnt + "/Down" : home;
    items.push_back(testing::scannedFile(dir + "/f" + std::to_string(i) + ".txt", "x"));
    engine.record(items.back(), Action::trash, "phone");
  }
  CommitEngine::Outcome outcome = engine.commit(items, "phone");
  ASSERT_EQ(outcome.trashed, 6) << (outcome.failed.empty() ? "" : outcome.failed[0].reason);
  for (int i = 0; i < 6; ++i) {
    std::string name = "f" + std::to_string(i) + ".txt";
    std::string trash = i % 2 ? mnt + "/.Trash-" + uid() : tree.homeTrash();
    EXPECT_EQ(outcome.moved[i].trashPath, trash + "/files/" + name);
    std::string info = testing::readText(trash + "/info/" + name + ".trashinfo");
    std::string path =
        i % 2 ? "Down/" + name : std::filesystem::canonical(home).string() + "/" + name;
    EXPECT_NE(info.find("\nPath=" + path + "\n"), std::string::npos) << info;
    EXPECT_FALSE(testing::exists(items[i].path));
  }
}

}  // namespace
}  // namespace tallowick
