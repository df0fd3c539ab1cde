#include "core/thumbs/folder_bound.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <vector>

namespace tallowick {

int boundFolderSize(const std::string& dir, std::uintmax_t maxBytes) {
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr) return 0;
  struct Entry {
    struct timespec modified;
    std::string name;
    std::uintmax_t bytes;
  };
  std::vector<Entry> entries;
  std::uintmax_t total = 0;
  const int fd = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    struct stat st;
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    entries.push_back({st.st_mtim, entry->d_name, static_cast<std::uintmax_t>(st.st_size)});
    total += static_cast<std::uintmax_t>(st.st_size);
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.modified.tv_sec, a.modified.tv_nsec, a.name) <
           std::tie(b.modified.tv_sec, b.modified.tv_nsec, b.name);
  });
  int removed = 0;
  for (const Entry& entry : entries) {
    if (total <= maxBytes) break;
    // Gone already (another call removed it) counts as gone all the same.
    if (::unlinkat(fd, entry.name.c_str(), 0) == 0) ++removed;
    total -= entry.bytes;
  }
  ::closedir(folder);
  return removed;
}

}  // namespace tallowick
