#pragma once
// Keeps a cache folder under a size: the previews the phone asks for (and
// the ones rendered ahead of it) would otherwise pile up without end.

#include <cstdint>
#include <string>

namespace tallowick {

// Removes the regular files directly inside `dir`, least recently modified
// first, until the sizes of those left add up to at most `maxBytes`.
// Subfolders, links and files that vanish meanwhile are left alone; a folder
// that cannot be read is left as it is. Returns how many files went.
// Several calls may run at once on the same folder.
int boundFolderSize(const std::string& dir, std::uintmax_t maxBytes);

}  // namespace tallowick
