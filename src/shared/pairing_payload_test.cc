#include "shared/pairing_payload.h"

#include <gtest/gtest.h>

#include <string>

namespace tallowick {
namespace {

Bytes key(std::size_t n, std::uint8_t fill = 0xFB) { return Bytes(n, fill); }

// A payload's JSON with one member replaced (or removed when `value` is
// discarded).
std::string payloadJson(const char* member, const Json& value, bool remove = false) {
  Json j = Json::parse(PairingPayload("Desk", "dev-0123456789abcdef", key(32)).jsonString());
  if (remove) {
    j.erase(member);
  } else {
    j[member] = value;
  }
  return j.dump();
}

TEST(PairingPayloadTest, InitFillsVersionServiceAndKey) {
  PairingPayload p("Desk", "dev-0123456789abcdef", key(32));
  EXPECT_EQ(p.v, 1);
  EXPECT_EQ(p.svc, "_tallowick._tcp");
  EXPECT_EQ(p.psk.size(), 44u);
  EXPECT_EQ(p.keyData(), key(32));
}

TEST(PairingPayloadTest, JsonStringIsCompactWithEscapedSolidus) {
  // 0xFB bytes make Base64 full of '+' and '/', so the escape shows in psk too.
  PairingPayload p("Lab/Desk\"2\"", "dev-0123456789abcdef", key(32));
  const std::string text = p.jsonString();
  EXPECT_EQ(text.find_first_of(" \n\t"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("name":"Lab\/Desk\"2\"")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("svc":"_tallowick._tcp")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("v":1)"), std::string::npos) << text;
  for (std::size_t i = text.find('/'); i != std::string::npos; i = text.find('/', i + 1)) {
    EXPECT_EQ(text[i - 1], '\\') << "unescaped solidus at " << i << " in " << text;
  }
  auto back = PairingPayload::parse(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, p);
}

TEST(PairingPayloadTest, BackslashBeforeSolidusSurvives) {
  PairingPayload p("a\\/b", "dev-0123456789abcdef", key(32));
  auto back = PairingPayload::parse(p.jsonString());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, "a\\/b");
}

TEST(PairingPayloadTest, ParseTable) {
  struct Case {
    const char* what;
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {"as written", PairingPayload("Desk", "dev-0123456789abcdef", key(32)).jsonString(), true},
      {"empty name", payloadJson("name", ""), true},
      {"unknown member", payloadJson("extra", 5), true},
      {"unescaped solidus",
       R"({"v":1,"name":"a/b","svc":"_tallowick._tcp","id":"x","psk":")" +
           codec::base64Encode(key(32)) + R"("})",
       true},
      {"31-byte key", payloadJson("psk", codec::base64Encode(key(31))), false},
      {"33-byte key", payloadJson("psk", codec::base64Encode(key(33))), false},
      {"empty key", payloadJson("psk", ""), false},
      {"key not Base64", payloadJson("psk", std::string(43, '*') + "="), false},
      {"key without padding", payloadJson("psk", codec::base64Encode(key(32)).substr(0, 43)),
       false},
      {"version 2", payloadJson("v", 2), false},
      {"version 0", payloadJson("v", 0), false},
      {"version as string", payloadJson("v", "1"), false},
      {"service in other case", payloadJson("svc", "_Tallowick._tcp"), false},
      {"service with trailing dot", payloadJson("svc", "_tallowick._tcp."), false},
      {"empty id", payloadJson("id", ""), false},
      {"id not a string", payloadJson("id", 7), false},
      {"missing name", payloadJson("name", nullptr, true), false},
      {"missing psk", payloadJson("psk", nullptr, true), false},
      {"not JSON", "tallowick://pair?code=123456", false},
      {"empty text", "", false},
      {"array", "[1]", false},
      {"truncated", PairingPayload("Desk", "dev-1", key(32)).jsonString().substr(0, 30), false},
      {"invalid UTF-8", "{\"v\":1,\"name\":\"\xFF\",\"svc\":\"_tallowick._tcp\"}", false},
      {"deep nesting", std::string(10'000, '['), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PairingPayload::parse(c.text).has_value(), c.accepted) << c.what << ": " << c.text;
  }
}

TEST(PairingPayloadTest, KeyDataIsNoneForInvalidBase64) {
  PairingPayload p("Desk", "dev-1", key(32));
  p.psk = "%%%";
  EXPECT_EQ(p.keyData(), std::nullopt);
  p.psk = "";
  EXPECT_EQ(p.keyData(), Bytes{});
}

}  // namespace
}  // namespace tallowick
