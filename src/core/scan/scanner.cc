#include "core/scan/scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <numeric>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/scan/content_types.h"
#include "core/scan/hash_cache.h"
#include "core/scan/hashing.h"
#include "core/scan/profile.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"

namespace tallowick {
namespace {

constexpr std::array<std::string_view, 6> kExcludedNames = {
    ".Trash", ".git", "node_modules", ".venv", "DerivedData", "Backups.backupdb"};
constexpr std::array<std::string_view, 4> kPackageExtensions = {"app", "photoslibrary", "bundle",
                                                                "framework"};
// Trees no walk enters: the system's own folders and the kernel's views.
constexpr std::array<std::string_view, 6> kExcludedSystemTrees = {
    "/System", "/Library", "/Applications", "/proc", "/sys", "/dev"};
// POSIX shared memory: a tmpfs under /dev where users may keep files. A
// root chosen there is walked; a walk that meets /dev still never enters it.
constexpr std::string_view kSharedMemoryTree = "/dev/shm";
constexpr std::string_view kHomeLibrary = "/Library";
constexpr std::string_view kCloudFolder = "/Library/Mobile Documents";
constexpr std::string_view kHomeSnap = "/snap";  // snap applications' private data
// How screenshot tools name their files (GNOME's "Screenshot from …",
// KDE's "Screenshot_…" and their translations), lower-cased.
struct ScreenshotNames {
  std::string_view language;
  std::array<std::string_view, 2> prefixes;  // an empty one matches nothing
};
constexpr std::array<ScreenshotNames, 13> kScreenshotNames = {{
    {"English", {"screenshot", "screen shot"}},
    {"Spanish", {"captura de pantalla"}},
    {"German", {"bildschirmfoto"}},
    {"French", {"capture d’écran", "capture d'écran"}},
    {"Italian", {"schermata"}},
    {"Portuguese", {"captura de tela", "captura de ecrã"}},
    {"Dutch", {"schermafdruk"}},
    {"Polish", {"zrzut ekranu"}},
    {"Russian", {"снимок экрана"}},
    {"Japanese", {"スクリーンショット"}},
    {"Chinese", {"截图", "截屏"}},
    {"Korean", {"스크린샷"}},
    {"Czech", {"snímek obrazovky"}},
}};
// The desktop's disk images and packages beside the original three.
constexpr std::array<std::string_view, 10> kInstallerExtensions = {
    "dmg", "pkg", "mpkg", "deb", "rpm", "appimage", "flatpak", "flatpakref", "snap", "run"};

// Conformance tables, from the shared-mime-info hierarchy.
constexpr std::array<const char*, 1> kImageTypes = {"image/*"};
constexpr std::array<const char*, 1> kVideoTypes = {"video/*"};
constexpr std::array<const char*, 16> kArchiveTypes = {
    "application/zip",           "application/x-tar",      "application/gzip",
    "application/x-bzip2",       "application/x-xz",       "application/x-7z-compressed",
    "application/vnd.rar",       "application/x-compress", "application/zstd",
    "application/x-lzma",        "application/x-lzip",     "application/x-cpio",
    "application/x-archive",     "application/x-lha",      "application/x-arj",
    "application/x-java-archive"};
constexpr std::array<const char*, 11> kDocumentTypes = {
    "application/pdf", "text/plain",
    // presentations
    "application/vnd.ms-powerpoint",
    "application/vnd.openxmlformats-officedocument.presentationml.presentation",
    "application/vnd.oasis.opendocument.presentation", "application/vnd.apple.keynote",
    // spreadsheets
    "application/vnd.ms-excel", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
    "application/vnd.oasis.opendocument.spreadsheet", "application/vnd.apple.numbers", "text/csv"};

constexpr int kMaxDepth = 256;
constexpr std::int64_t kProgressEvery = 200;
constexpr std::size_t kMaxJobsInFlight = 64;

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view lastComponent(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The text after the last dot of a name, as long as the dot is not the
// name's first character ("a.tar.gz" -> "gz", ".profile" -> "").
std::string_view extensionOf(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& table, std::string_view value) {
  return std::find(table.begin(), table.end(), value) != table.end();
}

bool isExcludedName(std::string_view name) {
  return contains(kExcludedNames, name) ||
         contains(kPackageExtensions, lowercase(extensionOf(name)));
}

bool isAtOrBelow(std::string_view path, std::string_view tree) {
  if (tree.empty()) return false;
  return path == tree || (path.size() > tree.size() && path.substr(0, tree.size()) == tree &&
                          path[tree.size()] == '/');
}

// "/a//b/./c/" -> "/a/b/c"; ".." removes the previous component.
std::string standardized(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    auto part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (auto part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

// The path with links resolved; a path that does not exist is standardized
// as it is.
std::string resolved(const std::string& path) {
  if (path.empty()) return path;
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer)) return buffer;
  // A file that is not there (yet): resolve its folder.
  const std::string plain = standardized(path);
  const auto slash = plain.rfind('/');
  if (slash == std::string::npos || slash == 0) return plain;
  if (!::realpath(plain.substr(0, slash).c_str(), buffer)) return plain;
  return std::string(buffer) + plain.substr(slash);
}

// Exclusion of a real (link-free) path against a real home.
bool isExcludedTree(std::string_view realPath, std::string_view realHome) {
  if (!realHome.empty()) {
    const std::string cloud = std::string(realHome) + std::string(kCloudFolder);
    if (isAtOrBelow(realPath, cloud)) return false;
    if (isAtOrBelow(realPath, std::string(realHome) + std::string(kHomeLibrary))) return true;
    if (isAtOrBelow(realPath, std::string(realHome) + std::string(kHomeSnap))) return true;
  }
  if (isAtOrBelow(realPath, kSharedMemoryTree)) return false;
  for (auto tree : kExcludedSystemTrees) {
    if (isAtOrBelow(realPath, tree)) return true;
  }
  return false;
}

bool isInCloudFolder(std::string_view path, std::string_view home) {
  if (home.empty()) return false;
  std::string prefix = std::string(home) + std::string(kCloudFolder) + "/";
  return path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix;
}

// File systems that hold no user files, only the kernel's views of itself.
// (devtmpfs reports itself as tmpfs; /dev is excluded by name instead.)
bool isPseudoFileSystem(int dirFd) {
  struct statfs info;
  if (::fstatfs(dirFd, &info) != 0) return true;
  static constexpr std::array<unsigned long, 18> kPseudo = {PROC_SUPER_MAGIC,
                                                            SYSFS_MAGIC,
                                                            DEVPTS_SUPER_MAGIC,
                                                            CGROUP_SUPER_MAGIC,
                                                            CGROUP2_SUPER_MAGIC,
                                                            DEBUGFS_MAGIC,
                                                            TRACEFS_MAGIC,
                                                            SECURITYFS_MAGIC,
                                                            PSTOREFS_MAGIC,
                                                            BPF_FS_MAGIC,
                                                            BINFMTFS_MAGIC,
                                                            EFIVARFS_MAGIC,
                                                            SELINUX_MAGIC,
                                                            SMACK_MAGIC,
                                                            NSFS_MAGIC,
                                                            0x62656570 /* configfs */,
                                                            0x65735543 /* fusectl */,
                                                            0x19800202 /* mqueue */};
  const auto type = static_cast<unsigned long>(info.f_type);
  return std::find(kPseudo.begin(), kPseudo.end(), type) != kPseudo.end();
}

Date dateOf(const struct statx_timestamp& t) { return dateFromFileTime(t.tv_sec, t.tv_nsec); }

// Hashes run on a few threads after the walk. A job returns a finisher that
// the scanning thread runs, so items, the cache and the progress callback
// are only ever touched there. With no threads, jobs and finishers run at
// once on the calling thread.
class HashWorkers {
 public:
  using Finisher = std::function<void()>;
  using Job = std::function<Finisher()>;

  explicit HashWorkers(int threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  }

  ~HashWorkers() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    jobsChanged_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

  // Jobs queued or running whose finishers have not run yet.
  std::size_t inFlight() const { return inFlight_; }

  void submit(Job job) {
    if (threads_.empty()) {
      job()();
      return;
    }
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    ++inFlight_;
    jobsChanged_.notify_one();
  }

  // Runs the finishers of completed jobs; with `wait`, first waits until
  // there is at least one (when any job is outstanding).
  void finishSome(bool wait) {
    std::deque<Finisher> ready;
    {
      std::unique_lock lock(mutex_);
      if (wait) doneChanged_.wait(lock, [this] { return !done_.empty() || inFlight_ == 0; });
      ready.swap(done_);
    }
    for (auto& finisher : ready) {
      --inFlight_;
      finisher();
    }
  }

 private:
  void work() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        jobsChanged_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) break;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      Finisher finisher = job();
      {
        std::lock_guard lock(mutex_);
        done_.push_back(std::move(finisher));
      }
      doneChanged_.notify_one();
    }
    endVipsThread();
  }

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable jobsChanged_;
  std::condition_variable doneChanged_;
  std::deque<Job> jobs_;
  std::deque<Finisher> done_;
  bool stopping_ = false;
  // Scanning thread only.
  std::size_t inFlight_ = 0;
};

