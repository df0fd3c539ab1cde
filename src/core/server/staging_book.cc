#include "core/server/staging_book.h"

#include <algorithm>

namespace tallowick {

StagingBook::StagingBook(CommitEngine& engine) : engine_(engine) {}

int StagingBook::load(std::optional<Report> report) {
  report_ = std::move(report);
  cards_ = CardSet::build(report_);
  decisions_.clear();

  std::unordered_map<std::string, Action> pending;
  for (const CommitEngine::Entry& entry : engine_.pending()) pending[entry.path] = entry.action;
  int attached = 0;
  for (const Card& card : cards_.cards) {
    std::vector<Item> items = cards_.itemsFor(card);
    if (items.empty()) continue;
    std::optional<Action> action;
    bool agreed = true;
    for (const Item& item : items) {
      auto found = pending.find(item.path);
      if (found == pending.end() || (action && *action != found->second)) {
        agreed = false;
        break;
      }
      action = found->second;
    }
    if (agreed && action) {
      decisions_[card.id()] = *action;
      ++attached;
    }
  }
  recount();
  return attached;
}

bool StagingBook::journal(const Card& card, Action action, const std::string& device,
                          Result& result) {
  EarlierEntries earlier;
  for (const Item& item : cards_.itemsFor(card)) {
    const CommitEngine::Entry* current = engine_.entry(item.path);
    std::optional<CommitEngine::Entry> before;
    if (current) before = *current;
    if (std::error_code error = engine_.record(item, action, device)) {
      result.journalErrors.push_back(error);
      putBack(earlier, result);
      return false;
    }
    earlier.emplace_back(item.path, std::move(before));
  }
  return true;
}

void StagingBook::putBack(const EarlierEntries& earlier, Result& result) {
  for (auto it = earlier.rbegin(); it != earlier.rend(); ++it) {
    const auto& [path, before] = *it;
    std::error_code error;
    if (!before) {
      error = engine_.cancelPending(path);
    } else if (before->state != CommitEngine::State::trashed) {  // record() left those alone
      error = engine_.append(*before);
    }
    if (error) result.journalErrors.push_back(error);
  }
}

void StagingBook::withdraw(const Card& card, Result& result) {
  for (const Item& item : cards_.itemsFor(card)) {
    // On past a failure: every file is withdrawn in memory, and each line
    // that lands is one fewer to bring the decision back at a relaunch.
    if (std::error_code error = engine_.cancelPending(item.path)) {
      result.journalErrors.push_back(error);
    }
  }
}

StagingBook::Result StagingBook::decide(const Uuid& id, Action action, const std::string& device) {
  Result result;
  const Card* card = cards_.find(id);
  if (!card) return result;
  result.known = true;
  std::optional<Action> before;
  if (auto found = decisions_.find(id); found != decisions_.end()) before = found->second;
  // A decision the journal does not hold would be forgotten at the next
  // start, and a commit could not be undone after it: not staged.
  if (!journal(*card, action, device, result)) return result;
  decisions_[id] = action;
  restage(*card, before, action);
  return result;
}

StagingBook::Result StagingBook::undo(const Uuid& id) {
  Result result;
  const Card* card = cards_.find(id);
  auto found = decisions_.find(id);
  if (!card || found == decisions_.end()) return result;
  result.known = true;
  Action before = found->second;
  decisions_.erase(found);
  withdraw(*card, result);
  restage(*card, before, std::nullopt);
  return result;
}

StagingBook::Result StagingBook::changeKeeper(const Uuid& groupID, const Uuid& itemID,
                                              const std::string& device) {
  Result result;
  auto position = cards_.positionByID.find(groupID);
  if (position == cards_.positionByID.end()) return result;
  Card& card = cards_.cards[position->second];
  GroupCard* group = std::get_if<GroupCard>(&card.value);
  if (!group || std::none_of(group->members.begin(), group->members.end(),
                             [&](const FileCard& member) { return member.id == itemID; })) {
    return result;
  }
  result.known = true;

  auto decided = decisions_.find(groupID);
  bool rejournal = group->keeperID != itemID && decided != decisions_.end();
  if (rejournal) withdraw(card, result);
  group->keeperID = itemID;
  group->reclaimable = 0;
  for (const FileCard& member : group->members) {
    if (member.id != itemID) group->reclaimable += member.bytes;
  }
  if (rejournal && !journal(card, decided->second, device, result)) decisions_.erase(decided);

  if (report_) {
    for (Group& stored : report_->groups) {
      if (stored.id != groupID) continue;
      // The total follows the group, so a relaunch shows what the phone saw.
      report_->reclaimable += group->reclaimable - stored.reclaimable;
      stored.keeperID = itemID;
      stored.reclaimable = group->reclaimable;
    }
  }
  recount();
  return result;
}

bool StagingBook::trashes(const Uuid& id) const {
  auto found = decisions_.find(id);
  return found != decisions_.end() && found->second == Action::trash;
}

std::vector<Card> StagingBook::stagedCards() const {
  std::vector<Card> staged;
  for (const Card& card : cards_.cards) {
    if (trashes(card.id())) staged.push_back(card);
  }
  return staged;
}

StagingBook::Staged StagingBook::staged() const {
  Staged staged;
  for (const Card& card : cards_.cards) {
    if (!trashes(card.id())) continue;
    staged.cards.push_back(card.id());
    for (Item& item : cards_.itemsFor(card)) staged.items.push_back(std::move(item));
  }
  return staged;
}

std::vector<CommitFailure> StagingBook::committed(const Staged& staged,
                                                  const CommitEngine::Outcome& outcome) {
  std::unordered_map<Uuid, std::string> reasons;
  for (const CommitFailure& failure : outcome.failed) reasons.emplace(failure.id, failure.reason);
  std::vector<CommitFailure> failures;
  for (const Uuid& id : staged.cards) {
    decisions_.erase(id);
    const Card* card = cards_.find(id);
    if (!card) continue;
    for (const Item& item : cards_.itemsFor(*card)) {
      auto reason = reasons.find(item.id);
      if (reason == reasons.end()) continue;
      failures.push_back({id, reason->second.empty() ? "failed" : reason->second});
      break;
    }
  }
  recount();
  return failures;
}

Message::SummaryResult StagingBook::summary() const {
  Message::SummaryResult result;
  result.scannedAt = report_ ? report_->scannedAt : kDistantPast;
  result.reclaimable = counts_.reclaimable;
  // In the order of DeckID, which decks of equal bytes keep.
  for (const auto& [id, positions] : cards_.decks) {
    if (positions.empty()) continue;
    Deck record;
    record.id = id;
    record.name = deckName(id);
    record.count = static_cast<int>(positions.size());
    for (std::size_t position : positions) {
      const Card& card = cards_.cards[position];
      record.bytes += card.bytes();
      if (decisions_.contains(card.id())) ++record.reviewed;
    }
    result.decks.push_back(std::move(record));
  }
  std::stable_sort(result.decks.begin(), result.decks.end(),
                   [](const Deck& a, const Deck& b) { return a.bytes > b.bytes; });
  result.pendingCount = counts_.pendingCount;
  result.pendingBytes = counts_.pendingBytes;
  return result;
}

void StagingBook::restage(const Card& card, std::optional<Action> before,
                          std::optional<Action> after) {
  int change = (after == Action::trash) - (before == Action::trash);
  counts_.pendingCount += change * card.fileCount();
  counts_.pendingBytes += change * card.bytes();
}

void StagingBook::recount() {
  counts_ = Counts{};
  for (const Card& card : cards_.cards) {
    counts_.reclaimable += card.bytes();
    if (card.group()) ++counts_.groups;
    if (trashes(card.id())) {
      counts_.pendingCount += card.fileCount();
      counts_.pendingBytes += card.bytes();
    }
  }
  counts_.cards = static_cast<int>(cards_.cards.size());
  counts_.files = counts_.cards - counts_.groups;
}

}  // namespace tallowick
