#include "core/scan/heuristics.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "shared/ascii.h"

namespace tallowick::Heuristics {
namespace {

constexpr double kWeights[] = {
    1.0,   // exactDuplicate
    0.8,   // similarPhoto
    0.9,   // screenshot
    0.95,  // staleInstaller
    0.6,   // staleLargeDownload
    0.5,   // staleLargeVideo
};

struct RankRule {
  std::string_view marker;
  int rank;
};
constexpr RankRule kRankRules[] = {
    {"/pictures/", 0}, {"/documents/", 1}, {"/movies/", 1}, {"/desktop/", 2}, {"/downloads/", 3},
};
constexpr int kDefaultRank = 2;

bool inDownloads(const Item& item) {
  return lowerASCII(item.path).find("/downloads/") != std::string::npos;
}

int distance(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }

// |a - b| in seconds; dates too far apart for the clock's integer range are
// infinitely far apart rather than an overflow.
double secondsApart(Date a, Date b) {
  Date::rep diff = 0;
  if (__builtin_sub_overflow(a.time_since_epoch().count(), b.time_since_epoch().count(), &diff)) {
    return std::numeric_limits<double>::infinity();
  }
  return std::abs(std::chrono::duration<double>(Date::duration(diff)).count());
}

class UnionFind {
 public:
  explicit UnionFind(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  std::size_t find(std::size_t x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];  // path halving
      x = parent_[x];
    }
    return x;
  }
  void join(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (a < b) std::swap(a, b);
    parent_[a] = b;
  }

 private:
  std::vector<std::size_t> parent_;
};

// Multi-index hashing: the 64 bits are cut into m blocks; two hashes at most
// t bits apart differ in at most t/m bits (rounded down) in at least one
// block (pigeonhole). So after sorting the hashes into buckets by each
// block's value, only buckets whose values lie within that radius of each
// other need comparing; the comparison still checks the whole distance.
// Buckets are joined pairwise rather than probed per hash, so memory is read
// in runs. When no layout beats comparing everything, everything is compared.
struct Member {
  std::uint64_t hash = 0;
  std::size_t pos = 0;
};

struct Layout {
  int blocks = 0;  // 0: compare every pair
  int radius = 0;
};

constexpr int kMaxBlockBits = 20;

int blockBits(int blocks, int index) { return 64 / blocks + (index < 64 % blocks ? 1 : 0); }

double ballSize(int bits, int radius) {
  double total = 0;
  double choose = 1;
  for (int k = 0; k <= std::min(radius, bits); ++k) {
    total += choose;
    choose = choose * (bits - k) / (k + 1);
  }
  return total;
}

// Pairs to compare: undated x undated and dated x undated.
Layout chooseLayout(double undated, double dated, int threshold) {
  const double pairs = undated * (undated / 2 + dated);
  Layout best;
  double bestCost = pairs;
  for (int m = 1; m <= 16; ++m) {
    if ((64 + m - 1) / m > kMaxBlockBits) continue;
    const int radius = threshold / m;
    double cost = 0;
    for (int b = 0; b < m; ++b) {
      const double buckets = std::ldexp(1.0, blockBits(m, b));
      const double ball = ballSize(blockBits(m, b), radius);
      cost += buckets * ball + pairs * ball / buckets;
    }
    if (cost < bestCost) {
      bestCost = cost;
      best = {m, radius};
    }
  }
  return best;
}

void collectMasks(int bits, int radius, int from, std::uint32_t mask,
                  std::vector<std::uint32_t>& out) {
  out.push_back(mask);
  if (radius == 0) return;
  for (int bit = from; bit < bits; ++bit) {
    collectMasks(bits, radius - 1, bit + 1, mask | (std::uint32_t{1} << bit), out);
  }
}

// Members sorted by one block's value: bucket k is members[offsets[k],
// offsets[k+1]).
struct Buckets {
  std::vector<std::uint32_t> offsets;
  std::vector<Member> members;

