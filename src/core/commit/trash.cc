#include "core/commit/trash.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include "shared/file_util.h"
#include "shared/paths.h"
#include "shared/unique_fd.h"
#include "shared/xdg.h"

namespace tallowick::Trash {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }
std::error_code errorOf(int err) { return {err, std::generic_category()}; }

// An identity of the mount a path lies on. Two paths can be renamed into each
// other only when it is the same. Mount ids tell bind mounts of one file
// system apart (rename between them fails with EXDEV); without them, fall
// back to the device number.
std::optional<std::uint64_t> mountKey(int dirfd, const char* name, int flags = 0) {
  struct statx stx {};
  if (::statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &stx) !=
      0) {
    return std::nullopt;
  }
  return Trash::mountKey(stx);
}
std::optional<std::uint64_t> mountKey(const std::string& path) {
  return mountKey(AT_FDCWD, path.c_str());
}

std::string join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// A directory of ours that is really a directory: not a link, owned by us.
bool isOwnDirectory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

// $topdir/.Trash is shared by all users only when it is a real directory
// with the sticky bit; a link or a plain directory could be a trap.
bool isSharedTrash(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
}

std::string uidText() { return std::to_string(::getuid()); }

// A Trash directory ready for a move: files/ and info/ opened.
struct Location {
  std::string dir;
  UniqueFd files;
  UniqueFd info;
};

std::error_code openLayout(const std::string& dir, Location& out) {
  UniqueFd fds[2];
  const char* subs[2] = {"files", "info"};
  for (int i = 0; i < 2; ++i) {
    std::string path = dir + "/" + subs[i];
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
      if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return lastError();
      fd = ::open(path.c_str(), flags);
    }
    if (fd < 0) return lastError();
    fds[i].reset(fd);
  }
  out.dir = dir;
  out.files.reset(fds[0].release());
  out.info.reset(fds[1].release());
  return {};
}

// Where the Trash of a mount other than the home one lies: its mount point.
// `dir` is a canonical directory on the mount with key `key`.
std::string mountPointOf(std::string dir, std::uint64_t key) {
  while (dir != "/") {
    std::string up = parentOf(dir);
    if (mountKey(up) != key) break;
    dir = up;
  }
  return dir;
}

// A stored name that fits, with ".trashinfo" appended, into NAME_MAX bytes;
// `n` > 1 numbers it before its extension ("photo.2.jpg").
std::string storedName(const std::string& name, int n) {
  constexpr std::size_t kLimit = NAME_MAX - 10;  // strlen(".trashinfo")
  std::string stem = name, ext;
  auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= 32) {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
  std::string suffix = (n > 1 ? "." + std::to_string(n) : std::string()) + ext;
  if (stem.size() + suffix.size() > kLimit) {
    std::size_t keep = kLimit - suffix.size();
    // Cut at a character boundary, never inside a UTF-8 sequence.
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    stem.resize(keep);
  }
  return stem + suffix;
}

std::string deletionDate() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  return buf;
}

// rename(2) that never replaces the target. File systems without
// RENAME_NOREPLACE get a check first; the window it leaves is the best they
// allow.
int renameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  struct stat st;
  if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (::renameat(fromDir, from, toDir, to) == 0) return 0;
  return errno;
}

// Creates a file in `dirFd` holding `content` under a fresh temporary name
// that no reader of the Trash takes for an entry (it does not end in
// ".trashinfo"). Returns the name, or no value with errno set.
std::optional<std::string> writeTemporary(int dirFd, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        ".tallowick-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
    int fd =
        ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    bool written = writeAll(fd, content);
    int err = errno;
    if (::close(fd) != 0 && written) {
      written = false;
      err = errno;
    }
    if (written) return name;
    ::unlinkat(dirFd, name.c_str(), 0);
    errno = err;
    return std::nullopt;
  }
  errno = EEXIST;
  return std::nullopt;
}

// Gives the file `from` of `dirFd` the name `to` in the same directory
// unless that name is taken (EEXIST then, and `from` stays). Where the file
// system has no RENAME_NOREPLACE, a hard link does the same atomically.
int placeNoReplace(int dirFd, const char* from, const char* to) {
  if (::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::linkat(dirFd, from, dirFd, to, 0) != 0) return errno;
  ::unlinkat(dirFd, from, 0);
  return 0;
}

