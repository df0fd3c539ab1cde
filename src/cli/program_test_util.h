#pragma once
// A test of the built `tallowick` program, run the way a user runs it, in a
// fresh temporary folder that holds "home" and "root".

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace tallowick::testing {

// What one run of the program printed, and how it ended.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;

  std::string firstErrorLine() const { return err.substr(0, err.find('\n')); }
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binaryDir = std::getenv("TALLOWICK_BINARY_DIR");
    if (!binaryDir) GTEST_SKIP() << "run through ctest, which says where the program is";
    program_ = std::string(binaryDir) + "/tallowick";
    ASSERT_TRUE(std::filesystem::exists(program_)) << program_;
    std::string pattern =
        (std::filesystem::temp_directory_path() /
         (std::string(::testing::UnitTest::GetInstance()->current_test_suite()->name()) +
          ".XXXXXX"))
            .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::create_directories(dir_ / "home");
    std::filesystem::create_directories(dir_ / "root");
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // Runs the program with `arguments` (shell words) and a private HOME;
  // neither output is a terminal. A run that outlives a minute is killed.
  Outcome run(const std::string& arguments) {
    const std::string out = (dir_ / "out").string();
    const std::string err = (dir_ / "err").string();
    const std::string command = "HOME='" + (dir_ / "home").string() + "' XDG_DATA_HOME='" +
                                (dir_ / "home/data").string() + "' timeout 60 '" + program_ + "' " +
                                arguments + " </dev/null >'" + out + "' 2>'" + err + "'";
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

  // True when SetUp() ended the test early; a subclass's SetUp() stops then.
  bool stopped() const { return IsSkipped() || HasFatalFailure(); }

  std::string program_;
  std::filesystem::path dir_;
};

}  // namespace tallowick::testing