int threadCount(int requested) {
  if (requested >= 0) return requested;
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 4u));
}

class Walk {
 public:
  Walk(const ScanOptions& options, std::map<std::string, SpotlightFacts> facts)
      : options_(options),
        facts_(std::move(facts)),
        home_(options.home.empty() ? std::string() : standardized(options.home)),
        realHome_(options.home.empty() ? std::string() : resolved(options.home)) {}

  void walkRoot(const std::string& root) {
    const std::string path = standardized(root);
    const std::string realPath = resolved(path);
    if (isExcludedTree(realPath, realHome_)) return;
    // The root itself may be a link the user chose (a folder moved to
    // another disk); nothing below it is followed.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    walkDirectory(fd, path, realPath, 0);
  }

  // The image and exact-hash stages, on the workers. Digests are taken
  // first where an image shares its size with another file, so an exact
  // copy of a picture is decoded once and its copies take its perceptual
  // hash (the same bytes always give the same one).
  void hashAll() {
    const std::vector<bool> linked = markSameFiles();
    std::erase_if(imagesToHash_, [&](std::size_t index) { return linked[index]; });
    std::vector<bool> needsDigest(result_.items.size(), false);
    if (options_.hashEverything) {
      std::unordered_map<std::int64_t, int> sizeCounts;
      for (std::size_t index = 0; index < result_.items.size(); ++index) {
        if (!linked[index]) ++sizeCounts[result_.items[index].bytes];
      }
      for (std::size_t index = 0; index < result_.items.size(); ++index) {
        Item& item = result_.items[index];
        if (linked[index] || sizeCounts[item.bytes] < 2 || item.sha256) continue;
        if (options_.cache) {
          auto entry = options_.cache->lookup(item.path, item.bytes, item.modifiedAt);
          if (entry && entry->sha256) {
            item.sha256 = entry->sha256;
            continue;
          }
        }
        needsDigest[index] = true;
      }
    }
    // Pictures whose hashes both came from the cache stand for their copies.
    for (const Item& item : result_.items) {
      if (item.kind == Kind::image && item.sha256 && item.phash) {
        Original known;
        known.pending = false;
        known.perceptual =
            Hashing::Perceptual{*item.phash, item.width.value_or(0), item.height.value_or(0)};
        byDigest_.try_emplace(*item.sha256, std::move(known));
      }
    }
    awaitsDigest_.assign(result_.items.size(), false);
    for (std::size_t index : imagesToHash_) {
      if (needsDigest[index]) {
        awaitsDigest_[index] = true;
      } else {
        routeImage(index);
      }
    }
    // Files of one size are read side by side, so copies cost one digest.
    std::map<std::int64_t, std::vector<std::size_t>> bySize;
    for (std::size_t index = 0; index < result_.items.size(); ++index) {
      if (needsDigest[index]) bySize[result_.items[index].bytes].push_back(index);
    }
    // A long run of one size is cut into jobs the workers share.
    for (const auto& [size, indices] : bySize) {
      for (std::size_t begin = 0; begin < indices.size(); begin += Hashing::kFilesSideBySide) {
        const std::size_t end = std::min(indices.size(), begin + Hashing::kFilesSideBySide);
        queue_.push_back({Task::digest, sameSize_.size()});
        sameSize_.emplace_back(indices.begin() + begin, indices.begin() + end);
      }
    }
    drain();
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
  // others lose any hashes (from the cache) and are listed in sameFileAs,
  // so the file takes part in grouping once and is counted once. Returns
  // which items are such other paths.
  std::vector<bool> markSameFiles() {
    std::vector<bool> linked(result_.items.size(), false);
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
        Item& item = result_.items[order[other]];
        linked[order[other]] = true;
        item.sha256.reset();
        item.phash.reset();
        result_.sameFileAs.emplace(item.id, result_.items[order[first]].id);
      }
      first = end;
    }
    identities_ = {};
    return linked;
  }

  struct Entry {
    std::string name;
    unsigned char type;
  };

  struct Task {
    enum Kind { digest, image } kind;
    // Into sameSize_ for a digest, into the items for an image.
    std::size_t index;
  };

  // The first picture met with a given digest: its perceptual hash once
  // known, and the copies waiting for it.
  struct Original {
    bool pending = true;
    std::optional<Hashing::Perceptual> perceptual;
    std::vector<std::size_t> copies;
  };

  // Takes ownership of `fd`.
  void walkDirectory(int fd, const std::string& path, const std::string& realPath, int depth) {
    if (depth > kMaxDepth || isPseudoFileSystem(fd)) {
      ::close(fd);
      return;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      ::close(fd);
      return;
    }
    std::vector<Entry> entries;
    while (dirent* entry = ::readdir(dir)) {
      // Hidden entries (and "." and "..") are passed over.
      if (entry->d_name[0] == '.') continue;
      entries.push_back({entry->d_name, entry->d_type});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    const int dirFd = ::dirfd(dir);
    const std::string prefix = path == "/" ? "/" : path + "/";
    const std::string realPrefix = realPath == "/" ? "/" : realPath + "/";
    for (const auto& entry : entries) {
      unsigned char type = entry.type;
      struct statx info;
      bool haveInfo = false;
      if (type == DT_UNKNOWN || type == DT_REG) {
        if (::statx(dirFd, entry.name.c_str(), AT_SYMLINK_NOFOLLOW,
                    STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME | STATX_INO, &info) != 0) {
          continue;
        }
        haveInfo = true;
        if (S_ISREG(info.stx_mode)) {
          type = DT_REG;
        } else if (S_ISDIR(info.stx_mode)) {
          type = DT_DIR;
        } else {
          continue;  // links, FIFOs, sockets, devices
        }
      }
      if (type == DT_DIR) {
        if (isExcludedName(entry.name)) continue;
        const std::string realChild = realPrefix + entry.name;
        if (isExcludedTree(realChild, realHome_)) continue;
        int child =
            ::openat(dirFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) continue;
        walkDirectory(child, prefix + entry.name, realChild, depth + 1);
      } else if (type == DT_REG && haveInfo) {
        handleFile(prefix + entry.name, realPrefix + entry.name, entry.name, info);
      }
    }
    ::closedir(dir);
  }

  void handleFile(std::string path, const std::string& realPath, std::string_view name,
                  const struct statx& info) {
    if (name.ends_with(".icloud")) return;
    const auto size = static_cast<std::int64_t>(info.stx_size);
    ++result_.filesSeen;
    result_.bytesSeen += size;
    if (size < options_.minBytes) return;
    // A path that is not UTF-8 cannot be written into the report.
    if (!isValidUTF8(path)) return;

    Item item;
    item.path = std::move(path);
    item.kind = Scanner::kind(item.path, contentTypeForName(name));
    item.bytes = size;
    if (info.stx_mask & STATX_BTIME) item.createdAt = dateOf(info.stx_btime);
    if (info.stx_mask & STATX_MTIME) item.modifiedAt = dateOf(info.stx_mtime);
    item.isCloud = isInCloudFolder(item.path, home_) || isInCloudFolder(realPath, realHome_);
    auto found = facts_.find(item.path);
    Scanner::apply(found == facts_.end() ? std::nullopt : std::optional(found->second), item);

    bool needsImageHash = options_.hashImages && item.kind == Kind::image;
    if (needsImageHash && options_.cache) {
      auto entry = options_.cache->lookup(item.path, item.bytes, item.modifiedAt);
      if (entry && entry->phash) {
        item.phash = entry->phash;
        item.width = entry->width;
        item.height = entry->height;
        if (entry->sha256) item.sha256 = entry->sha256;
        needsImageHash = false;
      }
    }
    if (needsImageHash) imagesToHash_.push_back(result_.items.size());
    // A file system that names no inode makes every file one of its own.
    identities_.push_back(
        info.stx_mask & STATX_INO
            ? FileIdentity{makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino}
            : FileIdentity{~std::uint64_t{0}, result_.items.size()});
    result_.items.push_back(std::move(item));

    if (result_.filesSeen % kProgressEvery == 0 && options_.progress) {
      options_.progress(result_.filesSeen);
    }
  }

  // Submits queued tasks, never more than kMaxJobsInFlight at a time so
  // memory stays bounded, and runs finishers (which may queue more) until
  // nothing is left.
  void drain() {
    if (queue_.empty()) return;  // everything came from the cache
    HashWorkers workers(threadCount(options_.hashThreads));
    for (;;) {
      while (!queue_.empty() && workers.inFlight() < kMaxJobsInFlight) {
        const Task task = queue_.front();
        queue_.pop_front();
        workers.submit(task.kind == Task::digest ? digestJob(task.index) : imageJob(task.index));
      }
      if (workers.inFlight() == 0) {
        if (queue_.empty()) break;
        continue;
      }
      // Either nothing is left to submit or the limit is reached: wait.
      workers.finishSome(/*wait=*/true);
    }
  }

  HashWorkers::Job digestJob(std::size_t set) {
    std::vector<std::string> paths;
    std::vector<Hashing::FileStamp> stamps;
    for (std::size_t index : sameSize_[set]) {
      const Item& item = result_.items[index];
      paths.push_back(item.path);
      stamps.push_back({item.bytes, item.modifiedAt.value_or(Date{})});
    }
    return [this, set, paths = std::move(paths),
            stamps = std::move(stamps)]() -> HashWorkers::Finisher {
      auto digests = Hashing::sha256Together(paths, stamps);
      return [this, set, digests = std::move(digests)] {
        const std::vector<std::size_t>& indices = sameSize_[set];
        for (std::size_t i = 0; i < indices.size(); ++i) applyDigest(indices[i], digests[i]);
      };
    };
  }

  void applyDigest(std::size_t index, const std::optional<std::string>& digest) {
    Item& item = result_.items[index];
    item.sha256 = digest;
    if (options_.cache) {
      HashCache::Entry entry;
      entry.size = item.bytes;
      entry.mtime = HashCache::mtimeSeconds(item.modifiedAt);
      entry.sha256 = digest;
      options_.cache->store(item.path, entry);
    }
    if (awaitsDigest_[index]) {
      awaitsDigest_[index] = false;
      routeImage(index);
    }
  }

  HashWorkers::Job imageJob(std::size_t index) {
    const Item& item = result_.items[index];
    Hashing::FileStamp stamp{item.bytes, item.modifiedAt.value_or(Date{})};
    return [this, index, path = item.path, stamp]() -> HashWorkers::Finisher {
      auto perceptual = Hashing::perceptual(path, stamp);
      return [this, index, perceptual] {
        if (perceptual) applyPerceptual(index, *perceptual);
        const Item& item = result_.items[index];
        if (!item.sha256) return;
        auto original = byDigest_.find(*item.sha256);
        if (original == byDigest_.end() || !original->second.pending ||
            original->second.copies.empty() || original->second.copies.front() != index) {
          return;
        }
        // This picture stood for its copies.
        original->second.pending = false;
        original->second.perceptual = perceptual;
        std::vector<std::size_t> copies(original->second.copies.begin() + 1,
                                        original->second.copies.end());
        original->second.copies.clear();
        for (std::size_t copy : copies) {
          if (perceptual) {
            applyPerceptual(copy, *perceptual);
          } else {
            // It may have failed for a reason of its own (it changed since
            // the walk): each copy tries for itself.
            queue_.push_back({Task::image, copy});
          }
        }
      };
    };
  }

  // Queues the perceptual hash of the image at `index`, or gives it the one
  // of an exact copy already hashed or being hashed.
  void routeImage(std::size_t index) {
    const Item& item = result_.items[index];
    if (!item.sha256) {
      queue_.push_back({Task::image, index});
      return;
    }
    auto [original, inserted] = byDigest_.try_emplace(*item.sha256);
    Original& o = original->second;
    if (inserted || (!o.pending && !o.perceptual)) {
      if (inserted) o.copies.push_back(index);  // the first stands for the rest
      queue_.push_back({Task::image, index});
    } else if (o.pending) {
      o.copies.push_back(index);
    } else {
      applyPerceptual(index, *o.perceptual);
    }
  }

  void applyPerceptual(std::size_t index, const Hashing::Perceptual& perceptual) {
    Item& item = result_.items[index];
    item.phash = perceptual.phash;
    item.width = perceptual.width;
    item.height = perceptual.height;
    if (options_.cache) {
      HashCache::Entry entry;
      entry.size = item.bytes;
      entry.mtime = HashCache::mtimeSeconds(item.modifiedAt);
      entry.phash = perceptual.phash;
      entry.width = perceptual.width;
      entry.height = perceptual.height;
      options_.cache->store(item.path, entry);
    }
  }

  const ScanOptions& options_;
  const std::map<std::string, SpotlightFacts> facts_;
  const std::string home_;
  const std::string realHome_;
  ScanResult result_;
  // Images that the walk found without a cached perceptual hash.
  std::vector<std::size_t> imagesToHash_;
  // Beside the items, until the walk is done.
  std::vector<FileIdentity> identities_;
  // Images whose perceptual hash waits for their digest.
  std::vector<bool> awaitsDigest_;
  std::deque<Task> queue_;
  // The files of each digest task, all of one size.
  std::vector<std::vector<std::size_t>> sameSize_;
  std::unordered_map<std::string, Original> byDigest_;
};

}  // namespace

