// A commit killed with SIGKILL at any point must lose nothing: every file is
// either in place or in the Trash with an info file naming it, and the
// journal never calls a file trashed that is still in place.

#include <dirent.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "core/commit/commit_engine.h"
#include "core/commit/test_support.h"

namespace tallowick {
namespace {

using testing::exists;
using testing::readText;
using testing::scannedFile;
using testing::TempTree;

constexpr int kFiles = 200;
constexpr int kRounds = 25;

int countEntries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  int n = 0;
  while (struct dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

std::string contentOf(int i) { return "file " + std::to_string(i) + " of the batch"; }

// Whether an info file reads as a whole entry: the header, a Path= and a
// DeletionDate= line, each line ended.
bool isCompleteInfo(const std::string& text) {
  return text.starts_with("[Trash Info]\nPath=") &&
         text.find("\nDeletionDate=") != std::string::npos && text.ends_with("\n");
}

struct Round {
  TempTree tree;
  std::string root = tree.path("Down");
  std::string storage = tree.path("storage");
  std::vector<Item> items;

  explicit Round(int files = kFiles) {
    CommitEngine engine(CommitEngine::Config({root}, storage));
    for (int i = 0; i < files; ++i) {
      items.push_back(scannedFile(
          root + "/d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt", contentOf(i)));
      engine.record(items.back(), Action::trash, "phone");
    }
  }

  // Runs the commit in a child and kills it once `moves` files reached the
  // Trash and a further `spin` microseconds passed.
  void commitAndKill(int moves, int spin) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
      CommitEngine engine(CommitEngine::Config({root}, storage));
      engine.commit(items, "phone");
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    std::string files = tree.homeTrash() + "/files";
    while (moves > 0 && countEntries(files) < moves) {
      int status;
      if (::waitpid(child, &status, WNOHANG) == child) return;  // finished first
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spin);
    while (std::chrono::steady_clock::now() < until) {
    }
    ::kill(child, SIGKILL);
    int status;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }

  // Runs the commit in a child traced with ptrace and kills it right after
  // its `calls`-th system call returned (counted from the engine's creation).
  // False when the commit ended first.
  bool commitAndKillAfterCall(int calls) {
    pid_t child = ::fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(2);
      ::raise(SIGSTOP);
      CommitEngine engine(CommitEngine::Config({root}, storage));
      engine.commit(items, "phone");
      ::_exit(0);
    }
    int status;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSTOPPED(status));
    ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int returned = 0;
    bool inCall = false;
    int signal = 0;
    for (;;) {
      ::ptrace(PTRACE_SYSCALL, child, nullptr, signal);
      EXPECT_EQ(::waitpid(child, &status, 0), child);
      if (WIFEXITED(status) || WIFSIGNALED(status)) return false;
      signal = 0;
      if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
        signal = WSTOPSIG(status);  // passed on
        continue;
      }
      inCall = !inCall;
      if (!inCall && ++returned == calls) break;
    }
    ::kill(child, SIGKILL);
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return true;
  }

  // Checks that nothing is lost; returns how many files are in the Trash.
  int checkNothingLost(const std::string& context) {
    // An entry in info/ is whole or absent (a kill may leave a temporary
    // file there, which no reader takes for an entry).
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(tree.homeTrash() + "/info", ec)) {
      if (e.path().extension() != ".trashinfo") continue;
      EXPECT_TRUE(isCompleteInfo(readText(e.path())))
          << context << ": incomplete " << e.path().filename() << ": \"" << readText(e.path())
          << "\"";
    }
    // Trash content -> its info file's Path= line.
    std::map<std::string, std::string> trashed;
    std::string files = tree.homeTrash() + "/files";
    for (const auto& e : std::filesystem::directory_iterator(files, ec)) {
      std::string name = e.path().filename().string();
      std::string info = readText(tree.homeTrash() + "/info/" + name + ".trashinfo");
      auto start = info.find("\nPath=");
      EXPECT_NE(start, std::string::npos) << context << ": no info file for " << name;
      if (start == std::string::npos) continue;
      start += 6;
      std::string path = info.substr(start, info.find('\n', start) - start);
      EXPECT_TRUE(trashed.emplace(readText(e.path()), path).second) << context;
    }
    std::string canonicalRoot = std::filesystem::canonical(root).string();
    for (std::size_t i = 0; i < items.size(); ++i) {
      const Item& item = items[i];
      bool inPlace = exists(item.path);
      auto it = trashed.find(contentOf(i));
      bool inTrash = it != trashed.end();
      EXPECT_NE(inPlace, inTrash) << context << ": " << item.path;
      if (inPlace) {
        EXPECT_EQ(readText(item.path), contentOf(i)) << context;
      }
      if (inTrash) {
        std::string expected =
            pathToFileURL(canonicalRoot + item.path.substr(root.size())).substr(7);
        EXPECT_EQ(it->second, expected) << context;
      }
    }
    // What the journal says after a restart.
    CommitEngine replayed(CommitEngine::Config({root}, storage));
    for (const Item& item : items) {
      const CommitEngine::Entry* e = replayed.entry(item.path);
      EXPECT_NE(e, nullptr) << context;
      if (e == nullptr || e->state != CommitEngine::State::trashed) continue;
      EXPECT_FALSE(exists(item.path)) << context << ": journalled as trashed but in place";
      EXPECT_TRUE(e->trashPath && exists(*e->trashPath)) << context;
    }
    return static_cast<int>(trashed.size());
  }
};

