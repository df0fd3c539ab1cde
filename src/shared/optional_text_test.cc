#include "shared/optional_text.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

TEST(OptionalTextTest, BehavesAsAnOptionalString) {
  OptionalText absent;
  EXPECT_FALSE(absent);
  EXPECT_EQ(absent, std::nullopt);
  EXPECT_EQ(absent.value_or("-"), "-");
  EXPECT_EQ(std::optional<std::string>(absent), std::nullopt);
  EXPECT_EQ(OptionalText(std::optional<std::string>()), absent);

  OptionalText text = "/t/x.heic";
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "/t/x.heic");
  EXPECT_EQ(text->size(), 9u);
  EXPECT_EQ(text, "/t/x.heic");
  EXPECT_FALSE(text == std::string("/t/y.heic"));
  EXPECT_NE(text, absent);
  EXPECT_EQ(std::optional<std::string>(text), "/t/x.heic");
  // An empty text is present.
  EXPECT_TRUE(OptionalText(""));
  EXPECT_NE(OptionalText(""), absent);
}

TEST(OptionalTextTest, CopiesAreIndependent) {
  OptionalText original = "a";
  OptionalText copy = original;
  EXPECT_EQ(copy, original);
  original.reset();
  EXPECT_EQ(copy, "a");
  copy = original;
  EXPECT_FALSE(copy);
  OptionalText moved = OptionalText("b");
  copy = moved;
  moved = "c";
  EXPECT_EQ(copy, "b");
  EXPECT_EQ(moved, "c");
}

}  // namespace
}  // namespace tallowick
