#include "core/commit/trash.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/commit/test_support.h"

namespace tallowick {
namespace {

using testing::exists;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testing::readText;
using testing::TempTree;
using testing::writeText;

std::string infoFor(const std::string& trashPath) {
  auto files = std::filesystem::path(trashPath).parent_path();
  return files.parent_path().string() + "/info/" +
         std::filesystem::path(trashPath).filename().string() + ".trashinfo";
}

class TrashTest : public ::testing::Test {
 protected:
  TempTree tree;
};

TEST_F(TrashTest, MovesIntoHomeTrashWithInfoFile) {
  std::string file = tree.path("Down/a b%é.txt");
  writeText(file, "payload");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok()) << moved.error.message();
  EXPECT_EQ(*moved.trashPath, tree.homeTrash() + "/files/a b%é.txt");
  EXPECT_FALSE(exists(file));
  EXPECT_EQ(readText(*moved.trashPath), "payload");
  std::string info = readText(infoFor(*moved.trashPath));
  std::string escaped = pathToFileURL(std::filesystem::canonical(tree.root()).string()).substr(7) +
                        "/Down/a%20b%25%C3%A9.txt";
  EXPECT_THAT(info, ::testing::StartsWith("[Trash Info]\nPath=" + escaped + "\nDeletionDate="));
  EXPECT_THAT(
      info, MatchesRegex(".*DeletionDate=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\n"));
  struct stat st;
  ASSERT_EQ(::stat(tree.homeTrash().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(TrashTest, FallsBackToHomeWhenXdgDataHomeIsUnset) {
  ::unsetenv("XDG_DATA_HOME");
  std::string file = tree.path("a.txt");
  writeText(file, "x");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok()) << moved.error.message();
  EXPECT_EQ(*moved.trashPath, tree.homeTrash() + "/files/a.txt");
}

TEST_F(TrashTest, TakenNamesGetNumbersAndNothingIsReplaced) {
  // A stray file in files/ without an info file must survive too.
  writeText(tree.homeTrash() + "/files/photo.jpg", "stray");
  std::vector<std::string> got;
  for (const char* dir : {"one", "two"}) {
    std::string file = tree.path(std::string(dir) + "/photo.jpg");
    writeText(file, dir);
    Trash::MoveResult moved = Trash::moveToTrash(file);
    ASSERT_TRUE(moved.ok()) << moved.error.message();
    got.push_back(*moved.trashPath);
  }
  EXPECT_EQ(got[0], tree.homeTrash() + "/files/photo.2.jpg");
  EXPECT_EQ(got[1], tree.homeTrash() + "/files/photo.3.jpg");
  EXPECT_EQ(readText(got[0]), "one");
  EXPECT_EQ(readText(got[1]), "two");
  EXPECT_EQ(readText(tree.homeTrash() + "/files/photo.jpg"), "stray");
  EXPECT_FALSE(exists(tree.homeTrash() + "/info/photo.jpg.trashinfo"));
  EXPECT_THAT(readText(infoFor(got[1])), HasSubstr("/two/photo.jpg\n"));
}

TEST_F(TrashTest, LongNamesAreShortenedToFitTheInfoFile) {
  // 120 + 60 "é" (two bytes each) + ".txt" = 244 bytes: legal, but too long
  // with ".trashinfo" appended.
  std::string name(120, 'x');
  for (int i = 0; i < 60; ++i) name += "é";
  name += ".txt";
  ASSERT_LE(name.size(), 255u);
  std::string file = tree.path(name);
  writeText(file, "long");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok()) << moved.error.message();
  std::string stored = std::filesystem::path(*moved.trashPath).filename().string();
  EXPECT_LE(stored.size() + 10, 255u);
  EXPECT_TRUE(isValidUTF8(stored));
  EXPECT_THAT(stored, ::testing::EndsWith(".txt"));
  EXPECT_TRUE(exists(infoFor(*moved.trashPath)));
}

TEST_F(TrashTest, MovesALinkNotItsTarget) {
  writeText(tree.path("target.txt"), "keep me");
  std::string link = tree.path("Down/link");
  std::filesystem::create_directories(tree.path("Down"));
  ASSERT_EQ(::symlink(tree.path("target.txt").c_str(), link.c_str()), 0);
  Trash::MoveResult moved = Trash::moveToTrash(link);
  ASSERT_TRUE(moved.ok()) << moved.error.message();
  EXPECT_TRUE(std::filesystem::is_symlink(*moved.trashPath));
  EXPECT_EQ(readText(tree.path("target.txt")), "keep me");
}

TEST_F(TrashTest, RefusalsLeaveTheFileInPlace) {
  std::string file = tree.path("Down/a.txt");
  writeText(file, "stay");
  // The Trash cannot be made: a plain file stands where it belongs.
  writeText(tree.homeTrash(), "not a folder");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  EXPECT_FALSE(moved.ok());
  EXPECT_EQ(moved.error, std::errc::not_a_directory);
  EXPECT_EQ(moved.error.message(), "Not a directory");
  EXPECT_EQ(readText(file), "stay");

  struct Case {
    std::string path;
    std::errc error;
  } cases[] = {
      {tree.path("Down/missing.txt"), std::errc::no_such_file_or_directory},
      {tree.path("no-dir/a.txt"), std::errc::no_such_file_or_directory},
      {"relative/a.txt", std::errc::invalid_argument},
      {"/", std::errc::invalid_argument},
      {tree.path("Down/.."), std::errc::invalid_argument},
  };
  for (const Case& c : cases) {
    Trash::MoveResult result = Trash::moveToTrash(c.path);
    EXPECT_FALSE(result.ok()) << c.path;
    EXPECT_EQ(result.error, c.error) << c.path << ": " << result.error.message();
  }
}

TEST_F(TrashTest, PutBackRestoresAndRemovesTheInfoFile) {
  std::string file = tree.path("Down/a.txt");
  writeText(file, "round trip");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok());
  EXPECT_FALSE(Trash::putBack(*moved.trashPath, file));
  EXPECT_EQ(readText(file), "round trip");
  EXPECT_FALSE(exists(*moved.trashPath));
  EXPECT_FALSE(exists(infoFor(*moved.trashPath)));
}

TEST_F(TrashTest, PutBackNeverReplaces) {
  std::string file = tree.path("Down/a.txt");
  writeText(file, "old");
  Trash::MoveResult moved = Trash::moveToTrash(file);
  ASSERT_TRUE(moved.ok());
  writeText(file, "new");
  EXPECT_EQ(Trash::putBack(*moved.trashPath, file), std::errc::file_exists);
  EXPECT_EQ(readText(file), "new");
  EXPECT_EQ(readText(*moved.trashPath), "old");
  EXPECT_TRUE(exists(infoFor(*moved.trashPath)));
}

TEST_F(TrashTest, EmptyRemovesContentsButNeverFollowsLinksOut) {
  writeText(tree.path("outside/precious.txt"), "precious");
  for (const char* name : {"a.txt", "b.txt"}) {
    std::string file = tree.path(std::string("Down/") + name);
    writeText(file, name);
    ASSERT_TRUE(Trash::moveToTrash(file).ok());
  }
  // A trashed folder with a read-only subfolder and links pointing out.
  writeText(tree.path("Down/folder/ro/inner.txt"), "inner");
  ASSERT_EQ(::symlink(tree.path("outside").c_str(), tree.path("Down/folder/out-dir").c_str()), 0);
  ASSERT_EQ(::chmod(tree.path("Down/folder/ro").c_str(), 0500), 0);
  ASSERT_TRUE(Trash::moveToTrash(tree.path("Down/folder")).ok());
  ASSERT_EQ(::symlink(tree.path("outside").c_str(), tree.path("Down/link-out").c_str()), 0);
  ASSERT_TRUE(Trash::moveToTrash(tree.path("Down/link-out")).ok());
  writeText(tree.homeTrash() + "/directorysizes", "4096 0 folder\n");

  Trash::EmptyResult result = Trash::emptyTrash(std::vector<std::string>{});
  EXPECT_TRUE(result.ok()) << result.failedPath << ": " << result.error.message();
  // 4 files, 4 info files, directorysizes.
  EXPECT_EQ(result.removed, 9);
  EXPECT_TRUE(std::filesystem::is_empty(tree.homeTrash() + "/files"));
  EXPECT_TRUE(std::filesystem::is_empty(tree.homeTrash() + "/info"));
  EXPECT_FALSE(exists(tree.homeTrash() + "/directorysizes"));
  EXPECT_EQ(readText(tree.path("outside/precious.txt")), "precious");
}

TEST_F(TrashTest, EmptyRefusesTrashFoldersThatAreLinks) {
  writeText(tree.path("outside/files/precious.txt"), "precious");
  writeText(tree.path("outside/precious.txt"), "precious");
  struct Case {
    const char* name;
    std::function<void()> arrange;
  } cases[] = {
      {"Trash is a link",
       [&] { ASSERT_EQ(::symlink(tree.path("outside").c_str(), tree.homeTrash().c_str()), 0); }},
      {"files is a link",
       [&] {
         std::filesystem::create_directories(tree.homeTrash());
         ASSERT_EQ(::symlink(tree.path("outside").c_str(), (tree.homeTrash() + "/files").c_str()),
                   0);
       }},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.homeTrash());
    c.arrange();
    Trash::EmptyResult result = Trash::emptyTrash(std::vector<std::string>{});
    EXPECT_EQ(readText(tree.path("outside/precious.txt")), "precious") << c.name;
    EXPECT_EQ(readText(tree.path("outside/files/precious.txt")), "precious") << c.name;
    EXPECT_TRUE(exists(tree.path("outside/files"))) << c.name;
    if (std::string(c.name) == "files is a link") {
      EXPECT_FALSE(result.ok()) << c.name;
      EXPECT_EQ(result.failedPath, tree.homeTrash() + "/files");
    }
  }
}

