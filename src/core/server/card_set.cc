#include "core/server/card_set.h"

#include <algorithm>
#include <array>
#include <unordered_set>

namespace tallowick {

namespace {

bool hasReason(const FileCard& card, Reason reason) {
  return std::find(card.reasons.begin(), card.reasons.end(), reason) != card.reasons.end();
}

}  // namespace

FileCard fileCard(const Item& item) {
  FileCard card;
  card.id = item.id;
  card.path = item.path;
  card.kind = item.kind;
  card.bytes = item.bytes;
  card.reasons = item.reasons;
  card.score = item.score;
  card.createdAt = item.createdAt;
  card.lastOpenedAt = item.lastOpenedAt;
  card.width = item.width;
  card.height = item.height;
  card.isCloud = item.isCloud;

  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= item.path.size()) {
    std::size_t slash = item.path.find('/', start);
    if (slash == std::string::npos) slash = item.path.size();
    if (slash > start) parts.push_back(item.path.substr(start, slash - start));
    start = slash + 1;
  }
  if (!parts.empty()) {
    card.name = parts.back();
    parts.pop_back();
  }
  // A file directly under "/" has no folder component; "/" stands for it.
  if (parts.empty() && !item.path.empty() && item.path.front() == '/') parts.push_back("/");
  std::size_t first = parts.size() > 2 ? parts.size() - 2 : 0;
  for (std::size_t i = first; i < parts.size(); ++i) {
    if (!card.folder.empty()) card.folder += "/";
    card.folder += parts[i];
  }
  return card;
}

std::optional<DeckID> deckFor(const Card& card) {
  if (const GroupCard* group = card.group()) {
    return group->type == GroupType::exact ? DeckID::duplicates : DeckID::similar;
  }
  const FileCard& file = *card.file();
  if (hasReason(file, Reason::screenshot)) return DeckID::screenshots;
  if (hasReason(file, Reason::staleInstaller)) return DeckID::installers;
  if (hasReason(file, Reason::staleLargeDownload)) return DeckID::largeDownloads;
  return std::nullopt;
}

std::string deckName(DeckID id) {
  switch (id) {
    case DeckID::smart:
      return "Smart deck";
    case DeckID::screenshots:
      return "Screenshots";
    case DeckID::duplicates:
      return "Duplicates";
    case DeckID::similar:
      return "Similar photos";
    case DeckID::largeDownloads:
      return "Large downloads";
    case DeckID::installers:
      return "Old installers";
  }
  return {};
}

CardSet CardSet::build(const std::optional<Report>& report) {
  CardSet set;
  if (!report) return set;
  // The first occurrence of an id wins.
  for (const Item& item : report->items) set.itemsByID.emplace(item.id, item);
  for (const Item& item : report->keepers) set.itemsByID.emplace(item.id, item);

  std::unordered_set<Uuid> used;
  std::vector<Card> list;
  for (const Group& group : report->groups) {
    std::vector<FileCard> members;
    for (const Uuid& id : group.memberIDs) {
      auto found = set.itemsByID.find(id);
      if (found != set.itemsByID.end()) members.push_back(fileCard(found->second));
    }
    if (members.size() < 2) continue;
    used.insert(group.memberIDs.begin(), group.memberIDs.end());
    GroupCard card;
    card.id = group.id;
    card.type = group.type;
    card.keeperID = group.keeperID;
    card.reclaimable = group.reclaimable;
    card.score = members.front().score;
    for (const FileCard& member : members) card.score = std::max(card.score, member.score);
    card.members = std::move(members);
    list.emplace_back(std::move(card));
  }
  for (const Item& item : report->items) {
    if (!used.contains(item.id)) list.emplace_back(fileCard(item));
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Card& a, const Card& b) { return a.score() > b.score(); });
  set.cards = std::move(list);
  for (std::size_t i = 0; i < set.cards.size(); ++i) {
    set.positionByID.emplace(set.cards[i].id(), i);
    set.decks[DeckID::smart].push_back(i);
    if (auto deck = deckFor(set.cards[i])) set.decks[*deck].push_back(i);
  }
  return set;
}

std::vector<Item> CardSet::itemsFor(const Card& card) const {
  std::vector<Item> items;
  if (const FileCard* file = card.file()) {
    auto found = itemsByID.find(file->id);
    if (found != itemsByID.end()) items.push_back(found->second);
    return items;
  }
  const GroupCard& group = *card.group();
  for (const FileCard& member : group.members) {
    if (member.id == group.keeperID) continue;
    auto found = itemsByID.find(member.id);
    if (found != itemsByID.end()) items.push_back(found->second);
  }
  return items;
}

const Card* CardSet::find(const Uuid& id) const {
  auto position = positionByID.find(id);
  return position == positionByID.end() ? nullptr : &cards[position->second];
}

const std::vector<std::size_t>& CardSet::deck(DeckID id) const {
  static const std::vector<std::size_t> kNone;
  auto found = decks.find(id);
  return found == decks.end() ? kNone : found->second;
}

const Item* CardSet::previewItem(const Uuid& id) const {
  auto found = itemsByID.find(id);
  if (found == itemsByID.end()) {
    const Card* card = find(id);
    std::optional<FileCard> file = card ? card->previewFile() : std::nullopt;
    if (!file) return nullptr;
    found = itemsByID.find(file->id);
  }
  return found == itemsByID.end() ? nullptr : &found->second;
}

}  // namespace tallowick
