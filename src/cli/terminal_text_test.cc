#include "cli/terminal_text.h"

#include <gtest/gtest.h>

namespace tallowick::cli {
namespace {

TEST(EscapedForTerminal, ControlsAndBrokenBytesAreShownNotSent) {
  struct Case {
    std::string name;
    std::string shown;
  };
  const Case cases[] = {
      {"photo.jpg", "photo.jpg"},
      {"Capture d’écran.png", "Capture d’écran.png"},
      {"截图 1.png", "截图 1.png"},
      {"a\nb", "a\\x0Ab"},
      {"\033]0;owned\007.txt", "\\x1B]0;owned\\x07.txt"},
      {"\033[2J", "\\x1B[2J"},
      {"del\x7f", "del\\x7F"},
      {"csi\xc2\x9b"
       "31m",
       "csi\\xC2\\x9B31m"},  // U+009B, the one-character CSI
      {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},
      {"latin1 \xe9t\xe9", "latin1 \\xE9t\\xE9"},
      {"cut \xe6\x88", "cut \\xE6\\x88"},
      {"overlong \xc0\xaf", "overlong \\xC0\\xAF"},
      {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
      {"back\\x1B", "back\\\\x1B"},
      {std::string("nul\0x", 5), "nul\\x00x"},
  };
  for (const Case& c : cases) EXPECT_EQ(escapedForTerminal(c.name), c.shown) << c.shown;
}

}  // namespace
}  // namespace tallowick::cli
