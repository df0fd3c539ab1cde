#include "cli/numbers.h"

#include <algorithm>
#include <charconv>

namespace tallowick::cli {

std::optional<std::int64_t> parseWholeNumber(std::string_view text, std::int64_t min,
                                             std::int64_t max) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::string wholeNumberError(std::string_view text, std::int64_t min, std::int64_t max) {
  constexpr std::size_t kShown = 24;
  std::string shown(text.substr(0, kShown));
  if (text.size() > kShown) shown += "…";
  std::string range = max == std::numeric_limits<std::int64_t>::max()
                          ? "of at least " + std::to_string(min)
                          : "from " + std::to_string(min) + " to " + std::to_string(max);
  return "expected a whole number " + range + ", got " + (shown.empty() ? "nothing" : shown);
}

CLI::Validator wholeNumber(std::int64_t min, std::int64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        auto value = parseWholeNumber(text, min, max);
        if (!value) return wholeNumberError(text, min, max);
        // CLI11 converts with strtoll's base 0, which would read "010" as 8.
        text = std::to_string(*value);
        return {};
      },
      "N");
}

}  // namespace tallowick::cli
