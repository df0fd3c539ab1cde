#include "shared/json_codec.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
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
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "object";
    case Json::value_t::array:
      return "array";
    case Json::value_t::string:
      return "string";
    case Json::value_t::boolean:
      return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "integer";
    case Json::value_t::number_float:
      return "number";
    default:
      return "other";
  }
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each Base64 character, -1 for every other byte.
constexpr std::array<std::int8_t, 256> kBase64Values = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}();

// True when every byte is in 0x20..0x7F and none is '"' or '\\': such text
// reads back from JSON as itself and is written without escapes. Eight bytes
// at a time, since it runs over whole previews.
bool isPlainJsonText(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  const char* p = text.data();
  const std::size_t n = text.size();
  // Each term has a high bit set in some byte iff: a byte is below 0x20, a
  // byte is 0x80 or above, a byte is '"', a byte is '\\'.
  auto badBits = [&](const char* at) {
    std::uint64_t x;
    std::memcpy(&x, at, 8);
    const std::uint64_t quote = x ^ (kOnes * '"');
    const std::uint64_t backslash = x ^ (kOnes * '\\');
    return ((x - kOnes * 0x20) & ~x) | x | ((quote - kOnes) & ~quote) |
           ((backslash - kOnes) & ~backslash);
  };
  std::size_t i = 0;
  // One test per 32 bytes: the words are independent, so they overlap.
  for (; i + 32 <= n; i += 32) {
    if ((badBits(p + i) | badBits(p + i + 8) | badBits(p + i + 16) | badBits(p + i + 24)) & kHighs)
      return false;
  }
  for (; i + 8 <= n; i += 8) {
    if (badBits(p + i) & kHighs) return false;
  }
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') return false;
  }
  return true;
}

bool isLongPlainString(const Json& value) {
  if (!value.is_string()) return false;
  const auto& s = value.get_ref<const std::string&>();
  return s.size() >= kLongString && isPlainJsonText(s);
}

// The bytes held in strings long enough for the whole-copy path, plain or
// not (only their lengths are read): zero sends the value to nlohmann whole.
std::size_t longStringBytes(const Json& value) {
  if (value.is_structured()) {
    std::size_t total = 0;
    for (const auto& child : value) total += longStringBytes(child);
    return total;
  }
  if (!value.is_string()) return 0;
  std::size_t size = value.get_ref<const std::string&>().size();
  return size >= kLongString ? size : 0;
}

std::string nlohmannCompact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Writes the compact form of `value` as nlohmann would, but copies long plain
// strings whole instead of passing them through its per-character escaper.
// Subtrees without such strings go to nlohmann as they are.
void appendCompact(const Json& value, std::string& out) {
  if (isLongPlainString(value)) {
    const auto& s = value.get_ref<const std::string&>();
    out.push_back('"');
    out.append(s);
    out.push_back('"');
  } else if (!value.is_structured()) {
    // Scalars one at a time: asking each subtree whether it holds a long
    // string would read every such string once per level above it.
    out.append(nlohmannCompact(value));
  } else if (value.is_object()) {
    out.push_back('{');
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!first) out.push_back(',');
      first = false;
      out.append(nlohmannCompact(Json(it.key())));
      out.push_back(':');
      appendCompact(it.value(), out);
    }
    out.push_back('}');
  } else {
    out.push_back('[');
    bool first = true;
    for (const auto& element : value) {
      if (!first) out.push_back(',');
      first = false;
      appendCompact(element, out);
    }
    out.push_back(']');
  }
}

bool isJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A long plain string value in a text being parsed: its content and its
// position among all string values of the document, in text order.
struct LongValue {
  std::size_t begin;
  std::size_t end;
  std::size_t ordinal;
};

Json parseWithNlohmann(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    throw DecodeError(std::string("The given data was not valid JSON. ") + e.what());
  }
}

}  // namespace

Date wholeSeconds(Date date) { return std::chrono::floor<seconds>(date); }

