#pragma once

// Reaches a file below one of the scan roots the way the scan did: from the
// root down, one folder at a time with openat(O_NOFOLLOW | O_DIRECTORY), so
// no symbolic link on the way can lead anywhere. The root itself may be
// named through a link (the user chose it so); nothing below it may.
//
// What a commit or an undo then does with the file, it does relative to the
// folder opened here, so a folder swapped for a link after the walk cannot
// redirect it either.

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "shared/unique_fd.h"

namespace tallowick {

class RootWalk {
 public:
  // Resolves each root once, for many walks. Roots may be paths or file
  // URLs. A root that does not exist is never made: a walk below it stops
  // as missing.
  explicit RootWalk(const std::vector<std::string>& roots);

  enum class Stop {
    none,       // reached: `dir` holds `name`
    outside,    // not below a root (or a root itself, or "." / ".." in it)
    link,       // a symbolic link where a folder of the path should be
    missing,    // a folder of the path does not exist
    notFolder,  // something else than a folder where a folder should be
    failed,     // the system refused (see `error`)
  };

  struct Parent {
    Stop stop = Stop::outside;
    std::error_code error;
    // The folder that holds the file (O_PATH), its canonical path and the
    // file's name in it; set when `stop` is none.
    UniqueFd dir;
    std::string dirPath;
    std::string name;

    bool ok() const { return stop == Stop::none; }
  };

  // Opens the folder that holds `path`. With `create`, missing folders are
  // made on the way (each also relative to its opened parent).
  Parent openParent(std::string_view path, bool create) const;

 private:
  struct Root {
    std::vector<std::string> given;      // the root as named, in components
    std::vector<std::string> canonical;  // links resolved
    std::string open;                    // what to open: the canonical path
  };
  std::vector<Root> roots_;
};

}  // namespace tallowick
