// Similar-photo analysis of many photos: Heuristics::analyze against the
// plain all-pairs comparison of the same pool, measured in the same run.
//
//   heuristics_analyze [PHOTOS]      (default 100000)

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "core/scan/heuristics.h"

using namespace tallowick;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The rule as written: every pair of the pool, union-find with path halving.
std::vector<std::vector<std::size_t>> allPairs(const std::vector<std::uint64_t>& hashes,
                                               const std::vector<std::optional<Date>>& dates,
                                               const HeuristicsConfig& config) {
  const std::size_t n = hashes.size();
  std::vector<std::size_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0);
  auto find = [&](std::size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (std::popcount(hashes[i] ^ hashes[j]) > config.similarThreshold) continue;
      if (dates[i] && dates[j] && config.similarWindowSec > 0 &&
          std::abs(std::chrono::duration<double>(*dates[i] - *dates[j]).count()) >
              config.similarWindowSec) {
        continue;
      }
      std::size_t a = find(i), b = find(j);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  }
  std::vector<std::vector<std::size_t>> clusters(n);
  for (std::size_t i = 0; i < n; ++i) clusters[find(i)].push_back(i);
  std::erase_if(clusters, [](const auto& c) { return c.size() < 2; });
  return clusters;
}

struct Input {
  std::vector<Item> items;
  std::vector<std::uint64_t> hashes;
  std::vector<std::optional<Date>> dates;
};

Input makeInput(std::size_t n, bool dated, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Input in;
  const Date start = currentDate() - std::chrono::hours(24 * 365 * 5);
  for (std::size_t i = 0; i < n; ++i) {
    Item item;
    item.path = "/home/u/Pictures/IMG_" + std::to_string(i) + ".jpg";
    item.kind = Kind::image;
    item.bytes = 2'000'000 + static_cast<std::int64_t>(rng() % 4'000'000);
    item.phash = rng();
    item.width = 4032;
    item.height = 3024;
    if (dated) item.createdAt = start + std::chrono::seconds(rng() % (5ull * 365 * 86400));
    in.hashes.push_back(*item.phash);
    in.dates.push_back(item.createdAt);
    in.items.push_back(std::move(item));
  }
  return in;
}

bool run(std::size_t n, bool dated) {
  Input in = makeInput(n, dated, dated ? 1 : 2);
  const HeuristicsConfig config;
  const Date now = currentDate();

  double best = 1e9;
  std::size_t groups = 0;
  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    auto result = Heuristics::analyze(in.items, config, now);
    best = std::min(best, secondsSince(start));
    groups = result.groups.size();
  }
  auto start = Clock::now();
  auto reference = allPairs(in.hashes, in.dates, config);
  const double baseline = secondsSince(start);
  const bool same = Heuristics::similarClusters(in.hashes, in.dates, config) == reference;

  std::printf(
      "%-9s %8zu photos  analyze %8.3f s  all-pairs %8.3f s  speed-up %7.1fx  "
      "groups %zu  same clusters: %s\n",
      dated ? "dated" : "undated", n, best, baseline, baseline / best, groups, same ? "yes" : "NO");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  std::printf("Heuristics.analyze vs all-pairs similar-photo linking (best of 3 vs one run)\n");
  bool ok = run(n, true);
  ok = run(n, false) && ok;
  return ok ? 0 : 1;
}
