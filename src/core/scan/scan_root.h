#pragma once

// A folder the user chose to have scanned, as the scan, the stored folder
// list, the server's status and the command line all pass it around.

#include <string>

#include "shared/json_codec.h"

namespace tallowick {

// One chosen folder with its switches. Its identity is its path.
struct ScanRoot {
  // Absolute file URL of the folder ("file:///home/ann/Pictures").
  std::string url;
  bool duplicates = true;
  bool screenshots = true;
  bool stale = true;

  // A folder with every switch on.
  static ScanRoot fromPath(const std::string& path);
  // The folder's path (the URL decoded); empty when `url` is not a file URL.
  std::string path() const;
  std::string id() const { return path(); }

  // Keys "url", "duplicates", "screenshots", "stale", all required.
  Json toJson() const;
  // Throws DecodeError.
  static ScanRoot fromJson(const Json& json);
  friend bool operator==(const ScanRoot&, const ScanRoot&) = default;
};

}  // namespace tallowick
