#include "agent/review_model.h"

#include <QSettings>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "agent/review_test_util.h"
#include "shared/keychain.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using testing::processUntil;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);

class ReviewModelTest : public testing::ReviewTest {
 protected:
  // Opens a model on the agent and waits until it shows the three cards.
  std::unique_ptr<ReviewModel> openModel(Agent& agent) {
    auto model = std::make_unique<ReviewModel>(agent);
    model->open();
    EXPECT_TRUE(processUntil([&] {
      return model->state() == ReviewModel::State::ready && model->summary() &&
             !model->summary()->decks.empty() && model->cards().size() == 3 && !model->loading();
    })) << model->error().toStdString();
    return model;
  }

  static const Card* find(const ReviewModel& model, bool group) {
    for (const Card& card : model.cards()) {
      if ((card.group() != nullptr) == group) return &card;
    }
    return nullptr;
  }
};

TEST_F(ReviewModelTest, PairsOnceAsThisComputerAndReusesTheDevice) {
  Agent& agent = startAgent();
  std::string device;
  {
    auto model = openModel(agent);
    ASSERT_TRUE(processUntil([&] { return agent.status().devices.size() == 1; }));
    EXPECT_EQ(agent.status().devices[0].name, "this computer");
    device = settings()->value(Agent::kReviewDeviceKey).toString().toStdString();
    EXPECT_EQ(device, agent.status().devices[0].deviceID);
    EXPECT_EQ(Keychain::read(device, agent.storage()), agent.status().devices[0].key);
  }
  // The next window connects as the same device: no second pairing.
  auto again = openModel(agent);
  EXPECT_EQ(agent.status().devices.size(), 1u);
  EXPECT_EQ(agent.reviewLogin()->pairing, false);
  EXPECT_EQ(agent.reviewLogin()->login.deviceID, device);
}

