#include "core/scan/scan_rules.h"

#include <linux/magic.h>
#include <sys/statfs.h>

#include <glib.h>

#include <algorithm>
#include <array>
#include <memory>

#include "core/scan/content_types.h"
#include "core/scan/glib_functions.h"
#include "shared/ascii.h"
#include "shared/paths.h"

namespace tallowick::ScanRules {
namespace {

constexpr std::array<std::string_view, 6> kExcludedNames = {
    ".Trash", ".git", "node_modules", ".venv", "DerivedData", "Backups.backupdb"};
constexpr std::array<std::string_view, 4> kPackageExtensions = {"app", "photoslibrary", "bundle",
                                                                "framework"};
// Trees no walk enters: the system's own folders and the kernel's views.
constexpr std::array<std::string_view, 6> kExcludedSystemTrees = {
    "/System", "/Library", "/Applications", "/proc", "/sys", "/dev"};
// POSIX shared memory: a tmpfs under /dev where users may keep files. A
// root chosen there is walked; a walk that meets /dev still never enters it.
constexpr std::string_view kSharedMemoryTree = "/dev/shm";
constexpr std::string_view kHomeLibrary = "/Library";
constexpr std::string_view kCloudFolder = "/Library/Mobile Documents";
constexpr std::string_view kHomeSnap = "/snap";  // snap applications' private data
// How screenshot tools name their files (GNOME's "Screenshot from …",
// KDE's "Screenshot_…" and their translations), lower-cased.
struct ScreenshotNames {
  std::string_view language;
  std::array<std::string_view, 2> prefixes;  // an empty one matches nothing
};
constexpr std::array<ScreenshotNames, 13> kScreenshotNames = {{
    {"English", {"screenshot", "screen shot"}},
    {"Spanish", {"captura de pantalla"}},
    {"German", {"bildschirmfoto"}},
    {"French", {"capture d’écran", "capture d'écran"}},
    {"Italian", {"schermata"}},
    {"Portuguese", {"captura de tela", "captura de ecrã"}},
    {"Dutch", {"schermafdruk"}},
    {"Polish", {"zrzut ekranu"}},
    {"Russian", {"снимок экрана"}},
    {"Japanese", {"スクリーンショット"}},
    {"Chinese", {"截图", "截屏"}},
    {"Korean", {"스크린샷"}},
    {"Czech", {"snímek obrazovky"}},
}};
// More bytes than any ASCII prefix above has (the others cannot start an
// ASCII name).
constexpr std::size_t kLongestScreenshotPrefix = 32;
// The desktop's disk images and packages beside the original three.
constexpr std::array<std::string_view, 10> kInstallerExtensions = {
    "dmg", "pkg", "mpkg", "deb", "rpm", "appimage", "flatpak", "flatpakref", "snap", "run"};

// Conformance tables, from the shared-mime-info hierarchy.
constexpr std::array<const char*, 1> kImageTypes = {"image/*"};
constexpr std::array<const char*, 1> kVideoTypes = {"video/*"};
constexpr std::array<const char*, 16> kArchiveTypes = {
    "application/zip",           "application/x-tar",      "application/gzip",
    "application/x-bzip2",       "application/x-xz",       "application/x-7z-compressed",
    "application/vnd.rar",       "application/x-compress", "application/zstd",
    "application/x-lzma",        "application/x-lzip",     "application/x-cpio",
    "application/x-archive",     "application/x-lha",      "application/x-arj",
    "application/x-java-archive"};
constexpr std::array<const char*, 11> kDocumentTypes = {
    "application/pdf", "text/plain",
    // presentations
    "application/vnd.ms-powerpoint",
    "application/vnd.openxmlformats-officedocument.presentationml.presentation",
    "application/vnd.oasis.opendocument.presentation", "application/vnd.apple.keynote",
    // spreadsheets
    "application/vnd.ms-excel", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
    "application/vnd.oasis.opendocument.spreadsheet", "application/vnd.apple.numbers", "text/csv"};

// The text after the last dot of a name, as long as the dot is not the
// name's first character ("a.tar.gz" -> "gz", ".profile" -> "").
std::string_view extensionOf(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& table, std::string_view value) {
  return std::find(table.begin(), table.end(), value) != table.end();
}

}  // namespace

bool isExcludedName(std::string_view name) {
  return contains(kExcludedNames, name) ||
         contains(kPackageExtensions, lowerASCII(extensionOf(name)));
}

bool isExcludedTree(std::string_view realPath, std::string_view realHome) {
  if (!realHome.empty()) {
    const std::string home(realHome);
    if (isAtOrBelow(realPath, home + std::string(kCloudFolder))) return false;
    if (isAtOrBelow(realPath, home + std::string(kHomeLibrary))) return true;
    if (isAtOrBelow(realPath, home + std::string(kHomeSnap))) return true;
  }
  if (isAtOrBelow(realPath, kSharedMemoryTree)) return false;
  for (auto tree : kExcludedSystemTrees) {
    if (isAtOrBelow(realPath, tree)) return true;
  }
  return false;
}

bool isExcluded(const std::string& path, const std::string& home) {
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && isExcludedName(std::string_view(path).substr(start, end - start))) {
      return true;
    }
    start = end + 1;
  }
  return isExcludedTree(canonicalPath(path), canonicalPath(home));
}

