#include "shared/wire.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
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

}  // namespace
}  // namespace tallowick
