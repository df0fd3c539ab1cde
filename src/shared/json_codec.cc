#include "shared/json_codec.h"

#include <cstdio>
#include <limits>

namespace tallowick::codec {

namespace {

using std::chrono::days;
using std::chrono::seconds;
using std::chrono::sys_days;

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& out) {
  out = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

const char* typeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "object";
    case Json::value_t::array: return "array";
    case Json::value_t::string: return "string";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "integer";
    case Json::value_t::number_float: return "number";
    default: return "other";
  }
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

Date wholeSeconds(Date date) { return std::chrono::floor<seconds>(date); }

std::string formatDate(Date date) {
  auto secs = std::chrono::floor<seconds>(date);
  auto day = std::chrono::floor<days>(secs);
  std::chrono::year_month_day ymd{day};
  std::chrono::hh_mm_ss<seconds> time{secs - day};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buf;
}

std::optional<Date> parseDate(std::string_view text) {
  // YYYY-MM-DDThh:mm:ssZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  int year, month, day, hour, minute, second;
  if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) ||
      !readDigits(text, 8, 2, day) || !readDigits(text, 11, 2, hour) ||
      !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second)) {
    return std::nullopt;
  }
  std::chrono::year_month_day ymd{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                                  std::chrono::day{unsigned(day)}};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return Date{sys_days{ymd} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
              seconds{second}};
}

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    std::uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
    out.push_back(kBase64Alphabet[v >> 18 & 63]);
    out.push_back(kBase64Alphabet[v >> 12 & 63]);
    out.push_back(kBase64Alphabet[v >> 6 & 63]);
    out.push_back(kBase64Alphabet[v & 63]);
  }
  if (std::size_t rest = size - i; rest > 0) {
    std::uint32_t v = data[i] << 16 | (rest == 2 ? data[i + 1] << 8 : 0);
    out.push_back(kBase64Alphabet[v >> 18 & 63]);
    out.push_back(kBase64Alphabet[v >> 12 & 63]);
    out.push_back(rest == 2 ? kBase64Alphabet[v >> 6 & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    if (last) pad = (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=');
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int d;
      if (k >= 4 - pad) {
        d = 0;
      } else {
        d = base64Value(static_cast<unsigned char>(text[i + k]));
        if (d < 0) return std::nullopt;
      }
      v = v << 6 | static_cast<std::uint32_t>(d);
    }
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

Json parse(std::string_view text) {
  // Bound the nesting before the parser sees the text.
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) throw DecodeError("The JSON nesting is too deep.");
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    throw DecodeError(std::string("The given data was not valid JSON. ") + e.what());
  }
}

std::string dumpStored(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string dumpCompact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void typeMismatch(const char* expected, const Json& got) {
  throw DecodeError(std::string("Expected to decode ") + expected + " but found " + typeName(got) +
                    " instead.");
}

std::int64_t decodeInteger(const Json& value, std::int64_t min, std::int64_t max) {
  std::int64_t v;
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw DecodeError("Number " + std::to_string(u) + " does not fit.");
    }
    v = static_cast<std::int64_t>(u);
  } else if (value.is_number_integer()) {
    v = value.get<std::int64_t>();
  } else if (value.is_number_float()) {
    double d = value.get<double>();
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) ||
        d != static_cast<double>(static_cast<std::int64_t>(d))) {
      throw DecodeError("Number " + value.dump() + " is not an integer that fits.");
    }
    v = static_cast<std::int64_t>(d);
  } else {
    typeMismatch("integer", value);
  }
  if (v < min || v > max) throw DecodeError("Number " + std::to_string(v) + " does not fit.");
  return v;
}

std::uint64_t decodeUnsigned(const Json& value) {
  // Read the integer text exactly; a double would lose the low bits.
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    auto v = value.get<std::int64_t>();
    if (v < 0) throw DecodeError("Number " + std::to_string(v) + " does not fit.");
    return static_cast<std::uint64_t>(v);
  }
  if (value.is_number_float()) throw DecodeError("Number " + value.dump() + " is not an unsigned integer.");
  typeMismatch("unsigned integer", value);
}

}  // namespace tallowick::codec
