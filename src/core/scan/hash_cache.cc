#include "core/scan/hash_cache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "shared/file_util.h"
#include "shared/prefault.h"

namespace tallowick {
namespace {

void appendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Walk order, each path once: a file this cache wrote is in that order
// already (one pass to see it); one from elsewhere is sorted. Of a path
// given twice the later record stays, as when a dictionary is read key by
// key.
void inWalkOrder(std::vector<HashCache::Record>& records) {
  const HashCache::WalkOrder before;
  auto ordered = [&](const HashCache::Record& a, const HashCache::Record& b) {
    return before(a.path, b.path);
  };
  if (std::adjacent_find(records.begin(), records.end(), [&](const auto& a, const auto& b) {
        return !ordered(a, b);
      }) == records.end()) {
    return;
  }
  std::stable_sort(records.begin(), records.end(), ordered);
  // Keep the last of each run of one path.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i + 1 < records.size() && records[i + 1].path == records[i].path) continue;
    if (kept != i) records[kept] = std::move(records[i]);
    ++kept;
  }
  records.resize(kept);
}

// Reads a cache's binary property list straight into records, without
// building the general tree of the format first: a rescan loads the whole
// cache before it looks at a file, so this is on every rescan's path. Every
// offset, reference and length is checked against the data; anything but
// the cache's own shape (a top dictionary from path to dictionaries of
// integers, reals and strings) makes the file undecodable. No object is
// followed more than two levels deep, so cycles in a hostile file end too.
class BinaryPlistReader {
 public:
  explicit BinaryPlistReader(std::string_view data) : data_(data) {}

  // The records in walk order of their paths, each path once (the later
  // of two).
  std::optional<std::vector<HashCache::Record>> read() {
    constexpr std::size_t kTrailerSize = 32;
    if (data_.size() < 8 + kTrailerSize || !data_.starts_with("bplist00")) return std::nullopt;
    const std::size_t trailer = data_.size() - kTrailerSize;
    offsetSize_ = static_cast<unsigned>(byteAt(trailer + 6));
    refSize_ = static_cast<unsigned>(byteAt(trailer + 7));
    objects_ = bigEndian(trailer + 8, 8);
    const std::uint64_t top = bigEndian(trailer + 16, 8);
    const std::uint64_t table = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return std::nullopt;
    if (table < 8 || table > trailer || top >= objects_ ||
        objects_ > (trailer - table) / offsetSize_) {
      return std::nullopt;
    }
    table_ = static_cast<std::size_t>(table);

    auto root = collection(top, kDict);
    if (!root) return std::nullopt;
    std::vector<HashCache::Record> records;
    records.reserve(static_cast<std::size_t>(root->count));
    prefault(records.data(), records.capacity() * sizeof(HashCache::Record));
    for (std::uint64_t i = 0; i < root->count; ++i) {
      auto path = string(reference(*root, i));
      if (!path) return std::nullopt;
      auto entry = this->entry(reference(*root, root->count + i));
      if (!entry) return std::nullopt;
      records.push_back({std::move(*path), std::move(*entry)});
    }
    inWalkOrder(records);
    return records;
  }

 private:
  enum : unsigned {
    kInt = 0x1,
    kReal = 0x2,
    kAsciiString = 0x5,
    kUnicodeString = 0x6,
    kDict = 0xD
  };

  struct Object {
    unsigned type = 0;
    // The marker's low bits: a count, or the width of a number.
    std::uint64_t count = 0;
    // Where the object's body starts, after the marker and any count.
    std::size_t body = 0;
  };

  std::uint8_t byteAt(std::size_t at) const { return static_cast<std::uint8_t>(data_[at]); }

  // REQUIRES: [at, at + bytes) lies inside the data.
  std::uint64_t bigEndian(std::size_t at, unsigned bytes) const {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) value = value << 8 | byteAt(at + i);
    return value;
  }

  // Objects lie between the header and the offset table.
  bool fits(std::size_t at, std::uint64_t bytes) const {
    return at <= table_ && bytes <= table_ - at;
  }

