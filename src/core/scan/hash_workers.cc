#include "core/scan/hash_workers.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/scan/hash_cache.h"
#include "core/thumbs/vips_runtime.h"

namespace tallowick {
namespace {

// Jobs handed to the threads and not yet finished, so memory stays bounded
// however many files wait.
constexpr std::size_t kMaxJobsInFlight = 64;

int threadCount(int requested) {
  if (requested >= 0) return requested;
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 4u));
}

// Runs jobs on its threads; a job returns a finisher, and finishers run
// only on the thread that calls finishSome. With no threads, submit runs
// the job and its finisher at once.
class Threads {
 public:
  using Finisher = std::function<void()>;
  using Job = std::function<Finisher()>;

  explicit Threads(int count) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
  }

  ~Threads() {
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

  // Waits until at least one job is done (when any is outstanding), then
  // runs the finishers of all done jobs.
  void finishSome() {
    std::deque<Finisher> ready;
    {
      std::unique_lock lock(mutex_);
      doneChanged_.wait(lock, [this] { return !done_.empty() || inFlight_ == 0; });
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
  // Calling thread only.
  std::size_t inFlight_ = 0;
};

Hashing::FileStamp stampOf(const Item& item) {
  return {item.bytes, item.modifiedAt.value_or(Date{})};
}

// One run over one scan's items.
class Stage {
 public:
  Stage(std::vector<Item>& items, const std::vector<bool>& sameFile,
        const HashWorkers::Options& options, const HashFunctions& functions)
      : items_(items), options_(options), functions_(functions), wants_(items.size()) {
    plan(sameFile);
  }

  void run() {
    started_ = true;
    if (progress_.totalFiles > 0 && options_.progress) options_.progress(progress_);
    if (!queue_.empty()) {
      Threads threads(threadCount(options_.threads));
      for (;;) {
        while (!queue_.empty() && threads.inFlight() < kMaxJobsInFlight) {
          const Task task = queue_.front();
          queue_.pop_front();
          threads.submit(task.kind == Task::digest ? digestJob(task.index) : imageJob(task.index));
        }
        if (threads.inFlight() == 0) {
          if (queue_.empty()) break;
          continue;
        }
        // Either nothing is left to submit or the limit is reached: wait.
        threads.finishSome();
      }
    }
    remember();
  }

 private:
  // What one item still needs, and whether this run computed anything for
  // it (so the cache learns it).
  struct Want {
    bool perceptual = false;
    bool digest = false;
    // A picture whose perceptual hash waits for its digest.
    bool awaitsDigest = false;
    bool learned = false;
    // Counted in the totals and not settled yet.
    bool open = false;
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

  void plan(const std::vector<bool>& sameFile) {
    auto takesPart = [&](std::size_t index) { return sameFile.empty() || !sameFile[index]; };
    std::unordered_map<std::int64_t, int> sizeCounts;
    if (options_.everything) {
      for (std::size_t index = 0; index < items_.size(); ++index) {
        if (takesPart(index)) ++sizeCounts[items_[index].bytes];
      }
    }
    for (std::size_t index = 0; index < items_.size(); ++index) {
      if (!takesPart(index)) continue;
      Want& want = wants_[index];
      want.perceptual = options_.images && items_[index].kind == Kind::image;
      want.digest = options_.everything && sizeCounts[items_[index].bytes] >= 2;
      if (want.perceptual || want.digest) takeFromCache(index);
      if (want.perceptual || want.digest) {
        want.open = true;
        progress_.totalFiles += 1;
        progress_.totalBytes += items_[index].bytes;
      }
    }
    // Pictures whose hashes both came from the cache stand for their copies.
    for (const Item& item : items_) {
      if (item.kind == Kind::image && item.sha256 && item.phash) {
        Original known;
        known.pending = false;
        known.perceptual =
            Hashing::Perceptual{*item.phash, item.width.value_or(0), item.height.value_or(0)};
        byDigest_.try_emplace(*item.sha256, std::move(known));
      }
    }
    for (std::size_t index = 0; index < items_.size(); ++index) {
      Want& want = wants_[index];
      if (!want.perceptual) continue;
      if (want.digest) {
        want.awaitsDigest = true;
      } else {
        routeImage(index);
      }
    }
    // Files of one size are read side by side, so copies cost one digest;
    // a long run of one size is cut into jobs the threads share.
    std::map<std::int64_t, std::vector<std::size_t>> bySize;
    for (std::size_t index = 0; index < items_.size(); ++index) {
      if (wants_[index].digest) bySize[items_[index].bytes].push_back(index);
    }
    for (const auto& [size, indices] : bySize) {
      for (std::size_t begin = 0; begin < indices.size(); begin += Hashing::kFilesSideBySide) {
        const std::size_t end = std::min(indices.size(), begin + Hashing::kFilesSideBySide);
        queue_.push_back({Task::digest, sameSize_.size()});
        sameSize_.emplace_back(indices.begin() + begin, indices.begin() + end);
      }
    }
  }

  // The one read of the cache. A picture's cached digest comes with its
  // perceptual hash whether or not a digest was asked for, so a copy met
  // later can take that perceptual hash without a decode.
  void takeFromCache(std::size_t index) {
    if (!options_.cache) return;
    Item& item = items_[index];
    Want& want = wants_[index];
    const HashCache::Entry* entry = options_.cache->lookup(item.path, item.bytes, item.modifiedAt);
    if (!entry) return;
    if (want.perceptual && entry->phash) {
      item.phash = entry->phash;
      item.width = entry->width;
      item.height = entry->height;
      item.sha256 = entry->sha256;
      want.perceptual = false;
    }
    if (want.digest && entry->sha256) item.sha256 = entry->sha256;
    if (item.sha256) want.digest = false;
  }

  // The one write of the cache: every item this run computed a hash for,
  // with all the hashes it now has (a failed one is stored as missing).
  void remember() {
    if (!options_.cache) return;
    for (std::size_t index = 0; index < items_.size(); ++index) {
      if (!wants_[index].learned) continue;
      const Item& item = items_[index];
      HashCache::Entry entry;
      entry.size = item.bytes;
      entry.mtime = HashCache::mtimeSeconds(item.modifiedAt);
      entry.sha256 = item.sha256;
      entry.phash = item.phash;
      entry.width = item.width;
      entry.height = item.height;
      options_.cache->store(item.path, std::move(entry));
    }
  }

  Threads::Job digestJob(std::size_t set) {
    std::vector<std::string> paths;
    std::vector<Hashing::FileStamp> stamps;
    for (std::size_t index : sameSize_[set]) {
      paths.push_back(items_[index].path);
      stamps.push_back(stampOf(items_[index]));
    }
    return
        [this, set, paths = std::move(paths), stamps = std::move(stamps)]() -> Threads::Finisher {
          auto digests = functions_.digests(paths, stamps);
          return [this, set, digests = std::move(digests)] {
            const std::vector<std::size_t>& indices = sameSize_[set];
            for (std::size_t i = 0; i < indices.size(); ++i) {
              applyDigest(indices[i], i < digests.size() ? digests[i] : std::nullopt);
            }
          };
        };
  }

  void applyDigest(std::size_t index, const std::optional<std::string>& digest) {
    items_[index].sha256 = digest;
    Want& want = wants_[index];
    want.learned = true;
    if (want.awaitsDigest) {
      want.awaitsDigest = false;
      routeImage(index);
    } else {
      settle(index);
    }
  }

  Threads::Job imageJob(std::size_t index) {
    return [this, index, path = items_[index].path,
            stamp = stampOf(items_[index])]() -> Threads::Finisher {
      auto perceptual = functions_.perceptual(path, stamp);
      return [this, index, perceptual] {
        if (perceptual) applyPerceptual(index, *perceptual);
        settle(index);
        const Item& item = items_[index];
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

  // Queues the perceptual hash of the picture at `index`, or gives it the
  // one of an exact copy already hashed or being hashed.
  void routeImage(std::size_t index) {
    const Item& item = items_[index];
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
    Item& item = items_[index];
    item.phash = perceptual.phash;
    item.width = perceptual.width;
    item.height = perceptual.height;
    wants_[index].learned = true;
    settle(index);
  }

  // The item at `index` needs nothing more (whether or not its hashes could
  // be computed).
  void settle(std::size_t index) {
    Want& want = wants_[index];
    if (!want.open) return;
    want.open = false;
    progress_.files += 1;
    progress_.bytes += items_[index].bytes;
    if (started_ && options_.progress) options_.progress(progress_);
  }

  std::vector<Item>& items_;
  const HashWorkers::Options& options_;
  const HashFunctions& functions_;
  // Beside the items.
  std::vector<Want> wants_;
  std::deque<Task> queue_;
  // The items of each digest job, all of one size.
  std::vector<std::vector<std::size_t>> sameSize_;
  std::unordered_map<std::string, Original> byDigest_;
  HashProgress progress_;
  // Settling reports only once run() has reported the totals.
  bool started_ = false;
};

}  // namespace

HashFunctions HashFunctions::files() {
  HashFunctions functions;
  functions.digests = [](const std::vector<std::string>& paths,
                         const std::vector<Hashing::FileStamp>& stamps) {
    return Hashing::sha256Together(paths, stamps);
  };
  functions.perceptual = [](const std::string& path, const Hashing::FileStamp& stamp) {
    return Hashing::perceptual(path, stamp);
  };
  return functions;
}

HashWorkers::HashWorkers(Options options, HashFunctions functions)
    : options_(options), functions_(std::move(functions)) {}

void HashWorkers::run(std::vector<Item>& items, const std::vector<bool>& sameFile) const {
  Stage(items, sameFile, options_, functions_).run();
}

}  // namespace tallowick
