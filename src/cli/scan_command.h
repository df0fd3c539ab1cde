#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command.h"

namespace tallowick::cli {

struct ScanCommandOptions {
  std::vector<std::string> roots;
  std::int64_t minBytes = 1 << 20;
  bool json = false;
  std::string cacheFile;  // empty: no hash cache
  std::string rootsJson;  // empty: none; else a JSON array of scan roots
  std::string thumbsDir;  // empty: no thumbnails
};

// `tallowick scan [--json] [--min-bytes N] [--cache FILE] [--roots-json FILE]
// [--thumbs DIR] [ROOT...]`. When chosen, sets `run`.
void addScanCommand(CLI::App& app, Run& run);

// Scans and prints; returns the exit status.
int runScan(const ScanCommandOptions& options);

}  // namespace tallowick::cli
