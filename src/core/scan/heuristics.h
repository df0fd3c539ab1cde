#pragma once

// Decides what the user is offered: exact-duplicate groups (same SHA-256),
// similar-photo groups (perceptual hashes a few bits apart, taken close
// together in time), the keeper of each group, every item's clean-up reasons
// and score, and the candidates and reclaimable total of a report.
//
// All functions are pure and may run on any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "shared/report.h"

namespace tallowick {

struct HeuristicsConfig {
  // Largest perceptual-hash distance (differing bits) of two linked photos.
  int similarThreshold = 8;
  // Largest difference of creation times, in seconds, of two linked photos;
  // 0 or less disables the time test.
  double similarWindowSec = 3600.0;
  double screenshotDays = 30.0;
  double installerDays = 14.0;
  std::int64_t largeDownloadBytes = 104857600;
  double largeDownloadDays = 90.0;
  std::int64_t largeVideoBytes = 209715200;
  double largeVideoDays = 180.0;
};

namespace Heuristics {

// The fixed weight of a reason (exactDuplicate 1.0 ... staleLargeVideo 0.5).
double weight(Reason reason);

// Where a copy is best kept, lower is better: "/pictures/" 0, "/documents/"
// and "/movies/" 1, "/desktop/" 2, "/downloads/" 3, anything else 2; tested
// on the lower-cased path in that order.
int folderRank(std::string_view path);

struct Analysis {
  std::vector<Item> items;    // same order and length as the input
  std::vector<Group> groups;  // exact groups first, then similar groups
};

// Groups, reasons and scores. Members of exact groups never join a similar
// group; an item carries at most one group reason, first, then its age
// reasons (screenshot, staleInstaller, staleLargeDownload, staleLargeVideo).
Analysis analyze(std::vector<Item> items, const HeuristicsConfig& config, Date now);

// Largest weight among the item's reasons x min(ageDays / 90, 3) x bytes;
// 0 for an item without reasons.
double score(const Item& item, Date now);

// The items with at least one reason, highest score first; equal scores keep
// their order.
std::vector<Item> candidates(const std::vector<Item>& items);

// Bytes of the given items that belong to no group, plus every group's
// reclaimable bytes. `sameFileAs` maps the ids of items that are another
// item's file under another path (hard links) to that item's id: such a file
// counts once, whether it is freed through a group or as an item of its own.
std::int64_t reclaimable(const std::vector<Item>& items, const std::vector<Group>& groups,
                         const std::unordered_map<Uuid, Uuid>& sameFileAs = {});

// The same candidates, taking the items over instead of copying them.
std::vector<Item> candidates(std::vector<Item>&& items);

// The similar-photo clusters of a pool of photos: position i of `hashes` and
// `createdAt` describes one photo. Two photos are linked when their hashes
// differ in at most config.similarThreshold bits and, when both have a
// creation date and the window is positive, their dates lie at most
// config.similarWindowSec apart; clusters are the transitive closure.
// Returns the clusters of two or more photos, each listing positions in
// increasing order, clusters ordered by their first position.
//
// Gives exactly the clusters of comparing every pair, without comparing
// every pair: dated photos are compared only with those inside the time
// window, and the rest are found through an index of hash blocks.
// REQUIRES: hashes.size() == createdAt.size().
std::vector<std::vector<std::size_t>> similarClusters(
    const std::vector<std::uint64_t>& hashes, const std::vector<std::optional<Date>>& createdAt,
    const HeuristicsConfig& config);

}  // namespace Heuristics
}  // namespace tallowick