bool isInCloudFolder(std::string_view path, std::string_view home) {
  if (home.empty()) return false;
  const std::string folder = std::string(home) + std::string(kCloudFolder);
  return path != folder && isAtOrBelow(path, folder);
}

bool holdsCloudFiles(std::string_view folder, std::string_view home) {
  if (home.empty()) return false;
  return isAtOrBelow(folder, std::string(home) + std::string(kCloudFolder));
}

bool isCloud(const std::string& path, bool isUbiquitous, const std::string& home) {
  if (isUbiquitous) return true;
  if (home.empty()) return false;
  if (isInCloudFolder(path, home)) return true;
  return isInCloudFolder(canonicalPath(path), canonicalPath(home));
}

Kind kind(std::string_view path, const std::optional<std::string>& contentType) {
  if (contains(kInstallerExtensions, lowerASCII(extensionOf(lastComponent(path))))) {
    return Kind::installer;
  }
  if (!contentType) return Kind::other;
  auto conformsToAny = [&](const auto& table) {
    return std::any_of(table.begin(), table.end(),
                       [&](const char* base) { return contentTypeConformsTo(*contentType, base); });
  };
  if (conformsToAny(kImageTypes)) return Kind::image;
  if (conformsToAny(kVideoTypes)) return Kind::video;
  // Office and similar formats are zip files inside but not archives to
  // their users: vendor types count only when listed themselves.
  const bool vendorType = contentType->starts_with("application/vnd.");
  for (const char* base : kArchiveTypes) {
    if (vendorType ? *contentType == base : contentTypeConformsTo(*contentType, base)) {
      return Kind::archive;
    }
  }
  if (conformsToAny(kDocumentTypes)) return Kind::document;
  return Kind::other;
}

bool isScreenshotName(std::string_view name) {
  auto startsWithPrefix = [](std::string_view lower) {
    for (const ScreenshotNames& names : kScreenshotNames) {
      for (std::string_view prefix : names.prefixes) {
        if (!prefix.empty() && lower.starts_with(prefix)) return true;
      }
    }
    return false;
  };
  // Most names are plain ASCII, which lowers byte by byte; only they are
  // lowered without a copy of the whole name.
  if (isASCII(name)) {
    char lower[kLongestScreenshotPrefix];
    const std::size_t n = std::min(name.size(), kLongestScreenshotPrefix);
    for (std::size_t i = 0; i < n; ++i) {
      lower[i] = lowerASCII(name[i]);
    }
    return startsWithPrefix(std::string_view(lower, n));
  }
  // Beyond ASCII too: "Снимок экрана" is lowered like "Screenshot".
  std::unique_ptr<gchar, decltype(&g_free)> lowered(
      libglib.load() && g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)
          ? g_utf8_strdown(name.data(), static_cast<gssize>(name.size()))
          : nullptr,
      &g_free);
  const std::string lower = lowered ? std::string(lowered.get()) : lowerASCII(name);
  return startsWithPrefix(lower);
}

// (devtmpfs reports itself as tmpfs; /dev is excluded by name instead.)
bool isPseudoFileSystem(int dirFd) {
  struct statfs info;
  if (::fstatfs(dirFd, &info) != 0) return true;
  static constexpr std::array<unsigned long, 18> kPseudo = {PROC_SUPER_MAGIC,
                                                            SYSFS_MAGIC,
                                                            DEVPTS_SUPER_MAGIC,
                                                            CGROUP_SUPER_MAGIC,
                                                            CGROUP2_SUPER_MAGIC,
                                                            DEBUGFS_MAGIC,
                                                            TRACEFS_MAGIC,
                                                            SECURITYFS_MAGIC,
                                                            PSTOREFS_MAGIC,
                                                            BPF_FS_MAGIC,
                                                            BINFMTFS_MAGIC,
                                                            EFIVARFS_MAGIC,
                                                            SELINUX_MAGIC,
                                                            SMACK_MAGIC,
                                                            NSFS_MAGIC,
                                                            0x62656570 /* configfs */,
                                                            0x65735543 /* fusectl */,
                                                            0x19800202 /* mqueue */};
  const auto type = static_cast<unsigned long>(info.f_type);
  return std::find(kPseudo.begin(), kPseudo.end(), type) != kPseudo.end();
}

}  // namespace tallowick::ScanRules
