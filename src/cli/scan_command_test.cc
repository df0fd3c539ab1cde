// Drives the built `tallowick` program the way a user does.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "shared/report.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class ScanCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binaryDir = std::getenv("TALLOWICK_BINARY_DIR");
    if (!binaryDir) GTEST_SKIP() << "run through ctest, which says where the program is";
    program_ = std::string(binaryDir) + "/tallowick";
    ASSERT_TRUE(fs::exists(program_)) << program_;
    std::string pattern = (fs::temp_directory_path() / "scan_command_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "root/sub");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
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

  std::string program_;
  fs::path dir_;
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
  ASSERT_EQ(report.items.size(), 2u);
  EXPECT_EQ(report.items[0].path, root() + "/big.bin");
  EXPECT_EQ(report.items[0].sha256, report.items[1].sha256);
  EXPECT_TRUE(report.items[0].sha256.has_value());
}

TEST_F(ScanCommandTest, ReadableSummaryByDefault) {
  std::ofstream(dir_ / "root/big.bin") << std::string(2 << 20, 'a');
  const Outcome outcome = run("scan '" + root() + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("Scanned 1 file "), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("other"), std::string::npos) << outcome.out;
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
      {"scan --min-bytes -5 '" + root() + "'", false},
      {"scan --no-such-flag '" + root() + "'", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Outcome outcome = run(c.arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(outcome.err.empty());
    if (c.oneLine) {
      EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
      EXPECT_NE(outcome.err.find("missing"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tallowick
