#include "shared/json_codec.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

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

// Every field of the text, across the whole range: a date written and read
// back is the same whole second.
TEST(DateCodec, WrittenDatesReadBackAcrossTheRange) {
  const seconds span = floor<seconds>(kLatestDate - kDistantPast);
  constexpr int kSteps = 20000;
  for (int i = 0; i <= kSteps; ++i) {
    // A step that is no whole number of minutes, hours or days, so every
    // field takes many values.
    const Date date = kDistantPast + span / kSteps * i + seconds(i % 86400) + 250ms;
    const std::string text = codec::formatDate(date);
    const auto parsed = codec::parseDate(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, codec::wholeSeconds(std::min(date, kLatestDate))) << text;
  }
}

TEST(DateCodec, TheEndsOfTheWrittenRange) {
  EXPECT_EQ(codec::formatDate(kDistantPast), "0001-01-01T00:00:00Z");
  EXPECT_EQ(codec::formatDate(kLatestDate), "9999-12-31T23:59:59Z");
  // Dates beyond them are written as the nearest end, so the text reads back.
  EXPECT_EQ(codec::formatDate(kDistantPast - 1s), "0001-01-01T00:00:00Z");
  EXPECT_EQ(codec::formatDate(kLatestDate + 1s), "9999-12-31T23:59:59Z");
  EXPECT_EQ(codec::formatDate(Date::min()), "0001-01-01T00:00:00Z");
  EXPECT_EQ(codec::formatDate(Date::max()), "9999-12-31T23:59:59Z");
  // A date far from 1970 keeps its sub-second part.
  const Date far = kLatestDate + 999'999us;
  EXPECT_EQ(codec::wholeSeconds(far), kLatestDate);
  EXPECT_LT(kLatestDate, far);
}

