#pragma once
// The folders a command works on: ROOT arguments (each must be an existing
// folder; every switch on) followed by the roots of a JSON roots file.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/scan/root_list.h"
#include "core/scan/scan_root.h"

namespace tallowick::cli {

// The roots of `folders` (in order) and then of the JSON array in
// `rootsJson` (when not empty). No value, after one line on `err` prefixed
// with `command` ("tallowick serve"), when a folder does not exist or the
// file cannot be read or decoded.
std::optional<std::vector<ScanRoot>> resolveRoots(const std::vector<std::string>& folders,
                                                  const std::string& rootsJson,
                                                  const std::string& command, std::ostream& err);

}  // namespace tallowick::cli
