// The walk alone against `find ROOT -type f -printf '%s\n'` on the same tree
// with a warm page cache. Usage: scan_walk [FILES] (default 200000). Files
// are empty and the size floor is 1 byte, so no file is recorded or hashed:
// this measures the walk.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/scan/scanner.h"
#include "scan_bench_util.h"

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 200000;
  constexpr long kPerFolder = 200;
  scan_bench::TempDir dir("scan_walk");
  const std::string root = (dir.path() / "tree").string();
  std::printf("making %ld empty files under %s ...\n", files, root.c_str());
  for (long i = 0; i < files; ++i) {
    const long folder = i / kPerFolder;
    const std::string parent =
        root + "/d" + std::to_string(folder / 50) + "/e" + std::to_string(folder % 50);
    if (i % kPerFolder == 0) std::filesystem::create_directories(parent);
    const std::string path = parent + "/file-" + std::to_string(i) + ".txt";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::perror(path.c_str());
      return 1;
    }
    ::close(fd);
  }

  const std::string find = "find '" + root + "' -type f -printf '%s\\n' > /dev/null";
  if (std::system(find.c_str()) != 0) return 1;  // warms the page cache
  const double findSeconds = scan_bench::bestSeconds(3, [&] {
    if (std::system(find.c_str()) != 0) std::exit(1);
  });

  tallowick::ScanOptions options;
  options.minBytes = 1;
  options.home = dir.path().string();
  tallowick::Scanner scanner(options);
  long seen = 0;
  const double walkSeconds =
      scan_bench::bestSeconds(3, [&] { seen = scanner.scan({root}).filesSeen; });
  if (seen != files) {
    std::fprintf(stderr, "walk saw %ld files, expected %ld\n", seen, files);
    return 1;
  }
  std::printf("files: %ld\n", files);
  std::printf("find -type f -printf '%%s\\n': %.3f s\n", findSeconds);
  std::printf("Scanner walk:                %.3f s\n", walkSeconds);
  std::printf("ratio walk/find: %.2f (goal: at most 2.00) %s\n", walkSeconds / findSeconds,
              walkSeconds / findSeconds <= 2.0 ? "OK" : "OVER");
  return 0;
}
