#include "shared/digest.h"

#include <array>
#include <cstdint>
#include <ostream>
#include <stdexcept>

namespace tallowick {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

OptionalDigest::OptionalDigest(std::string_view hex) : OptionalDigest(parse(hex)) {
  if (!present_) throw std::invalid_argument("not a SHA-256 digest: " + std::string(hex));
}

OptionalDigest OptionalDigest::parse(std::string_view text) {
  OptionalDigest digest;
  if (text.size() != 64) return digest;
  // Eight digits at a time, each a byte of one word: a rescan reads a
  // digest for every file from its cache. All bytes below 0x80, so adding
  // to them carries into no neighbour.
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  // The high bit of each byte that is at least `low`.
  auto atLeast = [](std::uint64_t w, std::uint8_t low) {
    return (w + (0x80 - low) * kOnes) & kHigh;
  };
  for (std::size_t word = 0; word < 8; ++word) {
    std::uint64_t w = 0;  // the first digit in the lowest byte
    for (std::size_t i = 0; i < 8; ++i) {
      w |= std::uint64_t{static_cast<unsigned char>(text[8 * word + i])} << (8 * i);
    }
    if (w & kHigh) return OptionalDigest();
    const std::uint64_t digit = atLeast(w, '0') & ~atLeast(w, '9' + 1);
    const std::uint64_t letter = atLeast(w, 'a') & ~atLeast(w, 'f' + 1);
    if ((digit | letter) != kHigh) return OptionalDigest();
    // Each digit's value in its byte, then the pairs of bytes joined.
    std::uint64_t v = (w & 0x0F * kOnes) + (letter >> 7) * 9;
    v = (v & 0x00FF00FF00FF00FFull) << 4 | (v >> 8 & 0x00FF00FF00FF00FFull);
    v = (v | v >> 8) & 0x0000FFFF0000FFFFull;
    v = (v | v >> 16) & 0xFFFFFFFFull;
    for (std::size_t i = 0; i < 4; ++i) {
      digest.bytes_[4 * word + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
  }
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
