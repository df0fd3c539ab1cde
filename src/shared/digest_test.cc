#include "shared/digest.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tallowick {
namespace {

const std::string kText = "00ff10e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b78";

TEST(OptionalDigestTest, KeepsTheTextItWasGiven) {
  OptionalDigest digest = kText;
  ASSERT_TRUE(digest);
  EXPECT_EQ(*digest, kText);
  EXPECT_EQ(digest.bytes()[0], 0x00);
  EXPECT_EQ(digest.bytes()[1], 0xFF);
  EXPECT_EQ(digest.bytes()[31], 0x78);
  EXPECT_EQ(std::optional<std::string>(digest), kText);
  EXPECT_EQ(digest, kText);
  EXPECT_FALSE(digest == std::string(64, 'a'));
  EXPECT_NE(digest, OptionalDigest(std::string(64, 'a')));
  EXPECT_EQ(OptionalDigest::parse(kText), digest);
  const auto text = digest.text();
  EXPECT_EQ(std::string(text.begin(), text.end()), kText);
}

TEST(OptionalDigestTest, AbsentIsNoDigestAtAll) {
  OptionalDigest absent = std::optional<std::string>();
  EXPECT_FALSE(absent);
  EXPECT_EQ(absent, std::nullopt);
  EXPECT_EQ(absent.value_or("-"), "-");
  EXPECT_EQ(std::optional<std::string>(absent), std::nullopt);
  // The digest of all zero bytes is a digest, not an absent one.
  const OptionalDigest zeros = std::string(64, '0');
  EXPECT_NE(zeros, absent);
  OptionalDigest cleared = kText;
  cleared.reset();
  EXPECT_EQ(cleared, absent);
  EXPECT_FALSE(absent == std::string(64, '0'));
}

TEST(OptionalDigestTest, RefusesWhatIsNoDigestText) {
  const std::string texts[] = {
      "",
      "abc",
      std::string(63, 'a'),
      std::string(65, 'a'),
      std::string(64, 'A'),
      std::string(63, 'a') + "g",
      std::string(63, 'a') + " ",
      // a bad first or second digit of a byte, anywhere
      "g" + std::string(63, 'a'),
      std::string(30, 'a') + "\xE9" + std::string(33, 'a'),
      std::string(31, 'a') + std::string(1, '\0') + std::string(32, 'a'),
  };
  for (const auto& text : texts) {
    EXPECT_FALSE(OptionalDigest::parse(text)) << text;
    EXPECT_FALSE(OptionalDigest::isText(text)) << text;
    EXPECT_THROW(OptionalDigest{text}, std::invalid_argument) << text;
    EXPECT_FALSE(OptionalDigest(kText) == text) << text;
  }
  EXPECT_TRUE(OptionalDigest::isText(kText));
}

// Digits are read eight at a time: every byte value, at every place of the
// text, is a digit exactly when it is one of the sixteen, with its value.
TEST(OptionalDigestTest, ReadsEveryByteAtEveryPlace) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  for (std::size_t at = 0; at < 64; ++at) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string text(64, '0');
      text[at] = static_cast<char>(byte);
      const OptionalDigest digest = OptionalDigest::parse(text);
      const std::size_t value = kDigits.find(static_cast<char>(byte));
      ASSERT_EQ(digest.has_value(), value != std::string_view::npos) << at << ": " << byte;
      if (!digest) continue;
      std::array<std::uint8_t, 32> expected{};
      expected[at / 2] = static_cast<std::uint8_t>(at % 2 == 0 ? value << 4 : value);
      EXPECT_EQ(digest.bytes(), expected) << at << ": " << byte;
      EXPECT_EQ(*digest, text);
    }
  }
}

}  // namespace
}  // namespace tallowick
