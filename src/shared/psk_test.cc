#include "shared/psk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

namespace tallowick {
namespace {

// Nothing here touches files, but a private HOME and XDG_DATA_HOME keep any
// future change from reaching the real ones.
class TempHome : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "psk-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / ".local/share").c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

 private:
  std::filesystem::path root_;
};
[[maybe_unused]] ::testing::Environment* const kTempHome =
    ::testing::AddGlobalTestEnvironment(new TempHome);

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Expected keys were computed outside this code base, twice, with the same
// results:
//   openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt key:<code>
//     -kdfopt salt:tallowick.psk.v1 -kdfopt info:tls-psk HKDF
// and a hand-written RFC 5869 HKDF over Python's hmac/hashlib.
TEST(PSKDerive, MatchesIndependentHKDF) {
  struct Case {
    const char* code;
    const char* keyHex;
  } cases[] = {
      {"123456", "56f9a305876fab952050ab9b79b5a854fd9990e8244709b172296333ff4b6ebe"},
      {"000042", "38c7f5d1be46bbb7212090f08ec60d7fe65b8c5a883307def43ca5a963161b91"},
      {"42", "77bbc689e49d7d1145eeba8148df495e9b6ce31d402cfbe1bac24a28bb38770c"},
      {"999999", "766caa84abb2f3f7d17947f5e344c17c258b9112e0176c4b55be52a3e6a43f1a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PSK::derive(c.code), fromHex(c.keyHex)) << c.code;
  }
}

TEST(PSKDerive, IsStableAndKeepsLeadingZeros) {
  EXPECT_EQ(PSK::derive("000042"), PSK::derive("000042"));
  EXPECT_NE(PSK::derive("000042"), PSK::derive("42"));
  EXPECT_NE(PSK::derive("000042"), PSK::derive("000043"));
  EXPECT_EQ(PSK::derive("").size(), PSK::keyLength);
}

// Expected proofs:
//   printf 'hello:<deviceID>' | openssl dgst -sha256 -mac HMAC -macopt hexkey:<key>
TEST(PSKProof, MatchesIndependentHMAC) {
  const Bytes codeKey = fromHex("56f9a305876fab952050ab9b79b5a854fd9990e8244709b172296333ff4b6ebe");
  const Bytes zeroKey(32, 0);
  struct Case {
    const Bytes* key;
    const char* deviceID;
    const char* proofHex;
  } cases[] = {
      {&codeKey, "", "76446bcea962e9e21733eeb124d6379a7fc7205c10b59d250565456d24390ae8"},
      {&codeKey, "dev-0123456789abcdef",
       "64148aef6604fae15ced641ea1a2076c2d41f83595dd4c3a5e46c36591d97cd0"},
      {&zeroKey, "", "24a4cc5ae8d718aca7e4b7eb993200bde536071064f9f25d3abee68698a97f5b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PSK::proof(*c.key, c.deviceID), fromHex(c.proofHex)) << c.deviceID;
  }
}

TEST(PSKProof, MatchesOnlyTheExactProof) {
  const Bytes key = PSK::derive("123456");
  const Bytes good = PSK::proof(key, "dev-0123456789abcdef");
  EXPECT_TRUE(PSK::proofMatches(key, "dev-0123456789abcdef", good));

  Bytes flipped = good;
  flipped.back() ^= 0x01;
  Bytes shorter(good.begin(), good.end() - 1);
  Bytes longer = good;
  longer.push_back(0);
  for (const Bytes& bad : {flipped, shorter, longer, Bytes()}) {
    EXPECT_FALSE(PSK::proofMatches(key, "dev-0123456789abcdef", bad)) << bad.size();
  }
  // Same proof under another identity or another key.
  EXPECT_FALSE(PSK::proofMatches(key, "dev-0123456789abcdeF", good));
  EXPECT_FALSE(PSK::proofMatches(PSK::derive("123457"), "dev-0123456789abcdef", good));
}

TEST(PSKRandom, KeysAreFullLengthAndDistinct) {
  std::set<Bytes> seen;
  for (int i = 0; i < 64; ++i) {
    Bytes key = PSK::newKey();
    ASSERT_EQ(key.size(), PSK::keyLength);
    EXPECT_TRUE(seen.insert(key).second);
  }
  EXPECT_EQ(seen.count(Bytes(32, 0)), 0u);
}

TEST(PSKRandom, DeviceIDsHaveTheirForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string id = PSK::newDeviceID();
    ASSERT_EQ(id.size(), 20u) << id;
    EXPECT_EQ(id.substr(0, 4), "dev-");
    for (char c : id.substr(4)) EXPECT_TRUE(isLowerHex(c)) << id;
    EXPECT_TRUE(seen.insert(id).second);
  }
}

TEST(PSKRandom, CodesAreSixDigits) {
  for (int i = 0; i < 2000; ++i) {
    std::string code = PSK::newCode();
    ASSERT_EQ(code.size(), 6u) << code;
    for (char c : code) ASSERT_TRUE(c >= '0' && c <= '9') << code;
  }
}

// A scripted generator: hands out the queued 32-bit words big-endian.
std::vector<std::uint32_t> gWords;
std::size_t gNext = 0;
int scriptedFill(unsigned char* buffer, int length) {
  for (int i = 0; i < length; i += 4) {
    std::uint32_t w = gWords.at(gNext++);
    unsigned char be[4] = {static_cast<unsigned char>(w >> 24), static_cast<unsigned char>(w >> 16),
                           static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w)};
    std::memcpy(buffer + i, be, std::min(4, length - i));
  }
  return 1;
}

TEST(PSKRandom, CodeFormattingAndUnbiasedDraws) {
  struct Case {
    std::vector<std::uint32_t> words;
    const char* code;
  } cases[] = {
      {{0}, "000000"},
      {{7}, "000007"},
      {{99'999}, "099999"},
      {{100'000}, "100000"},
      {{999'999}, "999999"},
      {{1'000'000}, "000000"},
      {{1'234'567}, "234567"},
      // Draws from the incomplete top block are discarded, not folded in:
      // 4294967295 % 1000000 would favour the low codes.
      {{4'294'967'295u, 4'294'000'000u, 5}, "000005"},
      {{4'293'999'999u}, "999999"},
  };
  for (const auto& c : cases) {
    gWords = c.words;
    gNext = 0;
    EXPECT_EQ(PSK::detail::newCodeFrom(scriptedFill), c.code);
    EXPECT_EQ(gNext, c.words.size()) << c.code;
  }
}

int failingFill(unsigned char* buffer, int length) {
  std::memset(buffer, 0, static_cast<std::size_t>(length));
  return 0;
}

TEST(PSKRandomDeathTest, AFailingGeneratorNeverYieldsAKey) {
  EXPECT_DEATH(PSK::detail::newKeyFrom(failingFill), "secure random generator failed");
  EXPECT_DEATH(PSK::detail::newCodeFrom(failingFill), "secure random generator failed");
}

}  // namespace
}  // namespace tallowick
