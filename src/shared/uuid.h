#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tallowick {

// A 128-bit identifier. Written in the 36-character hyphenated form with
// upper-case hexadecimal digits; read in either case.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // A fresh random (version 4) identifier.
  static Uuid random();
  // Accepts exactly the 36-character hyphenated form, any letter case.
  static std::optional<Uuid> parse(std::string_view text);

  std::string string() const;
  // The same 36 characters, without allocating.
  std::array<char, 36> chars() const;
  // The first 8 characters, as log lines show an id.
  std::string shortString() const { return string().substr(0, 8); }

  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace tallowick

template <>
struct std::hash<tallowick::Uuid> {
  std::size_t operator()(const tallowick::Uuid& u) const noexcept {
    std::uint64_t a = 0, b = 0;
    for (int i = 0; i < 8; ++i) a = (a << 8) | u.bytes[i];
    for (int i = 8; i < 16; ++i) b = (b << 8) | u.bytes[i];
    return std::hash<std::uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
  }
};
