#include "core/commit/containment.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>

#include "shared/file_util.h"

namespace tallowick::Containment {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows when resolving a path

void pushComponents(std::string_view text, std::deque<std::string>& out) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  out.insert(out.begin(), parts.begin(), parts.end());
}

void dropLast(std::string& path) {
  auto slash = path.rfind('/');
  path.resize(slash == 0 ? 1 : slash);
}

}  // namespace

// Like realpath(3), but a path that does not exist (yet, or any more) still
// has a canonical form, and a link is resolved even when its target is
// missing: a dangling link that points out of the roots is outside.
std::string canonicalPath(std::string_view path) {
  if (path.empty()) return {};
  std::deque<std::string> rest;
  pushComponents(path, rest);
  std::string result = "/";
  if (path.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    result = cwd;
  }
  int links = 0;
  bool exists = true;
  while (!rest.empty()) {
    std::string part = std::move(rest.front());
    rest.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      dropLast(result);
      continue;
    }
    std::string next = result == "/" ? "/" + part : result + "/" + part;
    struct stat st;
    if (exists && ::lstat(next.c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) {
        if (++links > kMaxLinks) return {};
        char target[PATH_MAX];
        ssize_t n = ::readlink(next.c_str(), target, sizeof target);
        if (n < 0 || n == static_cast<ssize_t>(sizeof target)) return {};
        std::string_view text(target, static_cast<std::size_t>(n));
        if (!text.empty() && text.front() == '/') result = "/";
        pushComponents(text, rest);
        continue;
      }
    } else {
      // Nothing below a missing component exists: the rest is lexical.
      exists = false;
    }
    result = std::move(next);
  }
  return result;
}

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