// Unescapes the octal escapes (\040) of /proc/self/mountinfo.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int v = 0;
      bool ok = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') ok = false;
        v = v * 8 + (c - '0');
      }
      if (ok) {
        out.push_back(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

void noteFailure(EmptyResult& result, std::error_code error, const std::string& path) {
  if (!result.error) {
    result.error = error;
    result.failedPath = path;
  }
}

// Removes everything inside the open directory `dirfd` (named `where` in
// reports). Works on names relative to open descriptors and opens
// subdirectories with O_NOFOLLOW, so a link is removed as a link and never
// leads the removal out of the Trash. Counts entries when `count` is set.
void removeContents(int dirfd, const std::string& where, EmptyResult& result, bool count) {
  std::vector<std::string> names;
  {
    int dup = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return noteFailure(result, lastError(), where);
    DIR* dir = ::fdopendir(dup);
    if (dir == nullptr) {
      ::close(dup);
      return noteFailure(result, lastError(), where);
    }
    while (struct dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
  }
  for (const std::string& name : names) {
    std::string path = where + "/" + name;
    struct stat st;
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) noteFailure(result, lastError(), path);
      continue;
    }
    int flags = 0;
    if (S_ISDIR(st.st_mode)) {
      flags = AT_REMOVEDIR;
      // A folder the user made read-only must still be emptied.
      if ((st.st_mode & S_IRWXU) != S_IRWXU) {
        ::fchmodat(dirfd, name.c_str(), (st.st_mode | S_IRWXU) & 07777, AT_SYMLINK_NOFOLLOW);
      }
      int sub = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        noteFailure(result, lastError(), path);
        continue;
      }
      removeContents(sub, path, result, false);
      ::close(sub);
    }
    if (::unlinkat(dirfd, name.c_str(), flags) != 0) {
      if (errno != ENOENT) noteFailure(result, lastError(), path);
      continue;
    }
    if (count) ++result.removed;
  }
}

void emptyOne(const std::string& trashDir, EmptyResult& result) {
  UniqueFd dir(::open(trashDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) {
    if (errno != ENOENT) noteFailure(result, lastError(), trashDir);
    return;
  }
  // Files first: an interrupted emptying leaves info files without files,
  // never trashed files that nothing describes.
  for (const char* sub : {"files", "info"}) {
    std::string where = trashDir + "/" + sub;
    UniqueFd fd(::openat(dir.get(), sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno != ENOENT) noteFailure(result, lastError(), where);
      continue;
    }
    removeContents(fd.get(), where, result, true);
  }
  if (::unlinkat(dir.get(), "directorysizes", 0) == 0) {
    ++result.removed;
  } else if (errno != ENOENT) {
    noteFailure(result, lastError(), trashDir + "/directorysizes");
  }
}

}  // namespace

std::string homeTrashDir() {
  std::string data = xdg::dataHome();
  if (data.empty()) return {};
  return join(data, "Trash");
}

std::uint64_t mountKey(const struct statx& file) {
  if (file.stx_mask & STATX_MNT_ID) return file.stx_mnt_id;
  return (std::uint64_t{1} << 63) | (std::uint64_t{file.stx_dev_major} << 32) | file.stx_dev_minor;
}

// A Trash directory in use by a mover, and what the info files written there
// need: paths in a mount's own Trash are relative to the mount's top, so they
// stay right wherever the drive is mounted next time.
struct Mover::Target {
  Location location;
  bool home = false;
  std::string topdir;
};

Mover::Mover() = default;
Mover::~Mover() = default;

Mover::Target* Mover::targetFor(int dirFd, const std::string& dir, std::uint64_t fileMount,
                                std::error_code& error) {
  if (!homeLooked_) {
    homeLooked_ = true;
    home_ = homeTrashDir();
    if (!home_.empty()) {
      homeMount_ = mountKey(AT_FDCWD, home_.c_str());
      if (!homeMount_) {
        std::error_code ignored;
        std::filesystem::create_directories(parentOf(home_), ignored);
        ::mkdir(home_.c_str(), 0700);
        homeMount_ = mountKey(AT_FDCWD, home_.c_str());
      }
    }
  }
  bool home = homeMount_ == fileMount;
  if (!home && mountKey(dirFd, "", AT_EMPTY_PATH) != fileMount) {
    // The file is itself a mount point; it cannot be renamed anywhere.
    error = errorOf(EBUSY);
    return nullptr;
  }
  if (auto it = targets_.find(fileMount); it != targets_.end()) return it->second.get();

  auto target = std::make_unique<Target>();
  target->home = home;
  if (home) {
    if ((error = openLayout(home_, target->location))) return nullptr;
  } else {
    std::string topdir = mountPointOf(dir, fileMount);
    std::string shared = join(topdir, ".Trash");
    std::string mine = shared + "/" + uidText();
    std::string own = join(topdir, ".Trash-" + uidText());
    error = errorOf(ENOTDIR);
    bool found = false;
    if (isSharedTrash(shared)) {
      ::mkdir(mine.c_str(), 0700);
      if (isOwnDirectory(mine) && !openLayout(mine, target->location)) found = true;
    }
    if (!found) {
      if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
        error = lastError();
      } else if (isOwnDirectory(own)) {
        error = openLayout(own, target->location);
        found = !error;
      }
    }
    if (!found) return nullptr;
    error.clear();
    target->topdir = topdir;
  }
  return targets_.emplace(fileMount, std::move(target)).first->second.get();
}

