#include "core/scan/scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <numeric>
#include <string_view>
#include <utility>

#include "core/scan/folder_stats.h"
#include "core/scan/hash_workers.h"
#include "core/scan/kind_memo.h"
#include "core/scan/profile.h"
#include "core/scan/scan_rules.h"
#include "shared/file_util.h"
#include "shared/paths.h"
#include "shared/prefault.h"
#include "shared/unique_fd.h"

namespace tallowick {
namespace {

constexpr int kMaxDepth = 256;
constexpr std::int64_t kProgressEvery = 200;

Date dateOf(const struct statx_timestamp& t) { return dateFromFileTime(t.tv_sec, t.tv_nsec); }

class Walk {
 public:
  Walk(const ScanOptions& options, std::map<std::string, SpotlightFacts> facts)
      : options_(options),
        facts_(std::move(facts)),
        home_(options.home.empty() ? std::string() : lexicallyNormal(options.home)),
        realHome_(canonicalPath(options.home)) {}

  void walkRoot(const std::string& root) {
    const std::string path = lexicallyNormal(root);
    const std::string realPath = canonicalPath(path);
    if (ScanRules::isExcludedTree(realPath, realHome_)) return;
    // The root itself may be a link the user chose (a folder moved to
    // another disk); nothing below it is followed.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return;
    walkDirectory(std::move(fd), path, realPath, isValidUTF8(path), 0);
  }

  // Once the walk is done: the paths of one file are told apart from the
  // file, then the hashes of the rest are taken.
  void hashAll() {
    gatherItems();
    const std::vector<bool> sameFile = markSameFiles();
    if (!options_.hashImages && !options_.hashEverything) return;
    HashWorkers({.images = options_.hashImages,
                 .everything = options_.hashEverything,
                 .cache = options_.cache,
                 .progress = options_.hashProgress,
                 .threads = options_.hashThreads})
        .run(result_.items, sameFile);
  }

  ScanResult takeResult() { return std::move(result_); }

 private:
  // Where a file's content lives: paths with the same one are one file
  // (hard links, or one file met twice through nested roots).
  struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
  };

