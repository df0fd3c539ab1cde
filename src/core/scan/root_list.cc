#include "core/scan/root_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "shared/json_codec.h"
#include "shared/xdg.h"

namespace tallowick {
namespace {

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string absoluteFolder(const std::string& path) {
  std::string out = std::filesystem::absolute(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<ScanRoot> defaultRoots() {
  const std::string home = xdg::homeDirectory();
  std::vector<ScanRoot> roots;
  if (home.empty()) return roots;
  const std::string normalHome = absoluteFolder(home);
  std::vector<std::string> taken;
  for (xdg::UserDirectory which :
       {xdg::UserDirectory::Desktop, xdg::UserDirectory::Download, xdg::UserDirectory::Pictures,
        xdg::UserDirectory::Documents, xdg::UserDirectory::Videos}) {
    const std::string path = absoluteFolder(xdg::userDirectory(which));
    if (path == normalHome || !isDirectory(path)) continue;
    if (std::find(taken.begin(), taken.end(), path) != taken.end()) continue;
    taken.push_back(path);
    roots.push_back(ScanRoot::fromPath(path));
  }
  return roots;
}

std::vector<ScanRoot> rootsFromJson(std::string_view text) {
  const Json json = codec::parse(text);
  if (!json.is_array()) throw DecodeError("expected an array of roots");
  std::vector<ScanRoot> roots;
  for (const Json& element : json) {
    ScanRoot root = ScanRoot::fromJson(element);
    if (root.path().empty()) throw DecodeError("not an absolute file URL: " + root.url);
    roots.push_back(std::move(root));
  }
  return roots;
}

std::string rootsToJson(const std::vector<ScanRoot>& roots) {
  Json json = Json::array();
  for (const ScanRoot& root : roots) json.push_back(root.toJson());
  return codec::dumpCompact(json);
}

}  // namespace tallowick
