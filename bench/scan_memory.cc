// Peak resident memory of a scan that records many items (goal: under 200 MB
// for 100,000). Usage: scan_memory [FILES] (default 100000). Each file holds
// one byte, so every one is recorded; names mix pictures, documents and
// archives so the content-type lookup runs as it does on a real folder.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/scan/scanner.h"
#include "scan_bench_util.h"

namespace {

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 100000;
  static const char* kNames[] = {"IMG_%ld.jpg", "Report %ld.pdf", "backup-%ld.tar.gz",
                                 "notes-%ld.txt", "Screenshot %ld.png"};
  scan_bench::TempDir dir("scan_memory");
  const std::string root = (dir.path() / "tree").string();
  for (long i = 0; i < files; ++i) {
    const std::string parent = root + "/folder-" + std::to_string(i / 500);
    if (i % 500 == 0) std::filesystem::create_directories(parent);
    char name[64];
    std::snprintf(name, sizeof name, kNames[i % 5], i);
    const std::string path = parent + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, "x", 1) != 1) {
      std::perror(path.c_str());
      return 1;
    }
    ::close(fd);
  }
  const long before = peakResidentKiB();
  tallowick::ScanOptions options;
  options.minBytes = 1;
  options.home = dir.path().string();
  tallowick::ScanResult result = tallowick::Scanner(options).scan({root});
  const long after = peakResidentKiB();
  std::printf("items recorded: %zu\n", result.items.size());
  std::printf("peak resident before the scan: %.1f MB\n", before / 1024.0);
  std::printf("peak resident after the scan:  %.1f MB (goal: under 200 MB) %s\n", after / 1024.0,
              after / 1024.0 < 200 ? "OK" : "OVER");
  return result.items.size() == static_cast<std::size_t>(files) ? 0 : 1;
}
