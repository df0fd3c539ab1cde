#include "cli/scan_command.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "core/scan/scanner.h"
#include "shared/report.h"

namespace tallowick::cli {
namespace {

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return {};
}

// "/a/b/" and "b/../b" become absolute, without a trailing slash.
std::string absoluteFolder(const std::string& path) {
  std::string out = std::filesystem::absolute(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// "1,234,567"
std::string grouped(std::int64_t value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return value < 0 ? "-" + out : out;
}

// "1 file", "2 files"
std::string files(std::int64_t count) { return grouped(count) + (count == 1 ? " file" : " files"); }

// Decimal units, as file managers show sizes: "512 bytes", "3.2 MB".
std::string humanBytes(std::int64_t bytes) {
  static const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB"};
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1000 && unit < 4) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

void printSummary(const Report& report, std::int64_t minBytes) {
  struct Tally {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
  };
  std::map<Kind, Tally> byKind;
  Tally recorded;
  std::int64_t perceptual = 0;
  std::int64_t digests = 0;
  for (const auto& item : report.items) {
    byKind[item.kind].count += 1;
    byKind[item.kind].bytes += item.bytes;
    recorded.count += 1;
    recorded.bytes += item.bytes;
    perceptual += item.phash.has_value();
    digests += item.sha256.has_value();
  }
  std::cout << "Scanned " << files(report.filesSeen) << " (" << humanBytes(report.bytesSeen)
            << ") in " << report.roots.size()
            << (report.roots.size() == 1 ? " folder.\n" : " folders.\n");
  std::cout << files(recorded.count) << " of at least " << humanBytes(minBytes) << " ("
            << humanBytes(recorded.bytes) << ")" << (recorded.count ? ":\n" : ".\n");
  for (const auto& [kind, tally] : byKind) {
    char line[96];
    std::snprintf(line, sizeof line, "  %-10s %10s  %s\n", std::string(rawValue(kind)).c_str(),
                  grouped(tally.count).c_str(), humanBytes(tally.bytes).c_str());
    std::cout << line;
  }
  if (recorded.count) {
    std::cout << grouped(perceptual) << " of the pictures fingerprinted, " << files(digests)
              << " of a shared size hashed.\n";
  }
}

}  // namespace

void addScanCommand(CLI::App& app, Run& run) {
  auto options = std::make_shared<ScanCommandOptions>();
  CLI::App* scan = app.add_subcommand("scan", "Scan folders and list the files found.");
  scan->add_flag("--json", options->json, "Print the report as JSON on standard output.");
  scan->add_option("--min-bytes", options->minBytes,
                   "Record only files of at least this many bytes (default 1048576).")
      ->check(CLI::NonNegativeNumber);
  scan->add_option("ROOT", options->roots, "Folders to scan.")->required();
  scan->callback([options, &run] { run = [options] { return runScan(*options); }; });
}

int runScan(const ScanCommandOptions& options) {
  Report report;
  for (const auto& root : options.roots) {
    struct stat info;
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      std::cerr << "tallowick scan: no such folder: " << root << "\n";
      return kUsageError;
    }
    report.roots.push_back(absoluteFolder(root));
  }

  ScanOptions scanOptions;
  scanOptions.minBytes = options.minBytes;
  scanOptions.hashImages = true;
  scanOptions.hashEverything = true;
  scanOptions.home = homeFolder();
  const bool live = ::isatty(STDERR_FILENO);
  if (live) {
    scanOptions.progress = [](std::int64_t seen) {
      std::cerr << "\rScanning… " << grouped(seen) << " files seen" << std::flush;
    };
  }
  ScanResult result = Scanner(scanOptions).scan(report.roots);
  if (live) std::cerr << "\r\033[K" << std::flush;

  report.scannedAt = std::chrono::system_clock::now();
  report.items = std::move(result.items);
  report.filesSeen = result.filesSeen;
  report.bytesSeen = result.bytesSeen;
  if (options.json) {
    std::cout << report.storedJSON() << std::flush;
  } else {
    printSummary(report, options.minBytes);
  }
  return std::cout.good() ? 0 : 1;
}

}  // namespace tallowick::cli
