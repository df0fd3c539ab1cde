// A million small files: the figures of a big disk, each against a baseline
// measured in the same run.
//
//   million_files [--files N] [--rescan-files M] [--dir DIR] [--keep]
//
// Generates N files of 1 to 4096 bytes, 40% of them copies of earlier ones,
// 1000 to a folder, under DIR, and prints the figures below. The defaults
// keep `make bench` short and off the disk: N is 100,000 (the goals are
// stated for --files 1000000, which takes minutes and about 4 GB), and DIR
// is /dev/shm (memory) when it has room for the trees, else the temporary
// folder. It prints:
//   - `tallowick scan --min-bytes 1 --json` over them against `jdupes -r -q`
//     (wall time), and the peak resident memory of both;
//   - a warm rescan with the hash cache of a tree of M files (default
//     100,000) against the same scan without a cache;
//   - saving a hash cache of N entries against loading it;
//   - writing the stored report of N items against the walk that found them.
// The generated trees are removed at the end unless --keep is given.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/scan/hash_cache.h"
#include "core/scan/scanner.h"
#include "core/server/stored_report.h"
#include "scan_bench_util.h"
#include "shared/file_util.h"

namespace fs = std::filesystem;
using namespace tallowick;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t nextRandom(std::uint64_t& x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

// N files of 1 to 4096 bytes, 1000 to a folder; 40% repeat an earlier file.
bool makeTree(const fs::path& root, long files) {
  std::uint64_t seed = 0x9E3779B97F4A7C15ull;
  std::vector<std::uint32_t> originals;  // seed of each original's content
  std::vector<char> data(4096 + 8);
  for (long i = 0; i < files; ++i) {
    const fs::path folder =
        root / ("d" + std::to_string(i / 100000)) / ("f" + std::to_string(i / 1000 % 100));
    if (i % 1000 == 0) fs::create_directories(folder);
    std::uint32_t content;
    if (!originals.empty() && nextRandom(seed) % 10 < 4) {
      content = originals[nextRandom(seed) % originals.size()];
    } else {
      content = static_cast<std::uint32_t>(nextRandom(seed));
      originals.push_back(content);
    }
    std::uint64_t x = content | (std::uint64_t{content} << 32) | 1;
    const std::size_t size = 1 + nextRandom(x) % 4096;
    for (std::size_t at = 0; at < size; at += 8) {
      const std::uint64_t v = nextRandom(x);
      std::memcpy(&data[at], &v, 8);
    }
    const std::string path = (folder / ("file-" + std::to_string(i) + ".bin")).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, data.data(), size) != static_cast<ssize_t>(size)) {
      std::perror(path.c_str());
      return false;
    }
    ::close(fd);
  }
  return true;
}

struct Run {
  double seconds = 0;
  double peakMB = 0;
  bool ok = false;
};

// Runs a command with its output to /dev/null; wall time and peak memory.
Run run(const std::vector<std::string>& argv) {
  Run result;
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  result.seconds = since(start);
  result.peakMB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!result.ok) std::fprintf(stderr, "failed: %s\n", argv[0].c_str());
  return result;
}

// tmpfs when it holds the trees (files average 2 KB but take a page each)
// with room to spare, else the temporary folder.
fs::path defaultDirectory(long files) {
  const fs::path shm = "/dev/shm";
  std::error_code ec;
  const fs::space_info space = fs::space(shm, ec);
  const auto needed = static_cast<std::uintmax_t>(files) * 4096 * 2;
  if (!ec && space.available > needed) return shm;
  return fs::temp_directory_path();
}

void row(const char* measure, double value, const char* unit, const char* baseline, double base,
         double ratio, const char* goal) {
  std::printf("%-44s %9.2f %-3s  %-30s %9.2f  %7.2fx  (goal %s)\n", measure, value, unit, baseline,
              base, ratio, goal);
}

}  // namespace

