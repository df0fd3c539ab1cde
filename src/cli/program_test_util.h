#pragma once
// A test of the built `tallowick` program, run the way a user runs it, in a
// fresh temporary folder that holds "home" and "root".

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace tallowick::testing {

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
  // True when SetUp() ended the test early; a subclass's SetUp() stops then.
  bool stopped() const { return IsSkipped() || HasFatalFailure(); }

  std::string program_;
  std::filesystem::path dir_;
};

}  // namespace tallowick::testing