  Buckets(const std::vector<Member>& all, int shift, int bits) {
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    offsets.assign((std::size_t{1} << bits) + 1, 0);
    for (const Member& m : all) ++offsets[((m.hash >> shift) & mask) + 1];
    std::partial_sum(offsets.begin(), offsets.end(), offsets.begin());
    std::vector<std::uint32_t> fill(offsets.begin(), offsets.end() - 1);
    members.resize(all.size());
    for (const Member& m : all) members[fill[(m.hash >> shift) & mask]++] = m;
  }
  const Member* begin(std::uint32_t k) const { return members.data() + offsets[k]; }
  const Member* end(std::uint32_t k) const { return members.data() + offsets[k + 1]; }
  bool empty(std::uint32_t k) const { return offsets[k] == offsets[k + 1]; }
};

// Joins every pair within `threshold` among `undated`, and between `dated`
// and `undated`. A pair may be joined more than once. Not cloned under
// ThreadSanitizer: the clone resolver runs while the loader relocates, before
// the sanitizer's runtime is up, and its instrumentation would crash there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("popcnt", "default")))
#endif
void linkThroughIndex(const std::vector<Member>& undated, const std::vector<Member>& dated,
                      int threshold, UnionFind& links) {
  auto near = [threshold](const Member& a, const Member& b) {
    return std::popcount(a.hash ^ b.hash) <= threshold;
  };
  const Layout layout = chooseLayout(static_cast<double>(undated.size()),
                                     static_cast<double>(dated.size()), threshold);
  if (layout.blocks == 0) {
    for (std::size_t i = 0; i < undated.size(); ++i) {
      for (std::size_t j = i + 1; j < undated.size(); ++j) {
        if (near(undated[i], undated[j])) links.join(undated[i].pos, undated[j].pos);
      }
      for (const Member& d : dated) {
        if (near(undated[i], d)) links.join(undated[i].pos, d.pos);
      }
    }
    return;
  }
  int shift = 0;
  for (int b = 0; b < layout.blocks; ++b) {
    const int bits = blockBits(layout.blocks, b);
    std::vector<std::uint32_t> masks;
    collectMasks(bits, layout.radius, 0, 0, masks);
    const Buckets u(undated, shift, bits);
    const Buckets d(dated, shift, bits);
    shift += bits;
    const std::uint32_t buckets = std::uint32_t{1} << bits;
    for (std::uint32_t k = 0; k < buckets; ++k) {
      const bool anyUndated = !u.empty(k);
      if (!anyUndated && d.empty(k)) continue;
      for (std::uint32_t mask : masks) {
        const std::uint32_t other = k ^ mask;
        if (u.empty(other)) continue;
        for (const Member* x = d.begin(k); x != d.end(k); ++x) {
          for (const Member* y = u.begin(other); y != u.end(other); ++y) {
            if (near(*x, *y)) links.join(x->pos, y->pos);
          }
        }
        if (!anyUndated || other < k) continue;  // each bucket pair once
        for (const Member* x = u.begin(k); x != u.end(k); ++x) {
          for (const Member* y = mask == 0 ? x + 1 : u.begin(other); y != u.end(other); ++y) {
            if (near(*x, *y)) links.join(x->pos, y->pos);
          }
        }
      }
    }
  }
}

bool earlier(const std::optional<Date>& a, const std::optional<Date>& b) {
  return a && (!b || *a < *b);
}

Group makeGroup(std::vector<Item>& items, const std::vector<std::size_t>& members,
                std::size_t keeper, GroupType type, Reason reason) {
  Group group;
  group.type = type;
  group.keeperID = items[keeper].id;
  for (std::size_t m : members) {
    group.memberIDs.push_back(items[m].id);
    if (m != keeper) group.reclaimable += items[m].bytes;
  }
  for (std::size_t m : members) {
    items[m].groupID = group.id;
    if (m != keeper) items[m].reasons.push_back(reason);
  }
  return group;
}

// Items with a digest are sorted by a hash of it (then by position), so
// each run of one digest lists a bucket in item order: one small array,
// where a dictionary of a million digests would cost far more memory. The
// full digests are compared inside a run, since different digests may
// share a hash. Buckets keep the order of their first members.
void exactGroups(std::vector<Item>& items, std::vector<Group>& groups) {
  struct Keyed {
    std::uint64_t key;
    std::uint32_t index;
  };
  std::vector<Keyed> keyed;
  // A path's rank is its folder's; the files of a folder come one after
  // another, so each folder is ranked once, in the same pass.
  std::vector<std::int8_t> ranks(items.size());
  std::string_view folder;
  int folderRanked = folderRank(folder);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].sha256) {
      // A digest's first bytes are as good a hash of it as any.
      std::uint64_t key = 0;
      std::memcpy(&key, items[i].sha256.bytes().data(), sizeof key);
      keyed.push_back({key, static_cast<std::uint32_t>(i)});
      const std::string_view path = items[i].path;
      const std::string_view itsFolder = path.substr(0, path.rfind('/') + 1);
      if (itsFolder != folder) {
        folder = itsFolder;
        folderRanked = folderRank(folder);
      }
      ranks[i] = static_cast<std::int8_t>(folderRanked);
    }
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    return a.key != b.key ? a.key < b.key : a.index < b.index;
  });
  std::vector<std::vector<std::size_t>> buckets;
  std::vector<std::size_t> run;
  for (std::size_t begin = 0; begin < keyed.size();) {
    std::size_t end = begin + 1;
    while (end < keyed.size() && keyed[end].key == keyed[begin].key) ++end;
    run.clear();
    for (std::size_t k = begin; k < end; ++k) run.push_back(keyed[k].index);
    begin = end;
    while (run.size() >= 2) {
      const OptionalDigest& digest = items[run.front()].sha256;
      std::vector<std::size_t> bucket;
      std::erase_if(run, [&](std::size_t i) {
        if (items[i].sha256 != digest) return false;
        bucket.push_back(i);
        return true;
      });
      if (bucket.size() >= 2) buckets.push_back(std::move(bucket));
    }
  }
  keyed = std::vector<Keyed>();  // "= {}" would keep the room
  std::sort(buckets.begin(), buckets.end(),
            [](const auto& a, const auto& b) { return a.front() < b.front(); });
  for (const auto& bucket : buckets) {
    std::size_t keeper = bucket.front();
    int rk = ranks[keeper];
    for (std::size_t c : bucket) {
      const int rc = ranks[c];
      if (rc < rk || (rc == rk && earlier(items[c].createdAt, items[keeper].createdAt))) {
        keeper = c;
        rk = rc;
      }
    }
    groups.push_back(makeGroup(items, bucket, keeper, GroupType::exact, Reason::exactDuplicate));
  }
}

