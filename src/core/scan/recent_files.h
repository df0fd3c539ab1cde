#pragma once

// "Last opened" dates from the desktop's list of recently used files
// ($XDG_DATA_HOME/recently-used.xbel), the Linux stand-in for a metadata
// index. The list knows nothing of screen captures; that flag comes from
// file names alone.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "shared/json_codec.h"

namespace tallowick {

// What the desktop knows about one file.
struct SpotlightFacts {
  std::optional<Date> lastUsed;
  bool screenshot = false;
  friend bool operator==(const SpotlightFacts&, const SpotlightFacts&) = default;
};

// recently-used.xbel in the XDG data folder; no value when there is no home.
std::optional<std::string> recentFilesListPath();

// Facts keyed by absolute path for every local file in the list at
// `listPath` that lies inside one of `roots` (or is one) and has a visited
// date. An absent, unreadable or malformed list gives no facts.
std::map<std::string, SpotlightFacts> recentFileFacts(const std::vector<std::string>& roots,
                                                      const std::string& listPath);

}  // namespace tallowick
