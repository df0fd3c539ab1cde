#include "core/commit/root_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "core/commit/containment.h"

namespace tallowick {

namespace {

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The components of an absolute path; no value for a relative path or one
// with "." or ".." (a scanned path has neither, and ".." could climb out).
std::optional<std::vector<std::string>> componentsOf(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::vector<std::string> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part == "." || part == "..") return std::nullopt;
    if (!part.empty()) parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

bool startsWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
  if (prefix.size() >= path.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (path[i] != prefix[i]) return false;
  }
  return true;
}

// Why `name` in `dir` could not be opened as a folder.
RootWalk::Stop classify(int dir, const std::string& name, int err) {
  struct stat st;
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? RootWalk::Stop::missing : RootWalk::Stop::failed;
  }
  if (S_ISLNK(st.st_mode)) return RootWalk::Stop::link;
  if (!S_ISDIR(st.st_mode)) return RootWalk::Stop::notFolder;
  return err == ENOENT ? RootWalk::Stop::missing : RootWalk::Stop::failed;
}

}  // namespace

RootWalk::RootWalk(const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    std::optional<std::string> path = Containment::rootPath(root);
    if (!path) continue;
    std::string canonical = Containment::canonicalPath(*path);
    auto given = componentsOf(*path);
    auto resolved = componentsOf(canonical);
    if (canonical.empty() || !resolved) continue;
    roots_.push_back(Root{given.value_or(*resolved), *resolved, canonical});
  }
}

RootWalk::Parent RootWalk::openParent(std::string_view path, bool create) const {
  Parent out;
  auto parts = componentsOf(path);
  if (!parts) return out;
  // The deepest root that holds the path: roots may nest, and the inner one
  // may be named through a link.
  const Root* best = nullptr;
  std::size_t depth = 0;
  for (const Root& root : roots_) {
    for (const auto* prefix : {&root.given, &root.canonical}) {
      if (startsWith(*parts, *prefix) && (!best || prefix->size() > depth)) {
        best = &root;
        depth = prefix->size();
      }
    }
  }
  if (!best) return out;

  UniqueFd dir(::open(best->open.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    out.error = {errno, std::generic_category()};
    out.stop = errno == ENOENT ? Stop::missing : Stop::failed;
    return out;
  }
  std::string dirPath = best->open;
  for (std::size_t i = depth; i + 1 < parts->size(); ++i) {
    const std::string& name = (*parts)[i];
    int fd = ::openat(dir.get(), name.c_str(), kDirFlags);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(dir.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        out.error = {errno, std::generic_category()};
        out.stop = Stop::failed;
        return out;
      }
      fd = ::openat(dir.get(), name.c_str(), kDirFlags);
    }
    if (fd < 0) {
      int err = errno;
      out.error = {err, std::generic_category()};
      out.stop = classify(dir.get(), name, err);
      return out;
    }
    dir.reset(fd);
    dirPath = dirPath == "/" ? "/" + name : dirPath + "/" + name;
  }
  out.stop = Stop::none;
  out.dir = std::move(dir);
  out.dirPath = std::move(dirPath);
  out.name = parts->back();
  return out;
}

}  // namespace tallowick
