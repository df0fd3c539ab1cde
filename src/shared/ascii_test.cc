#include "shared/ascii.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(AsciiTest, LowersOnlyTheTwentySixCapitals) {
  struct Case {
    std::string_view text;
    std::string_view lowered;
    bool ascii;
  };
  const Case cases[] = {
      {"", "", true},
      {"IMG_0412.JPG", "img_0412.jpg", true},
      {"@[`{", "@[`{", true},  // the neighbours of 'A'..'Z' and 'a'..'z'
      {"/Downloads/Setup.DMG", "/downloads/setup.dmg", true},
      // Beyond ASCII nothing changes: "Ä" is two bytes, neither a capital.
      {"Ärger.PNG", "Ärger.png", false},
      {"Снимок.JPG", "Снимок.jpg", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lowerASCII(c.text), c.lowered) << c.text;
    EXPECT_EQ(isASCII(c.text), c.ascii) << c.text;
    std::string inPlace(c.text);
    lowerASCII(inPlace);
    EXPECT_EQ(inPlace, c.lowered) << c.text;
  }
}

}  // namespace
}  // namespace tallowick
