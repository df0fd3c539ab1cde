#include "cli/terminal_text.h"

#include <cstdio>

namespace tallowick::cli {
namespace {

// Length of the valid UTF-8 sequence at the start of `text`, 0 if none.
std::size_t sequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points past U+10FFFF.
  if (lead == 0xE0 && byte(1) < 0xA0) return 0;
  if (lead == 0xED && byte(1) >= 0xA0) return 0;
  if (lead == 0xF0 && byte(1) < 0x90) return 0;
  if (lead == 0xF4 && byte(1) >= 0x90) return 0;
  return length;
}

void appendHex(std::string& out, unsigned char byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", byte);
  out += hex;
}

}  // namespace

std::string escapedForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = sequenceLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    if (length == 0) {
      appendHex(out, lead);
      text.remove_prefix(1);
      continue;
    }
    const bool c0 = length == 1 && (lead < 0x20 || lead == 0x7F);
    // U+0080 to U+009F: C1 controls, among them the one-byte CSI.
    const bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0;
    if (c0 || c1) {
      for (std::size_t i = 0; i < length; ++i) appendHex(out, static_cast<unsigned char>(text[i]));
    } else if (lead == '\\') {
      out += "\\\\";
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace tallowick::cli