TEST(CommitKill, KilledCommitsLoseNothing) {
  std::random_device device;
  unsigned seed = device();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  int partial = 0;
  for (int round = 0; round < kRounds; ++round) {
    Round r;
    int moves = std::uniform_int_distribution<int>(0, kFiles - 1)(random);
    int spin = std::uniform_int_distribution<int>(0, 300)(random);
    r.commitAndKill(moves, spin);
    std::string context = "round " + std::to_string(round) + " (kill after " +
                          std::to_string(moves) + " moves + " + std::to_string(spin) + " us)";
    int inTrash = r.checkNothingLost(context);
    if (inTrash > 0 && inTrash < kFiles) ++partial;
    // A new commit after the crash finishes the job: what the killed one
    // moved without journalling reads as missing, everything else moves.
    CommitEngine engine(CommitEngine::Config({r.root}, r.storage));
    CommitEngine::Outcome outcome = engine.commit(r.items, "phone");
    for (const CommitFailure& f : outcome.failed) EXPECT_EQ(f.reason, "missing") << context;
    EXPECT_EQ(r.checkNothingLost(context + ", finished"), kFiles);
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("%d of %d rounds were killed in the middle of the commit\n", partial, kRounds);
}

// Every point of a small commit, one system call after another: the state
// on disk after each call must be one that loses nothing and that a later
// commit completes.
TEST(CommitKill, KilledAfterAnySystemCallLosesNothing) {
  {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : 1);
    int status;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "no ptrace here";
  }
  constexpr int kSmallBatch = 3;
  int calls = 1;
  for (;; ++calls) {
    Round r(kSmallBatch);
    const bool killed = r.commitAndKillAfterCall(calls);
    const std::string context = "killed after system call " + std::to_string(calls);
    r.checkNothingLost(context);
    CommitEngine engine(CommitEngine::Config({r.root}, r.storage));
    CommitEngine::Outcome outcome = engine.commit(r.items, "phone");
    for (const CommitFailure& f : outcome.failed) EXPECT_EQ(f.reason, "missing") << context;
    EXPECT_EQ(r.checkNothingLost(context + ", finished"), kSmallBatch);
    if (!killed || ::testing::Test::HasFailure()) break;
  }
  std::printf("killed after each of %d system calls\n", calls - 1);
}

}  // namespace
}  // namespace tallowick
