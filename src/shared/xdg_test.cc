#include "shared/xdg.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "shared/env_test_util.h"

namespace tallowick::xdg {
namespace {

using testing::ScopedEnv;

std::string passwordHome() {
  const passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

TEST(XdgTest, BaseDirectoriesFollowTheVariablesAndFallBackToTheHome) {
  const std::string pw = passwordHome();
  ASSERT_FALSE(pw.empty());
  struct Case {
    std::optional<std::string> home, data, config;
    std::string wantHome, wantData, wantConfig;
  };
  const Case cases[] = {
      {"/h", "/d", "/c", "/h", "/d", "/c"},
      {"/h", std::nullopt, std::nullopt, "/h", "/h/.local/share", "/h/.config"},
      // Relative values are ignored, as the XDG rules say.
      {"/h", "rel/d", "", "/h", "/h/.local/share", "/h/.config"},
      // Without HOME every folder comes from the password file's home, so
      // storage and the Trash never land under "/".
      {std::nullopt, std::nullopt, std::nullopt, pw, pw + "/.local/share", pw + "/.config"},
      {"relative", std::nullopt, "/c", pw, pw + "/.local/share", "/c"},
  };
  for (const Case& c : cases) {
    ScopedEnv home("HOME", c.home), data("XDG_DATA_HOME", c.data),
        config("XDG_CONFIG_HOME", c.config);
    SCOPED_TRACE(c.home.value_or("(unset)"));
    EXPECT_EQ(homeDirectory(), c.wantHome);
    EXPECT_EQ(dataHome(), c.wantData);
    EXPECT_EQ(configHome(), c.wantConfig);
    EXPECT_EQ(defaultStorageDirectory(), c.wantData + "/Tallowick");
  }
}

TEST(XdgTest, UserDirectoryLinesAreReadAsTheDesktopWritesThem) {
  struct Case {
    const char* text;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", "/home/ann/Bilder"},
      {"# written by xdg-user-dirs-update\nXDG_PICTURES_DIR=\"/srv/photos\"\n", "/srv/photos"},
      {"XDG_PICTURES_DIR=$HOME/Pictures\r\n", "/home/ann/Pictures"},
      {"  XDG_PICTURES_DIR=\"$HOME/My \\\"Pics\\\"\"\n", "/home/ann/My \"Pics\""},
      // A folder switched off by pointing it at the home itself.
      {"XDG_PICTURES_DIR=\"$HOME/\"\n", "/home/ann/"},
      {"XDG_PICTURES_DIR=\"$HOME\"", "/home/ann"},
      {"XDG_PICTURES_DIR=\"/a\"\nXDG_PICTURES_DIR=\"/b\"\n", "/b"},
      {"XDG_PICTURES_DIR=\"Pictures\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"$HOMEPAGE/x\"\n", std::nullopt},
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", std::nullopt},
      {"#XDG_PICTURES_DIR=\"/x\"\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(userDirectoryFromText(c.text, "PICTURES", "/home/ann"), c.want);
  }
}

TEST(XdgTest, UserDirectoriesComeFromTheConfigFileElseTheEnglishNames) {
  std::string root = (std::filesystem::temp_directory_path() / "xdg-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  ScopedEnv home("HOME", root), config("XDG_CONFIG_HOME", root + "/conf");
  std::filesystem::create_directories(root + "/conf");
  {
    std::ofstream out(root + "/conf/user-dirs.dirs");
    out << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_VIDEOS_DIR=\"$HOME/Filme\"\n";
  }
  EXPECT_EQ(userDirectory(UserDirectory::Desktop), root + "/Schreibtisch");
  EXPECT_EQ(userDirectory(UserDirectory::Videos), root + "/Filme");
  EXPECT_EQ(userDirectory(UserDirectory::Download), root + "/Downloads");
  EXPECT_EQ(userDirectory(UserDirectory::Documents), root + "/Documents");
  std::filesystem::remove(root + "/conf/user-dirs.dirs");
  EXPECT_EQ(userDirectory(UserDirectory::Videos), root + "/Videos");
  EXPECT_EQ(userDirectory(UserDirectory::Pictures), root + "/Pictures");
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace tallowick::xdg
