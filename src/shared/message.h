#pragma once

// Every message that passes between the phone and the agent. In JSON a
// message is an object with exactly one member named after its case, whose
// value is an object of the case's fields ({"decision":{"id":...,"action":
// "trash"}}), {"_0": value} for a case with one unlabelled value, or {} for a
// case without fields. No field is optional.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "shared/cards.h"
#include "shared/json_codec.h"
#include "shared/uuid.h"

namespace tallowick {

struct Message {
  // Phone first, then the agent's answer (empty deviceID and proof).
  struct Hello {
    std::string name;
    std::string deviceID;
    Bytes proof;
    friend bool operator==(const Hello&, const Hello&) = default;
  };
  struct Summary {
    friend bool operator==(const Summary&, const Summary&) = default;
  };
  struct SummaryResult {
    std::string macName;
    Date scannedAt;
    std::int64_t reclaimable = 0;
    std::vector<Deck> decks;
    int pendingCount = 0;
    std::int64_t pendingBytes = 0;
    std::vector<std::string> roots;
    friend bool operator==(const SummaryResult&, const SummaryResult&) = default;
  };
  struct DeckNext {
    DeckID deck = DeckID::smart;
    int after = 0;
    int n = 0;
    friend bool operator==(const DeckNext&, const DeckNext&) = default;
  };
  struct QueueBatch {
    std::vector<Card> cards;  // "_0"
    friend bool operator==(const QueueBatch&, const QueueBatch&) = default;
  };
  struct Preview {
    Uuid id;
    int maxPixel = 0;
    friend bool operator==(const Preview&, const Preview&) = default;
  };
  struct CancelPreview {
    Uuid id;
    friend bool operator==(const CancelPreview&, const CancelPreview&) = default;
  };
  struct PreviewData {
    Uuid id;
    Bytes data;
    friend bool operator==(const PreviewData&, const PreviewData&) = default;
  };
  struct SetKeeper {
    Uuid groupID;
    Uuid itemID;
    friend bool operator==(const SetKeeper&, const SetKeeper&) = default;
  };
  struct CardUpdated {
    Card card;  // "_0"
    friend bool operator==(const CardUpdated&, const CardUpdated&) = default;
  };
  struct Staged {
    friend bool operator==(const Staged&, const Staged&) = default;
  };
  struct StagedBatch {
    std::vector<Card> cards;  // "_0"
    friend bool operator==(const StagedBatch&, const StagedBatch&) = default;
  };
  struct Decision {
    Uuid id;
    Action action = Action::skip;
    friend bool operator==(const Decision&, const Decision&) = default;
  };
  struct Undo {
    Uuid id;
    friend bool operator==(const Undo&, const Undo&) = default;
  };
  struct Commit {
    friend bool operator==(const Commit&, const Commit&) = default;
  };
  struct CommitResult {
    int trashed = 0;
    std::int64_t freed = 0;
    std::vector<CommitFailure> failed;
    friend bool operator==(const CommitResult&, const CommitResult&) = default;
  };
  struct Rescan {
    friend bool operator==(const Rescan&, const Rescan&) = default;
  };
  struct ScanProgress {
    int done = 0;
    int total = 0;
    friend bool operator==(const ScanProgress&, const ScanProgress&) = default;
  };
  struct EmptyTrash {
    bool confirm = false;
    friend bool operator==(const EmptyTrash&, const EmptyTrash&) = default;
  };
  struct Ok {
    friend bool operator==(const Ok&, const Ok&) = default;
  };
  struct Refused {
    std::string reason;
    friend bool operator==(const Refused&, const Refused&) = default;
  };

  // The cases in declaration order; kCaseNames gives their JSON names in the
  // same order.
  using Value =
      std::variant<Hello, Summary, SummaryResult, DeckNext, QueueBatch, Preview, CancelPreview,
                   PreviewData, SetKeeper, CardUpdated, Staged, StagedBatch, Decision, Undo, Commit,
                   CommitResult, Rescan, ScanProgress, EmptyTrash, Ok, Refused>;
  static constexpr std::array<std::string_view, 21> kCaseNames{
      "hello",         "summary",     "summaryResult", "deckNext",     "queueBatch", "preview",
      "cancelPreview", "previewData", "setKeeper",     "cardUpdated",  "staged",     "stagedBatch",
      "decision",      "undo",        "commit",        "commitResult", "rescan",     "scanProgress",
      "emptyTrash",    "ok",          "refused"};
  static_assert(std::variant_size_v<Value> == kCaseNames.size());

  Value value;

  Message() = default;
  // Any case converts to a message: `Message m = Message::Decision{id, Action::trash};`
  template <class T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, Message> && std::is_constructible_v<Value, T>)
      Message(T&& c)
      : value(std::forward<T>(c)) {}

  // The case held, or nullptr.
  template <class T>
  const T* get() const {
    return std::get_if<T>(&value);
  }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }
  // "hello", "decision", ...
  std::string_view caseName() const { return kCaseNames[value.index()]; }

  Json toJson() const;
  // Throws DecodeError: "Invalid number of keys found, expected one." unless
  // exactly one case name is a member (other members are not counted); or
  // the description of a missing or mistyped field.
  static Message fromJson(const Json& json);

  friend bool operator==(const Message&, const Message&) = default;
};

}  // namespace tallowick
