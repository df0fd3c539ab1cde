#include "core/scan/pipeline.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <unordered_set>

#include "core/scan/hash_cache.h"
#include "core/scan/heuristics.h"
#include "core/scan/profile.h"
#include "core/scan/scanner.h"
#include "core/thumbs/thumbnailer.h"
#include "shared/paths.h"
#include "shared/xdg.h"

namespace tallowick::Pipeline {
namespace {

Date now() { return currentDate(); }

std::string homeDirectory() {
  std::string home = xdg::homeDirectory();
  return home.empty() ? "/" : home;
}

// A root's path without trailing slashes ("/" stays "/"), so that roots
// written "/a/b/" or "/" still contain their files.
std::string normalizedRootPath(const ScanRoot& root) {
  std::string path = root.path();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

struct SwitchRule {
  Reason reason;
  bool ScanRoot::*keptBy;
};
constexpr SwitchRule kSwitchRules[] = {
    {Reason::screenshot, &ScanRoot::screenshots},
    {Reason::staleInstaller, &ScanRoot::stale},
    {Reason::staleLargeDownload, &ScanRoot::stale},
    {Reason::staleLargeVideo, &ScanRoot::stale},
};

bool switchedOff(Reason reason, const ScanRoot& root) {
  for (const auto& rule : kSwitchRules) {
    if (rule.reason == reason) return !(root.*rule.keptBy);
  }
  return false;
}

void renderThumbnails(const std::string& dir, std::vector<Item>& candidates,
                      std::vector<Item>& keepers) {
  std::optional<Thumbnailer> thumbnailer;
  try {
    thumbnailer.emplace(dir);
  } catch (const std::exception&) {
    return;  // no directory, no thumbnails
  }
  for (auto* list : {&candidates, &keepers}) {
    for (Item& item : *list) {
      if (item.kind != Kind::image && item.kind != Kind::video) continue;
      item.thumbPath = thumbnailer->thumbnail(item);
    }
  }
}

// Whether one root lies inside another (or is given twice).
bool rootsNest(const std::vector<std::string>& roots) {
  std::vector<std::string> normal;
  for (const std::string& root : roots) normal.push_back(lexicallyNormal(root));
  for (const std::string& outer : normal) {
    const std::string prefix = outer == "/" ? outer : outer + "/";
    int inside = 0;
    for (const std::string& other : normal) inside += other == outer || other.starts_with(prefix);
    if (inside > 1) return true;
  }
  return false;
}

// Nested roots are walked once each, so a file under both would otherwise
// appear twice and form an "exact duplicate" of itself, which the user might
// then trash as the copy. The first record of a path stands. Only nested
// roots can give a path twice, so other scans skip the set of every path.
void dropRepeatedPaths(ScanResult& walk, const std::vector<std::string>& roots) {
  if (!rootsNest(roots)) return;
  std::unordered_set<std::string> seen;
  std::erase_if(walk.items, [&](const Item& item) {
    if (seen.insert(item.path).second) return false;
    walk.filesSeen -= 1;
    walk.bytesSeen -= item.bytes;
    return true;
  });
}

// Gives the pages of an array's room beyond its items back to the system.
// The room stays the array's: its memory is mapped still and reads as zeros
// when the array grows into it again. An array that shrank from a million
// items would otherwise keep all of their memory resident.
void releaseUnusedRoom(std::vector<Item>& items) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  if (page == 0 || items.capacity() == items.size()) return;
  const auto begin =
      (reinterpret_cast<std::uintptr_t>(items.data() + items.size()) + page - 1) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(items.data() + items.capacity()) / page * page;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

// The owning root of each of a scan's items, with the roots' prefixes made
// once rather than for every item.
class RootOwners {
 public:
  explicit RootOwners(const std::vector<ScanRoot>& scanRoots) : roots_(scanRoots) {
    for (const ScanRoot& root : scanRoots) {
      const std::string path = normalizedRootPath(root);
      prefixes_.push_back(path.empty() ? path : path == "/" ? path : path + "/");
    }
  }

  // The root with the longest path whose path plus "/" starts `path`, the
  // first of equal ones; null when none does.
  const ScanRoot* of(std::string_view path) const {
    const ScanRoot* best = nullptr;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      const std::string& prefix = prefixes_[i];
      if (prefix.empty() || !path.starts_with(prefix)) continue;
      if (best == nullptr || prefix.size() > bestLength) {
        best = &roots_[i];
        bestLength = prefix.size();
      }
    }
    return best;
  }

 private:
  const std::vector<ScanRoot>& roots_;
  std::vector<std::string> prefixes_;
};

}  // namespace

std::optional<ScanRoot> owningRoot(std::string_view path, const std::vector<ScanRoot>& scanRoots) {
  const ScanRoot* root = RootOwners(scanRoots).of(path);
  if (root == nullptr) return std::nullopt;
  return *root;
}

Report run(const std::vector<ScanRoot>& scanRoots, const Options& options) {
  ScanOptions scanOptions;
  scanOptions.minBytes = options.minBytes;
  scanOptions.hashImages = true;
  scanOptions.hashEverything = true;
  scanOptions.progress = options.progress;
  scanOptions.hashProgress = options.hashProgress;
  scanOptions.home = homeDirectory();
  scanOptions.cache = options.cache;

  Profile::mark("start");
  std::vector<std::string> paths;
  for (const ScanRoot& root : scanRoots) {
    std::string path = root.path();
    if (!path.empty() && path.front() == '/') paths.push_back(std::move(path));
  }
  ScanResult walk = Scanner(scanOptions).scan(paths);
  dropRepeatedPaths(walk, paths);
  // The hashing stage leaves many small blocks free between the items;
  // handing their pages back keeps them from adding to the larger blocks
  // the analysis and the report take next.
  ::malloc_trim(0);
  Profile::mark("after walk (" + std::to_string(walk.items.size()) + " items)");

  if (options.cache != nullptr) {
    try {
      options.cache->save();
    } catch (const std::exception&) {
      // The old file stays; the next scan recomputes what it lacks.
    }
  }
  Profile::mark("after cache save");

  const RootOwners owners(scanRoots);
  for (Item& item : walk.items) {
    const ScanRoot* root = owners.of(item.path);
    if (root != nullptr && !root->duplicates) {
      item.sha256.reset();
      item.phash.reset();
    }
  }

  auto analysis = Heuristics::analyze(std::move(walk.items), HeuristicsConfig{}, now());
  Profile::mark("after analyze");

  for (Item& item : analysis.items) {
    const ScanRoot* root = owners.of(item.path);
    if (root == nullptr) continue;
    const std::size_t before = item.reasons.size();
    std::erase_if(item.reasons, [&](Reason r) { return switchedOff(r, *root); });
    if (item.reasons.size() != before) item.score = Heuristics::score(item, now());
  }

  // Keepers and candidates are disjoint (a candidate has a reason, a keeper
  // that is no candidate has none), so both are taken over, not copied. The
  // items that are neither leave first, and the room they held is given
  // back before the keepers get an array of their own.
  std::unordered_set<Uuid> keeperIDs;
  for (const Group& group : analysis.groups) keeperIDs.insert(group.keeperID);
  auto isKeeper = [&](const Item& item) {
    return item.reasons.empty() && keeperIDs.contains(item.id);
  };
  std::erase_if(analysis.items,
                [&](const Item& item) { return item.reasons.empty() && !isKeeper(item); });
  releaseUnusedRoom(analysis.items);
  ::malloc_trim(0);  // their paths
  std::vector<Item> keepers;
  keepers.reserve(static_cast<std::size_t>(
      std::count_if(analysis.items.begin(), analysis.items.end(), isKeeper)));
  for (Item& item : analysis.items) {
    if (isKeeper(item)) keepers.push_back(std::move(item));
  }
  keeperIDs = std::unordered_set<Uuid>();
  std::vector<Item> candidates = Heuristics::candidates(std::move(analysis.items));
  releaseUnusedRoom(candidates);

  if (options.thumbsDir) renderThumbnails(*options.thumbsDir, candidates, keepers);

  Report report;
  for (const ScanRoot& root : scanRoots) report.roots.push_back(root.path());
  report.reclaimable = Heuristics::reclaimable(candidates, analysis.groups, walk.sameFileAs);
  report.items = std::move(candidates);
  report.keepers = std::move(keepers);
  report.groups = std::move(analysis.groups);
  report.filesSeen = walk.filesSeen;
  report.bytesSeen = walk.bytesSeen;
  report.scannedAt = now();
  return report;
}

Report run(const std::vector<std::string>& roots, const Options& options) {
  std::vector<ScanRoot> scanRoots;
  for (const std::string& path : roots) scanRoots.push_back(ScanRoot::fromPath(path));
  return run(scanRoots, options);
}

}  // namespace tallowick::Pipeline
