#include "core/scan/root_list.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/env_test_util.h"
#include "shared/json_codec.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;

class DefaultRootsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "root-list-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    fs::create_directories(home_ + "/.config");
    home = std::make_unique<ScopedEnv>("HOME", home_);
    config = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", home_ + "/.config");
  }
  void TearDown() override { fs::remove_all(home_); }

  void makeFolders(const std::vector<std::string>& names) {
    for (const auto& name : names) fs::create_directories(home_ + "/" + name);
  }
  void writeUserDirs(const std::string& text) {
    std::ofstream(home_ + "/.config/user-dirs.dirs") << text;
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const ScanRoot& root : defaultRoots()) {
      EXPECT_TRUE(root.duplicates && root.screenshots && root.stale) << root.url;
      out.push_back(root.path());
    }
    return out;
  }

  std::string home_;
  std::unique_ptr<ScopedEnv> home, config;
};

TEST_F(DefaultRootsTest, EnglishFoldersInOrderWithoutAVideosFolderGiveFour) {
  makeFolders({"Documents", "Pictures", "Downloads", "Desktop", "Movies"});
  // "Movies" is not the videos folder of a Linux desktop; "Videos" is.
  EXPECT_EQ(paths(), (std::vector<std::string>{home_ + "/Desktop", home_ + "/Downloads",
                                               home_ + "/Pictures", home_ + "/Documents"}));
  makeFolders({"Videos"});
  EXPECT_EQ(paths().back(), home_ + "/Videos");
  EXPECT_EQ(paths().size(), 5u);
}

TEST_F(DefaultRootsTest, LocalisedFoldersComeFromUserDirs) {
  makeFolders({"Schreibtisch", "Bilder", "Filme", "Downloads", "Desktop"});
  writeUserDirs(
      "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
      "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
      "XDG_VIDEOS_DIR=\"$HOME/Filme/\"\n"
      "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  // Documents is named but missing; Downloads is not named and falls back.
  EXPECT_EQ(paths(), (std::vector<std::string>{home_ + "/Schreibtisch", home_ + "/Downloads",
                                               home_ + "/Bilder", home_ + "/Filme"}));
}

TEST_F(DefaultRootsTest, AFolderSetToTheHomeOrNamedTwiceIsSkipped) {
  makeFolders({"Desktop", "Pictures"});
  writeUserDirs(
      "XDG_DESKTOP_DIR=\"$HOME/\"\n"
      "XDG_DOWNLOAD_DIR=\"$HOME\"\n"
      "XDG_DOCUMENTS_DIR=\"$HOME/Pictures\"\n");
  EXPECT_EQ(paths(), (std::vector<std::string>{home_ + "/Pictures"}));
}

TEST_F(DefaultRootsTest, AFileIsNotAFolder) {
  std::ofstream(home_ + "/Desktop") << "x";
  EXPECT_TRUE(paths().empty());
}

TEST(AbsoluteFolderTest, OneSpellingPerFolder) {
  const std::string cwd = fs::current_path().string();
  const std::pair<std::string, std::string> cases[] = {
      {"/a/b/", "/a/b"}, {"/a/./b//", "/a/b"}, {"/a/c/../b", "/a/b"},
      {"/", "/"},        {"b", cwd + "/b"},    {"./b/", cwd + "/b"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(absoluteFolder(in), want) << in;
}

TEST(RootListJsonTest, RoundTripsTheStoredForm) {
  std::vector<ScanRoot> roots = {ScanRoot::fromPath("/home/ann/My Pictures"),
                                 ScanRoot::fromPath("/srv/x")};
  roots[1].screenshots = false;
  const std::string text = rootsToJson(roots);
  EXPECT_EQ(rootsFromJson(text), roots);
  EXPECT_NE(text.find("\"url\":\"file:///home/ann/My%20Pictures\""), std::string::npos) << text;
  EXPECT_TRUE(rootsFromJson("[]").empty());
}

TEST(RootListJsonTest, RejectsWhatIsNotAListOfFolders) {
  for (const char* text : {
           "",
           "{}",
           "[1]",
           "[{\"url\":\"file:///a\"}]",
           "[{\"url\":\"http://x/a\",\"duplicates\":true,\"screenshots\":true,\"stale\":true}]",
           "[{\"url\":\"file:///a\",\"duplicates\":\"yes\",\"screenshots\":true,\"stale\":true}]",
       }) {
    EXPECT_THROW(rootsFromJson(text), DecodeError) << text;
  }
}

}  // namespace
}  // namespace tallowick
