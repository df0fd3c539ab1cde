#pragma once

// The one call that turns the chosen folders into a Report: walk and hash,
// save the hash cache, apply each folder's duplicate switch, analyse, apply
// its reason switches, select candidates and keepers, render thumbnails for
// them and assemble the report. Keeps nothing between calls.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/scan/hash_workers.h"
#include "core/scan/scan_root.h"
#include "shared/report.h"

namespace tallowick {

class HashCache;

namespace Pipeline {

struct Options {
  // Files smaller than this are counted but not recorded.
  std::int64_t minBytes = 1048576;
  // Directory for HEIC thumbnails of image and video candidates and keepers
  // (absolute path); none means no thumbnails.
  std::optional<std::string> thumbsDir;
  // Hash cache for this scan, saved after the walk (a failure is ignored).
  // Not owned; used from the calling thread only.
  HashCache* cache = nullptr;
  // Files seen so far, called on the calling thread every 200 files.
  std::function<void(std::int64_t)> progress;
  // Files and bytes hashed of those to hash, called on the calling thread
  // once the walk is done (ScanOptions::hashProgress).
  std::function<void(const HashProgress&)> hashProgress;
};

// Scans the roots in order and returns the report. Synchronous; never fails
// (unreadable files drop out, thumbnails that cannot be made are absent).
Report run(const std::vector<ScanRoot>& scanRoots, const Options& options);

// The same with folders given as absolute paths, every switch on.
Report run(const std::vector<std::string>& roots, const Options& options);

// The root an item at `path` falls under: the one with the longest path
// among those that contain it (a root's own path plus "/" is a prefix of
// `path`), the first of equal ones; none when no root contains it.
std::optional<ScanRoot> owningRoot(std::string_view path, const std::vector<ScanRoot>& scanRoots);

}  // namespace Pipeline
}  // namespace tallowick