ScanRoot ScanRoot::fromPath(const std::string& path) {
  ScanRoot root;
  root.url = pathToFileURL(path);
  return root;
}

std::string ScanRoot::path() const { return fileURLToPath(url).value_or(std::string()); }

Json ScanRoot::toJson() const {
  Json json = Json::object();
  json["url"] = url;
  json["duplicates"] = duplicates;
  json["screenshots"] = screenshots;
  json["stale"] = stale;
  return json;
}

ScanRoot ScanRoot::fromJson(const Json& json) {
  ScanRoot root;
  root.url = codec::field<std::string>(json, "url");
  root.duplicates = codec::field<bool>(json, "duplicates");
  root.screenshots = codec::field<bool>(json, "screenshots");
  root.stale = codec::field<bool>(json, "stale");
  return root;
}

ScanResult Scanner::scan(const std::vector<std::string>& roots) const {
  std::vector<std::string> kept;
  for (const auto& root : roots) {
    if (!isExcluded(root, options_.home)) kept.push_back(root);
  }
  auto facts = spotlightFacts(kept);
  Profile::mark("after spotlight query (" + std::to_string(facts.size()) + " facts)");
  Walk walk(options_, std::move(facts));
  for (const auto& root : kept) walk.walkRoot(root);
  Profile::mark("after enumeration");
  walk.hashAll();
  return walk.takeResult();
}

