#include "shared/digest.h"

#include <array>
#include <cstdint>
#include <ostream>
#include <stdexcept>

namespace tallowick {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

// The value of each lower-case hexadecimal digit, -1 for every other byte.
constexpr std::array<std::int8_t, 256> kValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 16; ++i)
    values[static_cast<unsigned char>(kDigits[i])] = static_cast<std::int8_t>(i);
  return values;
}();

int digitValue(char c) { return kValues[static_cast<unsigned char>(c)]; }

}  // namespace

OptionalDigest::OptionalDigest(std::string_view hex) : OptionalDigest(parse(hex)) {
  if (!present_) throw std::invalid_argument("not a SHA-256 digest: " + std::string(hex));
}

OptionalDigest OptionalDigest::parse(std::string_view text) {
  OptionalDigest digest;
  if (text.size() != 64) return digest;
  // One pass: a byte that is no digit turns its pair negative.
  int bad = 0;
  for (std::size_t i = 0; i < digest.bytes_.size(); ++i) {
    const int pair = digitValue(text[2 * i]) << 4 | digitValue(text[2 * i + 1]);
    bad |= pair;
    digest.bytes_[i] = static_cast<std::uint8_t>(pair);
  }
  if (bad < 0) return OptionalDigest();
  digest.present_ = true;
  return digest;
}

OptionalDigest::OptionalDigest(const std::optional<std::string>& hex) {
  if (hex) *this = OptionalDigest(std::string_view(*hex));
}

bool OptionalDigest::isText(std::string_view text) { return parse(text).has_value(); }

std::string OptionalDigest::operator*() const {
  const std::array<char, 64> digits = text();
  return std::string(digits.data(), digits.size());
}

std::array<char, 64> OptionalDigest::text() const {
  std::array<char, 64> digits;
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    digits[2 * i] = kDigits[bytes_[i] >> 4];
    digits[2 * i + 1] = kDigits[bytes_[i] & 0x0F];
  }
  return digits;
}

std::string OptionalDigest::value_or(std::string_view fallback) const {
  return present_ ? **this : std::string(fallback);
}

OptionalDigest::operator std::optional<std::string>() const {
  if (!present_) return std::nullopt;
  return **this;
}

bool operator==(const OptionalDigest& digest, std::string_view hex) {
  return digest.present_ && OptionalDigest::isText(hex) && digest == OptionalDigest(hex);
}

std::ostream& operator<<(std::ostream& out, const OptionalDigest& digest) {
  return out << (digest ? *digest : std::string("(no digest)"));
}

}  // namespace tallowick