MoveResult Mover::move(int dirFd, const std::string& dir, const std::string& name,
                       std::uint64_t fileMount) {
  MoveResult result;
  Target* target = targetFor(dirFd, dir, fileMount, result.error);
  if (target == nullptr) return result;
  const Location& location = target->location;
  std::string original = join(dir, name);
  std::string infoPath = original;  // the Path= value before escaping
  if (!target->home) {
    infoPath =
        target->topdir == "/" ? original.substr(1) : original.substr(target->topdir.size() + 1);
  }
  std::string escaped = pathToFileURL(infoPath).substr(7);  // drop "file://"
  std::string content = "[Trash Info]\nPath=" + escaped + "\nDeletionDate=" + deletionDate() + "\n";
  // The info file appears under its name only complete: written under a
  // temporary name first, so a crash never leaves an empty or partial entry.
  const int infoDir = location.info.get();
  std::optional<std::string> temporary;
  constexpr int kMaxAttempts = 100000;
  for (int n = 1; n <= kMaxAttempts; ++n) {
    if (!temporary && !(temporary = writeTemporary(infoDir, content))) {
      result.error = lastError();
      return result;
    }
    std::string stored = storedName(name, n);
    std::string infoName = stored + ".trashinfo";
    if (int err = placeNoReplace(infoDir, temporary->c_str(), infoName.c_str())) {
      if (err == EEXIST) continue;
      ::unlinkat(infoDir, temporary->c_str(), 0);
      result.error = errorOf(err);
      return result;
    }
    temporary.reset();
    int err = renameNoReplace(dirFd, name.c_str(), location.files.get(), stored.c_str());
    if (err == 0) {
      result.trashPath = location.dir + "/files/" + stored;
      return result;
    }
    ::unlinkat(infoDir, infoName.c_str(), 0);
    if (err != EEXIST) {
      result.error = errorOf(err);
      return result;
    }
  }
  if (temporary) ::unlinkat(infoDir, temporary->c_str(), 0);
  result.error = errorOf(EEXIST);
  return result;
}

MoveResult moveToTrash(const std::string& path) {
  MoveResult result;
  std::string full = path;
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  std::string name = full.substr(full.rfind('/') + 1);
  if (full.empty() || full[0] != '/' || name.empty() || name == "." || name == "..") {
    result.error = errorOf(EINVAL);
    return result;
  }
  std::string parent = parentOf(full);
  UniqueFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parentFd.valid()) {
    result.error = lastError();
    return result;
  }
  char* resolved = ::realpath(parent.c_str(), nullptr);
  if (resolved == nullptr) {
    result.error = lastError();
    return result;
  }
  std::string canonicalParent = resolved;
  std::free(resolved);
  auto fileKey = mountKey(parentFd.get(), name.c_str());
  if (!fileKey) {
    result.error = lastError();
    return result;
  }
  return Mover().move(parentFd.get(), canonicalParent, name, *fileKey);
}

std::error_code putBack(const std::string& trashPath, const std::string& originalPath) {
  return putBack(trashPath, AT_FDCWD, originalPath);
}

std::error_code putBack(const std::string& trashPath, int toDir, const std::string& to) {
  if (int err = renameNoReplace(AT_FDCWD, trashPath.c_str(), toDir, to.c_str())) {
    return errorOf(err);
  }
  std::string filesDir = parentOf(trashPath);
  if (filesDir.size() >= 6 && filesDir.compare(filesDir.size() - 6, 6, "/files") == 0) {
    std::string name = trashPath.substr(filesDir.size() + 1);
    std::string info = parentOf(filesDir) + "/info/" + name + ".trashinfo";
    ::unlink(info.c_str());
  }
  return {};
}

std::vector<std::string> mountPoints() {
  std::vector<std::string> out;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point ...
    std::size_t pos = 0;
    for (int field = 0; field < 4 && pos != std::string::npos; ++field) {
      pos = line.find(' ', pos);
      if (pos != std::string::npos) ++pos;
    }
    if (pos == std::string::npos) continue;
    std::size_t end = line.find(' ', pos);
    out.push_back(unescapeMountField(line.substr(pos, end - pos)));
  }
  return out;
}

std::vector<std::string> userTrashDirs(const std::vector<std::string>& topdirs) {
  std::vector<std::string> out;
  std::set<std::pair<dev_t, ino_t>> seen;
  auto add = [&](const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    if (seen.insert({st.st_dev, st.st_ino}).second) out.push_back(dir);
  };
  std::string home = homeTrashDir();
  if (!home.empty()) add(home);
  for (const std::string& topdir : topdirs) {
    std::string shared = join(topdir, ".Trash");
    if (isSharedTrash(shared) && isOwnDirectory(shared + "/" + uidText())) {
      add(shared + "/" + uidText());
    }
    std::string own = join(topdir, ".Trash-" + uidText());
    if (isOwnDirectory(own)) add(own);
  }
  return out;
}

EmptyResult emptyTrash() { return emptyTrash(mountPoints()); }

EmptyResult emptyTrash(const std::vector<std::string>& topdirs) {
  EmptyResult result;
  for (const std::string& dir : userTrashDirs(topdirs)) emptyOne(dir, result);
  return result;
}

}  // namespace tallowick::Trash
