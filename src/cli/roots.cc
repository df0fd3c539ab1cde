#include "cli/roots.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "core/scan/root_list.h"
#include "shared/file_util.h"
#include "shared/json_codec.h"

namespace tallowick::cli {

std::optional<std::vector<ScanRoot>> resolveRoots(const std::vector<std::string>& folders,
                                                  const std::string& rootsJson,
                                                  const std::string& command, std::ostream& err) {
  std::vector<ScanRoot> roots;
  for (const std::string& folder : folders) {
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      err << command << ": no such folder: " << folder << "\n";
      return std::nullopt;
    }
    roots.push_back(ScanRoot::fromPath(absoluteFolder(folder)));
  }
  if (rootsJson.empty()) return roots;
  auto text = readWholeFile(rootsJson);
  if (!text) {
    err << command << ": cannot read roots file: " << rootsJson << "\n";
    return std::nullopt;
  }
  try {
    for (ScanRoot& root : rootsFromJson(*text)) roots.push_back(std::move(root));
  } catch (const DecodeError& error) {
    std::string what = error.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    err << command << ": invalid roots file " << rootsJson << ": " << what << "\n";
    return std::nullopt;
  }
  return roots;
}

}  // namespace tallowick::cli
