#pragma once

// The folder walk: every regular file at or above a size floor under the
// chosen folders becomes an Item with its kind, size, dates, "last opened"
// date, screenshot and cloud flags and, where asked, its perceptual hash and
// SHA-256. The walk stays out of system, developer and backup folders,
// package folders, the Trash and pseudo file systems (ScanRules), follows
// no symbolic link below a root and never opens anything but regular files.
// The hashes are taken after the walk (HashWorkers).

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/scan/hash_workers.h"
#include "core/scan/recent_files.h"
#include "shared/report.h"

namespace tallowick {

class HashCache;

struct ScanOptions {
  // Files smaller than this are counted but not recorded.
  std::int64_t minBytes = 0;
  // Perceptual hashes and pixel sizes of images.
  bool hashImages = false;
  // SHA-256 of every recorded file whose size another recorded file shares.
  bool hashEverything = false;
  // Called on the scanning thread with the running count of files seen,
  // after an item is recorded at every multiple of 200.
  std::function<void(std::int64_t)> progress;
  // Called on the scanning thread as the hashes are taken after the walk
  // (HashWorkers::Options::progress).
  std::function<void(const HashProgress&)> hashProgress;
  // The user's home folder (absolute path), for the exclusions and the
  // cloud-folder test.
  std::string home;
  // Shared hash cache, used from the scanning thread only; null means every
  // hash is computed. Not owned.
  HashCache* cache = nullptr;
  // Threads that compute hashes once the walk is done; 0 computes them on
  // the scanning thread, a negative value picks one per core (at most 4).
  // The results are the same whatever the number.
  int hashThreads = -1;
};

struct ScanResult {
  // In walk order: depth first, entries of a folder in byte order of names.
  std::vector<Item> items;
  // Paths that are one file (hard links: the same device and inode): the id
  // of each such item but the first in byte order of paths, mapped to the
  // id of that first one. Only the first takes part in grouping (the others
  // get no hashes); the file counts once in reclaimable bytes.
  std::unordered_map<Uuid, Uuid> sameFileAs;
  // Regular files met, including those below the floor and those whose path
  // cannot be recorded (not UTF-8); cloud placeholders are not counted.
  std::int64_t filesSeen = 0;
  std::int64_t bytesSeen = 0;
};

class Scanner {
 public:
  explicit Scanner(ScanOptions options) : options_(std::move(options)) {}

  const ScanOptions& options() const { return options_; }

  // REQUIRES: every root is an absolute path.
  // Walks the roots in order. Never fails as a whole: unreadable folders and
  // files are passed over, and a file that changes or vanishes between the
  // walk and its hashing is left without the hash.
  ScanResult scan(const std::vector<std::string>& roots) const;

  // "Last opened" dates for files under the roots, from the desktop's recent
  // files list; empty when there is none.
  static std::map<std::string, SpotlightFacts> spotlightFacts(
      const std::vector<std::string>& roots);

  // Fills the item's last-opened date and screenshot flag from `facts`
  // (when there are any), then flags the file as a screenshot by its name
  // (ScanRules::isScreenshotName).
  static void apply(const std::optional<SpotlightFacts>& facts, Item& item);

 private:
  ScanOptions options_;
};

}  // namespace tallowick
