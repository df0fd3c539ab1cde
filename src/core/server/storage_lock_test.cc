#include "core/server/storage_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

namespace fs = std::filesystem;

class StorageLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "storage-lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string root_;
};

TEST_F(StorageLockTest, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
  const std::string storage = root_ + "/data/Tallowick";
  auto first = std::make_unique<StorageLock>(storage);
  ASSERT_EQ(first->state(), StorageLock::State::Held) << first->error();
  EXPECT_EQ(fs::status(storage).permissions() & fs::perms::all, fs::perms::owner_all);

  StorageLock second(storage);
  EXPECT_EQ(second.state(), StorageLock::State::Busy);
  EXPECT_EQ(second.holder(), ::getpid());
  EXPECT_EQ(second.busyMessage(), "another Tallowick agent is already using " + storage +
                                      " (process " + std::to_string(::getpid()) + ")");

  first.reset();
  StorageLock third(storage);
  EXPECT_EQ(third.state(), StorageLock::State::Held);
}

TEST_F(StorageLockTest, AnotherProcessSeesItTakenAndTheLockEndsWithItsHolder) {
  const std::string storage = root_ + "/s";
  StorageLock held(storage);
  ASSERT_EQ(held.state(), StorageLock::State::Held);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(StorageLock(storage).state() == StorageLock::State::Busy ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(StorageLockTest, AStorageThatCannotBeMadeIsUnavailable) {
  std::ofstream(root_ + "/file") << "x";
  StorageLock lock(root_ + "/file/Tallowick");
  EXPECT_EQ(lock.state(), StorageLock::State::Unavailable);
  EXPECT_NE(lock.error().find(root_ + "/file/Tallowick"), std::string::npos) << lock.error();
}

}  // namespace
}  // namespace tallowick
