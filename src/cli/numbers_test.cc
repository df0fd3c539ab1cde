#include "cli/numbers.h"

#include <limits>

#include <gtest/gtest.h>

namespace tallowick::cli {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(WholeNumber, OnlyPlainDecimalDigitsInRange) {
  struct Case {
    const char* text;
    std::int64_t min, max;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {"0", 0, kMax, 0},
      {"1048576", 0, kMax, 1048576},
      {"010", 0, kMax, 10},  // decimal, not octal
      {"9223372036854775807", 0, kMax, kMax},
      {"9223372036854775808", 0, kMax, std::nullopt},
      {"99999999999999999999", 0, kMax, std::nullopt},
      {"0x10", 0, kMax, std::nullopt},
      {"-1", 0, kMax, std::nullopt},
      {"+1", 0, kMax, std::nullopt},
      {"1.5", 0, kMax, std::nullopt},
      {"1e3", 0, kMax, std::nullopt},
      {" 1", 0, kMax, std::nullopt},
      {"", 0, kMax, std::nullopt},
      {"65535", 0, 65535, 65535},
      {"65536", 0, 65535, std::nullopt},
      {"0", 1, 10, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseWholeNumber(c.text, c.min, c.max), c.expected) << '"' << c.text << '"';
  }
}

TEST(WholeNumber, ErrorNamesTheValueAndASaneRange) {
  EXPECT_EQ(wholeNumberError("70000", 0, 65535),
            "expected a whole number from 0 to 65535, got 70000");
  EXPECT_EQ(wholeNumberError("-1", 0, kMax), "expected a whole number of at least 0, got -1");
  EXPECT_EQ(wholeNumberError(std::string(300, '9'), 0, kMax),
            "expected a whole number of at least 0, got 999999999999999999999999…");
}

TEST(WholeNumber, CheckLeavesCLI11ADecimalToConvert) {
  CLI::App app;
  int port = -1;
  app.add_option("--port", port)->transform(wholeNumber(0, 65535));
  app.parse(std::vector<std::string>{"010", "--port"});  // reversed: CLI11 pops from the back
  EXPECT_EQ(port, 10);
  EXPECT_THROW(app.parse(std::vector<std::string>{"0x10", "--port"}), CLI::ValidationError);
}

}  // namespace
}  // namespace tallowick::cli
