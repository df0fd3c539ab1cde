// The hash cache file ("hashes.plist"), read at every scan. A decode must end
// in entries or no value, and decoded entries must come back unchanged through
// the cache's own encoding.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/scan/hash_cache.h"

using namespace tallowick;

namespace {

// Entry equality with the modification time compared bit for bit: a stored
// NaN must read back as the same NaN.
bool same(const HashCache::Entry& a, const HashCache::Entry& b) {
  return a.size == b.size &&
         std::bit_cast<std::uint64_t>(a.mtime) == std::bit_cast<std::uint64_t>(b.mtime) &&
         a.sha256 == b.sha256 && a.phash == b.phash && a.width == b.width && a.height == b.height;
}

bool same(const HashCache::Entries& a, const HashCache::Entries& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [path, entry] : a) {
    auto other = b.find(path);
    if (other == b.end() || !same(entry, other->second)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto entries = HashCache::decode(bytes);
  if (!entries) return 0;
  auto encoded = HashCache::encode(*entries);
  if (!encoded) {
    std::fprintf(stderr, "decoded entries do not encode\n");
    std::abort();
  }
  auto again = HashCache::decode(*encoded);
  if (!again || !same(*again, *entries)) {
    std::fprintf(stderr, "round trip changed the entries\n");
    std::abort();
  }
  return 0;
}
