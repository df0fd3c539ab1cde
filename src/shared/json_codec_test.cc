#include "shared/json_codec.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

using namespace std::chrono;

TEST(DateCodec, FormatsWholeSecondsInUTC) {
  Date d = sys_days{2025y / March / 1} + 9h + 30min + 1500ms;
  EXPECT_EQ(codec::formatDate(d), "2025-03-01T09:30:01Z");
  EXPECT_EQ(codec::formatDate(Date{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(codec::formatDate(sys_days{1969y / December / 31} + 23h + 59min + 59s + 500ms),
            "1969-12-31T23:59:59Z");
}

TEST(DateCodec, ParsesOnlyTheStrictForm) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"2026-03-01T08:30:00Z", true},      {"2024-02-29T23:59:59Z", true},
      {"2026-03-01T08:30:00.000Z", false}, {"2026-03-01T08:30:00+00:00", false},
      {"2026-03-01 08:30:00Z", false},     {"2026-03-01T08:30:00z", false},
      {"2025-02-29T00:00:00Z", false},     {"2026-13-01T00:00:00Z", false},
      {"2026-01-01T24:00:00Z", false},     {"2026-01-01T00:60:00Z", false},
      {"2026-01-01T00:00:60Z", false},     {"", false},
      {"+026-01-01T00:00:00Z", false},     {"2026-01-01T00:00:00", false},
  };
  for (const auto& c : cases) {
    auto parsed = codec::parseDate(c.text);
    EXPECT_EQ(parsed.has_value(), c.ok) << c.text;
    if (parsed) {
      EXPECT_EQ(codec::formatDate(*parsed), c.text);
    }
  }
}

TEST(Base64Codec, RoundTripsAndRejectsMalformed) {
  struct Case {
    std::string raw, encoded;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
               {std::string("\xff\xfe\x00", 3), "//4A"}};
  for (const auto& c : cases) {
    Bytes raw(c.raw.begin(), c.raw.end());
    EXPECT_EQ(codec::base64Encode(raw), c.encoded);
    EXPECT_EQ(codec::base64Decode(c.encoded), raw) << c.encoded;
  }
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zm9v\n", "Zm 9", "Zg==Zg==", "=Zg=", "Zm-_"}) {
    EXPECT_FALSE(codec::base64Decode(bad)) << bad;
  }
  Bytes key(32, 0xAB);
  EXPECT_EQ(codec::base64Encode(key).size(), 44u);
}

TEST(JsonCodec, UnsignedSixtyFourBitIsExact) {
  Json j = codec::parse(R"({"h": 18446744073709551615, "n": -1, "f": 1.5})");
  EXPECT_EQ(codec::field<std::uint64_t>(j, "h"), 18446744073709551615ull);
  EXPECT_EQ(codec::dumpCompact(Json{{"h", std::uint64_t{18446744073709551615ull}}}),
            R"({"h":18446744073709551615})");
  EXPECT_THROW(codec::field<std::uint64_t>(j, "n"), DecodeError);
  EXPECT_THROW(codec::field<std::uint64_t>(j, "f"), DecodeError);
  EXPECT_THROW(codec::field<std::int64_t>(j, "h"), DecodeError);
  EXPECT_THROW(codec::field<int>(j, "f"), DecodeError);
}

TEST(JsonCodec, OptionalsAreAbsentWhenMissingOrNull) {
  Json j = codec::parse(R"({"a": null, "b": "x", "c": 3})");
  EXPECT_FALSE(codec::optionalField<std::string>(j, "a"));
  EXPECT_FALSE(codec::optionalField<std::string>(j, "missing"));
  EXPECT_EQ(codec::optionalField<std::string>(j, "b"), "x");
  EXPECT_THROW(codec::optionalField<std::string>(j, "c"), DecodeError);
  EXPECT_THROW(codec::field<std::string>(j, "missing"), DecodeError);

  Json out = Json::object();
  codec::setOptional(out, "absent", std::optional<int>{});
  codec::setOptional(out, "present", std::optional<int>{7});
  EXPECT_EQ(codec::dumpCompact(out), R"({"present":7})");
}

TEST(JsonCodec, UuidsWriteUpperAndReadEitherCase) {
  auto lower = Uuid::parse("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->string(), "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
  EXPECT_EQ(Uuid::parse(lower->string()), lower);
  for (const char* bad : {"0f1e2d3c4b5a69788796a5b4c3d2e1f0", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fg",
                          "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}", ""}) {
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  }
  EXPECT_NE(Uuid::random(), Uuid::random());
}

TEST(JsonCodec, HostileTextIsADecodeErrorNotACrash) {
  std::string deep(100000, '[');
  EXPECT_THROW(codec::parse(deep), DecodeError);
  EXPECT_THROW(codec::parse("{\"a\": \"\xff\"}"), DecodeError);
  EXPECT_THROW(codec::parse("{\"a\": 1"), DecodeError);
  EXPECT_THROW(codec::parse(""), DecodeError);
  // Brackets inside strings do not count towards the depth.
  EXPECT_NO_THROW(codec::parse("[\"" + std::string(1000, '[') + "\"]"));
}

TEST(JsonCodec, StoredFormSortsKeys) {
  Json j = Json::object();
  j["b"] = 1;
  j["a"] = 2;
  EXPECT_EQ(codec::dumpStored(j), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
}

}  // namespace
}  // namespace tallowick