void similarGroups(std::vector<Item>& items, const HeuristicsConfig& config,
                   std::vector<Group>& groups) {
  std::vector<std::size_t> pool;
  std::vector<std::uint64_t> hashes;
  std::vector<std::optional<Date>> dates;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].phash || items[i].groupID) continue;
    pool.push_back(i);
    hashes.push_back(*items[i].phash);
    dates.push_back(items[i].createdAt);
  }
  for (const auto& cluster : similarClusters(hashes, dates, config)) {
    std::vector<std::size_t> members;
    for (std::size_t p : cluster) members.push_back(pool[p]);
    std::size_t keeper = members.front();
    for (std::size_t c : members) {
      const std::int64_t pc = items[c].pixels();
      const std::int64_t pk = items[keeper].pixels();
      if (pc > pk || (pc == pk && items[c].bytes > items[keeper].bytes)) keeper = c;
    }
    groups.push_back(makeGroup(items, members, keeper, GroupType::similar, Reason::similarPhoto));
  }
}

void ageReasons(Item& item, const HeuristicsConfig& config, Date now) {
  const double age = item.ageDays(now);
  if (item.isScreenCapture && age > config.screenshotDays)
    item.reasons.push_back(Reason::screenshot);
  if (item.kind == Kind::installer && age > config.installerDays) {
    item.reasons.push_back(Reason::staleInstaller);
  }
  if (item.bytes >= config.largeDownloadBytes && age > config.largeDownloadDays &&
      inDownloads(item)) {
    item.reasons.push_back(Reason::staleLargeDownload);
  }
  if (item.kind == Kind::video && item.bytes >= config.largeVideoBytes &&
      age > config.largeVideoDays) {
    item.reasons.push_back(Reason::staleLargeVideo);
  }
}

}  // namespace

double weight(Reason reason) { return kWeights[static_cast<std::size_t>(reason)]; }

int folderRank(std::string_view path) {
  // Every marker starts with '/': one pass over the path's slashes, testing
  // each marker there, ASCII case ignored, without a lower-cased copy. The
  // first rule whose marker occurs anywhere decides.
  constexpr std::size_t kRules = std::size(kRankRules);
  std::size_t first = kRules;
  for (std::size_t slash = path.find('/'); slash != std::string_view::npos && first > 0;
       slash = path.find('/', slash + 1)) {
    const std::string_view rest = path.substr(slash);
    for (std::size_t r = 0; r < first; ++r) {
      const std::string_view marker = kRankRules[r].marker;
      if (rest.size() >= marker.size() &&
          std::equal(marker.begin(), marker.end(), rest.begin(),
                     [&](char m, char c) { return m == lowerASCII(c); })) {
        first = r;
        break;
      }
    }
  }
  return first < kRules ? kRankRules[first].rank : kDefaultRank;
}

