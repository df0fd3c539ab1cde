// Cost of committing 500 files to the Trash, against, in the same run: 500
// bare rename(2) calls between two folders of the same file system; the
// floor of the Trash format (an info file, then the rename); and the same
// steps the engine takes, done by hand without its checks (attributes read,
// info file, rename, one journal line each, one flush at the end).
// Usage: [TMPDIR=dir] commit_trash [files] [repeats]

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/commit/commit_engine.h"

using namespace tallowick;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> makeFiles(const std::string& dir, int count) {
  std::filesystem::create_directories(dir);
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    std::string path = dir + "/file-" + std::to_string(i) + ".bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string data = "content of " + path;
    if (fd < 0 || ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
      std::perror(path.c_str());
      std::exit(1);
    }
    ::close(fd);
    paths.push_back(path);
  }
  return paths;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 500;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
  // TMPDIR picks the file system measured (/tmp by default; a tmpfs such as
  // /dev/shm leaves out the disk's journal and shows the syscalls alone).
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/tallowick-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  std::string base = pattern;
  std::printf("measured in %s\n", base.c_str());
  std::vector<double> renameMs, floorMs, safeMs, syncMs, commitMs;
  for (int r = 0; r < repeats; ++r) {
    std::string dir = base + "/round" + std::to_string(r);
    // Each round has its own empty Trash, inside the temporary folder.
    ::setenv("HOME", (dir + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir + "/home/.local/share").c_str(), 1);
    auto plain = makeFiles(dir + "/plain", count);
    std::filesystem::create_directories(dir + "/moved");
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
      std::string to = dir + "/moved/file-" + std::to_string(i) + ".bin";
      if (::rename(plain[i].c_str(), to.c_str()) != 0) std::perror("rename");
    }
    renameMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

    // What the Trash format itself asks for: an info file written, then the
    // rename.
    auto floorFiles = makeFiles(dir + "/floor", count);
    std::filesystem::create_directories(dir + "/floor-info");
    auto tf = Clock::now();
    for (int i = 0; i < count; ++i) {
      std::string name = "/file-" + std::to_string(i) + ".bin";
      std::string info =
          "[Trash Info]\nPath=" + floorFiles[i] + "\nDeletionDate=2026-01-01T00:00:00\n";
      int fd = ::open((dir + "/floor-info" + name + ".trashinfo").c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 || ::write(fd, info.data(), info.size()) < 0) std::perror("info");
      ::close(fd);
      if (::rename(floorFiles[i].c_str(), (dir + "/moved" + name + ".2").c_str()) != 0) {
        std::perror("rename");
      }
    }
    floorMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - tf).count());

    // What the engine's promises add to that, done by hand: the file's
    // attributes read before the move, one journal line after it, and one
    // flush of the journal at the end.
    auto safeFiles = makeFiles(dir + "/safe", count);
    std::filesystem::create_directories(dir + "/safe-info");
    std::string line(320, 'j');
    line.back() = '\n';
    auto ts = Clock::now();
    int journal =
        ::open((dir + "/safe.jsonl").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    for (int i = 0; i < count; ++i) {
      std::string name = "/file-" + std::to_string(i) + ".bin";
      struct stat st;
      if (::lstat(safeFiles[i].c_str(), &st) != 0) std::perror("lstat");
      std::string info =
          "[Trash Info]\nPath=" + safeFiles[i] + "\nDeletionDate=2026-01-01T00:00:00\n";
      int fd = ::open((dir + "/safe-info" + name + ".trashinfo").c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 || ::write(fd, info.data(), info.size()) < 0) std::perror("info");
      ::close(fd);
      if (::rename(safeFiles[i].c_str(), (dir + "/moved" + name + ".3").c_str()) != 0) {
        std::perror("rename");
      }
      if (::write(journal, line.data(), line.size()) < 0) std::perror("journal");
    }
    auto tsync = Clock::now();
    ::fdatasync(journal);
    ::close(journal);
    safeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - ts).count());
    syncMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - tsync).count());

    std::string root = dir + "/root";
    auto paths = makeFiles(root, count);
    CommitEngine engine(CommitEngine::Config({root}, dir + "/storage"));
    std::vector<Item> items;
    for (const std::string& path : paths) {
      Item item;
      item.path = path;
      struct stat st;
      ::stat(path.c_str(), &st);
      item.bytes = st.st_size;
      item.modifiedAt = Date(std::chrono::duration_cast<Date::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
      engine.record(item, Action::trash, "bench");
      items.push_back(item);
    }
    auto t1 = Clock::now();
    CommitEngine::Outcome outcome = engine.commit(items, "bench");
    commitMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t1).count());
    if (outcome.trashed != count) {
      std::fprintf(stderr, "only %lld of %d files moved\n", static_cast<long long>(outcome.trashed),
                   count);
      return 1;
    }
  }
  double bare = median(renameMs), floor = median(floorMs), safe = median(safeMs);
  double sync = median(syncMs), commit = median(commitMs);
  std::printf("commit of %d files: %.2f ms (%.1f us per file)\n", count, commit,
              commit * 1000 / count);
  std::printf("%d bare rename(2): %.2f ms (%.1f us per file)\n", count, bare, bare * 1000 / count);
  std::printf("%d info file + rename: %.2f ms (%.1f us per file)\n", count, floor,
              floor * 1000 / count);
  std::printf(
      "%d x (lstat + info file + rename + journal line) + one fdatasync: %.2f ms "
      "(the fdatasync: %.2f ms)\n",
      count, safe, sync);
  std::printf("ratio commit / rename: %.1fx\n", commit / bare);
  std::printf("ratio commit / (info file + rename): %.1fx\n", commit / floor);
  std::printf("ratio commit / (same steps by hand): %.1fx   (medians of %d runs)\n", commit / safe,
              repeats);
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return 0;
}
