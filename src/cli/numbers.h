#pragma once
// Whole numbers on the command line: plain decimal digits within a range, so
// that "0x10", "1.5", "-1" or a number too large for its type are usage
// errors instead of some other number.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

namespace tallowick::cli {

// The number `text` spells in decimal digits (no sign, no spaces), when it
// lies in [min, max]. REQUIRES: 0 <= min <= max.
std::optional<std::int64_t> parseWholeNumber(std::string_view text, std::int64_t min,
                                             std::int64_t max);

// One line saying what was wanted, naming `text` (shortened when long):
// "expected a whole number from 1 to 65535, got 70000".
std::string wholeNumberError(std::string_view text, std::int64_t min, std::int64_t max);

// A check for an integer option: leaves the value in plain decimal form for
// CLI11 to convert, or fails with wholeNumberError().
CLI::Validator wholeNumber(std::int64_t min,
                           std::int64_t max = std::numeric_limits<std::int64_t>::max());

}  // namespace tallowick::cli
