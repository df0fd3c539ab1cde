#include "core/scan/scan_root.h"

#include "shared/file_util.h"

namespace tallowick {

ScanRoot ScanRoot::fromPath(const std::string& path) {
  ScanRoot root;
  root.url = pathToFileURL(path);
  return root;
}

std::string ScanRoot::path() const { return fileURLToPath(url).value_or(std::string()); }

Json ScanRoot::toJson() const {
  Json json = Json::object();
  json["url"] = url;
  json["duplicates"] = duplicates;
  json["screenshots"] = screenshots;
  json["stale"] = stale;
  return json;
}

ScanRoot ScanRoot::fromJson(const Json& json) {
  ScanRoot root;
  root.url = codec::field<std::string>(json, "url");
  root.duplicates = codec::field<bool>(json, "duplicates");
  root.screenshots = codec::field<bool>(json, "screenshots");
  root.stale = codec::field<bool>(json, "stale");
  return root;
}

}  // namespace tallowick
