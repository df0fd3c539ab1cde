#include "shared/keychain.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace tallowick {
namespace {

namespace fs = std::filesystem;

class KeychainTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/keychain_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    storage_ = root_ + "/storage";
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string root_;
  std::string storage_;
};

TEST_F(KeychainTest, WriteAddsThenUpdatesInPlace) {
  EXPECT_EQ(Keychain::read("dev-0123456789abcdef", storage_), std::nullopt);
  ASSERT_TRUE(Keychain::write(Bytes(32, 1), "dev-0123456789abcdef", storage_));
  EXPECT_EQ(Keychain::read("dev-0123456789abcdef", storage_), Bytes(32, 1));
  ASSERT_TRUE(Keychain::write(Bytes{9, 8, 7}, "dev-0123456789abcdef", storage_));
  EXPECT_EQ(Keychain::read("dev-0123456789abcdef", storage_), (Bytes{9, 8, 7}));
  // One file for the item, nothing left over from the replacement.
  EXPECT_EQ(std::distance(fs::directory_iterator(storage_ + "/keychain"), fs::directory_iterator{}),
            1);
}

TEST_F(KeychainTest, AccountsAreSeparate) {
  ASSERT_TRUE(Keychain::write(Bytes{1}, "a", storage_));
  ASSERT_TRUE(Keychain::write(Bytes{2}, "A", storage_));
  ASSERT_TRUE(Keychain::write(Bytes{3}, "", storage_));
  ASSERT_TRUE(Keychain::write(Bytes{4}, "%61", storage_));  // not the escape of "a"
  EXPECT_EQ(Keychain::read("a", storage_), Bytes{1});
  EXPECT_EQ(Keychain::read("A", storage_), Bytes{2});
  EXPECT_EQ(Keychain::read("", storage_), Bytes{3});
  EXPECT_EQ(Keychain::read("%61", storage_), Bytes{4});
}

TEST_F(KeychainTest, EmptyDataIsAnItem) {
  ASSERT_TRUE(Keychain::write(Bytes{}, "empty", storage_));
  EXPECT_EQ(Keychain::read("empty", storage_), Bytes{});
}

TEST_F(KeychainTest, DeleteRemovesOnlyThatItem) {
  ASSERT_TRUE(Keychain::write(Bytes{1}, "one", storage_));
  ASSERT_TRUE(Keychain::write(Bytes{2}, "two", storage_));
  Keychain::remove("one", storage_);
  Keychain::remove("never-written", storage_);
  EXPECT_EQ(Keychain::read("one", storage_), std::nullopt);
  EXPECT_EQ(Keychain::read("two", storage_), Bytes{2});
}

TEST_F(KeychainTest, ItemsArePrivateFiles) {
  ASSERT_TRUE(Keychain::write(Bytes(32, 5), "dev-1", storage_));
  struct stat st;
  ASSERT_EQ(::stat(Keychain::itemPath("dev-1", storage_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((storage_ + "/keychain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(KeychainTest, AccountsNeverEscapeTheFolder) {
  const std::string folder = fs::weakly_canonical(storage_ + "/keychain").string();
  for (const char* account : {"../escape", "..", ".", "a/b", "/etc/passwd", "x.tmp-1234", "\n"}) {
    SCOPED_TRACE(account);
    const std::string path = Keychain::itemPath(account, storage_);
    EXPECT_EQ(fs::path(path).parent_path().string(), storage_ + "/keychain");
    ASSERT_TRUE(Keychain::write(Bytes{42}, account, storage_));
    EXPECT_EQ(Keychain::read(account, storage_), Bytes{42});
  }
  // Everything landed inside the folder and nothing beside it.
  for (const auto& e : fs::recursive_directory_iterator(root_)) {
    const std::string p = e.path().string();
    EXPECT_TRUE(p == storage_ || p.rfind(folder, 0) == 0) << p;
  }
}

TEST_F(KeychainTest, UnreadableStorageGivesFalseAndNone) {
  // A file where the storage directory should be.
  const std::string blocked = root_ + "/file";
  std::FILE* f = std::fopen(blocked.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_FALSE(Keychain::write(Bytes{1}, "x", blocked));
  EXPECT_EQ(Keychain::read("x", blocked), std::nullopt);
}

TEST_F(KeychainTest, DefaultStorageFollowsXdgDataHome) {
  const char* oldXdg = std::getenv("XDG_DATA_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
  EXPECT_EQ(Keychain::defaultStorageDirectory(), root_ + "/Tallowick");
  ASSERT_TRUE(Keychain::write(Bytes{7}, "phone"));
  EXPECT_EQ(Keychain::read("phone", root_ + "/Tallowick"), Bytes{7});
  Keychain::remove("phone");
  EXPECT_EQ(Keychain::read("phone"), std::nullopt);
  if (oldXdg) {
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
}  // namespace tallowick
