#include "shared/wire.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <random>
#include <string>
#include <variant>
#include <vector>

namespace tallowick {
namespace {

using M = Message;

TEST(WireTest, FrameLengthTable) {
  struct Case {
    std::vector<std::uint8_t> header;
    std::optional<std::uint32_t> expect;
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x00, 0x00}, std::nullopt},  // empty body
      {{0x00, 0x00, 0x00, 0x01}, 1},
      {{0x00, 0x00, 0x01, 0x00}, 256},
      {{0x00, 0x01, 0x02, 0x03}, 0x010203},
      {{0x04, 0x00, 0x00, 0x00}, 67'108'864},  // maxFrame itself
      {{0x03, 0xFF, 0xFF, 0xFF}, 67'108'863},
      {{0x04, 0x00, 0x00, 0x01}, std::nullopt},  // one past maxFrame
      {{0x80, 0x00, 0x00, 0x00}, std::nullopt},
      {{0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
      {{}, std::nullopt},
      {{0x00, 0x09}, std::nullopt},
      {{0x00, 0x00, 0x09}, std::nullopt},
      {{0x00, 0x00, 0x00, 0x09, 0x00}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Wire::frameLength(std::span<const std::uint8_t>(c.header)), c.expect)
        << testing::PrintToString(c.header);
    std::string_view asText(reinterpret_cast<const char*>(c.header.data()), c.header.size());
    EXPECT_EQ(Wire::frameLength(asText), c.expect);
  }
}

TEST(WireTest, OkIsNineBytesBehindItsHeader) {
  auto frame = Wire::encode(M::Ok{});
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, std::string("\x00\x00\x00\x09", 4) + R"({"ok":{}})");
}

TEST(WireTest, HeaderIsBigEndianBodyLength) {
  // A body above 65535 bytes puts a non-zero value in the third header byte.
  M::PreviewData preview{Uuid::random(), Bytes(60'000, 0x5A)};
  auto frame = Wire::encode(preview);
  ASSERT_TRUE(frame);
  const std::size_t n = frame->size() - Wire::kHeaderSize;
  ASSERT_GT(n, 0xFFFFu);
  const auto* b = reinterpret_cast<const std::uint8_t*>(frame->data());
  EXPECT_EQ(b[0], (n >> 24) & 0xFF);
  EXPECT_EQ(b[1], (n >> 16) & 0xFF);
  EXPECT_EQ(b[2], (n >> 8) & 0xFF);
  EXPECT_EQ(b[3], n & 0xFF);
  EXPECT_EQ(Wire::frameLength(std::string_view(*frame).substr(0, 4)), n);
  EXPECT_EQ(Wire::decode(std::string_view(*frame).substr(4)), Message(preview));
}

TEST(WireTest, ConsecutiveFramesSplitAtTheirHeaders) {
  const std::vector<Message> sent = {M::Summary{}, M::Decision{Uuid::random(), Action::trash},
                                     M::Refused{"paths: /a/b \"quoted\" ünïcode"}};
  std::string stream;
  for (const auto& m : sent) stream += *Wire::encode(m);
  std::vector<Message> received;
  std::string_view rest = stream;
  while (!rest.empty()) {
    auto n = Wire::frameLength(rest.substr(0, Wire::kHeaderSize));
    ASSERT_TRUE(n);
    received.push_back(Wire::decode(rest.substr(Wire::kHeaderSize, *n)));
    rest.remove_prefix(Wire::kHeaderSize + *n);
  }
  EXPECT_EQ(received, sent);
}

TEST(WireTest, BodiesAboveMaxFrameAreFramedButRefusedByTheReader) {
  std::string body(Wire::maxFrame + 1, ' ');
  auto frame = Wire::frame(body);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->substr(0, 4), std::string("\x04\x00\x00\x01", 4));
  EXPECT_EQ(Wire::frameLength(std::string_view(*frame).substr(0, 4)), std::nullopt);
}

TEST(WireTest, BodyOfFourGibibytesCannotBeFramed) {
  // Reserve address space only: a refusal must happen before any byte is read.
  const std::size_t size = std::size_t{1} << 32;
  void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  EXPECT_EQ(Wire::frame(std::string_view(static_cast<const char*>(p), size)), std::nullopt);
  ::munmap(p, size);
}

TEST(WireTest, HostileBodiesEndInDecodeError) {
  struct Case {
    const char* what;
    std::string body;
    const char* errorContains = nullptr;
  };
  const std::string kCount = "Invalid number of keys found, expected one.";
  const Case cases[] = {
      {"empty body", ""},
      {"whitespace", "   "},
      {"truncated object", R"({"ok":{)"},
      {"truncated string", R"({"refused":{"reason":"abc)"},
      {"trailing garbage", R"({"ok":{}}x)"},
      {"two documents", R"({"ok":{}}{"ok":{}})"},
      {"NUL inside", std::string("{\"ok\":{}\0}", 10)},
      {"deep arrays", std::string(100'000, '[')},
      {"deep objects",
       [] {
         std::string s;
         for (int i = 0; i < 50'000; ++i) s += R"({"ok":)";
         return s;
       }()},
      {"deep but closed", std::string(1000, '[') + std::string(1000, ']')},
      {"huge exponent", R"({"scanProgress":{"done":1e999,"total":1}})"},
      {"huge integer", R"({"scanProgress":{"done":123456789012345678901234567890,"total":1}})"},
      {"negative beyond int64",
       R"({"commitResult":{"trashed":0,"freed":-99999999999999999999,"failed":[]}})"},
      {"invalid UTF-8 in a string", "{\"refused\":{\"reason\":\"\xC3\x28\"}}"},
      {"overlong UTF-8", "{\"refused\":{\"reason\":\"\xC0\xAF\"}}"},
      {"lone surrogate escape", R"({"refused":{"reason":"\ud800"}})"},
      {"invalid UTF-8 outside strings", "{\"ok\":{}\xFF}"},
      {"two case names", R"({"summary":{},"commit":{}})", kCount.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      Wire::decode(c.body);
      ADD_FAILURE() << "decoded";
    } catch (const DecodeError& e) {
      if (c.errorContains) {
        EXPECT_NE(std::string(e.what()).find(c.errorContains), std::string::npos) << e.what();
      }
    }
  }
}

TEST(WireTest, ByteSpanDecodeMatchesTextDecode) {
  const std::string body = R"({"undo":{"id":"00000000-0000-0000-0000-0000000000FF"}})";
  std::vector<std::uint8_t> bytes(body.begin(), body.end());
  EXPECT_EQ(Wire::decode(std::span<const std::uint8_t>(bytes)), Wire::decode(body));
}

// Decoding through nlohmann's parser and Message::fromJson with no shortcut:
// the message, or the error text.
std::variant<Message, std::string> plainDecode(const std::string& body) {
  try {
    Json j;
    try {
      j = Json::parse(body);
    } catch (const Json::exception& e) {
      return std::string("The given data was not valid JSON. ") + e.what();
    }
    return Message::fromJson(j);
  } catch (const DecodeError& e) {
    return std::string(e.what());
  }
}

std::variant<Message, std::string> wireDecode(const std::string& body) {
  try {
    return Wire::decode(body);
  } catch (const DecodeError& e) {
    return std::string(e.what());
  }
}

std::string plainBody(const Message& m) {
  return m.toJson().dump(-1, ' ', false, Json::error_handler_t::replace);
}

TEST(WireTest, LargePreviewsFrameExactlyAsPlainJsonAndReadBack) {
  std::mt19937 rng(11);
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, codec::kLongString / 4 * 3 - 1, codec::kLongString / 4 * 3,
        std::size_t{1} << 20, (std::size_t{1} << 20) + 2}) {
    SCOPED_TRACE(size);
    Bytes data(size);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const Message m = M::PreviewData{Uuid::random(), data};
    auto frame = Wire::encode(m);
    ASSERT_TRUE(frame);
    const std::string body = frame->substr(Wire::kHeaderSize);
    EXPECT_EQ(body, plainBody(m));
    EXPECT_EQ(Wire::frameLength(std::string_view(*frame).substr(0, Wire::kHeaderSize)),
              body.size());
    EXPECT_EQ(Wire::decode(body), m);
  }
}

TEST(WireTest, BodiesWithLongStringsDecodeAsPlainJsonDoes) {
  const std::string id = "00000000-0000-0000-0000-0000000000FF";
  const std::string b64 = codec::base64Encode(Bytes(codec::kLongString, 0xFB));
  const std::string longReason(codec::kLongString * 2, 'r');
  auto preview = [&](const std::string& data) {
    return R"({"previewData":{"id":")" + id + R"(","data":")" + data + "\"}}";
  };
  struct Case {
    const char* what;
    std::string body;
  };
  const Case cases[] = {
      {"preview", preview(b64)},
      {"data not Base64", preview(std::string(codec::kLongString, '!'))},
      {"data with a line break escape", preview(b64.substr(0, 100) + "\\n" + b64.substr(100))},
      {"data with an escaped slash", preview(b64.substr(0, 100) + "\\/" + b64.substr(100))},
      {"data with invalid UTF-8", preview(b64 + "\xC3\x28")},
      {"data missing padding", preview(b64.substr(0, b64.size() - 1))},
      {"data is the id's place",
       R"({"previewData":{"id":")" + b64 + R"(","data":")" + b64 + "\"}}"},
      {"duplicate data, last wins",
       R"({"previewData":{"id":")" + id + R"(","data":"!!!!","data":")" + b64 + "\"}}"},
      {"duplicate data, bad one last",
       R"({"previewData":{"id":")" + id + R"(","data":")" + b64 + R"(","data":"!!!!"}})"},
      {"unknown long member",
       R"({"previewData":{"id":")" + id + R"(","x":")" + b64 + R"(","data":"AAAA"}})"},
      {"two case names", R"({"previewData":{"id":")" + id + R"(","data":")" + b64 +
                             R"("},"refused":{"reason":")" + longReason + "\"}}"},
      {"long case name", R"({")" + longReason + R"(":{}})"},
      {"long refusal", R"({"refused":{"reason":")" + longReason + "\"}}"},
      {"long refusal, whitespace", "{ \"refused\" : { \"reason\" :\n\"" + longReason + "\" } }"},
      {"long refusal with a quote", R"({"refused":{"reason":")" + longReason + R"(\"x"}})"},
      {"refusal as an array", R"({"refused":{"reason":[")" + longReason + "\"]}}"},
      {"truncated after data", preview(b64).substr(0, preview(b64).size() - 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = wireDecode(c.body);
    const auto expected = plainDecode(c.body);
    EXPECT_EQ(got, expected)
        << (std::holds_alternative<std::string>(got) ? std::get<std::string>(got) : "a message")
        << " / "
        << (std::holds_alternative<std::string>(expected) ? std::get<std::string>(expected)
                                                          : "a message");
  }
  // The outcomes themselves, so that a decoder that got laxer on both sides is noticed.
  EXPECT_TRUE(std::holds_alternative<Message>(wireDecode(cases[0].body)));
  EXPECT_EQ(std::get<std::string>(wireDecode(cases[1].body)),
            "Case \"previewData\": Key \"data\": Encountered Data is not valid Base64.");
  EXPECT_EQ(std::get<std::string>(wireDecode(cases[10].body)),
            "Invalid number of keys found, expected one.");
}

}  // namespace
}  // namespace tallowick
