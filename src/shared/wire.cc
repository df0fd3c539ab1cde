#include "shared/wire.h"

#include <cstring>
#include <limits>

namespace tallowick::Wire {

std::optional<std::string> frame(std::string_view body) {
  // Refused before anything is copied.
  if (body.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  std::string out;
  out.reserve(kHeaderSize + body.size());
  out.append(kHeaderSize, '\0');
  out.append(body);
  putHeader(out);
  return out;
}

bool putHeader(std::string& frame) {
  const std::size_t body = frame.size() - kHeaderSize;
  if (body > std::numeric_limits<std::uint32_t>::max()) return false;
  const auto n = static_cast<std::uint32_t>(body);
  frame[0] = static_cast<char>(n >> 24 & 0xff);
  frame[1] = static_cast<char>(n >> 16 & 0xff);
  frame[2] = static_cast<char>(n >> 8 & 0xff);
  frame[3] = static_cast<char>(n & 0xff);
  return true;
}

std::optional<std::string> encode(const Message& message) {
  return frame(codec::dumpCompact(message.toJson()));
}

std::optional<std::uint32_t> frameLength(std::span<const std::uint8_t> header) {
  if (header.size() != kHeaderSize) return std::nullopt;
  const std::uint32_t n = std::uint32_t{header[0]} << 24 | std::uint32_t{header[1]} << 16 |
                          std::uint32_t{header[2]} << 8 | std::uint32_t{header[3]};
  if (n == 0 || n > maxFrame) return std::nullopt;
  return n;
}

std::optional<std::uint32_t> frameLength(std::string_view header) {
  return frameLength(
      std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
}

Message decode(std::string_view body) { return Message::fromJson(codec::parse(body)); }

Message decode(std::span<const std::uint8_t> body) {
  return decode(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

}  // namespace tallowick::Wire
