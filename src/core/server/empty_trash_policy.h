#pragma once
// When a phone may empty the Trash: only the phone that just committed, only
// for a while after that commit, and only when it says it is sure. Emptying
// is the one step nobody can undo, so a stray request must never do it.

#include <optional>
#include <string>

#include "shared/json_codec.h"

namespace tallowick {

struct EmptyTrashPolicy {
  struct LastCommit {
    std::string device;  // the committing phone's device label
    Date at;
  };

  // Seconds after a commit during which its phone may empty the Trash.
  double window = 600.0;
  // The last commit that moved at least one file; kept in memory only.
  std::optional<LastCommit> lastCommit;

  // True when `confirm` is set and `device` made the last commit at most
  // `window` seconds before `now` (the boundary included).
  bool allows(const std::string& device, Date now, bool confirm) const;
};

}  // namespace tallowick
