// Drives the built `tallowick` program the way a user does.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "cli/program_test_util.h"
#include "shared/report.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class ScanCommandTest : public testing::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (stopped()) return;
    fs::create_directories(dir_ / "root/sub");
  }

  // Runs the program with a private HOME; standard error is not a terminal.
  Outcome run(const std::string& arguments) {
    const std::string out = (dir_ / "out").string();
    const std::string err = (dir_ / "err").string();
    const std::string command = "HOME='" + (dir_ / "home").string() + "' XDG_DATA_HOME='" +
                                (dir_ / "home/data").string() + "' '" + program_ + "' " +
                                arguments + " >'" + out + "' 2>'" + err + "'";
    Outcome outcome;
    const int raw = std::system(command.c_str());
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = slurp(out);
    outcome.err = slurp(err);
    return outcome;
  }

  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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

TEST_F(ScanCommandTest, UsageErrorsExitWithTwo) {
  struct Case {
    std::string arguments;
    bool oneLine;
  };
  const std::vector<Case> cases = {
      {"scan '" + (dir_ / "missing").string() + "'", true},
      {"scan '" + root() + "' '" + (dir_ / "missing").string() + "'", true},
      {"scan", false},
      {"scan --roots-json '" + (dir_ / "missing.json").string() + "'", true},
      {"scan --roots-json '" + (dir_ / "root").string() + "'", true},
      {"scan --min-bytes -5 '" + root() + "'", false},
      {"scan --no-such-flag '" + root() + "'", false},
      {"", false},
  };
  for (const std::string& bad : {std::string("{\"url\": 1}"), std::string("[{\"url\": \"x\"}]"),
                                 std::string("[{\"url\": \"relative\", \"duplicates\": true, "
                                             "\"screenshots\": true, \"stale\": true}]"),
                                 std::string("[1,")}) {
    const std::string file = (dir_ / "bad.json").string();
    std::ofstream(file) << bad;
    const Outcome outcome = run("scan --roots-json '" + file + "'");
    EXPECT_EQ(outcome.status, 2) << bad;
    EXPECT_EQ(outcome.out, "") << bad;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Outcome outcome = run(c.arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(outcome.err.empty());
    if (c.oneLine) {
      EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
    }
  }
}

}  // namespace
}  // namespace tallowick
