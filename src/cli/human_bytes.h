#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tallowick::cli {

// Decimal units, as file managers show sizes: "512 bytes", "3.2 MB".
// Header-only so that tests which compile a command's source directly need
// nothing more.
inline std::string humanBytes(std::int64_t bytes) {
  static const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB"};
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1000 && unit < 4) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

// Thousands separated by commas: "1,234,567".
inline std::string grouped(std::int64_t value) {
  // Through the unsigned value, so the most negative one has digits too.
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  const std::string digits = std::to_string(magnitude);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return value < 0 ? "-" + out : out;
}

}  // namespace tallowick::cli
