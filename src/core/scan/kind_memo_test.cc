#include "core/scan/kind_memo.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/scan/content_types.h"
#include "core/scan/scan_rules.h"
#include "core/scan/scan_test_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// Types of this test's own, in a "mime" folder GIO reads as the user's:
// GLib learns its data folders once per process, so they are set before
// any test runs.
class OwnTypes : public ::testing::Environment {
 public:
  void SetUp() override {
    writeFile(dataHome_ / "mime/packages/tallowick-test.xml", R"(<?xml version="1.0"?>
<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
  <mime-type type="application/x-tw-plain"><glob pattern="*.twq"/></mime-type>
  <mime-type type="application/x-tw-inner"><glob pattern="*-data.twq"/></mime-type>
  <mime-type type="application/x-tw-literal"><glob pattern="TWNAME.twq"/></mime-type>
  <mime-type type="application/x-tw-wild"><glob pattern="tw[0-9]*"/></mime-type>
  <mime-type type="application/x-tw-three"><glob pattern="*.twa.twb.twc"/></mime-type>
  <mime-type type="application/x-tw-c"><glob pattern="*.twc"/></mime-type>
</mime-info>
)");
    const std::string command =
        "update-mime-database '" + (dataHome_ / "mime").string() + "' >/dev/null 2>&1";
    made = std::system(command.c_str()) == 0;
    ::setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
  }

  static inline bool made = false;

 private:
  testing::TempDir dir_;
  const fs::path dataHome_ = dir_.path() / "data";
};

[[maybe_unused]] auto* const ownTypes = ::testing::AddGlobalTestEnvironment(new OwnTypes);

// Asked one after another of one memo, each name gets the type and kind the
// desktop gives it alone: a name that an earlier one with the same ending
// must not answer for (a literal name, a wildcard pattern, a suffix with a
// dot inside) is asked alone.
TEST(KindMemoTest, AnswersAsTheDesktopDoesForOwnTypes) {
  if (!OwnTypes::made) GTEST_SKIP() << "update-mime-database did not run";
  struct Case {
    std::string name;
    std::optional<std::string> type;
    std::optional<std::string> ending;
  };
  const std::vector<Case> cases = {
      {"a.twq", "application/x-tw-plain", ".twq"},
      {"b-data.twq", "application/x-tw-inner", std::nullopt},
      {"twname.twq", "application/x-tw-literal", std::nullopt},
      {"TWName.twq", "application/x-tw-literal", std::nullopt},
      {"ab.twz", std::nullopt, ".twz"},
      {"tw5.twz", "application/x-tw-wild", std::nullopt},
      {"twx.twz", std::nullopt, ".twz"},
      {"x.twa.twb.twc", "application/x-tw-three", ".twa.twb.twc"},
      {"y.twb.twc", "application/x-tw-c", ".twb.twc"},
      {"z.q.twa.twb.twc", "application/x-tw-three", ".twa.twb.twc"},
      {"X.TWQ", "application/x-tw-plain", ".TWQ"},
      {"c-data.twq", "application/x-tw-inner", std::nullopt},
  };
  KindMemo memo;
  ASSERT_TRUE(memo.usable());
  for (const Case& c : cases) {
    EXPECT_EQ(memo.endingOf(c.name), c.ending) << c.name;
    EXPECT_EQ(memo.contentTypeOf(c.name), c.type) << c.name;
    EXPECT_EQ(memo.contentTypeOf(c.name), contentTypeForName(c.name)) << c.name;
  }
}