TEST(DateCodec, ParsesOnlyTheStrictForm) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"2026-03-01T08:30:00Z", true},
      {"2024-02-29T23:59:59Z", true},
      {"2026-03-01T08:30:00.000Z", false},
      {"2026-03-01T08:30:00+00:00", false},
      {"2026-03-01 08:30:00Z", false},
      {"2026-03-01T08:30:00z", false},
      {"2025-02-29T00:00:00Z", false},
      {"2026-13-01T00:00:00Z", false},
      {"2026-01-01T24:00:00Z", false},
      {"2026-01-01T00:60:00Z", false},
      {"2026-01-01T00:00:60Z", false},
      {"", false},
      {"+026-01-01T00:00:00Z", false},
      {"2026-01-01T00:00:00", false},
      // Every year the form can write but the year 0, beyond where a count
      // of nanoseconds ends (1677 and 2262).
      {"0001-01-01T00:00:00Z", true},
      {"1677-09-21T00:12:43Z", true},
      {"2262-04-11T23:47:17Z", true},
      {"3000-01-01T00:00:00Z", true},
      {"9999-12-31T23:59:59Z", true},
      {"0000-12-31T23:59:59Z", false},
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
  } cases[] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
               {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\xfe\x00", 3), "//4A"}};
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
  for (const char* bad :
       {"0f1e2d3c4b5a69788796a5b4c3d2e1f0", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fg",
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

// Every 12-bit group in every position of a quartet, against OpenSSL's
// encoder: a table-driven encoder and its own decoder could agree on a
// wrong alphabet.
TEST(Base64Codec, EncodesAsOpenSSLDoes) {
  for (std::size_t shift : {0u, 1u, 2u}) {
    Bytes raw(shift);
    for (std::uint32_t v = 0; v < 4096; ++v) {
      raw.push_back(static_cast<std::uint8_t>(v >> 4));
      raw.push_back(static_cast<std::uint8_t>(v << 4 | (v >> 8)));
      raw.push_back(static_cast<std::uint8_t>(v));
    }
    std::string expected((raw.size() + 2) / 3 * 4 + 1, '\0');
    expected.resize(
        static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                                 raw.data(), static_cast<int>(raw.size()))));
    EXPECT_EQ(codec::base64Encode(raw), expected) << "shift " << shift;
  }
}

TEST(Base64Codec, RoundTripsEveryTailLengthAndRejectsAForeignCharacterAnywhere) {
  std::mt19937 rng(7);
  for (std::size_t size = 0; size < 40; ++size) {
    Bytes raw(size);
    for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
    const std::string text = codec::base64Encode(raw);
    ASSERT_EQ(text.size(), (size + 2) / 3 * 4);
    EXPECT_EQ(codec::base64Decode(text), raw) << text;
    for (std::size_t at = 0; at < text.size(); ++at) {
      for (char bad : {'!', '-', '\0', '\x80'}) {
        std::string broken = text;
        broken[at] = bad;
        EXPECT_FALSE(codec::base64Decode(broken)) << broken << " at " << at;
      }
      // Padding is only valid in the last two places of the last quartet.
      if (at + 2 < text.size() && text[at] != '=') {
        std::string broken = text;
        broken[at] = '=';
        EXPECT_FALSE(codec::base64Decode(broken)) << broken;
      }
    }
  }
}

// nlohmann's own compact form and parse, which parse and dumpCompact must
// match byte for byte whatever shortcuts they take.
std::string plainCompact(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string parseOutcome(const std::string& text, bool plain) {
  try {
    return plainCompact(plain ? Json::parse(text) : codec::parse(text));
  } catch (const Json::exception& e) {
    return std::string("The given data was not valid JSON. ") + e.what();
  } catch (const DecodeError& e) {
    return e.what();
  }
}

void expectSameAsNlohmann(const Json& value) {
  const std::string compact = plainCompact(value);
  EXPECT_EQ(codec::dumpCompact(value), compact);
  // Whitespace between tokens, around keys and long values alike.
  const std::string pretty = value.dump(2, ' ', false, Json::error_handler_t::replace);
  for (const std::string& text : {compact, pretty}) {
    const std::string got = parseOutcome(text, false);
    EXPECT_EQ(got, parseOutcome(text, true));
  }
}

std::string longText(std::size_t size, char fill = 'A') {
  std::string s(size, fill);
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(fill + i % 26);
  return s;
}

TEST(JsonCodec, LongStringsReadAndWriteAsNlohmannDoes) {
  const std::size_t k = codec::kLongString;
  auto with = [&](std::string s, std::size_t at, std::string_view insert) {
    return s.replace(at, insert.size(), insert);
  };
  struct Case {
    const char* what;
    Json value;
  };
  const Case cases[] = {
      {"just below the threshold", Json{{"data", longText(k - 1)}}},
      {"at the threshold", Json{{"data", longText(k)}}},
      {"above the threshold", Json{{"data", longText(k + 1)}}},
      {"Base64 alphabet and padding", Json{{"data", std::string(3 * k, '+') + "/=="}}},
      {"DEL and space stay raw", Json{{"data", with(longText(k), 10, "\x7F x")}}},
      {"quote near the end", Json{{"data", with(longText(k + 5), k + 3, "\"")}}},
      {"backslash at the start", Json{{"data", with(longText(k), 0, "\\")}}},
      {"escaped backslash before the end", Json{{"data", with(longText(k), k - 1, "\\")}}},
      {"control character", Json{{"data", with(longText(k), k / 2, "\n\t\x01")}}},
      {"non-ASCII", Json{{"data", with(longText(k), 7, "\xC3\xA9")}}},
      {"emoji at the end", Json{{"data", with(longText(k), k - 4, "\xF0\x9F\x98\x80")}}},
      {"invalid UTF-8 is replaced when written", Json{{"data", with(longText(k), 3, "\xFF")}}},
      {"top-level string", Json(longText(2 * k))},
      {"several in an array", Json::array({longText(k), 1, longText(k + 1, 'a'), "", longText(k)})},
      {"long key", Json{{longText(k), longText(k)}, {"b", "short"}}},
      {"long key with escape", Json{{with(longText(k), 1, "\""), 1}}},
      {"short strings beside long ones",
       Json{{"a", "x\"y"}, {"b", longText(k)}, {"c", Json::array({"\\", longText(k + 2)})}}},
      {"empty containers beside",
       Json{{"a", Json::object()}, {"b", Json::array()}, {"c", Json::array({longText(k)})}}},
      {"nested", Json{{"x", Json{{"y", Json::array({Json{{"z", longText(k)}}, nullptr, 1.5})}}}}},
      {"numbers and literals beside", Json{{"a", 18446744073709551615ull},
                                           {"b", -1},
                                           {"c", true},
                                           {"d", longText(k)},
                                           {"e", 0.1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expectSameAsNlohmann(c.value);
  }
}

TEST(JsonCodec, TextsWithLongStringsFailOrSucceedAsNlohmannDoes) {
  const std::string v = longText(codec::kLongString + 3);
  const std::string cases[] = {
      R"({"a":")" + v + R"(","a":"x"})",                   // duplicate key, last wins
      R"({"a":"x","a":")" + v + R"("})",                   // duplicate key, long one last
      R"({"a":")" + v + R"(","b":)" + R"(")" + v + "\"}",  // two long values
      R"({"a" : ")" + v + "\" \n}",                        // whitespace around
      R"({")" + v + R"(":1})",                             // long key
      R"({")" + v + R"(" :")" + v + "\"}",                 // long key then long value
      R"({"a":")" + v + R"("})" + "x",                     // trailing garbage
      R"({"a":")" + v + R"(" "b":1})",                     // missing comma after it
      R"({"a":")" + v + R"(":1})",                         // a value where a key is
      R"([")" + v + R"(",])",                              // trailing comma
      R"({"a":")" + v,                                     // unterminated
      R"({"a":")" + v + "\\\"}",                           // escaped closing quote
      R"({"a":")" + v + R"("} {"b":")" + v + "\"}",        // two documents
      "{\"a\":\"" + v + "\",\"b\":\"\xC3\x28\"}",          // invalid UTF-8 after it
      "{\"a\":\"\xC0\xAF\",\"b\":\"" + v + "\"}",          // invalid UTF-8 before it
      R"(["\ud800",")" + v + "\"]",                        // lone surrogate before it
      "[\"" + v + "\"," + std::string(300, '[') + std::string(300, ']') + "]",  // too deep
      "[\"" + v + "[[[[\"]",          // brackets inside do not count
      "\"" + v + "\"",                // top-level string
      "\"" + v + "\" \"" + v + "\"",  // two top-level strings
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text.substr(0, 40) + "..." +
                 text.substr(text.size() - std::min<std::size_t>(text.size(), 40)));
    const std::string expected = text.find(std::string(300, '[')) != std::string::npos
                                     ? "The JSON nesting is too deep."
                                     : parseOutcome(text, true);
    EXPECT_EQ(parseOutcome(text, false), expected);
  }
}

