#pragma once

// The hashing stage of a scan, run once the walk is done: the SHA-256 of
// every file whose size another file shares, and the perceptual hash of
// every picture. A hash still valid in the hash cache is taken from there;
// the rest are computed. Where a picture shares its size with another file
// its digest comes first, so an exact copy of a picture is decoded once and
// its copies take its perceptual hash (the same bytes always give the same
// one).
//
// Why it has threads of its own: reading and decoding block for long
// stretches and the scan waits for all of them, so they run side by side on
// threads started for this stage and joined at its end. A thread that ran
// libvips must hand libvips' per-thread state back before it ends, which
// only a thread we own can do, and a command-line scan has no other pool to
// borrow. Each job returns a finisher that runs on the calling thread, so
// the items and the cache (neither synchronised) are only ever touched
// there; one mutex guards the queues of jobs and finishers between them.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/scan/hashing.h"
#include "shared/report.h"

namespace tallowick {

class HashCache;

// What the stage computes with. Both may be called on any of its threads at
// once.
struct HashFunctions {
  // As Hashing::sha256Together: one result per path, in order.
  std::function<std::vector<std::optional<std::string>>(
      const std::vector<std::string>& paths, const std::vector<Hashing::FileStamp>& stamps)>
      digests;
  // As Hashing::perceptual with a stamp.
  std::function<std::optional<Hashing::Perceptual>(const std::string& path,
                                                   const Hashing::FileStamp& stamp)>
      perceptual;

  // The ones that read the files.
  static HashFunctions files();
};

// How far the stage has come: the files (and their bytes) whose hashes are
// settled, of those that needed any once the cache was read. A file is
// settled when everything it wanted was computed, failed, or taken from an
// exact copy.
struct HashProgress {
  std::int64_t files = 0;
  std::int64_t totalFiles = 0;
  std::int64_t bytes = 0;
  std::int64_t totalBytes = 0;

  friend bool operator==(const HashProgress&, const HashProgress&) = default;
};

class HashWorkers {
 public:
  struct Options {
    // Perceptual hashes and pixel sizes of Kind::image items.
    bool images = false;
    // SHA-256 of every item whose size another item shares.
    bool everything = false;
    // Read for hashes still valid, told the ones computed; null computes
    // every hash. Not owned.
    HashCache* cache = nullptr;
    // Called on the thread that calls run(), never on the stage's own:
    // once when hashing starts (a copy of a cached picture may be settled
    // already), then each time a file is settled. The counts only grow, and
    // the last call has every file and byte settled. Not called when no
    // file needs a hash.
    std::function<void(const HashProgress&)> progress = nullptr;
    // 0 runs every job and its finisher at once on the calling thread; a
    // negative value picks one per core, at most 4. The results are the
    // same whatever the number.
    int threads = 0;
  };

  explicit HashWorkers(Options options, HashFunctions functions = HashFunctions::files());

  // REQUIRES: `sameFile` is empty or has one entry per item; the items
  // carry no hashes yet.
  // Fills sha256, phash, width and height of the items that want them.
  // Items marked in `sameFile` (another path of a file already among the
  // items) take no part and do not count towards a shared size. A hash that
  // could not be computed (a file changed or unreadable) is left out.
  void run(std::vector<Item>& items, const std::vector<bool>& sameFile) const;

 private:
  Options options_;
  HashFunctions functions_;
};

}  // namespace tallowick