  std::optional<Object> object(std::uint64_t ref) const {
    if (ref >= objects_) return std::nullopt;
    const std::uint64_t at =
        bigEndian(table_ + static_cast<std::size_t>(ref) * offsetSize_, offsetSize_);
    if (at < 8 || at >= table_) return std::nullopt;
    Object o;
    o.type = byteAt(at) >> 4;
    o.count = byteAt(at) & 0x0F;
    o.body = static_cast<std::size_t>(at) + 1;
    const bool counted = o.type == kAsciiString || o.type == kUnicodeString || o.type == kDict;
    if (counted && o.count == 0x0F) {
      // A count of 15 or more follows as an integer object of 1 to 8 bytes.
      if (!fits(o.body, 1) || byteAt(o.body) >> 4 != kInt) return std::nullopt;
      const unsigned width = 1u << (byteAt(o.body) & 0x0F);
      if (width > 8 || !fits(o.body + 1, width)) return std::nullopt;
      o.count = bigEndian(o.body + 1, width);
      o.body += 1 + width;
    }
    return o;
  }

  struct Collection {
    std::size_t refs = 0;  // where the references start
    std::uint64_t count = 0;
  };

  std::optional<Collection> collection(std::uint64_t ref, unsigned type) const {
    auto o = object(ref);
    if (!o || o->type != type) return std::nullopt;
    // Keys, then values.
    if (o->count > (table_ - o->body) / (2 * refSize_)) return std::nullopt;
    return Collection{o->body, o->count};
  }

  // REQUIRES: i < 2 * c.count.
  std::uint64_t reference(const Collection& c, std::uint64_t i) const {
    return bigEndian(c.refs + static_cast<std::size_t>(i) * refSize_, refSize_);
  }

