// Drives the built `tallowick` program the way a user does.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cli/program_test_util.h"
#include "shared/report.h"
#include "tallowick/version.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

using testing::Outcome;

class ScanCommandTest : public testing::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (stopped()) return;
    fs::create_directories(dir_ / "root/sub");
  }

  std::string root() const { return (dir_ / "root").string(); }
};

TEST_F(ScanCommandTest, JsonIsTheStoredReportAndNothingElse) {
  std::ofstream(dir_ / "root/big.bin") << std::string(300, 'a');
  std::ofstream(dir_ / "root/sub/twin.bin") << std::string(300, 'a');
  std::ofstream(dir_ / "root/small.txt") << "hi";
  const Outcome outcome = run("scan --json --min-bytes 100 '" + root() + "/'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  const Report report = Report::fromStoredJSON(outcome.out);
  EXPECT_EQ(outcome.out, report.storedJSON());
  EXPECT_EQ(report.roots, std::vector<std::string>{root()});
  EXPECT_EQ(report.filesSeen, 3);
  EXPECT_EQ(report.bytesSeen, 602);
  // The two equal files form a group: the copy is the candidate, the first
  // one (equal folders, older) the keeper.
  ASSERT_EQ(report.groups.size(), 1u);
  ASSERT_EQ(report.items.size(), 1u);
  ASSERT_EQ(report.keepers.size(), 1u);
  EXPECT_EQ(report.items[0].path, root() + "/sub/twin.bin");
  EXPECT_EQ(report.keepers[0].path, root() + "/big.bin");
  EXPECT_EQ(report.items[0].sha256, report.keepers[0].sha256);
  EXPECT_TRUE(report.items[0].sha256.has_value());
  EXPECT_EQ(report.reclaimable, 300);
}

TEST_F(ScanCommandTest, RootsFileAddsRootsWithTheirSwitches) {
  fs::create_directories(dir_ / "other");
  std::ofstream(dir_ / "root/a.bin") << std::string(300, 'a');
  std::ofstream(dir_ / "other/a.bin") << std::string(300, 'a');
  const std::string rootsFile = (dir_ / "roots.json").string();
  std::ofstream(rootsFile) << R"([{"url": "file://)" << (dir_ / "other").string()
                           << R"(", "duplicates": false, "screenshots": true, "stale": true}])";
  const Outcome off =
      run("scan --json --min-bytes 1 --roots-json '" + rootsFile + "' '" + root() + "'");
  ASSERT_EQ(off.status, 0) << off.err;
  const Report report = Report::fromStoredJSON(off.out);
  EXPECT_EQ(report.roots, (std::vector<std::string>{root(), (dir_ / "other").string()}));
  EXPECT_EQ(report.filesSeen, 2);
  EXPECT_TRUE(report.groups.empty());  // the second root takes no part in groups

  const Outcome on =
      run("scan --json --min-bytes 1 '" + root() + "' '" + (dir_ / "other").string() + "'");
  ASSERT_EQ(on.status, 0) << on.err;
  EXPECT_EQ(Report::fromStoredJSON(on.out).groups.size(), 1u);
}

TEST_F(ScanCommandTest, CacheFileIsWrittenAndReused) {
  std::ofstream(dir_ / "root/a.bin") << std::string(300, 'a');
  std::ofstream(dir_ / "root/b.bin") << std::string(300, 'a');
  const std::string cache = (dir_ / "store/hashes.plist").string();
  const std::string args = "scan --json --min-bytes 1 --cache '" + cache + "' '" + root() + "'";
  const Outcome first = run(args);
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_TRUE(fs::exists(cache));
  const Outcome second = run(args);
  ASSERT_EQ(second.status, 0) << second.err;
  const Report a = Report::fromStoredJSON(first.out);
  const Report b = Report::fromStoredJSON(second.out);
  ASSERT_EQ(a.items.size(), 1u);
  ASSERT_EQ(b.items.size(), 1u);
  EXPECT_EQ(a.items[0].sha256, b.items[0].sha256);
  EXPECT_EQ(a.items[0].path, b.items[0].path);
}

