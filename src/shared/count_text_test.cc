#include "shared/count_text.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(CountText, OneTakesTheSingularEveryOtherCountThePlural) {
  const struct {
    std::int64_t count;
    const char* text;
  } cases[] = {
      {0, "0 folders"},
      {1, "1 folder"},
      {2, "2 folders"},
      {11, "11 folders"},
      {21, "21 folders"},
      {-1, "-1 folders"},
      {1000000, "1000000 folders"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(countText(c.count, "folder", "folders"), c.text);
  }
  EXPECT_STREQ(countNoun(1, "copy", "copies"), "copy");
  EXPECT_STREQ(countNoun(3, "copy", "copies"), "copies");
}

}  // namespace
}  // namespace tallowick
