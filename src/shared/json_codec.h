#pragma once

// The one place that fixes how this project writes and reads JSON: dates as
// ISO 8601 UTC with whole seconds, UUIDs upper-case, Base64 for data,
// optionals left out when absent, unsigned 64-bit numbers exact, stored files
// pretty-printed with sorted keys. Every encoder and decoder goes through it.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "shared/uuid.h"

namespace tallowick {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// A point in time, to the microsecond. Its count spans some 290,000 years
// either side of 1970, so every date the ISO 8601 form writes (the years 1 to
// 9999) and any file time within them is held as it is.
using Date = std::chrono::sys_time<std::chrono::microseconds>;

// The system clock's current time.
inline Date currentDate() {
  return std::chrono::floor<Date::duration>(std::chrono::system_clock::now());
}

// "The distant past", 0001-01-01T00:00:00Z: the earliest date written, and
// the date of a summary before any scan.
inline constexpr Date kDistantPast{std::chrono::sys_days{std::chrono::year{1} / 1 / 1}};
// 9999-12-31T23:59:59Z, the last whole second written.
inline constexpr Date kLatestDate{std::chrono::sys_days{std::chrono::year{9999} / 12 / 31} +
                                  std::chrono::seconds{86399}};

// Thrown by every decoder of this project; what() is the description that
// callers pass on (for example after "undecodable message: ").
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Enumerations with string raw values specialise EnumNames with their raw
// values in declaration order:
//   template <> struct EnumNames<Kind> {
//     static constexpr std::array<std::string_view, 6> names{"image", ...};
//   };
template <class E>
struct EnumNames;

template <class E>
std::string_view rawValue(E value) {
  return EnumNames<E>::names[static_cast<std::size_t>(value)];
}

// Exact, case-sensitive match of a raw value; anything else is no value.
template <class E>
std::optional<E> enumFromRaw(std::string_view text) {
  const auto& names = EnumNames<E>::names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

// All cases in declaration order.
template <class E>
std::vector<E> allCases() {
  std::vector<E> out;
  for (std::size_t i = 0; i < EnumNames<E>::names.size(); ++i) out.push_back(static_cast<E>(i));
  return out;
}

namespace codec {

// "2025-03-01T09:30:00Z". Sub-second parts are dropped (rounded down). A
// date before kDistantPast or after kLatestDate is written as that end, so
// the text always reads back.
std::string formatDate(Date date);
// Accepts only YYYY-MM-DDThh:mm:ssZ with valid calendar values, years 0001
// to 9999.
std::optional<Date> parseDate(std::string_view text);
// The same date with its sub-second part dropped, as it reads back.
Date wholeSeconds(Date date);

// Standard alphabet, with padding, no line breaks.
std::string base64Encode(const std::uint8_t* data, std::size_t size);
// The same text appended to `out`.
void appendBase64(std::string& out, const std::uint8_t* data, std::size_t size);
inline std::string base64Encode(const Bytes& data) {
  return base64Encode(data.data(), data.size());
}
// Strict: rejects characters outside the alphabet, bad padding and bad length.
std::optional<Bytes> base64Decode(std::string_view text);

// String values of at least this many bytes, all printable ASCII without '"'
// or '\\', are copied whole by parse and dumpCompact instead of going through
// nlohmann's per-character lexer and escaper (Base64 previews); the results
// are the same as nlohmann's.
inline constexpr std::size_t kLongString = 4096;

// Parses one JSON document. Throws DecodeError for malformed text, invalid
// UTF-8 or nesting deeper than kMaxDepth (the parser would otherwise recurse
// without bound on hostile input).
inline constexpr int kMaxDepth = 256;
Json parse(std::string_view text);

// Stored documents: pretty-printed, keys sorted (Json objects keep their keys
// sorted), a trailing newline.
std::string dumpStored(const Json& value);
// One compact line, no trailing newline (wire bodies, journal lines).
// Invalid UTF-8 in a string is replaced rather than thrown on.
std::string dumpCompact(const Json& value);

// Pieces of the compact form, for writers that put a document together
// without building a Json value first; each appends exactly what
// dumpCompact writes for that value.
// A string value, quotes included.
void appendString(std::string& out, std::string_view text);
// A date value, quotes included.
void appendDate(std::string& out, Date date);
void appendInteger(std::string& out, std::int64_t value);
void appendDouble(std::string& out, double value);

// ---- Encoding single values -------------------------------------------------

inline Json encode(const std::string& v) { return v; }
inline Json encode(std::string_view v) { return std::string(v); }
inline Json encode(const char* v) { return std::string(v); }
inline Json encode(bool v) { return v; }
inline Json encode(int v) { return v; }
inline Json encode(std::int64_t v) { return v; }
inline Json encode(std::uint64_t v) { return v; }
inline Json encode(double v) { return v; }
inline Json encode(Date v) { return formatDate(v); }
inline Json encode(const Uuid& v) { return v.string(); }
inline Json encode(const Bytes& v) { return base64Encode(v); }
template <class E>
requires std::is_enum_v<E> Json encode(E v) { return std::string(rawValue(v)); }
// Records provide `Json toJson() const`.
template <class T>
requires requires(const T& t) {
  { t.toJson() } -> std::convertible_to<Json>;
}
Json encode(const T& v) { return v.toJson(); }
template <class T>
requires(!std::is_same_v<T, std::uint8_t>) Json encode(const std::vector<T>& v) {
  Json array = Json::array();
  for (const auto& e : v) array.push_back(encode(e));
  return array;
}

// Writes key only when the optional holds a value.
template <class T>
void setOptional(Json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = encode(*value);
}

// ---- Decoding single values -------------------------------------------------

[[noreturn]] void typeMismatch(const char* expected, const Json& got);

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {
  using Element = T;
};

std::int64_t decodeInteger(const Json& value, std::int64_t min, std::int64_t max);
std::uint64_t decodeUnsigned(const Json& value);

// Decodes one value of type T. Records provide `static T fromJson(const Json&)`.
template <class T>
T decode(const Json& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    if (!value.is_string()) typeMismatch("string", value);
    return value.get<std::string>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!value.is_boolean()) typeMismatch("bool", value);
    return value.get<bool>();
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return decodeUnsigned(value);
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(
        decodeInteger(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
  } else if constexpr (std::is_same_v<T, double>) {
    if (!value.is_number()) typeMismatch("number", value);
    return value.get<double>();
  } else if constexpr (std::is_same_v<T, Date>) {
    if (!value.is_string()) typeMismatch("date string", value);
    auto date = parseDate(value.get_ref<const std::string&>());
    if (!date) throw DecodeError("Expected date string to be ISO8601-formatted.");
    return *date;
  } else if constexpr (std::is_same_v<T, Uuid>) {
    if (!value.is_string()) typeMismatch("UUID string", value);
    auto uuid = Uuid::parse(value.get_ref<const std::string&>());
    if (!uuid) throw DecodeError("Attempted to decode UUID from invalid UUID string.");
    return *uuid;
  } else if constexpr (std::is_same_v<T, Bytes>) {
    if (!value.is_string()) typeMismatch("Base64 string", value);
    auto data = base64Decode(value.get_ref<const std::string&>());
    if (!data) throw DecodeError("Encountered Data is not valid Base64.");
    return std::move(*data);
  } else if constexpr (std::is_enum_v<T>) {
    if (!value.is_string()) typeMismatch("string", value);
    auto e = enumFromRaw<T>(value.get_ref<const std::string&>());
    if (!e)
      throw DecodeError("Cannot initialize from invalid raw value " + value.get<std::string>());
    return *e;
  } else if constexpr (IsVector<T>::value) {
    if (!value.is_array()) typeMismatch("array", value);
    T out;
    out.reserve(value.size());
    for (const auto& e : value) out.push_back(decode<typename IsVector<T>::Element>(e));
    return out;
  } else {
    return T::fromJson(value);
  }
}

// A required member: missing, or of the wrong type, throws DecodeError naming
// the key.
template <class T>
T field(const Json& object, const char* key) {
  if (!object.is_object()) typeMismatch("object", object);
  auto it = object.find(key);
  if (it == object.end())
    throw DecodeError(std::string("No value associated with key \"") + key + "\".");
  try {
    return decode<T>(*it);
  } catch (const DecodeError& e) {
    throw DecodeError(std::string("Key \"") + key + "\": " + e.what());
  }
}

// An optional member: missing or null gives no value; a wrong type throws.
template <class T>
std::optional<T> optionalField(const Json& object, const char* key) {
  if (!object.is_object()) typeMismatch("object", object);
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  try {
    return decode<T>(*it);
  } catch (const DecodeError& e) {
    throw DecodeError(std::string("Key \"") + key + "\": " + e.what());
  }
}

}  // namespace codec
}  // namespace tallowick
