// Wall time of `tallowick scan` over a generated tree against jdupes, rmlint
// and fdupes on the same tree (page cache warm), and of a rescan with a warm
// hash cache; checks that the exact-duplicate sets equal jdupes'.
//
//   pipeline_scan [--files N] [--dir DIR] [--keep]
//
// N files (default 1000) of 1 to 8 MiB (about 2.7 MiB on average): a third
// are copies of others in other folders, some share a size without sharing
// content, and 200 of them (a fifth for small N) are camera-like JPEG
// photos. Then the walk and hashing alone, in this process, with one
// hashing worker and with two.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips8>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/scan/scanner.h"
#include "core/thumbs/vips_runtime.h"
#include "scan_bench_util.h"
#include "shared/file_util.h"
#include "shared/report.h"

namespace fs = std::filesystem;
using namespace tallowick;
using Clock = std::chrono::steady_clock;
using DupeSets = std::set<std::set<std::string>>;

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
const char* kFolders[] = {"Pictures", "Documents", "Downloads", "Desktop", "Movies", "Archive"};

void fillRandom(std::vector<char>& buffer, std::uint64_t seed) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::size_t i = 0; i + 8 <= buffer.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&buffer[i], &x, 8);
  }
}

void writeBytes(const fs::path& path, const std::vector<char>& data, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(size));
}

void makeTree(const fs::path& root, int files) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> unit(0, 1);
  for (const char* f : kFolders) fs::create_directories(root / f / "sub");
  const int copies = files / 3;
  const int pictures = std::min(200, files / 5);
  const int originals = files - copies;
  std::vector<fs::path> made;
  std::vector<char> buffer(8 * kMiB + 8);
  ensureVipsStarted();
  vips_concurrency_set(2);  // drawing only; the scans run in their own processes
  const vips::VImage grain =
      pictures > 0 ? scan_bench::grainField(4000, 3000, 2.0) : vips::VImage();
  for (int i = 0; i < originals; ++i) {
    const fs::path dir = root / kFolders[rng() % 6] / (rng() % 2 ? "sub" : "");
    if (i < pictures) {
      // Camera-like 12-megapixel JPEGs of 1.5 to 2.5 MB.
      const fs::path path = dir / ("IMG_" + std::to_string(i) + ".jpg");
      scan_bench::saveAsCameraJpeg(scan_bench::photoLike(4000, 3000, i + 1, grain), path.string());
      made.push_back(path);
      continue;
    }
    const double u = unit(rng);
    std::size_t size = static_cast<std::size_t>(kMiB + u * u * u * 7 * kMiB);
    // Every tenth file takes the size of the one before: same size, other
    // content, so the size alone decides nothing.
    if (i % 10 == 0 && !made.empty() && fs::file_size(made.back()) >= kMiB) {
      size = static_cast<std::size_t>(fs::file_size(made.back()));
    }
    fillRandom(buffer, static_cast<std::uint64_t>(i) + 1);
    const fs::path path = dir / ("file_" + std::to_string(i) + ".bin");
    writeBytes(path, buffer, size);
    made.push_back(path);
  }
  for (int c = 0; c < copies; ++c) {
    const fs::path& source = made[rng() % made.size()];
    const fs::path target = root / kFolders[rng() % 6] /
                            ("copy_" + std::to_string(c) + "_" + source.filename().string());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  }
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command, returns its wall time in seconds (or -1 when it failed).
double timed(const std::string& command) {
  auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 1)) {
    std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
    return -1;
  }
  return seconds;
}

double best(const std::string& command, int rounds) {
  double b = 1e18;
  for (int i = 0; i < rounds; ++i) {
    const double t = timed(command);
    if (t < 0) return -1;
    b = std::min(b, t);
  }
  return b;
}

void warmPageCache(const fs::path& root) {
  std::vector<char> buffer(kMiB);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
  }
}

DupeSets fromReport(const std::string& jsonFile) {
  const Report report = Report::fromStoredJSON(*readWholeFile(jsonFile));
  std::map<Uuid, std::string> paths;
  for (const auto& item : report.allItems()) paths[item.id] = item.path;
  DupeSets sets;
  for (const auto& group : report.groups) {
    if (group.type != GroupType::exact) continue;
    std::set<std::string> members;
    for (const auto& id : group.memberIDs) members.insert(paths.at(id));
    sets.insert(members);
  }
  return sets;
}

