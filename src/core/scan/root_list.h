#pragma once
// The list of folders the user scans: its stored JSON form (the agent's
// "scanRoots" setting, the `--roots-json` file of the commands) and the
// folders used when the user chose none.

#include <string>
#include <string_view>
#include <vector>

#include "core/scan/scan_root.h"

namespace tallowick {

// "/a/b/" and "b/../b" become absolute (against the working folder),
// without a trailing slash: one spelling per folder.
std::string absoluteFolder(const std::string& path);

// The desktop's user directories for desktop, download, pictures, documents
// and videos (the videos folder stands for "Movies"), in this order, from
// user-dirs.dirs or else their English names under home. Kept only when the
// folder exists; one that is the home folder itself (how a user switches a
// user directory off) or that an earlier entry already names is skipped.
// Every switch on. Empty without a home folder.
std::vector<ScanRoot> defaultRoots();

// The JSON array of ScanRoot (each {"url", "duplicates", "screenshots",
// "stale"}). Throws DecodeError when `text` is not such an array or a "url"
// is not an absolute file URL.
std::vector<ScanRoot> rootsFromJson(std::string_view text);
// The same array as compact JSON text.
std::string rootsToJson(const std::vector<ScanRoot>& roots);

}  // namespace tallowick
