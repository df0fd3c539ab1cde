#include "cli/roots.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "cli/terminal_text.h"
#include "core/scan/root_list.h"
#include "shared/file_util.h"
#include "shared/json_codec.h"

namespace tallowick::cli {
namespace {

// False, after one line on `err`, when `folder` is missing or not a folder.
// One that cannot be read is only warned about: it counts as nothing
// scanned, the way a scan passes over an unreadable folder inside a root.
bool usableFolder(const std::string& folder, const std::string& command, std::ostream& err) {
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) {
    err << command << ": no such folder: " << escapedForTerminal(folder) << "\n";
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    err << command << ": not a folder: " << escapedForTerminal(folder) << "\n";
    return false;
  }
  if (::access(folder.c_str(), R_OK | X_OK) != 0) {
    err << command << ": warning: cannot read folder " << escapedForTerminal(folder) << ": "
        << std::strerror(errno) << "\n";
  }
  return true;
}

}  // namespace

std::optional<std::vector<ScanRoot>> resolveRoots(const std::vector<std::string>& folders,
                                                  const std::string& rootsJson,
                                                  const std::string& command, std::ostream& err) {
  std::vector<ScanRoot> roots;
  for (const std::string& folder : folders) {
    if (!usableFolder(folder, command, err)) return std::nullopt;
    roots.push_back(ScanRoot::fromPath(absoluteFolder(folder)));
  }
  if (rootsJson.empty()) return roots;
  auto text = readWholeFile(rootsJson);
  if (!text) {
    err << command << ": cannot read roots file: " << escapedForTerminal(rootsJson) << "\n";
    return std::nullopt;
  }
  try {
    for (ScanRoot& root : rootsFromJson(*text)) roots.push_back(std::move(root));
  } catch (const DecodeError& error) {
    std::string what = error.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    err << command << ": invalid roots file " << escapedForTerminal(rootsJson) << ": "
        << escapedForTerminal(what) << "\n";
    return std::nullopt;
  }
  for (std::size_t i = folders.size(); i < roots.size(); ++i) {
    if (!usableFolder(roots[i].path(), command, err)) return std::nullopt;
  }
  return roots;
}

}  // namespace tallowick::cli
