#pragma once

// What the phone sees and decides on: cards, decks, decisions and commit
// failures. Shared with the phone; the JSON form is a contract.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "shared/json_codec.h"
#include "shared/report.h"
#include "shared/uuid.h"

namespace tallowick {

// The decision on a card.
enum class Action { keep, trash, skip };
template <>
struct EnumNames<Action> {
  static constexpr std::array<std::string_view, 3> names{"keep", "trash", "skip"};
};

// One item a commit could not move to the Trash, with the short English
// reason the commit engine gave.
struct CommitFailure {
  Uuid id;
  std::string reason;

  Json toJson() const;
  static CommitFailure fromJson(const Json& json);
  friend bool operator==(const CommitFailure&, const CommitFailure&) = default;
};

// The decks the phone browses. allCases<DeckID>() lists them in this order.
enum class DeckID { smart, screenshots, duplicates, similar, largeDownloads, installers };
template <>
struct EnumNames<DeckID> {
  static constexpr std::array<std::string_view, 6> names{"smart",   "screenshots",    "duplicates",
                                                         "similar", "largeDownloads", "installers"};
};

// One file offered for clean-up.
struct FileCard {
  Uuid id;
  std::string name;
  std::string path;
  std::string folder;
  Kind kind = Kind::other;
  std::int64_t bytes = 0;
  std::vector<Reason> reasons;
  double score = 0;
  std::optional<Date> createdAt;
  std::optional<Date> lastOpenedAt;
  std::optional<int> width;
  std::optional<int> height;
  bool isCloud = false;
  std::optional<Bytes> thumb;

  Json toJson() const;
  // Throws DecodeError.
  static FileCard fromJson(const Json& json);
  friend bool operator==(const FileCard&, const FileCard&) = default;
};

// Exact duplicates or similar photos, decided as one card.
struct GroupCard {
  Uuid id;
  GroupType type = GroupType::exact;
  std::vector<FileCard> members;
  Uuid keeperID;
  std::int64_t reclaimable = 0;
  double score = 0;

  // The files a trash decision would remove: every member but the keeper.
  int fileCount() const;
  // The first member whose id is keeperID.
  std::optional<FileCard> keeper() const;

  Json toJson() const;
  // Throws DecodeError.
  static GroupCard fromJson(const Json& json);
  friend bool operator==(const GroupCard&, const GroupCard&) = default;
};

// A card is a file card or a group card. In JSON it is {"file":{"_0":{...}}}
// or {"group":{"_0":{...}}}.
struct Card {
  std::variant<FileCard, GroupCard> value;

  Card() = default;
  Card(FileCard file) : value(std::move(file)) {}
  Card(GroupCard group) : value(std::move(group)) {}

  const FileCard* file() const { return std::get_if<FileCard>(&value); }
  const GroupCard* group() const { return std::get_if<GroupCard>(&value); }

  Uuid id() const;
  // 1 for a file card; a group's fileCount().
  int fileCount() const;
  // A file's size; a group's reclaimable bytes.
  std::int64_t bytes() const;
  double score() const;
  // A file's name; a group's keeper's name, else "<member count> copies".
  std::string title() const;
  // A file card itself; a group's keeper, else its first member, else none.
  std::optional<FileCard> previewFile() const;

  Json toJson() const;
  // Throws DecodeError, with "Invalid number of keys found, expected one."
  // unless exactly one of "file" and "group" is present.
  static Card fromJson(const Json& json);
  friend bool operator==(const Card&, const Card&) = default;
};

// The summary of one deck.
struct Deck {
  DeckID id = DeckID::smart;
  std::string name;
  int count = 0;
  std::int64_t bytes = 0;
  int reviewed = 0;

  Json toJson() const;
  // Throws DecodeError.
  static Deck fromJson(const Json& json);
  friend bool operator==(const Deck&, const Deck&) = default;
};

namespace codec {
// The text of an enumeration-shaped object ({"case":{...}}) that does not
// hold exactly one known case name.
inline constexpr const char* kInvalidCaseCount = "Invalid number of keys found, expected one.";

// Index into `names` of the one member of `object` whose name is listed
// there, ignoring members with other names. Throws DecodeError when `object`
// is not an object or does not hold exactly one such member.
template <std::size_t N>
std::size_t caseIndex(const Json& object, const std::array<std::string_view, N>& names) {
  if (!object.is_object()) typeMismatch("object", object);
  std::size_t found = N;
  int count = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (object.contains(names[i])) {
      found = i;
      ++count;
    }
  }
  if (count != 1) throw DecodeError(kInvalidCaseCount);
  return found;
}
}  // namespace codec

}  // namespace tallowick