  // Of the paths of one file, the first in byte order stands for it; the
  // others are listed in sameFileAs, so the file takes part in grouping
  // once and is counted once. Returns which items are such other paths.
  std::vector<bool> markSameFiles() {
    std::vector<bool> sameFile(result_.items.size(), false);
    std::vector<std::uint32_t> order(result_.items.size());
    std::iota(order.begin(), order.end(), 0);
    const auto& items = result_.items;
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      if (auto c = identities_[a] <=> identities_[b]; c != 0) return c < 0;
      return items[a].path != items[b].path ? items[a].path < items[b].path : a < b;
    });
    for (std::size_t first = 0; first < order.size();) {
      std::size_t end = first + 1;
      while (end < order.size() && identities_[order[end]] == identities_[order[first]]) ++end;
      for (std::size_t other = first + 1; other < end; ++other) {
        sameFile[order[other]] = true;
        result_.sameFileAs.emplace(items[order[other]].id, items[order[first]].id);
      }
      first = end;
    }
    identities_ = std::vector<FileIdentity>();
    return sameFile;
  }

  // The items are met in chunks of a fixed size and gathered into one array
  // of exactly their number at the end, chunk by chunk: an array grown by
  // doubling would hold both its old and its new copy (one and a half times
  // the items, with twice the room) at the moment it outgrows itself. A
  // chunk's room is mapped for it alone, so each one goes back to the system
  // as soon as its items are moved on (freed heap memory would stay with the
  // process while the array fills).
  static constexpr std::size_t kChunkItems = 16384;

  template <typename T>
  struct MappedAllocator {
    using value_type = T;
    MappedAllocator() = default;
    template <typename U>
    MappedAllocator(const MappedAllocator<U>&) {}
    T* allocate(std::size_t n) {
      void* room = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (room == MAP_FAILED) throw std::bad_alloc();
      prefault(room, n * sizeof(T));  // a chunk is filled whole
      return static_cast<T*>(room);
    }
    void deallocate(T* room, std::size_t n) { ::munmap(room, n * sizeof(T)); }
    friend bool operator==(const MappedAllocator&, const MappedAllocator&) { return true; }
  };
  using Chunk = std::vector<Item, MappedAllocator<Item>>;

  void append(Item item) {
    if (chunks_.empty() || chunks_.back().size() == kChunkItems) {
      chunks_.emplace_back().reserve(kChunkItems);
    }
    chunks_.back().push_back(std::move(item));
    ++itemCount_;
  }

  void gatherItems() {
    // Not made resident ahead: its pages are taken as the chunks are given
    // back, so the items are never held twice.
    result_.items.reserve(itemCount_);
    for (auto& chunk : chunks_) {
      std::move(chunk.begin(), chunk.end(), std::back_inserter(result_.items));
      chunk = Chunk();  // "= {}" would empty it and keep its room
    }
    chunks_ = std::vector<Chunk>();
  }

  struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };

  struct Entry {
    std::string name;
    unsigned char type;
  };

  // The entries of an open folder but the hidden ones (and "." and ".."),
  // in byte order of names.
  static std::vector<Entry> readEntries(DIR* dir) {
    std::vector<Entry> entries;
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      entries.push_back({entry->d_name, entry->d_type});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
  }

  // `utf8` tells whether `path` is UTF-8, so each name below is checked
  // alone rather than every path whole.
  void walkDirectory(UniqueFd fd, const std::string& path, const std::string& realPath, bool utf8,
                     int depth) {
    if (depth > kMaxDepth || ScanRules::isPseudoFileSystem(fd.get())) return;
    const std::unique_ptr<DIR, CloseDir> dir(::fdopendir(fd.get()));
    if (!dir) return;
    fd.release();  // the directory stream closes it now
    const int dirFd = ::dirfd(dir.get());
    const std::vector<Entry> entries = readEntries(dir.get());
    const std::string prefix = path == "/" ? "/" : path + "/";
    const std::string realPrefix = realPath == "/" ? "/" : realPath + "/";
    const bool cloud =
        ScanRules::holdsCloudFiles(path, home_) || ScanRules::holdsCloudFiles(realPath, realHome_);
    // The facts of the files (and of entries of unknown type) a window of
    // entries at a time, in one batch, then those entries in order. The
    // window bounds the facts held for a folder of a million files.
    constexpr std::size_t kWindow = 1024;
    std::vector<FolderStats::Request> stats;
    for (std::size_t from = 0; from < entries.size(); from += kWindow) {
      const std::size_t to = std::min(entries.size(), from + kWindow);
      stats.clear();
      stats.reserve(to - from);
      for (std::size_t i = from; i < to; ++i) {
        const unsigned char type = entries[i].type;
        if (type == DT_UNKNOWN || type == DT_REG) stats.emplace_back(entries[i].name.c_str());
      }
      stats_.take(dirFd, stats);
      auto nextStat = stats.cbegin();
      for (std::size_t i = from; i < to; ++i) {
        const Entry& entry = entries[i];
        unsigned char type = entry.type;
        const struct statx* info = nullptr;
        if (type == DT_UNKNOWN || type == DT_REG) {
          const FolderStats::Request& stat = *nextStat++;
          if (!stat.ok) continue;
          info = &stat.info;
          if (S_ISREG(info->stx_mode)) {
            type = DT_REG;
          } else if (S_ISDIR(info->stx_mode)) {
            type = DT_DIR;
          } else {
            continue;  // links, FIFOs, sockets, devices
          }
        }
        if (type == DT_DIR) {
          if (ScanRules::isExcludedName(entry.name)) continue;
          const std::string realChild = realPrefix + entry.name;
          if (ScanRules::isExcludedTree(realChild, realHome_)) continue;
          UniqueFd child(
              ::openat(dirFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
          if (!child.valid()) continue;
          walkDirectory(std::move(child), prefix + entry.name, realChild,
                        utf8 && isValidUTF8(entry.name), depth + 1);
        } else if (type == DT_REG && info != nullptr) {
          handleFile(prefix + entry.name, entry.name, utf8 && isValidUTF8(entry.name), cloud,
                     *info);
        }
      }
    }
  }

  void handleFile(std::string path, std::string_view name, bool utf8, bool cloud,
                  const struct statx& info) {
    if (name.ends_with(".icloud")) return;
    const auto size = static_cast<std::int64_t>(info.stx_size);
    ++result_.filesSeen;
    result_.bytesSeen += size;
    if (size < options_.minBytes) return;
    // A path that is not UTF-8 cannot be written into the report.
    if (!utf8) return;

    Item item;
    item.path = std::move(path);
    item.kind = kinds_.kindOf(name);
    item.bytes = size;
    if (info.stx_mask & STATX_BTIME) item.createdAt = dateOf(info.stx_btime);
    if (info.stx_mask & STATX_MTIME) item.modifiedAt = dateOf(info.stx_mtime);
    item.isCloud = cloud;
    auto found = facts_.find(item.path);
    Scanner::apply(found == facts_.end() ? std::nullopt : std::optional(found->second), item);

    // A file system that names no inode makes every file one of its own.
    identities_.push_back(
        info.stx_mask & STATX_INO
            ? FileIdentity{makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino}
            : FileIdentity{~std::uint64_t{0}, itemCount_});
    append(std::move(item));

    if (result_.filesSeen % kProgressEvery == 0 && options_.progress) {
      options_.progress(result_.filesSeen);
    }
  }

  const ScanOptions& options_;
  const std::map<std::string, SpotlightFacts> facts_;
  const std::string home_;
  const std::string realHome_;
  KindMemo kinds_;
  FolderStats stats_{STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME | STATX_INO};
  ScanResult result_;
  std::vector<Chunk> chunks_;
  std::size_t itemCount_ = 0;
  // Beside the items, until the walk is done.
  std::vector<FileIdentity> identities_;
};

}  // namespace

ScanResult Scanner::scan(const std::vector<std::string>& roots) const {
  std::vector<std::string> kept;
  for (const auto& root : roots) {
    if (!ScanRules::isExcluded(root, options_.home)) kept.push_back(root);
  }
  auto facts = spotlightFacts(kept);
  Profile::mark("after spotlight query (" + std::to_string(facts.size()) + " facts)");
  Walk walk(options_, std::move(facts));
  for (const auto& root : kept) walk.walkRoot(root);
  Profile::mark("after enumeration");
  walk.hashAll();
  return walk.takeResult();
}

std::map<std::string, SpotlightFacts> Scanner::spotlightFacts(
    const std::vector<std::string>& roots) {
  auto listPath = recentFilesListPath();
  if (!listPath || roots.empty()) return {};
  return recentFileFacts(roots, *listPath);
}

void Scanner::apply(const std::optional<SpotlightFacts>& facts, Item& item) {
  if (facts) {
    item.lastOpenedAt = facts->lastUsed;
    item.isScreenCapture = facts->screenshot;
  }
  if (!item.isScreenCapture)
    item.isScreenCapture = ScanRules::isScreenshotName(lastComponent(item.path));
}

}  // namespace tallowick
