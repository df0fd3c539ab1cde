#include "shared/lazy_library.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/program_test_util.h"
#include "shared/env_test_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(LazyLibraryTest, OpensOnFirstUseAndFindsItsFunctions) {
  LazyLibrary library("libm.so.6", "no cosines");
  EXPECT_FALSE(library.loaded());
  auto cosine = reinterpret_cast<double (*)(double)>(library.require("cos"));
  EXPECT_TRUE(library.loaded());
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_TRUE(library.load());
}

TEST(LazyLibraryTest, AMissingLibraryIsOneLineOnceAndNoCrash) {
  LazyLibrary library("libtallowick-absent.so.0", "nothing is absent");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(library.load());
  EXPECT_FALSE(library.load());
  EXPECT_FALSE(library.loaded());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, ::testing::MatchesRegex("tallowick: cannot load libtallowick-absent\\.so\\.0 "
                                           "\\([^\n]*\\): nothing is absent\n"));
}

TEST(LazyLibraryDeathTest, AFunctionThatCannotBeHadEndsTheProcessWithOneLine) {
  EXPECT_EXIT(
      {
        LazyLibrary library("libtallowick-absent.so.0", "nothing is absent");
        library.require("anything");
      },
      ::testing::ExitedWithCode(1),
      "cannot load libtallowick-absent\\.so\\.0 .*: nothing is absent");
  EXPECT_EXIT(
      {
        LazyLibrary library("libm.so.6", "no cosines");
        library.require("tallowick_no_such_function");
      },
      ::testing::ExitedWithCode(1),
      "tallowick: libm\\.so\\.6 has no function "
      "tallowick_no_such_function");
}

// The libraries the programs open on demand, as the dynamic linker names
// them when it maps one.
constexpr const char* kOnDemand[] = {
    "libssl.so",          "libcrypto.so",   "libgio-2.0.so",        "libglib-2.0.so",
    "libavahi-client.so", "libqrencode.so", "libtallowick-media.so"};

// A loopback port with nothing listening on it.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return 0;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

class OnDemandProgramTest : public testing::ProgramTest {};

TEST_F(OnDemandProgramTest, CommandsThatNeedNoLibraryMapNone) {
  if (stopped()) return;
  // The dynamic linker's report of every library it maps, one file per
  // process (the shell and `timeout` included), in the test's folder.
  testing::ScopedEnv debug("LD_DEBUG", "files");
  testing::ScopedEnv debugOutput("LD_DEBUG_OUTPUT", (dir_ / "ld").string());
  struct Case {
    std::string arguments;
    int status;
  } cases[] = {
      {"--version", 0},
      {"phone --help", 0},
      {"bogus", 2},
      // TLS and the code's key wait for an agent that answers.
      {"phone --host 127.0.0.1 --port " + std::to_string(closedPort()) +
           " --code 123456 --timeout 5 summary",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(run(c.arguments).status, c.status);
    std::string mapped;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (!entry.path().filename().string().starts_with("ld.")) continue;
      mapped += slurp(entry.path().string());
      fs::remove(entry.path());
    }
    // The report is there: the check below can see a library being mapped.
    ASSERT_THAT(mapped, HasSubstr("file=libstdc++.so.6"));
    for (const char* library : kOnDemand) EXPECT_THAT(mapped, Not(HasSubstr(library)));
  }
}

// A library that cannot be opened, put where the dynamic linker looks
// first: the command says so in one line and goes on without what it gives,
// or stops when it cannot do without it.
TEST_F(OnDemandProgramTest, ALibraryThatCannotBeOpenedIsOneLine) {
  if (stopped()) return;
  const fs::path broken = dir_ / "broken";
  fs::create_directories(broken);
  // A duplicate pair, recorded with its kind: an archive, by its name.
  std::ofstream(dir_ / "root/a.zip") << "not really a zip";
  std::ofstream(dir_ / "root/b.zip") << "not really a zip";
  const std::string root = (dir_ / "root").string();
  struct Case {
    const char* library;
    std::string arguments;
    int status;
    std::string line;    // the first line on standard error
    std::string output;  // a part of standard output
  } cases[] = {
      {"libgio-2.0.so.0", "scan --json --min-bytes 1 '" + root + "'", 0,
       "files are not classified by their content type", "\"kind\": \"other\""},
      {"libcrypto.so.3", "scan --json --min-bytes 1 '" + root + "'", 1,
       "nothing can be hashed or encrypted", ""},
      {"libavahi-client.so.3", "phone --code 123456 --timeout 1 summary", 1,
       "DNS-SD is unavailable (no advertising, no browsing)", ""},
  };
  // With every library there, the pair is known for archives.
  const testing::Outcome whole = run(cases[0].arguments);
  EXPECT_EQ(whole.err, "");
  EXPECT_THAT(whole.out, HasSubstr("\"kind\": \"archive\""));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    std::ofstream(broken / c.library) << "not a library";
    testing::ScopedEnv path("LD_LIBRARY_PATH", broken.string());
    const testing::Outcome outcome = run(c.arguments);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_THAT(outcome.firstErrorLine(),
                ::testing::MatchesRegex(std::string("tallowick: cannot load ") + c.library +
                                        " \\(.*file too short\\): .*"));
    EXPECT_THAT(outcome.firstErrorLine(), HasSubstr(c.line));
    EXPECT_THAT(outcome.out, HasSubstr(c.output));
    fs::remove(broken / c.library);
  }
}

}  // namespace
}  // namespace tallowick
