#include "shared/uuid.h"

#include <random>

namespace tallowick {

Uuid Uuid::random() {
  // One generator per thread, seeded from the system: scans create ids on
  // several threads and ids need to be unique, not secret.
  thread_local std::mt19937_64 engine([] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }());
  Uuid u;
  std::uint64_t hi = engine(), lo = engine();
  for (int i = 0; i < 8; ++i) {
    u.bytes[i] = static_cast<std::uint8_t>(hi >> (56 - 8 * i));
    u.bytes[8 + i] = static_cast<std::uint8_t>(lo >> (56 - 8 * i));
  }
  u.bytes[6] = (u.bytes[6] & 0x0F) | 0x40;  // version 4
  u.bytes[8] = (u.bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
  return u;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }
}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  std::size_t out = 0;
  for (std::size_t i = 0; i < 36;) {
    if (isDashPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return u;
}

std::string Uuid::string() const {
  const std::array<char, 36> text = chars();
  return std::string(text.data(), text.size());
}

std::array<char, 36> Uuid::chars() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 36> text;
  std::size_t at = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
    text[at++] = kDigits[bytes[i] >> 4];
    text[at++] = kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace tallowick
