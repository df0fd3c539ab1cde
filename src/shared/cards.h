#pragma once

// What the phone sees and decides on: cards, decks, decisions and commit
// failures. Shared with the phone; the JSON form is a contract.

#include <array>
#include <string>
#include <string_view>

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

}  // namespace tallowick