namespace {

// Writes the 20 characters of the date and a terminating NUL.
void writeDate(Date date, char (&buf)[32]) {
  auto secs = std::chrono::floor<seconds>(std::clamp(date, kDistantPast, kLatestDate));
  auto day = std::chrono::floor<days>(secs);
  std::chrono::year_month_day ymd{day};
  std::chrono::hh_mm_ss<seconds> time{secs - day};
  // By hand rather than with snprintf: a report writes three dates an item.
  // The clamp above keeps the year within four digits.
  auto digits = [&buf](std::size_t at, unsigned value, std::size_t count) {
    for (std::size_t i = count; i-- > 0; value /= 10)
      buf[at + i] = static_cast<char>('0' + value % 10);
  };
  digits(0, static_cast<unsigned>(static_cast<int>(ymd.year())), 4);
  buf[4] = '-';
  digits(5, static_cast<unsigned>(ymd.month()), 2);
  buf[7] = '-';
  digits(8, static_cast<unsigned>(ymd.day()), 2);
  buf[10] = 'T';
  digits(11, static_cast<unsigned>(time.hours().count()), 2);
  buf[13] = ':';
  digits(14, static_cast<unsigned>(time.minutes().count()), 2);
  buf[16] = ':';
  digits(17, static_cast<unsigned>(time.seconds().count()), 2);
  buf[19] = 'Z';
  buf[20] = '\0';
}

}  // namespace

std::string formatDate(Date date) {
  char buf[32];
  writeDate(date, buf);
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
  const Date date =
      sys_days{ymd} + std::chrono::hours{hour} + std::chrono::minutes{minute} + seconds{second};
  if (date < kDistantPast) return std::nullopt;  // the year 0
  return date;
}

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
  std::string out;
  appendBase64(out, data, size);
  return out;
}

void appendBase64(std::string& out, const std::uint8_t* data, std::size_t size) {
  // Two output characters per lookup: pictures of a card batch are
  // megabytes, and this loop is most of the time spent sending them.
  static const auto kPairs = [] {
    std::array<char, 4096 * 2> pairs{};
    for (std::size_t v = 0; v < 4096; ++v) {
      pairs[2 * v] = kBase64Alphabet[v >> 6];
      pairs[2 * v + 1] = kBase64Alphabet[v & 63];
    }
    return pairs;
  }();
  const std::size_t start = out.size();
  out.resize(start + (size + 2) / 3 * 4);
  char* o = out.data() + start;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3, o += 4) {
    const std::uint32_t v =
        std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2];
    std::memcpy(o, &kPairs[2 * (v >> 12)], 2);
    std::memcpy(o + 2, &kPairs[2 * (v & 4095)], 2);
  }
  if (std::size_t rest = size - i; rest > 0) {
    const std::uint32_t v =
        std::uint32_t{data[i]} << 16 | (rest == 2 ? std::uint32_t{data[i + 1]} << 8 : 0);
    o[0] = kBase64Alphabet[v >> 18 & 63];
    o[1] = kBase64Alphabet[v >> 12 & 63];
    o[2] = rest == 2 ? kBase64Alphabet[v >> 6 & 63] : '=';
    o[3] = '=';
  }
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return Bytes{};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t last = text.size() - 4;
  // Padding is allowed only at the end: "x===" and "xx=y" fail below because
  // '=' has no value.
  const int pad = (s[last + 3] == '=') + (s[last + 2] == '=' && s[last + 3] == '=');
  Bytes out(text.size() / 4 * 3 - static_cast<std::size_t>(pad));
  std::uint8_t* o = out.data();
  for (std::size_t i = 0; i < last; i += 4, o += 3) {
    const int a = kBase64Values[s[i]], b = kBase64Values[s[i + 1]];
    const int c = kBase64Values[s[i + 2]], d = kBase64Values[s[i + 3]];
    if ((a | b | c | d) < 0) return std::nullopt;
    const auto v = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
    o[0] = static_cast<std::uint8_t>(v >> 16);
    o[1] = static_cast<std::uint8_t>(v >> 8);
    o[2] = static_cast<std::uint8_t>(v);
  }
  const int a = kBase64Values[s[last]], b = kBase64Values[s[last + 1]];
  const int c = pad >= 2 ? 0 : kBase64Values[s[last + 2]];
  const int d = pad >= 1 ? 0 : kBase64Values[s[last + 3]];
  if ((a | b | c | d) < 0) return std::nullopt;
  const auto v = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
  o[0] = static_cast<std::uint8_t>(v >> 16);
  if (pad < 2) o[1] = static_cast<std::uint8_t>(v >> 8);
  if (pad < 1) o[2] = static_cast<std::uint8_t>(v);
  return out;
}