  std::optional<std::string> string(std::uint64_t ref) const {
    auto o = object(ref);
    if (!o) return std::nullopt;
    if (o->type == kAsciiString) {
      if (!fits(o->body, o->count)) return std::nullopt;
      const std::string_view text = data_.substr(o->body, static_cast<std::size_t>(o->count));
      // Bytes above 127 make no valid one-byte string, and a NUL belongs in
      // no path or digest.
      if (!isValidUTF8(text) || text.find('\0') != std::string_view::npos) return std::nullopt;
      return std::string(text);
    }
    if (o->type != kUnicodeString || o->count > (table_ - o->body) / 2) return std::nullopt;
    // Big-endian UTF-16 to UTF-8; a lone surrogate is no text.
    std::string out;
    out.reserve(static_cast<std::size_t>(o->count));
    for (std::uint64_t i = 0; i < o->count; ++i) {
      std::uint32_t unit = static_cast<std::uint32_t>(bigEndian(o->body + 2 * i, 2));
      if (unit == 0 || (unit >= 0xDC00 && unit < 0xE000)) return std::nullopt;
      if (unit >= 0xD800 && unit < 0xDC00) {
        if (++i == o->count) return std::nullopt;
        const auto low = static_cast<std::uint32_t>(bigEndian(o->body + 2 * i, 2));
        if (low < 0xDC00 || low >= 0xE000) return std::nullopt;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      appendUTF8(out, unit);
    }
    return out;
  }

  // A one-byte string's text as it lies in the data, without a copy; no
  // value for other objects (a string may also be written as UTF-16).
  std::optional<std::string_view> asciiText(std::uint64_t ref) const {
    auto o = object(ref);
    if (!o || o->type != kAsciiString || !fits(o->body, o->count)) return std::nullopt;
    return data_.substr(o->body, static_cast<std::size_t>(o->count));
  }

  // An entry's key. The known keys are plain ASCII and compared where they
  // lie; any other must still be a valid string.
  std::optional<std::string> key(std::uint64_t ref) const {
    if (auto text = asciiText(ref)) {
      for (std::string_view known : {"size", "mtime", "sha256", "phash", "width", "height"}) {
        if (*text == known) return std::string(known);
      }
    }
    return string(ref);
  }

  // Integers as the bits of their unsigned form: signed values (8 bytes)
  // travel as their two's complement; of the 16-byte form, which holds
  // values from 2^63 up, the lower half.
  std::optional<std::uint64_t> integer(const Object& o) const {
    if (o.type != kInt || o.count > 4) return std::nullopt;
    const unsigned width = 1u << o.count;
    if (!fits(o.body, width)) return std::nullopt;
    return bigEndian(o.body + width - std::min(width, 8u), std::min(width, 8u));
  }

  std::optional<std::int64_t> int64(std::uint64_t ref) const {
    auto o = object(ref);
    if (!o) return std::nullopt;
    auto bits = integer(*o);
    if (!bits) return std::nullopt;
    return static_cast<std::int64_t>(*bits);
  }

  std::optional<int> int32(std::uint64_t ref) const {
    auto value = int64(ref);
    if (!value || *value < INT_MIN || *value > INT_MAX) return std::nullopt;
    return static_cast<int>(*value);
  }

  // A whole number of seconds may have been written as an integer.
  std::optional<double> real(std::uint64_t ref) const {
    auto o = object(ref);
    if (!o) return std::nullopt;
    if (o->type == kInt) {
      auto bits = integer(*o);
      if (!bits) return std::nullopt;
      return static_cast<double>(static_cast<std::int64_t>(*bits));
    }
    if (o->type != kReal) return std::nullopt;
    if (o->count == 2 && fits(o->body, 4)) {
      return static_cast<double>(
          std::bit_cast<float>(static_cast<std::uint32_t>(bigEndian(o->body, 4))));
    }
    if (o->count == 3 && fits(o->body, 8)) return std::bit_cast<double>(bigEndian(o->body, 8));
    return std::nullopt;
  }

  // Missing optional keys are absent values, other keys are passed over; a
  // known key with a value of the wrong type makes the entry (and so the
  // file) undecodable.
  std::optional<HashCache::Entry> entry(std::uint64_t ref) const {
    auto dict = collection(ref, kDict);
    if (!dict) return std::nullopt;
    HashCache::Entry e;
    bool haveSize = false;
    bool haveTime = false;
    for (std::uint64_t i = 0; i < dict->count; ++i) {
      auto key = this->key(reference(*dict, i));
      if (!key) return std::nullopt;
      const std::uint64_t value = reference(*dict, dict->count + i);
      if (*key == "size") {
        auto size = int64(value);
        if (!size) return std::nullopt;
        e.size = *size;
        haveSize = true;
      } else if (*key == "mtime") {
        auto mtime = real(value);
        if (!mtime) return std::nullopt;
        e.mtime = *mtime;
        haveTime = true;
      } else if (*key == "sha256") {
        auto digest = asciiText(value);
        std::optional<std::string> text;
        if (!digest && (text = string(value))) digest = *text;
        if (!digest || !(e.sha256 = OptionalDigest::parse(*digest))) return std::nullopt;
      } else if (*key == "phash") {
        auto o = object(value);
        if (!o || !(e.phash = integer(*o))) return std::nullopt;
      } else if (*key == "width") {
        if (!(e.width = int32(value))) return std::nullopt;
      } else if (*key == "height") {
        if (!(e.height = int32(value))) return std::nullopt;
      }
    }
    if (!haveSize || !haveTime) return std::nullopt;
    return e;
  }

  std::string_view data_;
  unsigned offsetSize_ = 1;
  unsigned refSize_ = 1;
  std::uint64_t objects_ = 0;
  std::size_t table_ = 0;
};

// The binary property list ("bplist00") of a cache, written in one pass
// over the entries: a header, the objects, a table of their offsets and a
// trailer. The six entry keys are written once and shared by every entry;
// every other object is written where it is used. Object numbers follow the
// writing order, so each one is known before its object is written:
//   0          the top dictionary (path -> entry)
//   1..6       the entry keys
//   then, per entry: its path, its dictionary, its values in key order.
// Sizes are computed before writing (a first pass), so reference and offset
// widths are fixed up front and the offset table is produced by walking the
// same objects again instead of being kept in memory.
class BinaryPlistWriter {
 public:
  explicit BinaryPlistWriter(const std::vector<HashCache::Record>& records) : records_(records) {
    std::uint64_t objects = 1 + kKeys.size();
    std::uint64_t rootPairs = 0;
    std::uint64_t entryPairs = 0;
    std::uint64_t fixedBytes = 0;  // everything but the references
    for (const auto& key : kKeys) fixedBytes += stringSize(key);
    for (const auto& [path, entry, touched] : records_) {
      const int values = valueCount(entry);
      objects += 2 + static_cast<std::uint64_t>(values);
      rootPairs += 1;
      entryPairs += static_cast<std::uint64_t>(values);
      fixedBytes += stringSize(path) + dictHeaderSize(values) + valuesSize(entry);
    }
    fixedBytes += dictHeaderSize(rootPairs);
    objects_ = objects;
    refSize_ = byteWidth(objects);
    tableOffset_ = kHeader.size() + fixedBytes + 2 * (rootPairs + entryPairs) * refSize_;
    offsetSize_ = byteWidth(tableOffset_);
  }

