// Frame headers and message bodies from an untrusted peer. The whole input is
// one frame body; its first four bytes double as a header. A decode must end
// in a message or a DecodeError; a decoded message must survive encode and
// decode unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "shared/wire.h"

using namespace tallowick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  if (size >= Wire::kHeaderSize) {
    auto n = Wire::frameLength(input.first(Wire::kHeaderSize));
    const std::uint32_t raw = std::uint32_t{data[0]} << 24 | std::uint32_t{data[1]} << 16 |
                              std::uint32_t{data[2]} << 8 | data[3];
    const bool valid = raw >= 1 && raw <= Wire::maxFrame;
    if (n.has_value() != valid || (n && *n != raw)) std::abort();
  }
  if (Wire::frameLength(input.first(size < 3 ? size : 3))) std::abort();

  Message message;
  try {
    message = Wire::decode(input);
  } catch (const DecodeError&) {
    return 0;
  }
  auto frame = Wire::encode(message);
  if (!frame) std::abort();
  const std::string_view framed(*frame);
  auto n = Wire::frameLength(framed.substr(0, Wire::kHeaderSize));
  if (!n || *n != framed.size() - Wire::kHeaderSize) std::abort();
  try {
    if (!(Wire::decode(framed.substr(Wire::kHeaderSize)) == message)) {
      std::fprintf(stderr, "round trip changed the message: %.*s\n", static_cast<int>(*n),
                   framed.data() + Wire::kHeaderSize);
      std::abort();
    }
  } catch (const DecodeError& e) {
    std::fprintf(stderr, "own output does not decode: %s\n", e.what());
    std::abort();
  }
  return 0;
}