Json randomValue(std::mt19937& rng, int depth) {
  const std::size_t k = codec::kLongString;
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto randomString = [&] {
    const std::size_t lengths[] = {0, 3, k - 1, k, k + 1, 2 * k + pick(100)};
    std::string s = longText(lengths[pick(6)], "Aa0"[pick(3)]);
    // Sometimes one character that needs escaping or is not ASCII.
    const std::string_view specials[] = {"\"",       "\\",           "\n",   "\x1F",
                                         "\xC3\xA9", "\xE2\x82\xAC", "\x7F", "/"};
    if (!s.empty() && pick(3) == 0) {
      const auto special = specials[pick(8)];
      s.insert(pick(s.size() + 1), special);
    }
    return s;
  };
  const std::size_t kind = depth >= 4 ? pick(4) : pick(6);
  switch (kind) {
    case 0:
      return randomString();
    case 1:
      return static_cast<std::int64_t>(rng()) - 100000;
    case 2:
      return pick(2) == 0;
    case 3:
      return nullptr;
    case 4: {
      Json a = Json::array();
      for (std::size_t n = pick(4); n > 0; --n) a.push_back(randomValue(rng, depth + 1));
      return a;
    }
    default: {
      Json o = Json::object();
      for (std::size_t n = pick(4); n > 0; --n) {
        std::string key =
            pick(8) == 0 ? randomString() : std::string(1, static_cast<char>('a' + pick(26)));
        o[key] = randomValue(rng, depth + 1);
      }
      return o;
    }
  }
}

TEST(JsonCodec, RandomDocumentsMatchNlohmann) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    expectSameAsNlohmann(randomValue(rng, 0));
  }
}

}  // namespace
}  // namespace tallowick
