#include "core/thumbs/thumb_text_cache.h"

#include <sys/stat.h>

#include "shared/file_util.h"
#include "shared/json_codec.h"

namespace tallowick {

namespace {

std::int64_t nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

ThumbTextCache::ThumbTextCache(std::size_t maxBytes) : maxBytes_(maxBytes) {}

std::shared_ptr<const std::string> ThumbTextCache::text(const std::string& path) {
  auto found = byPath_.find(path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (found != byPath_.end()) forget(found->second);
    return nullptr;
  }
  const Stamp stamp{st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim),
                    nanoseconds(st.st_ctim)};
  if (found != byPath_.end()) {
    if (found->second->stamp == stamp) {
      entries_.splice(entries_.begin(), entries_, found->second);
      return found->second->text;
    }
    forget(found->second);
  }
  // Read after the stat: a file replaced in between is read new under the
  // old stamp, which the next call sees differ.
  std::optional<std::string> data = readWholeFile(path);
  if (!data) return nullptr;
  auto text = std::make_shared<const std::string>(
      codec::base64Encode(reinterpret_cast<const std::uint8_t*>(data->data()), data->size()));
  entries_.push_front(Entry{path, stamp, text});
  byPath_.emplace(path, entries_.begin());
  bytes_ += text->size();
  while (bytes_ > maxBytes_) forget(std::prev(entries_.end()));
  return text;
}

void ThumbTextCache::forget(std::list<Entry>::iterator entry) {
  bytes_ -= entry->text->size();
  byPath_.erase(entry->path);
  entries_.erase(entry);
}

}  // namespace tallowick
