#include "cli/roots.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "shared/file_util.h"
#include "shared/json_codec.h"

namespace tallowick::cli {

std::string absoluteFolder(const std::string& path) {
  std::string out = std::filesystem::absolute(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

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
    const Json json = codec::parse(*text);
    if (!json.is_array()) throw DecodeError("expected an array of roots");
    for (const Json& element : json) {
      ScanRoot root = ScanRoot::fromJson(element);
      if (root.path().empty()) throw DecodeError("not an absolute file URL: " + root.url);
      roots.push_back(std::move(root));
    }
  } catch (const DecodeError& error) {
    std::string what = error.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    err << command << ": invalid roots file " << rootsJson << ": " << what << "\n";
    return std::nullopt;
  }
  return roots;
}

std::vector<ScanRoot> defaultRoots(const std::string& home) {
  std::vector<ScanRoot> roots;
  if (home.empty()) return roots;
  for (const char* name : {"Desktop", "Downloads", "Pictures", "Documents", "Movies"}) {
    std::string path = absoluteFolder(home + "/" + name);
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) roots.push_back(ScanRoot::fromPath(path));
  }
  return roots;
}

}  // namespace tallowick::cli
