#pragma once
// The folder list edited without a display: `tallowick-agent --list-folders`,
// `--add-folder`, `--remove-folder` and `--set-folder`, through the same
// Agent operations the folder window uses. They change the stored list; an
// agent already running reads it when it starts again.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/scan/scan_root.h"

namespace tallowick {

class Agent;

struct FolderEdit {
  bool list = false;
  std::vector<std::string> add;
  std::vector<std::string> remove;
  // --set-folder PATH and the switches to change (those given).
  std::string set;
  std::optional<bool> duplicates;
  std::optional<bool> screenshots;
  std::optional<bool> stale;

  bool any() const { return list || !add.empty() || !remove.empty() || !set.empty(); }
};

// "PATH<TAB>duplicates=on<TAB>screenshots=on<TAB>stale=off".
std::string folderLine(const ScanRoot& root);

// Applies the edit (adds, then removals, then the switches), then prints the
// resulting list, one folderLine() each, on `out`. Exit status: 0; 2 after
// one line on `err` when a folder to add is not an existing folder (nothing
// is changed then); 1 after one line on `err` per path to remove or set that
// is not in the list (the other changes are made).
int runFolderEdit(Agent& agent, const FolderEdit& edit, std::ostream& out, std::ostream& err);

}  // namespace tallowick
