#include "core/scan/scan_rules.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/scan/content_types.h"
#include "core/scan/scan_test_util.h"
#include "shared/unique_fd.h"

namespace tallowick::ScanRules {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

TEST(ScanRulesTest, FoldersThatAreNeverWalked) {
  TempDir home;
  const std::string h = home.path().string();
  fs::create_directories(home / "Library/Mobile Documents/com~apple~CloudDocs");
  fs::create_directories(home / "Library/Caches");
  struct Case {
    std::string path;
    bool excluded;
  };
  const std::vector<Case> cases = {
      {h + "/Pictures", false},
      {h + "/Library", true},
      {h + "/Library/Caches", true},
      {h + "/Library/Mobile Documents", false},
      {h + "/Library/Mobile Documents/com~apple~CloudDocs", false},
      {h + "/Libraryish", false},
      {h + "/code/node_modules", true},
      {h + "/code/node_modules/left-pad", true},
      {h + "/code/.git", true},
      {h + "/code/.venv/lib", true},
      {h + "/.Trash", true},
      {h + "/Photos Library.photoslibrary", true},
      {h + "/Some.app", true},
      {h + "/SOME.APP/Contents", true},
      {h + "/Kit.Framework", true},
      {h + "/My App Notes", false},
      {h + "/snap", true},
      {h + "/snap/firefox/common", true},
      {h + "/snapshots", false},
      {h + "/Pictures/snap", false},
      {"/System/Volumes", true},
      {"/Library", true},
      {"/Applications", true},
      {"/proc", true},
      {"/proc/self", true},
      {"/sys/kernel", true},
      {"/dev", true},
      {"/dev/pts", true},
      {"/dev/shmem", true},
      {"/dev/shm", false},  // a tmpfs where users may keep files
      {"/dev/shm/work", false},
      {"/devices", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isExcluded(c.path, h), c.excluded) << c.path;
  }
}

TEST(ScanRulesTest, LinkIntoTheHomeLibraryIsExcludedByWhereItLeads) {
  TempDir home;
  fs::create_directories(home / "Library/Caches");
  fs::create_directory_symlink(home / "Library/Caches", home / "caches");
  EXPECT_TRUE(isExcluded(home / "caches", home.path().string()));
}

TEST(ScanRulesTest, KindFromExtensionAndContentType) {
  struct Case {
    std::string name;
    Kind expected;
  };
  const std::vector<Case> cases = {
      {"Installer.DMG", Kind::installer},
      {"tool.pkg", Kind::installer},
      {"suite.mpkg", Kind::installer},
      {"tool_1.0_amd64.deb", Kind::installer},
      {"tool-1.0.x86_64.RPM", Kind::installer},
      {"Tool-x86_64.AppImage", Kind::installer},
      {"app.flatpak", Kind::installer},
      {"app.flatpakref", Kind::installer},
      {"tool_12.snap", Kind::installer},
      {"driver-535.run", Kind::installer},
      {"deb", Kind::other},
      {"photo.jpg", Kind::image},
      {"photo.HEIC", Kind::image},
      {"scan.png", Kind::image},
      {"clip.mp4", Kind::video},
      {"film.mkv", Kind::video},
      {"clip.mov", Kind::video},
      {"bundle.zip", Kind::archive},
      {"backup.tar.gz", Kind::archive},
      {"source.tar", Kind::archive},
      {"pack.7z", Kind::archive},
      {"paper.pdf", Kind::document},
      {"notes.txt", Kind::document},
      {"table.csv", Kind::document},
      {"deck.pptx", Kind::document},
      {"sheet.xlsx", Kind::document},
      {"sheet.ods", Kind::document},
      {"song.mp3", Kind::other},
      {"data.xyzzy-unknown", Kind::other},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kind("/x/" + c.name, contentTypeForName(c.name)), c.expected) << c.name;
  }
  // An office document is a zip inside, but not an archive to its user.
  EXPECT_NE(kind("/x/letter.docx", contentTypeForName("letter.docx")), Kind::archive);
  EXPECT_EQ(kind("/x/photo.jpg", std::nullopt), Kind::other);
  EXPECT_EQ(kind("/x/disk.dmg", std::nullopt), Kind::installer);
  EXPECT_EQ(contentTypeForName(""), std::nullopt);
}