TEST_F(TrashTest, UserTrashDirsOfAMountTop) {
  std::string uid = std::to_string(::getuid());
  std::string top = tree.path("top");
  std::string shared = top + "/.Trash";
  std::string own = top + "/.Trash-" + uid;
  std::filesystem::create_directories(tree.homeTrash());
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> expected;
  } cases[] = {
      {"nothing there", [] {}, {}},
      {".Trash-uid", [&] { std::filesystem::create_directories(own); }, {own}},
      {"sticky .Trash with our folder, and .Trash-uid",
       [&] {
         std::filesystem::create_directories(shared + "/" + uid);
         ::chmod(shared.c_str(), 01777);
         std::filesystem::create_directories(own);
       },
       {shared + "/" + uid, own}},
      {".Trash without the sticky bit is not used",
       [&] {
         std::filesystem::create_directories(shared + "/" + uid);
         ::chmod(shared.c_str(), 0777);
       },
       {}},
      {".Trash as a link is not used",
       [&] {
         std::filesystem::create_directories(tree.path("elsewhere/" + uid));
         ::chmod(tree.path("elsewhere").c_str(), 01777);
         ::symlink(tree.path("elsewhere").c_str(), shared.c_str());
       },
       {}},
      {".Trash-uid as a link is not used",
       [&] {
         std::filesystem::create_directories(tree.path("elsewhere2"));
         ::symlink(tree.path("elsewhere2").c_str(), own.c_str());
       },
       {}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(top);
    std::filesystem::create_directories(top);
    c.arrange();
    std::vector<std::string> expected{tree.homeTrash()};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(Trash::userTrashDirs({top}), expected) << c.name;
  }
  if (::getuid() == 0) {
    // Someone else's .Trash-<our uid> is never ours to empty.
    std::filesystem::remove_all(top);
    std::filesystem::create_directories(own);
    ASSERT_EQ(::chown(own.c_str(), 12345, 12345), 0);
    EXPECT_EQ(Trash::userTrashDirs({top}), std::vector<std::string>{tree.homeTrash()});
  }
}

TEST_F(TrashTest, EmptyCoversTheTrashOfGivenMountTops) {
  std::string own = tree.path("top/.Trash-" + std::to_string(::getuid()));
  writeText(own + "/files/x.txt", "x");
  writeText(own + "/info/x.txt.trashinfo", "[Trash Info]\n");
  writeText(tree.path("top/keep.txt"), "not in the Trash");
  Trash::EmptyResult result = Trash::emptyTrash({tree.path("top")});
  EXPECT_TRUE(result.ok()) << result.error.message();
  EXPECT_EQ(result.removed, 2);
  EXPECT_TRUE(std::filesystem::is_empty(own + "/files"));
  EXPECT_EQ(readText(tree.path("top/keep.txt")), "not in the Trash");
}

TEST(TrashMounts, ListsTheRootMount) {
  auto mounts = Trash::mountPoints();
  EXPECT_NE(std::find(mounts.begin(), mounts.end(), "/"), mounts.end());
}

}  // namespace
}  // namespace tallowick
