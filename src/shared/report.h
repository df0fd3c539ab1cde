#pragma once

// The result of one scan: candidate files, duplicate and similar-photo
// groups, and the totals. Shared with the phone; the JSON form is a contract.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/digest.h"
#include "shared/json_codec.h"
#include "shared/optional_text.h"
#include "shared/uuid.h"

namespace tallowick {

enum class Kind { image, video, archive, installer, document, other };
enum class Reason {
  exactDuplicate,
  similarPhoto,
  screenshot,
  staleInstaller,
  staleLargeDownload,
  staleLargeVideo
};
enum class GroupType { exact, similar };

template <>
struct EnumNames<Kind> {
  static constexpr std::array<std::string_view, 6> names{"image",     "video",    "archive",
                                                         "installer", "document", "other"};
};
template <>
struct EnumNames<Reason> {
  static constexpr std::array<std::string_view, 6> names{"exactDuplicate",     "similarPhoto",
                                                         "screenshot",         "staleInstaller",
                                                         "staleLargeDownload", "staleLargeVideo"};
};
template <>
struct EnumNames<GroupType> {
  static constexpr std::array<std::string_view, 2> names{"exact", "similar"};
};

struct Item {
  Uuid id = Uuid::random();
  std::string path;
  Kind kind = Kind::other;
  std::int64_t bytes = 0;
  std::optional<Date> createdAt;
  std::optional<Date> modifiedAt;
  std::optional<Date> lastOpenedAt;
  bool isScreenCapture = false;
  bool isCloud = false;
  OptionalDigest sha256;
  std::optional<std::uint64_t> phash;
  std::optional<int> width;
  std::optional<int> height;
  std::optional<Uuid> groupID;
  OptionalText thumbPath;
  std::vector<Reason> reasons;
  double score = 0;

  // The file URL of `path`.
  std::string url() const;
  // width x height, 0 when either is absent.
  std::int64_t pixels() const;
  // Days since last opened, else modified, else created; 0 when none of them
  // exists or the reference lies in the future.
  double ageDays(Date now) const;

  Json toJson() const;
  static Item fromJson(const Json& json);
  friend bool operator==(const Item&, const Item&) = default;
};

struct Group {
  Uuid id = Uuid::random();
  GroupType type = GroupType::exact;
  Uuid keeperID;
  std::vector<Uuid> memberIDs;
  std::int64_t reclaimable = 0;

  Json toJson() const;
  static Group fromJson(const Json& json);
  friend bool operator==(const Group&, const Group&) = default;
};

struct Report {
  Date scannedAt = currentDate();
  std::vector<std::string> roots;
  std::vector<Item> items;
  std::vector<Item> keepers;
  std::vector<Group> groups;
  std::int64_t filesSeen = 0;
  std::int64_t bytesSeen = 0;
  std::int64_t reclaimable = 0;

  // items followed by keepers.
  std::vector<Item> allItems() const;

  Json toJson() const;
  static Report fromJson(const Json& json);
  friend bool operator==(const Report&, const Report&) = default;

  // The stored form: pretty-printed, sorted keys, trailing newline.
  std::string storedJSON() const;
  // Throws DecodeError.
  static Report fromStoredJSON(std::string_view text);
};

}  // namespace tallowick
