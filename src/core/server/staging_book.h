#pragma once
// What the phones staged on the cards of the last report: the report, its
// cards, the decision on each card and the counts that the status and the
// summary show, kept in step with the commit engine's journal. A decision
// is journalled before it counts: the journal is what a relaunch or a
// rescan attaches decisions from.
//
// Threading: no sockets, no threads, no locks of its own. It belongs to the
// server queue, as the engine it journals to does.
// REQUIRES: every call on the sequence that uses `engine`.

#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/commit/commit_engine.h"
#include "core/server/card_set.h"
#include "core/server/server_status.h"
#include "shared/message.h"
#include "shared/report.h"

namespace tallowick {

class StagingBook {
 public:
  using Counts = ServerCardCounts;

  // What a request did.
  struct Result {
    // False when no card (for a keeper change: no group with that member)
    // has the id asked for, or (undo) the card has no decision: nothing
    // changed.
    bool known = false;
    // The journal's write errors on the way, in order; each is worth a line
    // in the log.
    std::vector<std::error_code> journalErrors;
  };

  // The staged cards and the files a commit of them moves.
  struct Staged {
    std::vector<Uuid> cards;  // in card order
    std::vector<Item> items;  // the cards' files, in the same order
  };

  // No report, no cards. `engine` outlives the book.
  explicit StagingBook(CommitEngine& engine);
  StagingBook(const StagingBook&) = delete;
  StagingBook& operator=(const StagingBook&) = delete;

  // Takes `report` (or none) and builds its cards; the decisions on the
  // earlier cards go, and every card whose files all have a pending entry
  // of one action in the journal gets that decision. Returns how many did.
  int load(std::optional<Report> report);

  const std::optional<Report>& report() const { return report_; }
  const CardSet& cards() const { return cards_; }
  const std::unordered_map<Uuid, Action>& decisions() const { return decisions_; }
  const Counts& counts() const { return counts_; }

  // Journals `action` for the files of card `id` (files already in the
  // Trash are left as they are), then stages it. Stops at the first file
  // the journal cannot take; the card and every one of its files then keep
  // their earlier decision.
  Result decide(const Uuid& id, Action action, const std::string& device);
  // Withdraws the decision on card `id` and its pending journal entries.
  // The decision goes even when the journal cannot be written.
  Result undo(const Uuid& id);
  // Makes `itemID` the keeper of group `groupID`, in its card and the
  // report, and re-journals a decision on the group for its new set of
  // files; a decision the journal cannot take goes.
  Result changeKeeper(const Uuid& groupID, const Uuid& itemID, const std::string& device);

  // The cards staged for the Trash, in card order.
  std::vector<Card> stagedCards() const;
  Staged staged() const;
  // Applies the commit of `staged`: its decisions go (the journal holds
  // what became of each file). Returns one failure per card with a refused
  // file, with the first such file's reason ("failed" when it has none).
  std::vector<CommitFailure> committed(const Staged& staged, const CommitEngine::Outcome& outcome);

  // Every deck with cards, the biggest first, with the report's date, the
  // bytes and the staged counts; the server fills in its name and roots.
  Message::SummaryResult summary() const;

 private:
  // Each file's journal entry from before a decision (none for a file
  // that had none), by path.
  using EarlierEntries = std::vector<std::pair<std::string, std::optional<CommitEngine::Entry>>>;

  // Journals `action` for all of the card's files or for none: at the
  // first file the journal cannot take, the files before it get their
  // earlier entries back (one that had none, an undone one). The engine's
  // entries in memory, which a commit goes by, are then the earlier ones;
  // the journal holds no part of the decision either, unless it cannot
  // take the lines that put them back. False after a failure.
  bool journal(const Card& card, Action action, const std::string& device, Result& result);
  // Gives the files of `earlier`, last first, their entries from before.
  void putBack(const EarlierEntries& earlier, Result& result);
  // Withdraws the pending journal entries of the card's files.
  void withdraw(const Card& card, Result& result);
  // Moves the staged counts by the card's share when its decision changes
  // from `before` to `after`: the same as recount() for one card, without
  // walking every card.
  void restage(const Card& card, std::optional<Action> before, std::optional<Action> after);
  void recount();
  // True when card `id` is staged for the Trash.
  bool trashes(const Uuid& id) const;

  CommitEngine& engine_;
  std::optional<Report> report_;
  CardSet cards_;
  std::unordered_map<Uuid, Action> decisions_;
  Counts counts_;
};

}  // namespace tallowick
