#pragma once

// The Base64 text of thumbnail files, kept for the files asked for last
// while they stay as they were. Cards carry their thumbnails as Base64, and
// a phone pages through the same deck again and again: with the text kept,
// a warm batch costs a stat per thumbnail instead of a read and an encode.
//
// A file counts as unchanged while its device, inode, size, modification
// and change times are; thumbnails are renamed into place whole, so a new
// render is a new inode.
//
// Not thread-safe: the server keeps one on its queue.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

namespace tallowick {

class ThumbTextCache {
 public:
  // Keeps at most `maxBytes` of text, dropping the texts asked for least
  // recently first.
  explicit ThumbTextCache(std::size_t maxBytes);

  // The Base64 text of the file at `path` as it is now; null when it is not
  // a regular file or cannot be read. The text stays valid as long as the
  // caller holds it, whatever the cache drops meanwhile.
  std::shared_ptr<const std::string> text(const std::string& path);

  // The bytes of text kept.
  std::size_t bytes() const { return bytes_; }

 private:
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    // Nanoseconds since 1970.
    std::int64_t modified = 0;
    std::int64_t changed = 0;

    friend bool operator==(const Stamp&, const Stamp&) = default;
  };
  struct Entry {
    std::string path;
    Stamp stamp;
    std::shared_ptr<const std::string> text;
  };

  void forget(std::list<Entry>::iterator entry);

  std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  // Most recently asked for first.
  std::list<Entry> entries_;
  std::unordered_map<std::string, std::list<Entry>::iterator> byPath_;
};

}  // namespace tallowick