// Names made from every pattern of the system's type table, in every case
// and with more in front, asked in a shuffled order of one memo.
TEST(KindMemoTest, AnswersAsTheDesktopDoesForTheSystemsTypes) {
  std::ifstream globs("/usr/share/mime/globs2");
  if (!globs) GTEST_SKIP() << "no shared MIME database";
  std::vector<std::string> names = {"photo.jpg",
                                    "PHOTO.JPG",
                                    "a.tar.gz",
                                    "b.gz",
                                    "x.tar.GZ",
                                    "Makefile",
                                    "makefile.am",
                                    "makefile.bin",
                                    "x.bin",
                                    "README",
                                    "README.md",
                                    "readme.txt",
                                    "notes.txt",
                                    "ls.1",
                                    "x.1",
                                    "libc.so.6",
                                    "libc.so",
                                    "x.so.12",
                                    "cursor.anim1",
                                    "x.anim",
                                    "123.vdr",
                                    "12.vdr",
                                    "core",
                                    "x.core",
                                    "file~",
                                    "a.txt~",
                                    "x,v",
                                    "a.c",
                                    "a.C",
                                    "setup.DMG",
                                    "x.deb",
                                    ".deb",
                                    ".DMG",
                                    "x.AppImage",
                                    "archive.zip",
                                    "doc.pdf",
                                    "clip.mp4",
                                    "a.b.c.d.png",
                                    "noext",
                                    "trailing.",
                                    "x.pkg.tar.zst",
                                    "CMakeLists.txt",
                                    "meson.build",
                                    "x.build",
                                    "pom.xml",
                                    "y.xml",
                                    "Сводка.pdf",
                                    "日記.TXT",
                                    "x.docx",
                                    "slides.key.zip",
                                    "Screenshot from 2024-01-01 12-00-00.png"};
  for (std::string line; std::getline(globs, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    std::string glob = line.substr(second + 1);
    glob = glob.substr(0, glob.find(':'));
    if (glob.find_first_of("?[\\") != std::string::npos) continue;
    for (const char* stem : {"x", "Name.v2", "a.b.c"}) {
      std::string name = glob;
      for (std::size_t at; (at = name.find('*')) != std::string::npos;) name.replace(at, 1, stem);
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      names.push_back(name);
      names.push_back(upper);
    }
  }
  std::shuffle(names.begin(), names.end(), std::mt19937(42));
  KindMemo memo;
  ASSERT_TRUE(memo.usable());
  std::size_t remembered = 0;
  for (const std::string& name : names) {
    remembered += memo.endingOf(name).has_value();
    const auto type = contentTypeForName(name);
    ASSERT_EQ(memo.contentTypeOf(name), type) << name;
    ASSERT_EQ(memo.kindOf(name), ScanRules::kind(name, type)) << name;
  }
  // Most names are answered from memory, or the test shows nothing.
  EXPECT_GT(remembered, names.size() / 2);
}

// How glob lists are read: which names are asked alone, how long an ending
// is, and when the lists cannot be trusted at all.
TEST(KindMemoTest, ReadsGlobLists) {
  struct Case {
    std::string label;
    std::string file;  // in the "mime" folder
    std::string text;
    bool usable;
    std::vector<std::pair<std::string, std::optional<std::string>>> endings;
  };
  const std::vector<Case> cases = {
      {"suffix of three dots",
       "globs2",
       "# comment\n50:text/x-a:*.a.b.c\n50:text/x-b:*.b:cs\n",
       true,
       {{"x.y.a.b.c", ".a.b.c"},
        {"x.y.z.w", ".y.z.w"},
        {"x.b", ".b"},
        {"noext", std::nullopt},
        {".b", std::nullopt}}},
      {"old list", "globs", "text/x-a:*.a.b\n", true, {{"x.y.a.b", ".a.b"}, {"x.b", ".b"}}},
      {"literal name, any case",
       "globs2",
       "50:text/x-make:makefile.in\n",
       true,
       {{"Makefile.in", std::nullopt}, {"other.in", ".in"}}},
      {"wildcard pattern with a plain part",
       "globs2",
       "50:text/x-readme:readme*\n",
       true,
       {{"README.txt", std::nullopt}, {"notes.txt", ".txt"}}},
      {"wildcard pattern with capitals",
       "globs2",
       "50:text/x-v:[A-Z]x.v:cs\n",
       true,
       {{"Ax.v", std::nullopt}, {"1x.v", ".v"}}},
      {"wildcard pattern with an equivalence class",
       "globs2",
       "50:text/x-d:[[=a=]]x.d\n",
       true,
       {{"ax.d", std::nullopt}, {"bx.d", ".d"}}},
      {"wildcard pattern ending in a set",
       "globs2",
       "50:text/x-man:*.[1-9]\n50:text/x-anim:*.anim[1-9j]\n",
       true,
       {{"ls.1", std::nullopt},
        {"LS.9", std::nullopt},
        {"x.bin", ".bin"},
        {"a.12", ".12"},
        {"\xc3\xa9.1", std::nullopt},
        {"x.anim1", std::nullopt},
        {"x.ANIMj", std::nullopt},
        {"x.animx", ".animx"},
        {"x.anim", ".anim"}}},
      {"wildcard pattern with a plain start",
       "globs2",
       "50:text/x-make:makefile.*\n50:text/x-vdr:[0-9][0-9][0-9].vdr\n",
       true,
       {{"Makefile.am", std::nullopt},
        {"amakefile.x", ".x"},
        {"001.vdr", std::nullopt},
        {"01.vdr", ".vdr"}}},
      {"suffix with a dot inside",
       "globs2",
       "50:text/x-i:*-data.gz\n",
       true,
       {{"a-data.gz", std::nullopt}, {"b.gz", ".gz"}}},
      {"suffix without a dot", "globs2", "50:text/x-t:*~\n", true, {{"a.txt~", ".txt~"}}},
      {"removed patterns", "globs2", "50:text/x-n:__NOGLOBS__\n", true, {{"x.y", ".y"}}},
      {"patterns beyond ASCII", "globs2", "50:text/x-u:Ärger.txt\n", false, {{"x.txt", {}}}},
      {"binary cache alone", "mime.cache", "MIME", false, {{"x.txt", {}}}},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    writeFile(dir.path() / "mime" / c.file, c.text);
    KindMemo memo({(dir.path() / "mime").string()});
    EXPECT_EQ(memo.usable(), c.usable) << c.label;
    for (const auto& [name, ending] : c.endings) {
      EXPECT_EQ(memo.endingOf(name), ending) << c.label << ": " << name;
    }
  }
}

}  // namespace
}  // namespace tallowick
