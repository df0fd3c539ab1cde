#pragma once

// An item's optional SHA-256, kept in its 32 bytes instead of as text. A
// scan of a million files holds a million of them at once, and the text in
// a string of its own took three times the room. It reads and writes as the
// report's text: 64 lower-case hexadecimal digits.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace tallowick {

class OptionalDigest {
 public:
  OptionalDigest() = default;
  OptionalDigest(std::nullopt_t) {}
  // REQUIRES: isText(hex); throws std::invalid_argument otherwise.
  OptionalDigest(std::string_view hex);
  OptionalDigest(const std::string& hex) : OptionalDigest(std::string_view(hex)) {}
  OptionalDigest(const char* hex) : OptionalDigest(std::string_view(hex)) {}
  // Absent for an absent text. REQUIRES: a present text is a digest's.
  OptionalDigest(const std::optional<std::string>& hex);

  // Whether `text` is 64 lower-case hexadecimal digits.
  static bool isText(std::string_view text);
  // The digest of `text`; absent when it is not a digest's text.
  static OptionalDigest parse(std::string_view text);

  bool has_value() const { return present_; }
  explicit operator bool() const { return present_; }
  void reset() { *this = OptionalDigest(); }

  // REQUIRES: has_value(). The 64-digit text.
  std::string operator*() const;
  // REQUIRES: has_value(). The same text without a string of its own.
  std::array<char, 64> text() const;
  std::string value_or(std::string_view fallback) const;
  operator std::optional<std::string>() const;

  // The digest's bytes (all zero when absent).
  const std::array<std::uint8_t, 32>& bytes() const { return bytes_; }

  friend bool operator==(const OptionalDigest&, const OptionalDigest&) = default;
  friend bool operator==(const OptionalDigest& digest, std::nullopt_t) { return !digest.present_; }
  friend bool operator==(const OptionalDigest& digest, std::string_view hex);
  friend bool operator==(const OptionalDigest& digest, const std::string& hex) {
    return digest == std::string_view(hex);
  }
  friend bool operator==(const OptionalDigest& digest, const char* hex) {
    return digest == std::string_view(hex);
  }
  friend std::ostream& operator<<(std::ostream& out, const OptionalDigest& digest);

 private:
  std::array<std::uint8_t, 32> bytes_{};
  bool present_ = false;
};

}  // namespace tallowick
