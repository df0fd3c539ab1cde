#pragma once

// Whether a file lies inside the folders the user chose. Nothing outside them
// is ever moved.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/paths.h"

namespace tallowick::Containment {

// The form in which files and roots are compared (see shared/paths.h).
using ::tallowick::canonicalPath;

// True when the canonical form of `path` begins with the canonical form of
// one of `roots` followed by "/". Links are resolved on both sides, so a file
// reached through a link that leads out of every root is outside, and a root
// named through a link still holds the files under its target. A root itself
// is not inside itself. Roots may be given as paths or as file URLs.
bool isInside(std::string_view path, const std::vector<std::string>& roots);

// A root as a path: file URLs are converted; no value for a URL that is
// not an absolute file URL.
std::optional<std::string> rootPath(const std::string& root);

// The two halves of isInside, for checking many files against the same
// roots: the canonical form of each root that has one, ending in "/"; and
// whether a canonical path lies below one of them.
std::vector<std::string> rootPrefixes(const std::vector<std::string>& roots);
bool isBelow(std::string_view canonicalFile, const std::vector<std::string>& prefixes);

}  // namespace tallowick::Containment
