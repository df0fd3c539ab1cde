#pragma once

// What the walk stays out of, what kind of file it met, and which names are
// screenshots: the scan's tables and the path tests over them. Nothing here
// opens a file; isExcluded, isCloud and isPseudoFileSystem ask the file
// system about paths and folders.

#include <optional>
#include <string>
#include <string_view>

#include "shared/report.h"

namespace tallowick::ScanRules {

// A folder name the walk never enters: the Trash, version control and
// package manager folders, backups, and names with a package extension
// ("Some.app", "Photos Library.photoslibrary"), the extension in any case.
bool isExcludedName(std::string_view name);

// REQUIRES: both paths are canonical (canonicalPath), `realHome` may be
// empty for no home.
// True for the home's Library (but not the cloud folder in it) and its
// snap folder, the system's own folders, /proc, /sys and /dev (but not
// /dev/shm).
bool isExcludedTree(std::string_view realPath, std::string_view realHome);

// True when the folder at `path` must not be walked: a component is an
// excluded name, or the real path lies in an excluded tree (links resolved
// on both `path` and `home`).
bool isExcluded(const std::string& path, const std::string& home);

// True when `path` lies inside the cloud folder under `home` (as written,
// no links resolved). The cloud folder itself is not inside.
bool isInCloudFolder(std::string_view path, std::string_view home);

// True when the files directly in `folder` lie inside the cloud folder under
// `home` (as isInCloudFolder for each of them), so a walk asks once per
// folder rather than once per file.
bool holdsCloudFiles(std::string_view folder, std::string_view home);

// True for an item the file system marks as a cloud item, or that lies in
// the cloud folder under `home` (as given or with links resolved).
bool isCloud(const std::string& path, bool isUbiquitous, const std::string& home);

// The kind of a file from its name and its content type (if any).
Kind kind(std::string_view path, const std::optional<std::string>& contentType);

// True when a file name (no folder) starts as screenshot tools in the
// common languages name their files, in any case, UTF-8 letters included.
bool isScreenshotName(std::string_view name);

// True for an open folder on a file system that holds only the kernel's
// views of itself (proc, sysfs, cgroups and the like), and for one whose file
// system cannot be asked.
bool isPseudoFileSystem(int dirFd);

}  // namespace tallowick::ScanRules
