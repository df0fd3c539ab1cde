#pragma once
// The cards a phone sees, built from a scan report: one group card per group
// with at least two known members, one file card per loose item, sorted by
// score (highest first, ties in report order) and filed into decks.

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "shared/cards.h"
#include "shared/report.h"
#include "shared/uuid.h"

namespace tallowick {

struct CardSet {
  std::vector<Card> cards;
  // Each deck as positions in `cards`, in card order: a card is stored once
  // whatever decks it is in, so a change to it shows in all of them. The
  // smart deck holds every card.
  std::map<DeckID, std::vector<std::size_t>> decks;
  std::unordered_map<Uuid, Item> itemsByID;
  // Position of each card in `cards`.
  std::unordered_map<Uuid, std::size_t> positionByID;

  // No report: everything empty.
  static CardSet build(const std::optional<Report>& report);

  // The items a decision on `card` applies to: a file card's own item; a
  // group's members other than the keeper, in member order. Unknown ids are
  // skipped.
  std::vector<Item> itemsFor(const Card& card) const;
  // The card with `id`.
  const Card* find(const Uuid& id) const;
  // The positions of the deck's cards; none for a deck without cards.
  const std::vector<std::size_t>& deck(DeckID id) const;
  // What a preview of `id` shows: the item with that id, else the preview
  // file of the card with that id (a group's keeper, else its first member).
  // Null when neither is known.
  const Item* previewItem(const Uuid& id) const;
};

// The category deck of a card, if any (every card is in the smart deck too).
std::optional<DeckID> deckFor(const Card& card);
// The deck's display name ("Smart deck", "Screenshots", ...).
std::string deckName(DeckID id);
// A file card for `item`: `folder` is at most the last two folders of its
// path, parent last.
FileCard fileCard(const Item& item);

}  // namespace tallowick
