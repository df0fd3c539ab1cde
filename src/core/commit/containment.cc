#include "core/commit/containment.h"

#include "shared/file_util.h"
#include "shared/paths.h"

namespace tallowick::Containment {

std::optional<std::string> rootPath(const std::string& root) {
  if (root.rfind("file://", 0) == 0) return fileURLToPath(root);
  return root;
}

std::vector<std::string> rootPrefixes(const std::vector<std::string>& roots) {
  std::vector<std::string> prefixes;
  for (const std::string& root : roots) {
    std::optional<std::string> path = rootPath(root);
    if (!path) continue;
    std::string prefix = canonicalPath(*path);
    if (prefix.empty()) continue;
    if (prefix.back() != '/') prefix.push_back('/');
    prefixes.push_back(std::move(prefix));
  }
  return prefixes;
}

bool isBelow(std::string_view canonicalFile, const std::vector<std::string>& prefixes) {
  for (const std::string& prefix : prefixes) {
    if (canonicalFile.size() > prefix.size() && canonicalFile.starts_with(prefix)) return true;
  }
  return false;
}

bool isInside(std::string_view path, const std::vector<std::string>& roots) {
  std::string file = canonicalPath(path);
  if (file.empty()) return false;
  return isBelow(file, rootPrefixes(roots));
}

}  // namespace tallowick::Containment