  void write(OutputBuffer& out) const {
    out.append(kHeader);
    writeObjects(out);
    writeOffsetTable(out);
    writeTrailer(out);
  }

 private:
  static constexpr std::string_view kHeader = "bplist00";
  static constexpr std::array<std::string_view, 6> kKeys = {"size",  "mtime", "sha256",
                                                            "phash", "width", "height"};
  static constexpr std::uint64_t kFirstEntryObject = 1 + kKeys.size();

  enum : std::uint8_t {
    kInt = 0x10,
    kReal = 0x20,
    kAsciiString = 0x50,
    kUnicodeString = 0x60,
    kDict = 0xD0,
  };

  static int valueCount(const HashCache::Entry& e) {
    return 2 + e.sha256.has_value() + e.phash.has_value() + e.width.has_value() +
           e.height.has_value();
  }

  // 1, 2, 4 or 8: the bytes that hold every value up to `n`.
  static std::uint8_t byteWidth(std::uint64_t n) {
    if (n <= 0xFF) return 1;
    if (n <= 0xFFFF) return 2;
    if (n <= 0xFFFFFFFF) return 4;
    return 8;
  }

  // Integers are written in the fewest bytes of 1, 2, 4 and 8; negative ones
  // take 8 (the format's signed form) and unsigned ones from 2^63 up take
  // the 16-byte form, whose upper half is zero.
  static std::uint64_t intSize(std::uint64_t bits, bool negative) {
    if (negative) return 9;
    if (bits >> 63) return 17;
    return 1 + byteWidth(bits);
  }
  static std::uint64_t signedSize(std::int64_t v) {
    return intSize(static_cast<std::uint64_t>(v), v < 0);
  }
  // Counts of 15 and more follow the marker as an integer object.
  static std::uint64_t countSize(std::uint64_t count) {
    return count < 15 ? 1 : 1 + intSize(count, false);
  }
  static std::uint64_t utf16Units(std::string_view text) {
    std::uint64_t units = 0;
    for (unsigned char c : text) {
      if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;  // lead bytes only
    }
    return units;
  }
  static bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
      if (c >= 0x80) return false;
    }
    return true;
  }
  static std::uint64_t stringSize(std::string_view text) {
    if (isAscii(text)) return countSize(text.size()) + text.size();
    const std::uint64_t units = utf16Units(text);
    return countSize(units) + 2 * units;
  }
  // A digest's 64 ASCII digits.
  // A digest: its marker, its count (64) as a one-byte integer, its digits.
  static constexpr std::uint64_t kDigestSize = 1 + 2 + 64;
  std::uint64_t dictSize(std::uint64_t pairs) const {
    return dictHeaderSize(pairs) + 2 * pairs * refSize_;
  }
  static std::uint64_t dictHeaderSize(std::uint64_t pairs) { return countSize(pairs); }
  static std::uint64_t valuesSize(const HashCache::Entry& e) {
    std::uint64_t total = signedSize(e.size) + 9;
    if (e.sha256) total += kDigestSize;
    if (e.phash) total += intSize(*e.phash, false);
    if (e.width) total += signedSize(*e.width);
    if (e.height) total += signedSize(*e.height);
    return total;
  }

  static void appendBigEndian(OutputBuffer& out, std::uint64_t value, int bytes) {
    char buffer[8];
    for (int i = bytes - 1; i >= 0; --i) {
      buffer[i] = static_cast<char>(value & 0xFF);
      value >>= 8;
    }
    out.append(std::string_view(buffer, static_cast<std::size_t>(bytes)));
  }
  static void appendInt(OutputBuffer& out, std::uint64_t bits, bool negative) {
    if (!negative && bits >> 63) {
      out.append(static_cast<char>(kInt | 4));
      appendBigEndian(out, 0, 8);
      appendBigEndian(out, bits, 8);
      return;
    }
    const int width = negative ? 8 : byteWidth(bits);
    out.append(static_cast<char>(kInt | std::countr_zero(static_cast<unsigned>(width))));
    appendBigEndian(out, bits, width);
  }
  static void appendSigned(OutputBuffer& out, std::int64_t v) {
    appendInt(out, static_cast<std::uint64_t>(v), v < 0);
  }
  static void appendMarker(OutputBuffer& out, std::uint8_t type, std::uint64_t count) {
    if (count < 15) {
      out.append(static_cast<char>(type | count));
    } else {
      out.append(static_cast<char>(type | 0x0F));
      appendInt(out, count, false);
    }
  }
  static void appendString(OutputBuffer& out, std::string_view text) {
    if (isAscii(text)) {
      appendMarker(out, kAsciiString, text.size());
      out.append(text);
      return;
    }
    // UTF-8 (already validated) to big-endian UTF-16.
    appendMarker(out, kUnicodeString, utf16Units(text));
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
      std::uint32_t cp;
      if (*p < 0x80) {
        cp = *p++;
      } else if (*p < 0xE0) {
        cp = (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
        p += 2;
      } else if (*p < 0xF0) {
        cp = (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        p += 3;
      } else {
        cp = (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
        p += 4;
      }
      if (cp >= 0x10000) {
        cp -= 0x10000;
        appendBigEndian(out, 0xD800 + (cp >> 10), 2);
        appendBigEndian(out, 0xDC00 + (cp & 0x3FF), 2);
      } else {
        appendBigEndian(out, cp, 2);
      }
    }
  }
  static void appendReal(OutputBuffer& out, double value) {
    out.append(static_cast<char>(kReal | 3));
    appendBigEndian(out, std::bit_cast<std::uint64_t>(value), 8);
  }

  void writeObjects(OutputBuffer& out) const {
    // The top dictionary: every path's key string, then every entry's
    // dictionary, as numbered below.
    appendMarker(out, kDict, records_.size());
    std::uint64_t next = kFirstEntryObject;
    for (const auto& [path, entry, touched] : records_) {
      appendBigEndian(out, next, refSize_);
      next += 2 + static_cast<std::uint64_t>(valueCount(entry));
    }
    next = kFirstEntryObject;
    for (const auto& [path, entry, touched] : records_) {
      appendBigEndian(out, next + 1, refSize_);
      next += 2 + static_cast<std::uint64_t>(valueCount(entry));
    }
    for (const auto& key : kKeys) appendString(out, key);

    next = kFirstEntryObject;
    for (const auto& [path, e, touched] : records_) {
      appendString(out, path);
      const int values = valueCount(e);
      appendMarker(out, kDict, static_cast<std::uint64_t>(values));
      // Keys (objects 1..6), then the value objects that follow this
      // dictionary, both in key order.
      const bool present[6] = {true,
                               true,
                               e.sha256.has_value(),
                               e.phash.has_value(),
                               e.width.has_value(),
                               e.height.has_value()};
      for (std::size_t k = 0; k < kKeys.size(); ++k) {
        if (present[k]) appendBigEndian(out, 1 + k, refSize_);
      }
      for (int v = 0; v < values; ++v) {
        appendBigEndian(out, next + 2 + static_cast<std::uint64_t>(v), refSize_);
      }
      appendSigned(out, e.size);
      appendReal(out, e.mtime);
      if (e.sha256) {
        const std::array<char, 64> digits = e.sha256.text();
        appendString(out, std::string_view(digits.data(), digits.size()));
      }
      if (e.phash) appendInt(out, *e.phash, false);
      if (e.width) appendSigned(out, *e.width);
      if (e.height) appendSigned(out, *e.height);
      next += 2 + static_cast<std::uint64_t>(values);
    }
  }

  // The offsets of the objects in number order, found by adding up their
  // sizes in the order they were written.
  void writeOffsetTable(OutputBuffer& out) const {
    std::uint64_t offset = kHeader.size();
    auto emit = [&](std::uint64_t size) {
      appendBigEndian(out, offset, offsetSize_);
      offset += size;
    };
    emit(dictSize(records_.size()));
    for (const auto& key : kKeys) emit(stringSize(key));
    for (const auto& [path, e, touched] : records_) {
      emit(stringSize(path));
      emit(dictSize(static_cast<std::uint64_t>(valueCount(e))));
      emit(signedSize(e.size));
      emit(9);
      if (e.sha256) emit(kDigestSize);
      if (e.phash) emit(intSize(*e.phash, false));
      if (e.width) emit(signedSize(*e.width));
      if (e.height) emit(signedSize(*e.height));
    }
  }

  void writeTrailer(OutputBuffer& out) const {
    appendBigEndian(out, 0, 5);  // unused
    appendBigEndian(out, 0, 1);  // sort version
    appendBigEndian(out, offsetSize_, 1);
    appendBigEndian(out, refSize_, 1);
    appendBigEndian(out, objects_, 8);
    appendBigEndian(out, 0, 8);  // the top object
    appendBigEndian(out, tableOffset_, 8);
  }

  const std::vector<HashCache::Record>& records_;
  std::uint64_t objects_ = 0;
  std::uint8_t refSize_ = 1;
  std::uint64_t tableOffset_ = 0;
  std::uint8_t offsetSize_ = 1;
};

}  // namespace

