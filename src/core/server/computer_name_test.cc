#include "core/server/computer_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

namespace tallowick {
namespace {

TEST(PrettyHostnameTest, ReadsTheValueTheWayAShellWould) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"PRETTY_HOSTNAME=\"Anna's Laptop\"\n", "Anna's Laptop"},
      {"PRETTY_HOSTNAME='Büro \"PC\"'\n", "Büro \"PC\""},
      {"PRETTY_HOSTNAME=Plain\n", "Plain"},
      {"PRETTY_HOSTNAME=\"Say \\\"hi\\\" \\\\ there\"", "Say \"hi\" \\ there"},
      {"PRETTY_HOSTNAME=Plain # a comment\n", "Plain"},
      {"  PRETTY_HOSTNAME = \"Spaced\"  \r\n", "Spaced"},
      {"CHASSIS=laptop\nDEPLOYMENT=production\n", ""},
      {"# PRETTY_HOSTNAME=\"Commented\"\n", ""},
      {"PRETTY_HOSTNAME_EXTRA=\"Other key\"\n", ""},
      {"PRETTY_HOSTNAME=\"First\"\nPRETTY_HOSTNAME=\"Second\"\n", "Second"},
      {"PRETTY_HOSTNAME=\"Unterminated", "Unterminated"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(prettyHostnameFromMachineInfo(c.text), c.want) << c.text;
  }
}

TEST(RemovingLocalSuffixesTest, RemovesEveryOccurrence) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"desk.local", "desk"},
      {"desk.local.local", "desk"},
      {"my.localhost.local", "myhost"},
      {"desk", "desk"},
      {".local", ""},
      {"Desk.Local", "Desk.Local"},  // the match is case-sensitive
  };
  for (const auto& c : cases) EXPECT_EQ(removingLocalSuffixes(c.in), c.want) << c.in;
}

class ComputerNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tallowick-name-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char buf[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(buf, sizeof buf - 1), 0);
    host_ = removingLocalSuffixes(buf);
    if (host_.empty()) host_ = "localhost";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path write(const std::string& text) {
    auto path = dir_ / "machine-info";
    std::ofstream(path) << text;
    return path;
  }

  std::filesystem::path dir_;
  std::string host_;
};

TEST_F(ComputerNameTest, PrefersThePrettyNameWithoutLocal) {
  EXPECT_EQ(computerName(write("PRETTY_HOSTNAME=\"Anna's Desk.local\"\n")), "Anna's Desk");
}

TEST_F(ComputerNameTest, FallsBackToTheHostName) {
  EXPECT_EQ(computerName(dir_ / "missing"), host_);
  EXPECT_EQ(computerName(write("CHASSIS=desktop\n")), host_);
  EXPECT_EQ(computerName(write("PRETTY_HOSTNAME=\"   \"\n")), host_);
  // Nothing left of the pretty name once ".local" is gone.
  EXPECT_EQ(computerName(write("PRETTY_HOSTNAME=.local\n")), host_);
}

}  // namespace
}  // namespace tallowick
