#include "shared/ascii.h"

#include <algorithm>

namespace tallowick {

void lowerASCII(std::string& text) {
  for (char& c : text) c = lowerASCII(c);
}

std::string lowerASCII(std::string_view text) {
  std::string out(text);
  lowerASCII(out);
  return out;
}

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

}  // namespace tallowick
