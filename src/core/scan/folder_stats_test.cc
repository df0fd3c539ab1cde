#include "core/scan/folder_stats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/scan/scan_test_util.h"
#include "shared/unique_fd.h"

namespace tallowick {
namespace {

constexpr unsigned kMask = STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_INO;

// Shared between two threads or not, every request gets the facts of its own
// name, as one statx after another gives them.
TEST(FolderStatsTest, EachRequestGetsItsOwnNamesFacts) {
  testing::TempDir dir;
  std::vector<std::string> names;
  for (int i = 0; i < 700; ++i) {
    names.push_back("file-" + std::to_string(i));
    std::ofstream(dir / names.back()) << std::string(static_cast<std::size_t>(i), 'x');
  }
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("file-1", (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  names.insert(names.begin() + 350, {"folder", "link", "fifo", "missing"});
  UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(folder.valid());

  FolderStats stats(kMask);
  // Folders below and above the size where the work is shared, one after
  // another with the same instance.
  for (std::size_t count : {std::size_t{0}, std::size_t{3}, names.size(), std::size_t{200}}) {
    std::vector<FolderStats::Request> requests;
    for (std::size_t i = 0; i < count; ++i) {
      requests.emplace_back(names[(i * 7) % names.size()].c_str());
    }
    stats.take(folder.get(), requests);
    for (const FolderStats::Request& r : requests) {
      struct statx expected {};
      const bool ok = ::statx(folder.get(), r.name, AT_SYMLINK_NOFOLLOW, kMask, &expected) == 0;
      ASSERT_EQ(r.ok, ok) << r.name;
      if (!ok) continue;
      EXPECT_EQ(r.info.stx_mode, expected.stx_mode) << r.name;
      EXPECT_EQ(r.info.stx_ino, expected.stx_ino) << r.name;
      EXPECT_EQ(r.info.stx_size, expected.stx_size) << r.name;
      EXPECT_EQ(r.info.stx_mtime.tv_sec, expected.stx_mtime.tv_sec) << r.name;
      EXPECT_EQ(r.info.stx_mtime.tv_nsec, expected.stx_mtime.tv_nsec) << r.name;
    }
  }
}

}  // namespace
}  // namespace tallowick