bool HashCache::WalkOrder::operator()(std::string_view a, std::string_view b) const {
  // Byte order with '/' below every other byte: the first difference
  // decides, and a component that ends first sorts first.
  const std::size_t n = std::min(a.size(), b.size());
  const std::size_t at = static_cast<std::size_t>(
      std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin()).first -
      a.begin());
  if (at == n) return a.size() < b.size();
  auto rank = [](char c) -> unsigned { return c == '/' ? 0u : static_cast<unsigned char>(c) + 1u; };
  return rank(a[at]) < rank(b[at]);
}

HashCache::HashCache(std::string_view url) {
  if (auto path = fileURLToPath(url)) {
    path_ = *path;
  } else {
    path_ = std::string(url);
  }
  try {
    loader_ = std::thread([this] { load(); });
  } catch (const std::system_error&) {
    load();  // no thread to be had: here and now
  }
}

HashCache::~HashCache() { loaded(); }

void HashCache::load() {
  try {
    if (auto data = readWholeFile(path_)) {
      if (auto records = BinaryPlistReader(*data).read()) {
        records_ = std::move(*records);
        changed_ = false;
      }
    }
  } catch (const std::bad_alloc&) {
    records_.clear();  // a file too large for memory is no cache
  }
}

void HashCache::loaded() const {
  if (loader_.joinable()) loader_.join();
}