Json parse(std::string_view text) {
  // One pass bounds the nesting before the parser sees the text (it would
  // otherwise recurse without bound on hostile input) and finds long string
  // values without escapes, which are kept away from nlohmann's lexer: it
  // reads them a character at a time, many times slower than a copy.
  const std::size_t n = text.size();
  int depth = 0;
  std::size_t stringValues = 0;
  std::vector<LongValue> longValues;
  for (std::size_t i = 0; i < n;) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t begin = i + 1;
      bool escaped = false;
      std::size_t quote = text.find('"', begin);
      for (std::size_t from = begin;;) {
        if (quote == std::string_view::npos) quote = n;
        const std::size_t backslash = text.substr(0, quote).find('\\', from);
        if (backslash == std::string_view::npos) break;
        escaped = true;
        from = backslash + 2;
        // The quote found was the escaped character: look further.
        if (from > quote) quote = from >= n ? n : text.find('"', from);
      }
      if (quote >= n) break;  // unterminated; the parser reports it
      i = quote + 1;
      std::size_t next = i;
      while (next < n && isJsonWhitespace(text[next])) ++next;
      if (next < n && text[next] == ':') continue;  // a key
      if (!escaped && quote - begin >= kLongString &&
          isPlainJsonText(text.substr(begin, quote - begin))) {
        longValues.push_back({begin, quote, stringValues});
      }
      ++stringValues;
      continue;
    }
    if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) throw DecodeError("The JSON nesting is too deep.");
    } else if (c == ']' || c == '}') {
      --depth;
    }
    ++i;
  }
  if (longValues.empty()) return parseWithNlohmann(text);

  // Parse the text with each long value emptied, then put the values back
  // as the parser meets them. Such a value is valid JSON whatever it holds,
  // so emptying it neither makes nor hides an error.
  std::string rest;
  std::size_t copied = 0;
  for (const auto& v : longValues) {
    rest.append(text.substr(copied, v.begin - copied));
    copied = v.end;
  }
  rest.append(text.substr(copied));
  std::size_t ordinal = 0;
  std::size_t nextLong = 0;
  const Json::parser_callback_t restore = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::value && parsed.is_string()) {
      if (nextLong < longValues.size() && longValues[nextLong].ordinal == ordinal) {
        const auto& v = longValues[nextLong++];
        parsed.get_ref<std::string&>().assign(text.substr(v.begin, v.end - v.begin));
      }
      ++ordinal;
    }
    return true;
  };
  try {
    Json result = Json::parse(rest.begin(), rest.end(), restore);
    if (nextLong == longValues.size() && ordinal == stringValues) return result;
  } catch (const Json::exception&) {
    // Fall through: the whole text again gives the error its exact wording.
  }
  return parseWithNlohmann(text);
}

std::string dumpStored(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string dumpCompact(const Json& value) {
  std::size_t longBytes = longStringBytes(value);
  if (longBytes == 0) return nlohmannCompact(value);
  // Long strings are most of such a document (Base64 pictures); room for
  // them and the rest saves copying them again as the text grows.
  std::string out;
  out.reserve(longBytes + longBytes / 16 + 4096);
  appendCompact(value, out);
  return out;
}

void appendString(std::string& out, std::string_view text) {
  if (!isPlainJsonText(text)) {
    // Escapes and the replacement of invalid UTF-8 exactly as nlohmann
    // writes them; names and paths are rarely anything but plain.
    out.append(nlohmannCompact(Json(std::string(text))));
    return;
  }
  out.push_back('"');
  out.append(text);
  out.push_back('"');
}

void appendDate(std::string& out, Date date) {
  char buf[32];
  writeDate(date, buf);
  out.push_back('"');
  out.append(buf);
  out.push_back('"');
}

void appendInteger(std::string& out, std::int64_t value) {
  char buf[24];
  auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

void appendDouble(std::string& out, double value) {
  // nlohmann's shortest round-trip form, with its choice of where
  // exponents start and of "null" for what JSON cannot hold.
  out.append(nlohmannCompact(Json(value)));
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
  if (value.is_number_float())
    throw DecodeError("Number " + value.dump() + " is not an unsigned integer.");
  typeMismatch("unsigned integer", value);
}

}  // namespace tallowick::codec
