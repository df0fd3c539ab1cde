#include "cli/scan_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "cli/human_bytes.h"
#include "cli/numbers.h"
#include "cli/roots.h"
#include "cli/scan_progress.h"
#include "cli/terminal_text.h"
#include "core/scan/hash_cache.h"
#include "core/scan/pipeline.h"
#include "shared/count_text.h"
#include "shared/file_util.h"
#include "shared/report.h"
#include "shared/report_writer.h"

namespace tallowick::cli {
namespace {

// "1 file", "2,000 files"
std::string files(std::int64_t count) {
  return grouped(count) + " " + countNoun(count, "file", "files");
}

void printSummary(const Report& report) {
  std::cout << "Scanned " << files(report.filesSeen) << " (" << humanBytes(report.bytesSeen)
            << ") in "
            << countText(static_cast<std::int64_t>(report.roots.size()), "folder", "folders")
            << ".\n";
  const auto candidates = static_cast<std::int64_t>(report.items.size());
  std::cout << "Reclaimable: " << humanBytes(report.reclaimable) << " in " << grouped(candidates)
            << " " << countNoun(candidates, "candidate", "candidates") << ".\n";
  if (report.items.empty()) return;

  std::map<Reason, std::int64_t> byReason;
  for (const auto& item : report.items) {
    for (Reason reason : item.reasons) byReason[reason] += 1;
  }
  std::cout << "\nCandidates by reason:\n";
  for (const auto& [reason, count] : byReason) {
    char line[96];
    std::snprintf(line, sizeof line, "  %-20s %10s\n", std::string(rawValue(reason)).c_str(),
                  grouped(count).c_str());
    std::cout << line;
  }

  constexpr std::size_t kShownGroups = 20;
  constexpr std::size_t kShownCandidates = 20;
  std::map<Uuid, const Item*> byID;
  const std::vector<Item> all = report.allItems();
  for (const auto& item : all) byID[item.id] = &item;
  if (!report.groups.empty()) {
    std::cout << "\nGroups (" << report.groups.size() << "):\n";
    for (std::size_t i = 0; i < report.groups.size() && i < kShownGroups; ++i) {
      const Group& group = report.groups[i];
      auto keeper = byID.find(group.keeperID);
      std::cout << "  " << rawValue(group.type) << ", " << files(group.memberIDs.size())
                << ", reclaim " << humanBytes(group.reclaimable) << ", keep "
                << (keeper != byID.end() ? escapedForTerminal(keeper->second->path)
                                         : group.keeperID.string());
      if (keeper != byID.end()) std::cout << " (" << humanBytes(keeper->second->bytes) << ")";
      std::cout << "\n";
    }
    if (report.groups.size() > kShownGroups) {
      std::cout << "  … and " << report.groups.size() - kShownGroups << " more\n";
    }
  }
  std::cout << "\nTop candidates:\n";
  for (std::size_t i = 0; i < report.items.size() && i < kShownCandidates; ++i) {
    const Item& item = report.items[i];
    std::string reasons;
    for (Reason reason : item.reasons) {
      if (!reasons.empty()) reasons += ",";
      reasons += rawValue(reason);
    }
    char line[160];
    std::snprintf(line, sizeof line, "  %10.3g  %10s  %-20s  ", item.score,
                  humanBytes(item.bytes).c_str(), reasons.c_str());
    std::cout << line << escapedForTerminal(item.path) << "\n";
  }
  if (report.items.size() > kShownCandidates) {
    std::cout << "  … and " << report.items.size() - kShownCandidates << " more\n";
  }
}

// Keeps `object` until the process ends, never destroying it. The scan
// command is the last thing its process does: the system takes the memory
// back whole at exit, sooner than a large report and cache could be freed
// string by string. Still reachable, so leak checkers see no leak.
void keepUntilExit(std::shared_ptr<const void> object) {
  static auto* const kept = new std::vector<std::shared_ptr<const void>>();
  kept->push_back(std::move(object));
}

}  // namespace

void addScanCommand(CLI::App& app, Run& run) {
  auto options = std::make_shared<ScanCommandOptions>();
  CLI::App* scan = app.add_subcommand("scan", "Scan folders and list what could be cleaned up.");
  scan->add_flag("--json", options->json, "Print the report as JSON on standard output.");
  scan->add_option("--min-bytes", options->minBytes,
                   "Record only files of at least this many bytes (default 1048576).")
      ->transform(wholeNumber(0));
  scan->add_option("--cache", options->cacheFile,
                   "Keep hashes in this file between scans (no cache without it).");
  scan->add_option("--roots-json", options->rootsJson,
                   "Also scan the roots in this JSON array (url, duplicates, screenshots, stale).");
  scan->add_option("--thumbs", options->thumbsDir,
                   "Write HEIC thumbnails of picture and video candidates into this folder.");
  scan->add_option("ROOT", options->roots, "Folders to scan, every switch on.");
  scan->callback([options, &run] { run = [options] { return runScan(*options); }; });
}

int runScan(const ScanCommandOptions& options) {
  if (options.roots.empty() && options.rootsJson.empty()) {
    std::cerr << "tallowick scan: give at least one ROOT or --roots-json FILE\n";
    return kUsageError;
  }
  std::optional<std::vector<ScanRoot>> roots =
      resolveRoots(options.roots, options.rootsJson, "tallowick scan", std::cerr);
  if (!roots) return kUsageError;

  std::shared_ptr<HashCache> cache;
  if (!options.cacheFile.empty()) {
    cache = std::make_shared<HashCache>(absoluteFolder(options.cacheFile));
    keepUntilExit(cache);
  }
  Pipeline::Options pipeline;
  pipeline.minBytes = options.minBytes;
  pipeline.cache = cache.get();
  if (!options.thumbsDir.empty()) pipeline.thumbsDir = absoluteFolder(options.thumbsDir);
  const bool live = ::isatty(STDERR_FILENO);
  if (live) {
    // Each line overwrites the one before and clears what was longer.
    pipeline.progress = [](std::int64_t seen) {
      std::cerr << "\r" << walkProgressLine(seen) << "\033[K" << std::flush;
    };
    // One line per file would keep the terminal busier than the hashing.
    auto throttle = std::make_shared<ProgressThrottle>(std::chrono::milliseconds(100));
    pipeline.hashProgress = [throttle](const HashProgress& progress) {
      const bool last = progress.files == progress.totalFiles;
      if (!throttle->due(ProgressThrottle::Clock::now()) && !last) return;
      std::cerr << "\r" << hashProgressLine(progress) << "\033[K" << std::flush;
    };
  }
  const auto kept = std::make_shared<const Report>(Pipeline::run(*roots, pipeline));
  keepUntilExit(kept);
  const Report& report = *kept;
  if (live) std::cerr << "\r\033[K" << std::flush;

  errno = 0;  // what a failed write leaves there names the reason
  if (options.json) {
    // Streamed: the text of a large report is never held whole.
    OutputBuffer out([](std::string_view chunk) {
      std::cout.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      return std::cout.good();
    });
    writeReportJSON(report, out);
    out.finish();
  } else {
    printSummary(report);
  }
  std::cout << std::flush;
  if (!std::cout.good()) {
    // A report cut short on a full disk or a closed pipe must not pass for
    // a whole one.
    const int error = errno != 0 ? errno : EIO;
    std::cerr << "tallowick scan: cannot write the report: " << std::strerror(error) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace tallowick::cli