std::string HashCache::url() const { return pathToFileURL(path_); }

double HashCache::mtimeSeconds(std::optional<Date> modifiedAt) {
  if (!modifiedAt) return 0;
  return std::chrono::duration<double>(modifiedAt->time_since_epoch()).count();
}

HashCache::Record* HashCache::findRecord(std::string_view path) {
  const std::size_t count = records_.size();
  if (count == 0) return nullptr;
  const WalkOrder before;
  auto at = [&](std::size_t i) -> std::string_view { return records_[i].path; };
  std::size_t low = 0;
  std::size_t high = cursor_ < count ? cursor_ : count;
  if (cursor_ < count) {
    if (at(cursor_) == path) return &records_[cursor_++];
    if (before(at(cursor_), path)) {
      // Ahead of the cursor: steps of 1, 2, 4, ... until past the path,
      // so a few files skipped cost a few comparisons.
      std::size_t step = 1;
      while (cursor_ + step < count && before(at(cursor_ + step), path)) step *= 2;
      low = cursor_ + step / 2 + 1;
      high = std::min(cursor_ + step, count);
    }
  }
  const auto first = records_.begin() + static_cast<std::ptrdiff_t>(low);
  const auto last = records_.begin() + static_cast<std::ptrdiff_t>(high);
  const auto found = std::lower_bound(
      first, last, path, [&](const Record& r, std::string_view p) { return before(r.path, p); });
  cursor_ = static_cast<std::size_t>(found - records_.begin());
  if (found == records_.end() || found->path != path) return nullptr;
  ++cursor_;
  return &*found;
}

const HashCache::Entry* HashCache::find(std::string_view path) const {
  loaded();
  const WalkOrder before;
  const auto found =
      std::lower_bound(records_.begin(), records_.end(), path,
                       [&](const Record& r, std::string_view p) { return before(r.path, p); });
  if (found != records_.end() && found->path == path) return &found->entry;
  const auto added = added_.find(path);
  return added == added_.end() ? nullptr : &added->second;
}

