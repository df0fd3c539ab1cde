#include "shared/digest.h"

#include <ostream>
#include <stdexcept>

namespace tallowick {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

OptionalDigest::OptionalDigest(std::string_view hex) {
  if (!isText(hex)) throw std::invalid_argument("not a SHA-256 digest: " + std::string(hex));
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    bytes_[i] = static_cast<std::uint8_t>(digitValue(hex[2 * i]) << 4 | digitValue(hex[2 * i + 1]));
  }
  present_ = true;
}

OptionalDigest::OptionalDigest(const std::optional<std::string>& hex) {
  if (hex) *this = OptionalDigest(std::string_view(*hex));
}

bool OptionalDigest::isText(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (digitValue(c) < 0) return false;
  }
  return true;
}

std::string OptionalDigest::operator*() const {
  std::string text(64, '0');
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    text[2 * i] = kDigits[bytes_[i] >> 4];
    text[2 * i + 1] = kDigits[bytes_[i] & 0x0F];
  }
  return text;
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
