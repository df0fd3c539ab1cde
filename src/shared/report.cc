#include "shared/report.h"

#include <cmath>

#include "shared/file_util.h"
#include "shared/report_writer.h"

namespace tallowick {

using codec::encode;
using codec::field;
using codec::optionalField;
using codec::setOptional;

std::string Item::url() const { return pathToFileURL(path); }

std::int64_t Item::pixels() const {
  return static_cast<std::int64_t>(width.value_or(0)) *
         static_cast<std::int64_t>(height.value_or(0));
}

double Item::ageDays(Date now) const {
  Date reference = lastOpenedAt ? *lastOpenedAt
                   : modifiedAt ? *modifiedAt
                   : createdAt  ? *createdAt
                                : now;
  // File dates can lie centuries away (a broken clock, a crafted archive);
  // their distance must not overflow the clock's integer count.
  Date::rep diff = 0;
  double seconds = 0;
  if (__builtin_sub_overflow(now.time_since_epoch().count(), reference.time_since_epoch().count(),
                             &diff)) {
    seconds = (static_cast<double>(now.time_since_epoch().count()) -
               static_cast<double>(reference.time_since_epoch().count())) *
              std::chrono::duration<double>(Date::duration(1)).count();
  } else {
    seconds = std::chrono::duration<double>(Date::duration(diff)).count();
  }
  double days = seconds / 86400.0;
  if (std::isnan(days) || days < 0) return 0;
  return days;
}

Json Item::toJson() const {
  Json j = Json::object();
  j["id"] = encode(id);
  j["path"] = path;
  j["kind"] = encode(kind);
  j["bytes"] = bytes;
  setOptional(j, "createdAt", createdAt);
  setOptional(j, "modifiedAt", modifiedAt);
  setOptional(j, "lastOpenedAt", lastOpenedAt);
  j["isScreenCapture"] = isScreenCapture;
  j["isCloud"] = isCloud;
  setOptional(j, "sha256", std::optional<std::string>(sha256));
  setOptional(j, "phash", phash);
  setOptional(j, "width", width);
  setOptional(j, "height", height);
  setOptional(j, "groupID", groupID);
  setOptional(j, "thumbPath", std::optional<std::string>(thumbPath));
  j["reasons"] = encode(reasons);
  j["score"] = score;
  return j;
}

Item Item::fromJson(const Json& j) {
  Item item;
  item.id = field<Uuid>(j, "id");
  item.path = field<std::string>(j, "path");
  item.kind = field<Kind>(j, "kind");
  item.bytes = field<std::int64_t>(j, "bytes");
  item.createdAt = optionalField<Date>(j, "createdAt");
  item.modifiedAt = optionalField<Date>(j, "modifiedAt");
  item.lastOpenedAt = optionalField<Date>(j, "lastOpenedAt");
  item.isScreenCapture = field<bool>(j, "isScreenCapture");
  item.isCloud = field<bool>(j, "isCloud");
  auto digest = optionalField<std::string>(j, "sha256");
  if (digest && !OptionalDigest::isText(*digest)) {
    throw DecodeError("sha256 is not 64 lower-case hexadecimal digits.");
  }
  item.sha256 = digest;
  item.phash = optionalField<std::uint64_t>(j, "phash");
  item.width = optionalField<int>(j, "width");
  item.height = optionalField<int>(j, "height");
  item.groupID = optionalField<Uuid>(j, "groupID");
  item.thumbPath = optionalField<std::string>(j, "thumbPath");
  item.reasons = field<std::vector<Reason>>(j, "reasons");
  item.score = field<double>(j, "score");
  return item;
}

Json Group::toJson() const {
  Json j = Json::object();
  j["id"] = encode(id);
  j["type"] = encode(type);
  j["keeperID"] = encode(keeperID);
  j["memberIDs"] = encode(memberIDs);
  j["reclaimable"] = reclaimable;
  return j;
}

Group Group::fromJson(const Json& j) {
  Group g;
  g.id = field<Uuid>(j, "id");
  g.type = field<GroupType>(j, "type");
  g.keeperID = field<Uuid>(j, "keeperID");
  g.memberIDs = field<std::vector<Uuid>>(j, "memberIDs");
  g.reclaimable = field<std::int64_t>(j, "reclaimable");
  return g;
}

std::vector<Item> Report::allItems() const {
  std::vector<Item> all = items;
  all.insert(all.end(), keepers.begin(), keepers.end());
  return all;
}

Json Report::toJson() const {
  Json j = Json::object();
  j["scannedAt"] = encode(scannedAt);
  j["roots"] = encode(roots);
  j["items"] = encode(items);
  j["keepers"] = encode(keepers);
  j["groups"] = encode(groups);
  j["filesSeen"] = filesSeen;
  j["bytesSeen"] = bytesSeen;
  j["reclaimable"] = reclaimable;
  return j;
}

Report Report::fromJson(const Json& j) {
  Report r;
  r.scannedAt = field<Date>(j, "scannedAt");
  r.roots = field<std::vector<std::string>>(j, "roots");
  r.items = field<std::vector<Item>>(j, "items");
  r.keepers = field<std::vector<Item>>(j, "keepers");
  r.groups = field<std::vector<Group>>(j, "groups");
  r.filesSeen = field<std::int64_t>(j, "filesSeen");
  r.bytesSeen = field<std::int64_t>(j, "bytesSeen");
  r.reclaimable = field<std::int64_t>(j, "reclaimable");
  return r;
}

std::string Report::storedJSON() const {
  OutputBuffer out;
  writeReportJSON(*this, out);
  return out.take();
}

Report Report::fromStoredJSON(std::string_view text) { return fromJson(codec::parse(text)); }

}  // namespace tallowick
