#pragma once

// The freedesktop.org Trash. A file is moved into the Trash of its own file
// system: the home Trash ($XDG_DATA_HOME/Trash) for files on the same mount,
// else $topdir/.Trash/$uid (only when .Trash is a real directory with the
// sticky bit) or $topdir/.Trash-$uid of the file's mount. Every move is a
// rename(2); a file is never copied and deleted, so a move that the kernel
// refuses leaves the file where it was and reports the kernel's reason.

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace tallowick::Trash {

// $XDG_DATA_HOME/Trash, with XDG_DATA_HOME defaulting to ~/.local/share.
std::string homeTrashDir();

struct MoveResult {
  // The file's new path, inside the Trash's files/ directory.
  std::optional<std::string> trashPath;
  // Why the file was not moved; message() is the text shown to the user.
  std::error_code error;

  bool ok() const { return trashPath.has_value(); }
};

// Moves the file (or the link itself, if `path` is a symbolic link) to the
// Trash. Writes the info file under a temporary name in info/ and moves it to
// info/NAME.trashinfo without replacing an existing entry, so the entry
// appears only complete, even when the process dies; then renames the file
// to files/NAME. NAME gets a number when the plain name is taken. If the
// rename fails, the info file is removed again and the file stays in place.
// REQUIRES: `path` is absolute.
MoveResult moveToTrash(const std::string& path);

// Moves many files to the Trash in a row, as a commit does: each Trash
// directory is looked up, created if need be and opened at its first use
// only, and stays open until the mover goes. A file is named by an open
// descriptor of its folder, so a caller's checks on that folder and the move
// act on the same folder, wherever its path may lead meanwhile.
// Not thread-safe.
class Mover {
 public:
  Mover();
  ~Mover();
  Mover(const Mover&) = delete;
  Mover& operator=(const Mover&) = delete;

  // Moves `name` out of the folder open as `dirFd` into the Trash of its own
  // mount, as moveToTrash does. `fileMount` is mountKey() of the file.
  // REQUIRES: `dirFd` is an open directory (O_PATH will do) whose canonical
  // path is `dir`; `name` is a plain name in it (no "/", not "." or "..").
  MoveResult move(int dirFd, const std::string& dir, const std::string& name,
                  std::uint64_t fileMount);

 private:
  struct Target;
  Target* targetFor(int dirFd, const std::string& dir, std::uint64_t fileMount,
                    std::error_code& error);

  bool homeLooked_ = false;
  std::string home_;
  std::optional<std::uint64_t> homeMount_;
  std::map<std::uint64_t, std::unique_ptr<Target>> targets_;
};

// Which mount a file lies on, from statx(2) asked for STATX_MNT_ID: two
// paths can be renamed into each other only when it is the same. Falls back
// to the device number where the kernel gives no mount id.
std::uint64_t mountKey(const struct statx& file);

// Moves `trashPath` back to `originalPath` without ever replacing what is
// there (EEXIST then), and removes the matching info file when `trashPath`
// lies in a Trash's files/ directory. The parent of `originalPath` must exist.
// Returns no error on success.
std::error_code putBack(const std::string& trashPath, const std::string& originalPath);
// The same, to `to` relative to the folder open as `toDir` (any descriptor
// that openat(2) takes, O_PATH included).
std::error_code putBack(const std::string& trashPath, int toDir, const std::string& to);

struct EmptyResult {
  // Entries removed from files/ and info/ (top level only) and
  // directorysizes.
  std::int64_t removed = 0;
  // The first failure, with the path it concerns; empty error on success.
  std::error_code error;
  std::string failedPath;

  bool ok() const { return !error; }
};

// Empties the home Trash and this user's Trash on every mounted file system:
// the contents of files/ and info/, and directorysizes. Links inside the
// Trash are removed as links; nothing outside the Trash is touched. Goes on
// past a failure and reports the first one.
EmptyResult emptyTrash();
// The same, for the home Trash and the user's Trash directories under the
// given mount points only.
EmptyResult emptyTrash(const std::vector<std::string>& topdirs);

// The Trash directories of this user that exist now: the home Trash and, for
// each of `topdirs`, $topdir/.Trash/$uid and $topdir/.Trash-$uid when they
// pass the ownership and link checks.
std::vector<std::string> userTrashDirs(const std::vector<std::string>& topdirs);

// Mount points of the mounted file systems, from /proc/self/mountinfo.
std::vector<std::string> mountPoints();

}  // namespace tallowick::Trash
