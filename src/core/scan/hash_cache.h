#pragma once

// Remembers, per file path, the hashes computed in earlier scans together
// with the file's size and modification time, so a rescan reads only files
// that changed. Stored as "hashes.plist", a binary property list (1.0) whose
// top level maps each path to a dictionary with "size" (integer), "mtime"
// (real) and, when present, "sha256" (string), "phash", "width", "height"
// (integers).
//
// Not synchronised: one instance lives for one scan and is used from the
// scan thread only.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "shared/digest.h"
#include "shared/json_codec.h"
#include "shared/output_buffer.h"

namespace tallowick {

class HashCache {
 public:
  struct Entry {
    std::int64_t size = 0;
    // Content modification time in seconds since 1970; 0 when the file had
    // none.
    double mtime = 0;
    OptionalDigest sha256;
    std::optional<std::uint64_t> phash;
    std::optional<int> width;
    std::optional<int> height;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  // The order in which a scan meets paths: component by component, each in
  // byte order, so a folder's files come before those of a folder whose name
  // continues its name ("/a/x" before "/a b/x", though ' ' < '/').
  struct WalkOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };

  // Path -> entry, as decode() gives them and encode() writes them.
  using Entries = std::map<std::string, Entry, WalkOrder>;

  // One path's entry as the cache keeps it.
  struct Record {
    std::string path;
    Entry entry;
    // Looked up or stored by this instance, so it survives save().
    bool touched = false;
  };

  // Thrown by save().
  struct SaveError : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Loads the cache file. `url` is a file URL ("file:///...") or an absolute
  // path. A missing, unreadable, truncated or corrupt file gives an empty
  // cache; this never fails. The file is read on a thread of its own while
  // the caller goes on (a scan walks its folders meanwhile); the first call
  // that needs the entries waits for it.
  explicit HashCache(std::string_view url);
  ~HashCache();

  HashCache(const HashCache&) = delete;
  HashCache& operator=(const HashCache&) = delete;

  // The entry for `path` when its size equals `size` and its mtime equals
  // mtimeSeconds(modifiedAt) exactly, else null; counts a hit or a miss.
  // Marks the path's entry (when there is one) as touched either way, so it
  // survives save(). The entry is the cache's own (lookups run for every
  // file of a scan and copy nothing); it stays valid until the next store()
  // or save(). Fastest when paths are asked in walk order, as the file keeps
  // them.
  const Entry* lookup(std::string_view path, std::int64_t size, std::optional<Date> modifiedAt);

  // Records `entry` for `path` (replacing any old one) and marks it touched.
  // When the old entry is valid for entry.size and entry.mtime, every value
  // `entry` lacks (the SHA-256 beside a new perceptual hash, or the
  // perceptual hash and pixel size beside a new SHA-256) is carried over
  // from it; an old entry for different content contributes nothing. A path
  // that is not UTF-8 cannot be written to the file and is not recorded (its
  // file is hashed again next time).
  void store(const std::string& path, Entry entry);

  // Drops every entry whose path was not touched by this instance (from
  // memory too), creates the parent directory and writes the file
  // atomically, paths in walk order. Throws SaveError when encoding or
  // writing fails; the old file is then left as it was. When nothing was
  // dropped or changed since the file was loaded (or last saved), the file
  // already holds these entries and is left alone.
  void save();

  // The cache file's location as an absolute path, and as a file URL.
  const std::string& path() const { return path_; }
  std::string url() const;

  // The entry for `path`, without counting or touching; null when none.
  const Entry* find(std::string_view path) const;
  std::size_t size() const {
    loaded();
    return records_.size() + added_.size();
  }
  // A copy of every entry.
  Entries entries() const;
  // Whether the entry for `path` was looked up or stored by this instance
  // (and so survives save()).
  bool touched(std::string_view path) const;
  int hits() const { return hits_; }
  int misses() const { return misses_; }

  // Seconds since 1970 as stored in Entry::mtime (0 for no date).
  static double mtimeSeconds(std::optional<Date> modifiedAt);

  // The file format alone. decode() gives no value unless `data` is a binary
  // property list whose top level is a dictionary of well-formed entries
  // under UTF-8 paths; integers may be in any of the format's widths,
  // "phash" values from 2^63 up in the 8-byte signed form as well as the
  // 16-byte unsigned one. Of a path given twice the later entry counts.
  static std::optional<Entries> decode(std::string_view data);
  // Written in time linear in the entries, "phash" values from 2^63 up in
  // the 16-byte unsigned form. Entries whose path is not UTF-8 are left out.
  static std::optional<std::string> encode(const Entries& entries);
  static void encode(const Entries& entries, OutputBuffer& out);

 private:
  // Reads the file into records_ (on the loading thread).
  void load();
  // Waits until the file is loaded; every use of the entries starts here.
  void loaded() const;
  // The record of `path` in records_ (moving the cursor to it), else null.
  Record* findRecord(std::string_view path);

  std::string path_;
  // Reads the file, until loaded() joins it.
  mutable std::thread loader_;
  // In walk order of their paths, each path once: a scan's lookups come in
  // nearly that order, so each one is found right after the one before.
  std::vector<Record> records_;
  // Where the next lookup is expected.
  std::size_t cursor_ = 0;
  // Entries stored for paths that records_ does not hold and that sort
  // before its last path; merged into it by save(). All touched.
  Entries added_;
  // Whether the file may differ from the entries (not loaded, or changed).
  bool changed_ = true;
  int hits_ = 0;
  int misses_ = 0;
};

}  // namespace tallowick