bool Scanner::isExcluded(const std::string& path, const std::string& home) {
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && isExcludedName(std::string_view(path).substr(start, end - start))) {
      return true;
    }
    start = end + 1;
  }
  return isExcludedTree(resolved(path), home.empty() ? std::string() : resolved(home));
}

Kind Scanner::kind(const std::string& path, const std::optional<std::string>& contentType) {
  if (contains(kInstallerExtensions, lowercase(extensionOf(lastComponent(path))))) {
    return Kind::installer;
  }
  if (!contentType) return Kind::other;
  auto conformsToAny = [&](const auto& table) {
    return std::any_of(table.begin(), table.end(),
                       [&](const char* base) { return contentTypeConformsTo(*contentType, base); });
  };
  if (conformsToAny(kImageTypes)) return Kind::image;
  if (conformsToAny(kVideoTypes)) return Kind::video;
  // Office and similar formats are zip files inside but not archives to
  // their users: vendor types count only when listed themselves.
  const bool vendorType = contentType->starts_with("application/vnd.");
  for (const char* base : kArchiveTypes) {
    if (vendorType ? *contentType == base : contentTypeConformsTo(*contentType, base)) {
      return Kind::archive;
    }
  }
  if (conformsToAny(kDocumentTypes)) return Kind::document;
  return Kind::other;
}

bool Scanner::isCloud(const std::string& path, bool isUbiquitous, const std::string& home) {
  if (isUbiquitous) return true;
  if (home.empty()) return false;
  if (isInCloudFolder(path, home)) return true;
  return isInCloudFolder(resolved(path), resolved(home));
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
  if (item.isScreenCapture) return;
  // Beyond ASCII too: "Снимок экрана" is lowered like "Screenshot".
  const std::string_view last = lastComponent(item.path);
  std::unique_ptr<gchar, decltype(&g_free)> lowered(
      g_utf8_validate(last.data(), static_cast<gssize>(last.size()), nullptr)
          ? g_utf8_strdown(last.data(), static_cast<gssize>(last.size()))
          : nullptr,
      &g_free);
  const std::string name = lowered ? std::string(lowered.get()) : lowercase(last);
  for (const ScreenshotNames& names : kScreenshotNames) {
    for (std::string_view prefix : names.prefixes) {
      if (!prefix.empty() && name.starts_with(prefix)) {
        item.isScreenCapture = true;
        return;
      }
    }
  }
}

}  // namespace tallowick
