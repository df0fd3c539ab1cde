#pragma once

// Frames on a phone connection: a 4-byte big-endian body length N, then N
// bytes of one message's compact UTF-8 JSON. Messages are encoded and decoded
// afresh each time; nothing is kept between them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "shared/message.h"

namespace tallowick::Wire {

// The largest body a receiver accepts (64 MiB).
inline constexpr std::uint32_t maxFrame = 67'108'864;
inline constexpr std::size_t kHeaderSize = 4;

// The frame of `message`: header then body, in one string. No value when the
// body is 4 GiB or more, which a 32-bit length cannot describe. Bodies above
// maxFrame are framed anyway; the receiver refuses them.
std::optional<std::string> encode(const Message& message);

// Frames an already encoded body; no value when it is 4 GiB or more.
std::optional<std::string> frame(std::string_view body);

// Writes the header of a frame whose body was written after kHeaderSize
// bytes left for it; false when that body is 4 GiB or more.
// REQUIRES: frame.size() >= kHeaderSize.
bool putHeader(std::string& frame);

// The body length announced by a header: no value unless the header is
// exactly 4 bytes and 1 <= N <= maxFrame.
std::optional<std::uint32_t> frameLength(std::span<const std::uint8_t> header);
std::optional<std::uint32_t> frameLength(std::string_view header);

// The message in one frame body. Throws DecodeError, whose what() is the
// description a receive loop reports after "undecodable message: ". Never
// crashes on hostile input: bad UTF-8, deep nesting, huge numbers and
// truncated text all end in DecodeError.
Message decode(std::string_view body);
Message decode(std::span<const std::uint8_t> body);

}  // namespace tallowick::Wire