int main(int argc, char** argv) {
  long files = 100000;
  long rescanFiles = 100000;
  std::optional<fs::path> dir;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--files" && i + 1 < argc) {
      files = std::atol(argv[++i]);
    } else if (arg == "--rescan-files" && i + 1 < argc) {
      rescanFiles = std::atol(argv[++i]);
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--files N] [--rescan-files M] [--dir DIR] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }
  if (!dir) dir = defaultDirectory(files + rescanFiles);
  const fs::path program = fs::canonical(fs::path(argv[0]).parent_path() / ".." / "tallowick");
  const fs::path work = *dir / "tallowick-million";
  const fs::path tree = work / "tree";
  const fs::path small = work / "small";
  fs::remove_all(work);
  std::printf("generating %ld and %ld files under %s ...\n", files, rescanFiles, work.c_str());
  std::fflush(stdout);
  if (!makeTree(tree, files) || !makeTree(small, rescanFiles)) return 1;
  setenv("HOME", work.c_str(), 1);
  setenv("XDG_DATA_HOME", (work / "data").c_str(), 1);

  // Warm the page cache (and the directory entries) once for everybody.
  run({"find", tree.string(), "-type", "f"});
  const std::string bin = program.string();
  const Run ours = run({bin, "scan", "--min-bytes", "1", "--json", tree.string()});
  const Run jdupes = run({"jdupes", "-r", "-q", tree.string()});

  const std::string cacheFile = (work / "hashes.plist").string();
  const Run noCache = run({bin, "scan", "--min-bytes", "1", "--json", small.string()});
  run({bin, "scan", "--min-bytes", "1", "--json", "--cache", cacheFile, small.string()});
  const Run warm =
      run({bin, "scan", "--min-bytes", "1", "--json", "--cache", cacheFile, small.string()});

  // The walk alone (no hashes), in this process: it gives the items.
  ScanOptions walkOptions;
  walkOptions.minBytes = 1;
  walkOptions.home = work.string();
  auto start = Clock::now();
  ScanResult walk = Scanner(walkOptions).scan({tree.string()});
  const double walkSeconds = since(start);

  // A cache of one entry per file, every entry with a digest.
  const std::string bigCache = (work / "big.plist").string();
  double saveSeconds = 0;
  double loadSeconds = 0;
  {
    HashCache cache(bigCache);
    for (const Item& item : walk.items) {
      HashCache::Entry entry;
      entry.size = item.bytes;
      entry.mtime = HashCache::mtimeSeconds(item.modifiedAt);
      entry.sha256 = std::string(64, 'a' + static_cast<char>(item.bytes % 6));
      if (item.bytes % 3 == 0) {
        entry.phash = static_cast<std::uint64_t>(item.bytes) * 0x9E3779B97F4A7C15ull;
        entry.width = 4000;
        entry.height = 3000;
      }
      cache.store(item.path, entry);
    }
    start = Clock::now();
    cache.save();
    saveSeconds = since(start);
  }
  std::size_t loaded = 0;
  {
    start = Clock::now();
    HashCache cache(bigCache);
    loaded = cache.size();  // waits for the file to be read
    loadSeconds = since(start);
  }

  // The report of every walked file.
  Report report;
  report.roots = {tree.string()};
  report.filesSeen = walk.filesSeen;
  report.bytesSeen = walk.bytesSeen;
  for (Item& item : walk.items) {
    item.sha256 = std::string(64, 'f');
    item.reasons = {Reason::exactDuplicate};
    item.score = static_cast<double>(item.bytes) * 1.5;
  }
  report.items = std::move(walk.items);
  start = Clock::now();
  const bool written = !saveStoredReport((work / "report.json").string(), report);
  const double writeSeconds = since(start);

  std::printf("\n%-44s %9s %-3s  %-30s %9s  %8s\n", "measure", "value", "", "baseline (same run)",
              "value", "ratio");
  row("scan, wall", ours.seconds, "s", "jdupes -r -q, wall", jdupes.seconds,
      ours.seconds / jdupes.seconds, "<= 1.2x");
  std::printf("%-44s %9.1f %-3s  %-30s %9.1f  %8s  (goal < 500 MB at 1M files)\n",
              "scan, peak resident", ours.peakMB, "MB", "jdupes, peak resident", jdupes.peakMB, "");
  row("warm rescan with the cache, wall", warm.seconds, "s", "the scan without a cache",
      noCache.seconds, warm.seconds / noCache.seconds, "<= 0.5x");
  row("cache save", saveSeconds, "s", "cache load", loadSeconds, saveSeconds / loadSeconds,
      "<= 3x");
  row("report write", writeSeconds, "s", "the walk", walkSeconds, writeSeconds / walkSeconds,
      "<= 1x");
  std::printf("\nfiles %ld (rescan tree %ld), cache entries %zu, report items %zu, %s\n", files,
              rescanFiles, loaded, report.items.size(), scan_bench::loadAverage().c_str());
  const bool ok = ours.ok && jdupes.ok && noCache.ok && warm.ok && written;
  if (!keep) fs::remove_all(work);
  return ok ? 0 : 1;
}