TEST_F(ReviewModelTest, ASessionDecidesCommitsUndoesAndFollowsARescan) {
  Agent& agent = startAgent();
  auto model = openModel(agent);
  ASSERT_FALSE(HasFailure());
  // The decks as the server counts them: every card in the smart deck.
  const Message::SummaryResult& summary = *model->summary();
  auto smart = std::find_if(summary.decks.begin(), summary.decks.end(),
                            [](const Deck& deck) { return deck.id == DeckID::smart; });
  ASSERT_NE(smart, summary.decks.end());
  EXPECT_EQ(smart->count, 3);

  // The group's keeper moves to the other copy.
  const GroupCard group = *find(*model, true)->group();
  ASSERT_EQ(group.members.size(), 2u);
  const bool firstKeeps = group.members[0].id == group.keeperID;
  const FileCard keeper = firstKeeps ? group.members[0] : group.members[1];
  const FileCard other = firstKeeps ? group.members[1] : group.members[0];
  model->setKeeper(group.id, other.id);
  ASSERT_TRUE(processUntil([&] { return find(*model, true)->group()->keeperID == other.id; }));

  // Trash the group and the screenshot, keep the installer, in deck order.
  std::vector<Uuid> order;
  while (const Card* card = model->current()) {
    order.push_back(card->id());
    const bool installer = card->file() && card->file()->kind == Kind::installer;
    ASSERT_TRUE(model->decide(installer ? Action::keep : Action::trash));
  }
  EXPECT_TRUE(model->finished());
  ASSERT_TRUE(processUntil([&] { return model->staged().size() == 2; }));
  EXPECT_EQ(model->summary()->pendingCount, 2);

  // Undo brings the last card back as the current one.
  model->undo();
  ASSERT_NE(model->current(), nullptr);
  EXPECT_EQ(model->current()->id(), order.back());
  const bool lastIsInstaller =
      model->current()->file() && model->current()->file()->kind == Kind::installer;
  ASSERT_TRUE(model->decide(lastIsInstaller ? Action::keep : Action::trash));

  model->commit();
  ASSERT_TRUE(processUntil([&] { return !model->committing() && model->lastCommit(); }));
  EXPECT_EQ(model->lastCommit()->trashed, 2);
  EXPECT_TRUE(model->lastCommit()->failed.empty());
  EXPECT_FALSE(fs::exists(screenshot_));
  EXPECT_TRUE(fs::exists(other.path));  // the new keeper stays
  EXPECT_FALSE(fs::exists(keeper.path));
  EXPECT_EQ(trashCount(), 2);
  // Committed cards leave the deck; the installer (kept) stays.
  ASSERT_EQ(model->cards().size(), 1u);
  EXPECT_EQ(model->cards()[0].file()->kind, Kind::installer);
  ASSERT_TRUE(processUntil([&] { return model->staged().empty(); }));
  EXPECT_TRUE(model->canEmptyTrash());

  // Undoing back to the screenshot brings committed cards back, and their
  // files out of the Trash.
  int restored = 0;
  bool groupBack = false;
  do {
    ASSERT_TRUE(model->canUndo());
    model->undo();
    ASSERT_NE(model->current(), nullptr);
    const Card& card = *model->current();
    if (card.group() || card.file()->kind != Kind::installer) ++restored;
    groupBack = groupBack || card.group() != nullptr;
  } while (!model->current()->file() || model->current()->file()->path != screenshot_);
  ASSERT_TRUE(processUntil([&] { return trashCount() == 2 - restored; }));
  EXPECT_TRUE(fs::exists(screenshot_));
  EXPECT_EQ(fs::exists(keeper.path), groupBack);
  const std::size_t cardsNow = model->cards().size();
  EXPECT_EQ(cardsNow, 1u + restored);

  // A rescan started elsewhere (the tray, a phone) reloads the deck with
  // the new scan's cards: the same files, new ids.
  const Uuid before = model->current()->id();
  agent.rescan();
  ASSERT_TRUE(processUntil([&] {
    return model->cards().size() == cardsNow && !model->loading() &&
           std::none_of(model->cards().begin(), model->cards().end(),
                        [&](const Card& card) { return card.id() == before; });
  }));
  EXPECT_EQ(model->position(), 0u);
  EXPECT_FALSE(model->canUndo());

  // Right after the commit the whole Trash may be emptied.
  model->emptyTrash();
  ASSERT_TRUE(processUntil([&] { return model->trashEmptied(); }));
  EXPECT_EQ(trashCount(), 0);
  EXPECT_FALSE(model->canEmptyTrash());
}

TEST_F(ReviewModelTest, ACommitRefusesAChangedFileAndSaysWhy) {
  Agent& agent = startAgent();
  auto model = openModel(agent);
  ASSERT_FALSE(HasFailure());
  while (const Card* card = model->current()) {
    const bool installer = card->file() && card->file()->kind == Kind::installer;
    model->decide(installer ? Action::trash : Action::skip);
  }
  ASSERT_TRUE(processUntil([&] { return model->staged().size() == 1; }));
  // The installer changes after the scan: it must not go.
  std::ofstream(installer_, std::ios::app) << "more";
  model->commit();
  ASSERT_TRUE(processUntil([&] { return !model->committing() && model->lastCommit(); }));
  EXPECT_EQ(model->lastCommit()->trashed, 0);
  ASSERT_EQ(model->commitRefusals().size(), 1u);
  EXPECT_EQ(model->commitRefusals()[0].name.toStdString(), "tool_1.0_amd64.deb");
  EXPECT_FALSE(model->commitRefusals()[0].reason.isEmpty());
  EXPECT_TRUE(fs::exists(installer_));
  // Nothing moved: the Trash may not be emptied, and the card is still there.
  EXPECT_FALSE(model->canEmptyTrash());
  EXPECT_EQ(model->cards().size(), 3u);
}

}  // namespace
}  // namespace tallowick