const HashCache::Entry* HashCache::lookup(std::string_view path, std::int64_t size,
                                          std::optional<Date> modifiedAt) {
  loaded();
  const Entry* entry = nullptr;
  if (Record* record = findRecord(path)) {
    record->touched = true;
    entry = &record->entry;
  } else if (auto added = added_.find(path); added != added_.end()) {
    entry = &added->second;
  }
  if (entry != nullptr && entry->size == size && entry->mtime == mtimeSeconds(modifiedAt)) {
    ++hits_;
    return entry;
  }
  ++misses_;
  return nullptr;
}

void HashCache::store(const std::string& path, Entry entry) {
  loaded();
  if (!isValidUTF8(path)) return;
  Entry* old = nullptr;
  if (Record* record = findRecord(path)) {
    record->touched = true;
    old = &record->entry;
  } else if (auto added = added_.find(path); added != added_.end()) {
    old = &added->second;
  }
  if (old != nullptr && old->size == entry.size && old->mtime == entry.mtime) {
    if (!entry.sha256) entry.sha256 = old->sha256;
    if (!entry.phash) {
      entry.phash = old->phash;
      entry.width = old->width;
      entry.height = old->height;
    }
  }
  if (old != nullptr) {
    if (*old != entry) {
      *old = std::move(entry);
      changed_ = true;
    }
    return;
  }
  changed_ = true;
  // A first scan stores in walk order: each new path goes at the end.
  if (records_.empty() || WalkOrder()(records_.back().path, path)) {
    records_.push_back({path, std::move(entry), true});
    cursor_ = records_.size();
  } else {
    added_.emplace(path, std::move(entry));
  }
}

HashCache::Entries HashCache::entries() const {
  loaded();
  Entries all(added_);
  for (const Record& record : records_) all.emplace_hint(all.end(), record.path, record.entry);
  return all;
}

bool HashCache::touched(std::string_view path) const {
  loaded();
  const WalkOrder before;
  const auto found =
      std::lower_bound(records_.begin(), records_.end(), path,
                       [&](const Record& r, std::string_view p) { return before(r.path, p); });
  if (found != records_.end() && found->path == path) return found->touched;
  return added_.contains(path);
}

void HashCache::save() {
  loaded();
  const std::size_t pruned = std::erase_if(records_, [](const Record& r) { return !r.touched; });
  cursor_ = 0;
  // A rescan that found every file as it was leaves the file as it is.
  if (pruned == 0 && !changed_) return;
  if (!added_.empty()) {
    const std::size_t middle = records_.size();
    records_.reserve(records_.size() + added_.size());
    while (!added_.empty()) {
      auto node = added_.extract(added_.begin());
      records_.push_back({std::move(node.key()), std::move(node.mapped()), true});
    }
    const WalkOrder before;
    std::inplace_merge(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(middle),
                       records_.end(),
                       [&](const Record& a, const Record& b) { return before(a.path, b.path); });
  }
  auto parent = std::filesystem::path(path_).parent_path();
  if (!parent.empty()) createDirectories(parent.string());
  AtomicFileWriter file(path_);
  OutputBuffer out([&file](std::string_view chunk) { return file.write(chunk); });
  BinaryPlistWriter(records_).write(out);
  if (!out.finish() || !file.commit()) {
    changed_ = true;  // what is in memory is not on disk
    throw SaveError("cannot write " + path_);
  }
  changed_ = false;
}

std::optional<HashCache::Entries> HashCache::decode(std::string_view data) {
  auto records = BinaryPlistReader(data).read();
  if (!records) return std::nullopt;
  Entries entries;
  for (Record& record : *records) {
    entries.emplace_hint(entries.end(), std::move(record.path), std::move(record.entry));
  }
  return entries;
}

std::optional<std::string> HashCache::encode(const Entries& entries) {
  OutputBuffer out;
  encode(entries, out);
  return out.take();
}

void HashCache::encode(const Entries& entries, OutputBuffer& out) {
  std::vector<Record> records;
  records.reserve(entries.size());
  for (const auto& [path, entry] : entries) {
    // A path that is not UTF-8 cannot be a property list string.
    if (isValidUTF8(path)) records.push_back({path, entry});
  }
  BinaryPlistWriter(records).write(out);
}

}  // namespace tallowick
