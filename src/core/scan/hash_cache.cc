#include "core/scan/hash_cache.h"

#include <plist/plist.h>

#include <chrono>
#include <climits>
#include <cstdlib>
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

std::optional<HashCache::Entry> HashCache::lookup(const std::string& path, std::int64_t size,
                                                  std::optional<Date> modifiedAt) {
  touched_.insert(path);
  auto it = entries_.find(path);
  if (it != entries_.end() && it->second.size == size &&
      it->second.mtime == mtimeSeconds(modifiedAt)) {
    ++hits_;
    return it->second;
  }
  ++misses_;
  return std::nullopt;
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
  auto data = encode(entries_);
  if (!data) throw SaveError("cannot encode the hash cache");
  auto parent = std::filesystem::path(path_).parent_path();
  if (!parent.empty()) createDirectories(parent.string());
  if (!writeFileAtomically(path_, *data)) throw SaveError("cannot write " + path_);
}

std::optional<HashCache::Entries> HashCache::decode(std::string_view data) {
  if (data.size() < 8 || data.size() > UINT32_MAX) return std::nullopt;
  if (!plist_is_binary(data.data(), static_cast<std::uint32_t>(data.size()))) return std::nullopt;
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
    std::optional<Entry> entry;
    if (key != nullptr) entry = decodeEntry(value);
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
  PlistPtr root(plist_new_dict());
  if (!root) return std::nullopt;
  for (const auto& [path, entry] : entries) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "size", plist_new_uint(static_cast<std::uint64_t>(entry.size)));
    plist_dict_set_item(dict, "mtime", plist_new_real(entry.mtime));
    if (entry.sha256) plist_dict_set_item(dict, "sha256", plist_new_string(entry.sha256->c_str()));
    if (entry.phash) plist_dict_set_item(dict, "phash", plist_new_uint(*entry.phash));
    if (entry.width) {
      plist_dict_set_item(dict, "width",
                          plist_new_uint(static_cast<std::uint64_t>(std::int64_t{*entry.width})));
    }
    if (entry.height) {
      plist_dict_set_item(dict, "height",
                          plist_new_uint(static_cast<std::uint64_t>(std::int64_t{*entry.height})));
    }
    plist_dict_set_item(root.get(), path.c_str(), dict);
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  if (bytes == nullptr) return std::nullopt;
  std::string out(bytes, length);
  plist_to_bin_free(bytes);
  return out;
}

}  // namespace tallowick
