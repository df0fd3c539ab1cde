#include "core/server/card_set.h"

#include <gtest/gtest.h>

namespace tallowick {
namespace {

Item item(const std::string& path, double score, std::vector<Reason> reasons = {},
          std::int64_t bytes = 10) {
  Item i;
  i.path = path;
  i.score = score;
  i.reasons = std::move(reasons);
  i.bytes = bytes;
  return i;
}

TEST(FileCardTest, FolderIsAtMostTheLastTwoFolders) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"/home/ann/Downloads/x/setup.dmg", "setup.dmg", "Downloads/x"},
      {"/home/ann/a.png", "a.png", "home/ann"},
      {"/tmp/a.png", "a.png", "tmp"},
      {"/a.png", "a.png", "/"},
  };
  for (const auto& [path, name, folder] : cases) {
    FileCard card = fileCard(item(path, 0));
    EXPECT_EQ(card.name, name) << path;
    EXPECT_EQ(card.folder, folder) << path;
  }
}

TEST(DeckForTest, FileCardsGoToTheFirstMatchingCategory) {
  const std::vector<std::pair<std::vector<Reason>, std::optional<DeckID>>> cases = {
      {{Reason::screenshot, Reason::staleInstaller}, DeckID::screenshots},
      {{Reason::staleLargeDownload, Reason::staleInstaller}, DeckID::installers},
      {{Reason::staleLargeDownload}, DeckID::largeDownloads},
      {{Reason::staleLargeVideo}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& [reasons, deck] : cases) {
    EXPECT_EQ(deckFor(Card(fileCard(item("/r/f", 0, reasons)))), deck);
  }
}

TEST(CardSetTest, BuildsGroupAndFileCardsInScoreOrder) {
  Report report;
  Item a = item("/r/a", 1), b = item("/r/b", 5), keeper = item("/r/k", 0);
  Item loose1 = item("/r/l1", 3, {Reason::screenshot}), loose2 = item("/r/l2", 3);
  Item lonely = item("/r/lonely", 9);
  report.items = {a, b, loose1, loose2, lonely};
  report.keepers = {keeper};
  Group group;
  group.type = GroupType::similar;
  group.keeperID = keeper.id;
  group.memberIDs = {keeper.id, a.id, b.id};
  group.reclaimable = 20;
  // Only one of its members is known: no group card, the member stays loose.
  Group broken;
  broken.memberIDs = {lonely.id, Uuid::random()};
  report.groups = {group, broken};

  CardSet set = CardSet::build(report);
  ASSERT_EQ(set.cards.size(), 4u);
  EXPECT_EQ(set.cards[0].id(), lonely.id);
  EXPECT_EQ(set.cards[1].id(), group.id);
  EXPECT_EQ(set.cards[1].score(), 5);
  EXPECT_EQ(set.cards[2].id(), loose1.id) << "equal scores keep report order";
  EXPECT_EQ(set.cards[3].id(), loose2.id);
  EXPECT_EQ(set.decks.at(DeckID::similar).size(), 1u);
  EXPECT_EQ(set.decks.at(DeckID::screenshots).size(), 1u);
  EXPECT_FALSE(set.decks.contains(DeckID::duplicates));

  std::vector<Item> affected = set.itemsFor(set.cards[1]);
  ASSERT_EQ(affected.size(), 2u);
  EXPECT_EQ(affected[0].id, a.id);
  EXPECT_EQ(affected[1].id, b.id);
  EXPECT_NE(set.find(loose2.id), nullptr);
  EXPECT_EQ(set.find(keeper.id), nullptr) << "keepers get no card of their own";
}

TEST(CardSetTest, NoReportGivesNothing) {
  CardSet set = CardSet::build(std::nullopt);
  EXPECT_TRUE(set.cards.empty());
  EXPECT_TRUE(set.decks.empty());
}

}  // namespace
}  // namespace tallowick