TEST_F(ScanCommandTest, SummaryNamesReclaimableGroupsAndCandidates) {
  std::ofstream(dir_ / "root/a.bin") << std::string(3000, 'a');
  std::ofstream(dir_ / "root/sub/b.bin") << std::string(3000, 'a');
  const Outcome outcome = run("scan --min-bytes 1 '" + root() + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  for (const std::string& expected :
       std::vector<std::string>{"Reclaimable: 3.0 kB in 1 candidate.", "exactDuplicate",
                                "keep " + root() + "/a.bin", root() + "/sub/b.bin"}) {
    EXPECT_NE(outcome.out.find(expected), std::string::npos) << expected << "\n" << outcome.out;
  }
}

TEST_F(ScanCommandTest, ReadableSummaryByDefault) {
  std::ofstream(dir_ / "root/big.bin") << std::string(2 << 20, 'a');
  const Outcome outcome = run("scan '" + root() + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("Scanned 1 file "), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("Reclaimable: 0 bytes"), std::string::npos) << outcome.out;
}

TEST_F(ScanCommandTest, AReportThatCannotBeWrittenIsAnErrorForEitherForm) {
  std::ofstream(dir_ / "root/a.bin") << std::string(200, 'a');
  const std::string err = (dir_ / "err").string();
  for (const std::string form : {"--json ", ""}) {
    SCOPED_TRACE(form);
    const std::string command = "HOME='" + (dir_ / "home").string() + "' XDG_DATA_HOME='" +
                                (dir_ / "home/data").string() + "' '" + program_ + "' scan " +
                                form + "--min-bytes 1 '" + root() + "' </dev/null >/dev/full 2>'" +
                                err + "'";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_EQ(slurp(err), "tallowick scan: cannot write the report: No space left on device\n");
  }
}

TEST_F(ScanCommandTest, BadInputIsOneLineAndStatusTwo) {
  std::ofstream(dir_ / "file.txt") << "not a folder";
  const std::string missing = (dir_ / "missing").string();
  const std::string file = (dir_ / "file.txt").string();
  auto rootsFile = [&](const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  };
  const std::string missingRoot = rootsFile(
      "missing-root.json", R"([{"url": "file://)" + missing +
                               R"(", "duplicates": true, "screenshots": true, "stale": true}])");
  const std::string fileRoot = rootsFile(
      "file-root.json", R"([{"url": "file://)" + file +
                            R"(", "duplicates": true, "screenshots": true, "stale": true}])");
  const std::string notArray = rootsFile("not-array.json", R"({"url": 1})");
  const std::string relative =
      rootsFile("relative.json",
                R"([{"url": "relative", "duplicates": true, "screenshots": true, "stale": true}])");
  const std::string cut = rootsFile("cut.json", "[1,");
  const std::string r = " '" + root() + "'";
  struct Case {
    std::string arguments;
    std::string firstLine;
  };
  const Case cases[] = {
      {"", "tallowick: give a command: scan, serve or phone (see tallowick --help)"},
      {"bogus", "tallowick: unknown command \"bogus\" (commands: scan, serve, phone)"},
      {"\"$(printf '\\033[2Jbogus')\"",
       "tallowick: unknown command \"\\x1B[2Jbogus\" (commands: scan, "
       "serve, phone)"},
      {"scan", "tallowick scan: give at least one ROOT or --roots-json FILE"},
      {"scan '" + missing + "'", "tallowick scan: no such folder: " + missing},
      {"scan" + r + " '" + missing + "'", "tallowick scan: no such folder: " + missing},
      {"scan '" + file + "'", "tallowick scan: not a folder: " + file},
      {"scan --roots-json '" + missingRoot + "'", "tallowick scan: no such folder: " + missing},
      {"scan --roots-json '" + fileRoot + "'", "tallowick scan: not a folder: " + file},
      {"scan --roots-json '" + missing + ".json'",
       "tallowick scan: cannot read roots file: " + missing + ".json"},
      {"scan --roots-json '" + root() + "'", "tallowick scan: cannot read roots file: " + root()},
      {"scan --roots-json '" + notArray + "'",
       "tallowick scan: invalid roots file " + notArray + ": expected an array of roots"},
      {"scan --roots-json '" + relative + "'",
       "tallowick scan: invalid roots file " + relative + ": not an absolute file URL: relative"},
      {"scan --min-bytes 99999999999999999999" + r,
       "tallowick scan: --min-bytes: expected a whole number of at least 0, got "
       "99999999999999999999"},
      {"scan --min-bytes 9223372036854775808" + r,
       "tallowick scan: --min-bytes: expected a whole number of at least 0, got "
       "9223372036854775808"},
      {"scan --min-bytes 0x10" + r,
       "tallowick scan: --min-bytes: expected a whole number of at least 0, got 0x10"},
      {"scan --min-bytes -1" + r,
       "tallowick scan: --min-bytes: expected a whole number of at least 0, got -1"},
      {"scan --min-bytes 1.5" + r,
       "tallowick scan: --min-bytes: expected a whole number of at least 0, got 1.5"},
      {"scan --min-bytes", "tallowick scan: --min-bytes: expected one value"},
      {"scan --no-such-flag" + r, "tallowick scan: unexpected argument --no-such-flag"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Outcome outcome = run(c.arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.firstLine + "\n");
  }
  // Only the bad "#" of a JSON text that does not parse is certain.
  const Outcome broken = run("scan --roots-json '" + cut + "'");
  EXPECT_EQ(broken.status, 2);
  EXPECT_EQ(broken.err.find("tallowick scan: invalid roots file " + cut + ": "), 0u) << broken.err;
  EXPECT_EQ(broken.err.find('\n'), broken.err.size() - 1) << broken.err;
}

TEST_F(ScanCommandTest, VersionIsTheRelease) {
  const Outcome outcome = run("--version");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, std::string("tallowick ") + kVersion + "\n");
}

TEST_F(ScanCommandTest, OldDebianPackageInDownloadsIsAStaleInstaller) {
  fs::create_directories(dir_ / "root/Downloads");
  const fs::path deb = dir_ / "root/Downloads/tool_1.0_amd64.deb";
  std::ofstream(deb) << std::string(4000, 'd');
  struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 30 * 86400L, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, deb.c_str(), times, 0), 0);
  const Outcome outcome = run("scan --json --min-bytes 1 '" + root() + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const Report report = Report::fromStoredJSON(outcome.out);
  ASSERT_EQ(report.items.size(), 1u);
  EXPECT_EQ(report.items[0].kind, Kind::installer);
  EXPECT_EQ(report.items[0].reasons, std::vector<Reason>{Reason::staleInstaller});
}

TEST_F(ScanCommandTest, ControlCharactersInNamesAreShownEscaped) {
  const std::string name = "evil\033]0;owned\007.bin";
  std::ofstream(dir_ / "root" / name) << std::string(3000, 'a');
  std::ofstream(dir_ / "root/sub/copy.bin") << std::string(3000, 'a');
  const Outcome outcome = run("scan --min-bytes 1 '" + root() + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out.find('\033'), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("evil\\x1B]0;owned\\x07.bin"), std::string::npos) << outcome.out;
}

}  // namespace
}  // namespace tallowick
