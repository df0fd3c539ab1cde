#include "core/scan/hash_cache.h"

#include <plist/plist.h>

#include <array>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "shared/file_util.h"

namespace tallowick {
namespace {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

bool isLowerHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Integers are stored as the property list's unsigned form; signed values
// travel as their two's complement, as the binary format itself does.
std::optional<std::uint64_t> unsignedValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  std::uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return value;
}

std::optional<int> intValue(plist_t node) {
  auto raw = unsignedValue(node);
  if (!raw) return std::nullopt;
  auto value = static_cast<std::int64_t>(*raw);
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<double> realValue(plist_t node) {
  if (node == nullptr) return std::nullopt;
  if (plist_get_node_type(node) == PLIST_REAL) {
    double value = 0;
    plist_get_real_val(node, &value);
    return value;
  }
  // A whole number of seconds may have been written as an integer.
  if (auto raw = unsignedValue(node)) return static_cast<double>(static_cast<std::int64_t>(*raw));
  return std::nullopt;
}

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* raw = nullptr;
  plist_get_string_val(node, &raw);
  if (raw == nullptr) return std::nullopt;
  std::string value(raw);
  std::free(raw);
  return value;
}

// libplist ends the whole process (a failed assertion) when it hands out a
// key or string that holds a NUL character, so a file with one is refused
// before libplist sees it: true when no string object of the binary property
// list `data` holds a NUL, false also when its object table cannot be read.
bool noStringHoldsNul(std::string_view data) {
  constexpr std::size_t kTrailerSize = 32;
  if (data.size() < 8 + kTrailerSize) return false;
  const std::size_t trailer = data.size() - kTrailerSize;
  auto byteAt = [&](std::size_t at) { return static_cast<std::uint8_t>(data[at]); };
  // A big-endian unsigned number of `width` bytes (1 to 8) before the trailer,
  // or of the trailer itself.
  auto number = [&](std::size_t at, std::size_t width) -> std::optional<std::uint64_t> {
    if (width == 0 || width > 8 || at > data.size() || width > data.size() - at) {
      return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | byteAt(at + i);
    return value;
  };
  const std::size_t offsetWidth = byteAt(trailer + 6);
  const auto objects = number(trailer + 8, 8);
  const auto table = number(trailer + 24, 8);
  if (!objects || !table || offsetWidth == 0 || offsetWidth > 8 || *table > trailer ||
      *objects > (trailer - *table) / offsetWidth) {
    return false;
  }
  for (std::uint64_t i = 0; i < *objects; ++i) {
    const auto at = number(*table + i * offsetWidth, offsetWidth);
    if (!at || *at >= trailer) return false;
    const std::uint8_t type = byteAt(*at) >> 4;
    if (type != 0x5 && type != 0x6) continue;  // ASCII and UTF-16 strings
    std::uint64_t length = byteAt(*at) & 0xF;
    std::size_t start = *at + 1;
    if (length == 0xF) {  // the length follows as an integer object
      if (start >= trailer || byteAt(start) >> 4 != 0x1) return false;
      const std::size_t width = std::size_t{1} << (byteAt(start) & 0xF);
      const auto counted = number(start + 1, width);
      if (!counted) return false;
      length = *counted;
      start += 1 + width;
    }
    const std::size_t unit = type == 0x6 ? 2 : 1;
    if (start > trailer || length > (trailer - start) / unit) return false;
    const std::string_view text = data.substr(start, length * unit);
    for (std::size_t c = 0; c < text.size(); c += unit) {
      if (text[c] == '\0' && (unit == 1 || text[c + 1] == '\0')) return false;
    }
  }
  return true;
}

// Missing optional keys are absent values; a present key of the wrong type
// makes the whole entry (and so the file) undecodable.
std::optional<HashCache::Entry> decodeEntry(plist_t dict) {
  if (plist_get_node_type(dict) != PLIST_DICT) return std::nullopt;
  HashCache::Entry entry;
  auto size = unsignedValue(plist_dict_get_item(dict, "size"));
  auto mtime = realValue(plist_dict_get_item(dict, "mtime"));
  if (!size || !mtime) return std::nullopt;
  entry.size = static_cast<std::int64_t>(*size);
  entry.mtime = *mtime;
  if (plist_t node = plist_dict_get_item(dict, "sha256")) {
    entry.sha256 = stringValue(node);
    if (!entry.sha256 || !isLowerHexDigest(*entry.sha256)) return std::nullopt;
  }
  if (plist_t node = plist_dict_get_item(dict, "phash")) {
    entry.phash = unsignedValue(node);
    if (!entry.phash) return std::nullopt;
  }
  if (plist_t node = plist_dict_get_item(dict, "width")) {
    entry.width = intValue(node);
    if (!entry.width) return std::nullopt;
  }
  if (plist_t node = plist_dict_get_item(dict, "height")) {
    entry.height = intValue(node);
    if (!entry.height) return std::nullopt;
  }
  return entry;
}

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
  explicit BinaryPlistWriter(const HashCache::Entries& entries) : entries_(entries) {
    std::uint64_t objects = 1 + kKeys.size();
    std::uint64_t rootPairs = 0;
    std::uint64_t entryPairs = 0;
    std::uint64_t fixedBytes = 0;  // everything but the references
    for (const auto& key : kKeys) fixedBytes += stringSize(key);
    for (const auto& [path, entry] : entries_) {
      if (!writable(path)) continue;
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

  // A path that is not UTF-8 cannot be a property list string; its file is
  // hashed again next time rather than failing the whole save.
  static bool writable(const std::string& path) { return isValidUTF8(path); }

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
  std::uint64_t dictSize(std::uint64_t pairs) const {
    return dictHeaderSize(pairs) + 2 * pairs * refSize_;
  }
  static std::uint64_t dictHeaderSize(std::uint64_t pairs) { return countSize(pairs); }
  static std::uint64_t valuesSize(const HashCache::Entry& e) {
    std::uint64_t total = signedSize(e.size) + 9;
    if (e.sha256) total += stringSize(*e.sha256);
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
    std::uint64_t pairs = 0;
    for (const auto& [path, entry] : entries_) pairs += writable(path);
    appendMarker(out, kDict, pairs);
    std::uint64_t next = kFirstEntryObject;
    for (const auto& [path, entry] : entries_) {
      if (!writable(path)) continue;
      appendBigEndian(out, next, refSize_);
      next += 2 + static_cast<std::uint64_t>(valueCount(entry));
    }
    next = kFirstEntryObject;
    for (const auto& [path, entry] : entries_) {
      if (!writable(path)) continue;
      appendBigEndian(out, next + 1, refSize_);
      next += 2 + static_cast<std::uint64_t>(valueCount(entry));
    }
    for (const auto& key : kKeys) appendString(out, key);

    next = kFirstEntryObject;
    for (const auto& [path, e] : entries_) {
      if (!writable(path)) continue;
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
      if (e.sha256) appendString(out, *e.sha256);
      if (e.phash) appendInt(out, *e.phash, false);
      if (e.width) appendSigned(out, *e.width);
      if (e.height) appendSigned(out, *e.height);
      next += 2 + static_cast<std::uint64_t>(values);
    }
  }

  // The offsets of the objects in number order, found by adding up their
  // sizes in the order they were written.
  void writeOffsetTable(OutputBuffer& out) const {
    std::uint64_t rootPairs = 0;
    for (const auto& [path, entry] : entries_) rootPairs += writable(path);
    std::uint64_t offset = kHeader.size();
    auto emit = [&](std::uint64_t size) {
      appendBigEndian(out, offset, offsetSize_);
      offset += size;
    };
    emit(dictSize(rootPairs));
    for (const auto& key : kKeys) emit(stringSize(key));
    for (const auto& [path, e] : entries_) {
      if (!writable(path)) continue;
      emit(stringSize(path));
      emit(dictSize(static_cast<std::uint64_t>(valueCount(e))));
      emit(signedSize(e.size));
      emit(9);
      if (e.sha256) emit(stringSize(*e.sha256));
      if (e.phash) emit(intSize(*e.phash, false));
      if (e.width) emit(signedSize(*e.width));
      if (e.height) emit(signedSize(*e.height));
    }
  }

  void writeTrailer(OutputBuffer& out) const {
    appendBigEndian(out, 0, 6);  // unused
    appendBigEndian(out, 0, 1);  // sort version
    appendBigEndian(out, offsetSize_, 1);
    appendBigEndian(out, refSize_, 1);
    appendBigEndian(out, objects_, 8);
    appendBigEndian(out, 0, 8);  // the top object
    appendBigEndian(out, tableOffset_, 8);
  }

  const HashCache::Entries& entries_;
  std::uint64_t objects_ = 0;
  std::uint8_t refSize_ = 1;
  std::uint64_t tableOffset_ = 0;
  std::uint8_t offsetSize_ = 1;
};

}  // namespace

HashCache::HashCache(std::string_view url) {
  if (auto path = fileURLToPath(url)) {
    path_ = *path;
  } else {
    path_ = std::string(url);
  }
  if (auto data = readWholeFile(path_)) {
    if (auto entries = decode(*data)) entries_ = std::move(*entries);
  }
}

std::string HashCache::url() const { return pathToFileURL(path_); }

double HashCache::mtimeSeconds(std::optional<Date> modifiedAt) {
  if (!modifiedAt) return 0;
  return std::chrono::duration<double>(modifiedAt->time_since_epoch()).count();
}

const HashCache::Entry* HashCache::lookup(const std::string& path, std::int64_t size,
                                          std::optional<Date> modifiedAt) {
  touched_.insert(path);
  auto it = entries_.find(path);
  if (it != entries_.end() && it->second.size == size &&
      it->second.mtime == mtimeSeconds(modifiedAt)) {
    ++hits_;
    return &it->second;
  }
  ++misses_;
  return nullptr;
}

void HashCache::store(const std::string& path, Entry entry) {
  auto it = entries_.find(path);
  if (it != entries_.end() && it->second.size == entry.size && it->second.mtime == entry.mtime) {
    const Entry& old = it->second;
    if (!entry.sha256) entry.sha256 = old.sha256;
    if (!entry.phash) {
      entry.phash = old.phash;
      entry.width = old.width;
      entry.height = old.height;
    }
  }
  entries_.insert_or_assign(path, std::move(entry));
  touched_.insert(path);
}

void HashCache::save() {
  std::erase_if(entries_, [this](const auto& kv) { return !touched_.contains(kv.first); });
  auto parent = std::filesystem::path(path_).parent_path();
  if (!parent.empty()) createDirectories(parent.string());
  AtomicFileWriter file(path_);
  OutputBuffer out([&file](std::string_view chunk) { return file.write(chunk); });
  encode(entries_, out);
  if (!out.finish() || !file.commit()) throw SaveError("cannot write " + path_);
}

std::optional<HashCache::Entries> HashCache::decode(std::string_view data) {
  if (data.size() < 8 || data.size() > UINT32_MAX) return std::nullopt;
  if (!plist_is_binary(data.data(), static_cast<std::uint32_t>(data.size()))) return std::nullopt;
  if (!noStringHoldsNul(data)) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_bin(data.data(), static_cast<std::uint32_t>(data.size()), &raw);
  PlistPtr root(raw);
  if (raw == nullptr || plist_get_node_type(raw) != PLIST_DICT) return std::nullopt;

  Entries entries;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(raw, &iter);
  if (iter == nullptr) return std::nullopt;
  bool ok = true;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(raw, iter, &key, &value);
    if (value == nullptr) {
      std::free(key);
      break;
    }
    // A path that is not UTF-8 is no valid string of the format (and one
    // our own save would leave out, so it could not survive a save).
    std::optional<Entry> entry;
    if (key != nullptr && isValidUTF8(key)) entry = decodeEntry(value);
    if (!entry) {
      std::free(key);
      ok = false;
      break;
    }
    entries.insert_or_assign(std::string(key), std::move(*entry));
    std::free(key);
  }
  std::free(iter);
  if (!ok) return std::nullopt;
  return entries;
}

std::optional<std::string> HashCache::encode(const Entries& entries) {
  OutputBuffer out;
  encode(entries, out);
  return out.take();
}

void HashCache::encode(const Entries& entries, OutputBuffer& out) {
  BinaryPlistWriter(entries).write(out);
}

}  // namespace tallowick
