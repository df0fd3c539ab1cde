#include "shared/paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

namespace tallowick {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows when resolving a path

// Puts the components of `text` in front of `out`, in order.
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

std::string_view withoutTrailingSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

std::string parentOf(std::string_view path) {
  path = withoutTrailingSlash(path);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string_view lastComponent(std::string_view path) {
  path = withoutTrailingSlash(path);
  if (path == "/") return path;
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string lexicallyNormal(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    auto part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (auto part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

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

bool isAtOrBelow(std::string_view path, std::string_view tree) {
  if (tree.empty()) return false;
  if (tree == "/") return path.starts_with('/');
  return path == tree ||
         (path.size() > tree.size() && path.starts_with(tree) && path[tree.size()] == '/');
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace tallowick
