#include "agent/folder_commands.h"

#include <sys/stat.h>

#include <algorithm>

#include "agent/agent.h"
#include "core/scan/root_list.h"

namespace tallowick {
namespace {

constexpr const char* kProgram = "tallowick-agent";

const char* onOff(bool value) { return value ? "on" : "off"; }

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string folderLine(const ScanRoot& root) {
  return root.path() + "\tduplicates=" + onOff(root.duplicates) +
         "\tscreenshots=" + onOff(root.screenshots) + "\tstale=" + onOff(root.stale);
}

int runFolderEdit(Agent& agent, const FolderEdit& edit, std::ostream& out, std::ostream& err) {
  std::vector<std::string> added;
  for (const std::string& path : edit.add) {
    if (!isDirectory(path)) {
      err << kProgram << ": no such folder: " << path << "\n";
      return 2;
    }
    added.push_back(absoluteFolder(path));
  }
  int status = 0;
  auto known = [&](const std::string& path) {
    const auto& roots = agent.roots();
    bool found = std::any_of(roots.begin(), roots.end(),
                             [&](const ScanRoot& root) { return root.path() == path; });
    if (!found) {
      err << kProgram << ": not in the folder list: " << path << "\n";
      status = 1;
    }
    return found;
  };
  if (!added.empty()) agent.addFolders(added);
  for (const std::string& path : edit.remove) {
    const std::string folder = absoluteFolder(path);
    known(folder);
    agent.removeRoot(folder);
  }
  if (!edit.set.empty()) {
    const std::string folder = absoluteFolder(edit.set);
    if (known(folder)) {
      ScanRoot root = *std::find_if(agent.roots().begin(), agent.roots().end(),
                                    [&](const ScanRoot& r) { return r.path() == folder; });
      if (edit.duplicates) root.duplicates = *edit.duplicates;
      if (edit.screenshots) root.screenshots = *edit.screenshots;
      if (edit.stale) root.stale = *edit.stale;
      agent.updateRoot(root);
    }
  }
  for (const ScanRoot& root : agent.roots()) out << folderLine(root) << "\n";
  return status;
}

}  // namespace tallowick