// jdupes and fdupes print each set as lines of paths, sets separated by a
// blank line.
DupeSets fromBlankLineSets(const std::string& file) {
  DupeSets sets;
  std::ifstream in(file);
  std::set<std::string> current;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) {
      if (current.size() >= 2) sets.insert(current);
      current.clear();
    } else {
      current.insert(line);
    }
  }
  if (current.size() >= 2) sets.insert(current);
  return sets;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 1000;
  fs::path dir = fs::temp_directory_path() / "tallowick-bench-dupes";
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--files" && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--files N] [--dir DIR] [--keep]\n", argv[0]);
      return 2;
    }
  }
  const fs::path program = fs::canonical(fs::path(argv[0]).parent_path() / ".." / "tallowick");
  const fs::path tree = dir / ("tree-" + std::to_string(files));
  const fs::path work = dir / "work";
  fs::create_directories(work / "home");
  if (!fs::exists(tree / ".complete")) {
    std::printf("making %d files under %s ...\n", files, tree.c_str());
    fs::remove_all(tree);
    makeTree(tree, files);
    std::ofstream(tree / ".complete") << "";
  }
  std::int64_t total = 0;
  int count = 0;
  for (const auto& e : fs::recursive_directory_iterator(tree)) {
    if (e.is_regular_file() && e.path().filename() != ".complete") {
      total += static_cast<std::int64_t>(e.file_size());
      ++count;
    }
  }
  std::printf("tree: %d files, %.2f GiB; page cache warmed before every tool; %s\n", count,
              static_cast<double>(total) / (1024.0 * kMiB), scan_bench::loadAverage().c_str());
  const std::string env = "HOME=" + quote((work / "home").string()) +
                          " XDG_DATA_HOME=" + quote((work / "home").string());
  const std::string out = (work / "out").string();
  const std::string cache = (work / "hashes.plist").string();
  fs::remove(cache);

  warmPageCache(tree);
  const double scan = best(env + " " + quote(program) + " scan --json " + quote(tree) + " >" +
                               quote(out + ".tallowick.json"),
                           2);
  warmPageCache(tree);
  const double jdupes = best("jdupes -r -q " + quote(tree) + " >" + quote(out + ".jdupes"), 2);
  warmPageCache(tree);
  const double rmlint =
      best("cd " + quote(work) + " && rmlint -o fdupes:" + quote(out + ".rmlint") + " " +
               quote(tree) + " >/dev/null",
           2);
  warmPageCache(tree);
  const double fdupes = best("fdupes -r -q " + quote(tree) + " >" + quote(out + ".fdupes"), 2);
  // Fill the cache, then time the rescan.
  timed(env + " " + quote(program) + " scan --json --cache " + quote(cache) + " " + quote(tree) +
        " >/dev/null");
  warmPageCache(tree);
  const double rescan = best(env + " " + quote(program) + " scan --json --cache " + quote(cache) +
                                 " " + quote(tree) + " >" + quote(out + ".rescan.json"),
                             2);

  // The walk and hashing alone, in this process, on the same warm tree: one
  // hashing worker against two (alternating, best of two each).
  setenv("HOME", (work / "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (work / "home").c_str(), 1);
  ensureVipsStarted();
  vips_concurrency_set(1);
  ScanOptions options;
  options.minBytes = kMiB;
  options.hashImages = true;
  options.hashEverything = true;
  options.home = (work / "home").string();
  warmPageCache(tree);
  double workerWall[3] = {1e18, 1e18, 1e18};
  double workerCpu[3] = {0, 0, 0};
  for (int round = 0; round < 2; ++round) {
    for (int threads : {1, 2}) {
      options.hashThreads = threads;
      const double cpuStart = scan_bench::processSeconds();
      const double wall =
          scan_bench::bestSeconds(1, [&] { Scanner(options).scan({tree.string()}); });
      if (wall < workerWall[threads]) {
        workerWall[threads] = wall;
        workerCpu[threads] = scan_bench::processSeconds() - cpuStart;
      }
    }
  }

  // What the duplicate finders do, nothing more: digests of the files that
  // share a size, no perceptual hashes, two workers.
  options.hashImages = false;
  options.hashThreads = 2;
  const double exactOnly =
      scan_bench::bestSeconds(2, [&] { Scanner(options).scan({tree.string()}); });

  const DupeSets ours = fromReport(out + ".tallowick.json");
  const DupeSets cached = fromReport(out + ".rescan.json");
  const DupeSets theirs = fromBlankLineSets(out + ".jdupes");
  const double fastest = std::min({jdupes, rmlint, fdupes});
  std::printf("\n%-34s %9s %12s\n", "run", "wall s", "ratio");
  std::printf("%-34s %9.2f %12s\n", "jdupes -r", jdupes, "");
  std::printf("%-34s %9.2f %12s\n", "rmlint", rmlint, "");
  std::printf("%-34s %9.2f %12s\n", "fdupes -r", fdupes, "");
  std::printf("%-34s %9.2f %9.2fx of fastest other (goal <= 1)\n", "tallowick scan (no cache)",
              scan, scan / fastest);
  std::printf("%-34s %9.2f %9.3fx of first scan (goal <= 0.1)\n", "tallowick scan (warm cache)",
              rescan, rescan / scan);
  std::printf("\n%-34s %9s %12s %10s\n", "walk and hashing in-process", "wall s", "speed-up",
              "cpu s/s");
  for (int threads : {1, 2}) {
    std::printf(
        "%-34s %9.2f %11.2fx %10.2f\n",
        (std::to_string(threads) + (threads == 1 ? " hashing worker" : " hashing workers")).c_str(),
        workerWall[threads], workerWall[1] / workerWall[threads],
        workerCpu[threads] / workerWall[threads]);
  }
  std::printf("%-34s %9.2f %9.2fx of fastest other\n", "2 workers, no perceptual hashes", exactOnly,
              exactOnly / fastest);
  std::printf("%s at the end\n", scan_bench::loadAverage().c_str());
  std::printf("\nexact-duplicate sets: tallowick %zu, jdupes %zu, same: %s; rescan same: %s\n",
              ours.size(), theirs.size(), ours == theirs ? "yes" : "NO",
              cached == ours ? "yes" : "NO");
  if (!keep) fs::remove_all(dir);
  return ours == theirs && cached == ours ? 0 : 1;
}