std::vector<std::vector<std::size_t>> similarClusters(
    const std::vector<std::uint64_t>& hashes, const std::vector<std::optional<Date>>& createdAt,
    const HeuristicsConfig& config) {
  const std::size_t n = hashes.size();
  const int threshold = config.similarThreshold;
  UnionFind links(n);
  if (threshold >= 0 && n >= 2) {
    const bool timed = config.similarWindowSec > 0;
    // Dated photos (when the window applies) meet each other only inside
    // the window; every other pair is found through the hash index.
    std::vector<std::size_t> dated;
    std::vector<std::size_t> undated;
    for (std::size_t i = 0; i < n; ++i) (timed && createdAt[i] ? dated : undated).push_back(i);

    std::stable_sort(dated.begin(), dated.end(),
                     [&](std::size_t a, std::size_t b) { return *createdAt[a] < *createdAt[b]; });
    for (std::size_t p = 0; p < dated.size(); ++p) {
      const std::size_t a = dated[p];
      for (std::size_t q = p + 1; q < dated.size(); ++q) {
        const std::size_t b = dated[q];
        if (secondsApart(*createdAt[b], *createdAt[a]) > config.similarWindowSec) break;
        if (distance(hashes[a], hashes[b]) <= threshold) links.join(a, b);
      }
    }

    if (!undated.empty()) {
      std::vector<Member> u;
      std::vector<Member> d;
      for (std::size_t i : undated) u.push_back({hashes[i], i});
      for (std::size_t i : dated) d.push_back({hashes[i], i});
      linkThroughIndex(u, d, threshold, links);
    }
  }

  std::vector<std::vector<std::size_t>> clusters;
  std::vector<std::size_t> clusterOfRoot(n, std::numeric_limits<std::size_t>::max());
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t& c = clusterOfRoot[links.find(i)];
    if (c == std::numeric_limits<std::size_t>::max()) {
      c = clusters.size();
      clusters.emplace_back();
    }
    clusters[c].push_back(i);
  }
  std::erase_if(clusters, [](const auto& cluster) { return cluster.size() < 2; });
  return clusters;
}

Analysis analyze(std::vector<Item> items, const HeuristicsConfig& config, Date now) {
  Analysis result;
  exactGroups(items, result.groups);
  similarGroups(items, config, result.groups);
  for (Item& item : items) ageReasons(item, config, now);
  for (Item& item : items) {
    if (!item.reasons.empty()) item.score = score(item, now);
  }
  result.items = std::move(items);
  return result;
}

double score(const Item& item, Date now) {
  double w = 0;
  for (Reason r : item.reasons) w = std::max(w, weight(r));
  const double f = std::min(item.ageDays(now) / 90.0, 3.0);
  return w * (f * static_cast<double>(item.bytes));
}

namespace {
void sortByScore(std::vector<Item>& items) {
  std::stable_sort(items.begin(), items.end(),
                   [](const Item& a, const Item& b) { return a.score > b.score; });
}
}  // namespace

std::vector<Item> candidates(const std::vector<Item>& items) {
  std::vector<Item> out;
  for (const Item& item : items) {
    if (!item.reasons.empty()) out.push_back(item);
  }
  sortByScore(out);
  return out;
}

std::vector<Item> candidates(std::vector<Item>&& items) {
  std::erase_if(items, [](const Item& item) { return item.reasons.empty(); });
  // Sorted through their positions: a stable sort of the items themselves
  // would take a buffer of half of them. The order is then applied in
  // place, one cycle of the permutation at a time.
  std::vector<std::size_t> order(items.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return items[a].score > items[b].score; });
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    Item first = std::move(items[start]);
    for (std::size_t at = start;;) {
      const std::size_t from = order[at];
      order[at] = at;
      if (from == start) {
        items[at] = std::move(first);
        break;
      }
      items[at] = std::move(items[from]);
      at = from;
    }
  }
  return std::move(items);
}

std::int64_t reclaimable(const std::vector<Item>& items, const std::vector<Group>& groups,
                         const std::unordered_map<Uuid, Uuid>& sameFileAs) {
  std::int64_t total = 0;
  for (const Group& group : groups) total += group.reclaimable;
  if (sameFileAs.empty()) {
    for (const Item& item : items) {
      if (!item.groupID) total += item.bytes;
    }
    return total;
  }
  // The files already counted, by the id that stands for each.
  std::unordered_set<Uuid> counted;
  for (const Group& group : groups) {
    for (const Uuid& member : group.memberIDs) {
      if (member != group.keeperID) counted.insert(member);
    }
  }
  for (const Item& item : items) {
    if (item.groupID) continue;
    auto link = sameFileAs.find(item.id);
    if (counted.insert(link == sameFileAs.end() ? item.id : link->second).second) {
      total += item.bytes;
    }
  }
  return total;
}

}  // namespace tallowick::Heuristics