TEST(ScanRulesTest, ScreenshotNames) {
  struct Case {
    std::string name;
    bool screenshot;
  };
  const std::vector<Case> cases = {
      {"Screenshot 2024-05-01 at 10.00.00.png", true},
      {"screenshot.png", true},
      {"Captura de pantalla 2024-05-01.png", true},
      {"Screen Shot 2019-01-01.png", true},
      {"Screenshot from 2024-05-01 10-00-00.png", true},
      {"Screenshot_20240501_100000.png", true},
      {"Bildschirmfoto vom 2024-05-01 10-00-00.png", true},
      {"Capture d’écran du 2024-05-01 10-00-00.png", true},
      {"Capture d'écran_20240501_100000.png", true},
      {"Schermata del 2024-05-01 10-00-00.png", true},
      {"Captura de tela de 2024-05-01 10-00-00.png", true},
      {"Captura de ecrã de 2024-05-01 10-00-00.png", true},
      {"Schermafdruk van 2024-05-01 10-00-00.png", true},
      {"Zrzut ekranu z 2024-05-01 10-00-00.png", true},
      {"Снимок экрана от 2024-05-01 10-00-00.png", true},
      {"СНИМОК ЭКРАНА.png", true},
      {"スクリーンショット 2024-05-01 10-00-00.png", true},
      {"截图 2024-05-01 10-00-00.png", true},
      {"스크린샷 2024-05-01 10-00-00.png", true},
      {"Snímek obrazovky z 2024-05-01 10-00-00.png", true},
      {"Mein Bildschirmfoto.png", false},
      {"Capture.png", false},
      {"My screenshot.png", false},
      {"screen-shot.png", false},
      {"photo.png", false},
      {"SCREENSHOT", true},
      {"screensho", false},
      // A Kelvin sign lowers to a plain "k".
      {"SCHERMAFDRU\u212A.png", true},
  };
  for (const auto& c : cases) EXPECT_EQ(isScreenshotName(c.name), c.screenshot) << c.name;
  // Not UTF-8: compared as ASCII.
  EXPECT_TRUE(isScreenshotName("SCREENSHOT-\xff.png"));
  EXPECT_FALSE(isScreenshotName("\xff-screenshot.png"));
}

TEST(ScanRulesTest, CloudFolderTest) {
  TempDir home;
  const std::string h = home.path().string();
  fs::create_directories(home / "Library/Mobile Documents/docs");
  fs::create_directory_symlink(home / "Library/Mobile Documents/docs", home / "cloud");
  struct Case {
    std::string path;
    bool ubiquitous;
    bool expected;
  };
  const std::vector<Case> cases = {
      {h + "/Library/Mobile Documents/docs/a.txt", false, true},
      {h + "/Library/Mobile Documents", false, false},
      {h + "/cloud/a.txt", false, true},
      {h + "/Documents/a.txt", false, false},
      {h + "/Documents/a.txt", true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isCloud(c.path, c.ubiquitous, h), c.expected) << c.path;
  }
  // The files directly in a folder, as isInCloudFolder would find each.
  for (const std::string& folder :
       {h + "/Library/Mobile Documents", h + "/Library/Mobile Documents/docs", h + "/Library",
        h + "/Library/Mobile Documents2", h, std::string("/")}) {
    EXPECT_EQ(holdsCloudFiles(folder, h), isInCloudFolder(folder + "/a.txt", h)) << folder;
  }
  EXPECT_TRUE(holdsCloudFiles(h + "/Library/Mobile Documents/docs", h));
  EXPECT_FALSE(holdsCloudFiles(h + "/Library/Mobile Documents2", h));
  EXPECT_FALSE(holdsCloudFiles(h + "/Library/Mobile Documents", ""));
}

TEST(ScanRulesTest, ExcludedNamesAndTreesOnTheirOwn) {
  struct NameCase {
    const char* name;
    bool excluded;
  };
  for (const NameCase& c :
       {NameCase{".git", true}, NameCase{".GIT", false}, NameCase{"Backups.backupdb", true},
        NameCase{"x.Bundle", true}, NameCase{".app", false}, NameCase{"app", false},
        NameCase{"Tool.app.zip", false}}) {
    EXPECT_EQ(isExcludedName(c.name), c.excluded) << c.name;
  }
  struct TreeCase {
    const char* path;
    const char* home;
    bool excluded;
  };
  for (const TreeCase& c :
       {TreeCase{"/h/Library/x", "/h", true},
        TreeCase{"/h/Library/Mobile Documents/x", "/h", false}, TreeCase{"/h/Library/x", "", false},
        TreeCase{"/h/snap", "/h", true}, TreeCase{"/proc", "", true},
        TreeCase{"/dev/shm/x", "", false}, TreeCase{"/home/ann", "/h", false}}) {
    EXPECT_EQ(isExcludedTree(c.path, c.home), c.excluded) << c.path << " home " << c.home;
  }
}

TEST(ScanRulesTest, PseudoFileSystemsByTheirFolders) {
  struct Case {
    const char* path;
    bool pseudo;
  };
  TempDir plain;
  const std::string plainPath = plain.path().string();
  for (const Case& c : {Case{"/proc", true}, Case{"/sys", true}, Case{plainPath.c_str(), false}}) {
    UniqueFd fd(::open(c.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) continue;  // not mounted in this sandbox
    EXPECT_EQ(isPseudoFileSystem(fd.get()), c.pseudo) << c.path;
  }
  // A descriptor that names nothing cannot be asked: not walked.
  EXPECT_TRUE(isPseudoFileSystem(-1));
}

}  // namespace
}  // namespace tallowick::ScanRules
