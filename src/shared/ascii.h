#pragma once

// ASCII case and range, by byte. Names on disk are mostly plain ASCII, and
// the rules that read them (endings, folder markers, glob patterns) are
// ASCII too: lowering them this way needs no locale and no copy of a
// Unicode table, and leaves every byte of a multi-byte character as it is.

#include <string>
#include <string_view>

namespace tallowick {

constexpr char lowerASCII(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lowers 'A'..'Z' in place; every other byte stays.
void lowerASCII(std::string& text);
// A copy of `text` lowered as above.
std::string lowerASCII(std::string_view text);

// Whether every byte of `text` is below 0x80.
bool isASCII(std::string_view text);

}  // namespace tallowick
