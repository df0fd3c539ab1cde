#include "agent/review_window.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/review_model.h"
#include "agent/review_test_util.h"
#include "agent/view_text.h"
#include "agent/views_test_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using testing::processUntil;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::WidgetsEnvironment);

class ReviewWindowTest : public testing::ReviewTest {
 protected:
  template <class T = QLabel>
  T* child(ReviewWindow& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  static QString text(QLabel* label) { return label ? label->text() : QString(); }

  // The current card's preview (or, for a file without one, its
  // placeholder) is on screen.
  static bool previewShown(ReviewWindow& window) {
    ReviewModel& model = window.model();
    const Card* card = model.current();
    if (card == nullptr) return false;
    auto file = card->previewFile();
    if (!file) return false;
    if (file->kind != Kind::image && file->kind != Kind::video) return true;
    return !model.preview(*file, 1).isNull();
  }

  static std::vector<QToolButton*> tiles(ReviewWindow& window) {
    std::vector<QToolButton*> found;
    for (QToolButton* tile : window.findChildren<QToolButton*>(QStringLiteral("member"))) {
      found.push_back(tile);
    }
    return found;
  }
};

TEST_F(ReviewWindowTest, TheKeyboardClearsTheDeckCommitsAndEmptiesTheTrash) {
  Agent& agent = startAgent();
  ReviewWindow window(agent);
  std::vector<QUrl> opened;
  window.setOpener([&](const QUrl& url) { opened.push_back(url); });
  QString asked;
  window.setConfirm([&](QWidget*, const QString&, const QString& text) {
    asked = text;
    return true;
  });
  window.show();
  ReviewModel& model = window.model();
  ASSERT_TRUE(processUntil([&] {
    return model.state() == ReviewModel::State::ready && model.cards().size() == 3 &&
           model.summary() && !model.summary()->decks.empty();
  })) << model.error().toStdString();
  EXPECT_TRUE(window.windowTitle().contains("Review"));

  // The decks with their counts and bytes.
  auto* decks = child<QListWidget>(window, "deckList");
  ASSERT_NE(decks, nullptr);
  ASSERT_GE(decks->count(), 1);
  const Deck& smart = model.summary()->decks.front();
  EXPECT_EQ(decks->item(0)->text(), QString::fromStdString(smart.name) + "\n3 cards  ·  " +
                                        ViewText::byteCount(smart.bytes));

  bool sawGroup = false, sawPhoto = false, sawInstaller = false;
  std::string trashedCopy, keptCopy;
  while (const Card* card = model.current()) {
    ASSERT_TRUE(processUntil([&] { return previewShown(window); }));
    const Uuid id = card->id();
    if (const GroupCard* group = card->group()) {
      sawGroup = true;
      EXPECT_TRUE(text(child(window, "cardFolder")).startsWith("2 exact copies"));
      EXPECT_EQ(text(child(window, "cardReasons")), "An exact copy of another file");
      // Every member as a tile, the keeper checked; their thumbnails load.
      ASSERT_EQ(tiles(window).size(), 2u);
      ASSERT_TRUE(processUntil([&] {
        auto shown = tiles(window);
        return std::all_of(shown.begin(), shown.end(),
                           [](QToolButton* tile) { return !tile->icon().isNull(); });
      }));
      // Each tile names its copy: copies often share a folder.
      for (QToolButton* tile : tiles(window)) {
        const QString id = tile->property("memberID").toString();
        auto member = std::find_if(
            group->members.begin(), group->members.end(),
            [&](const FileCard& m) { return QString::fromStdString(m.id.string()) == id; });
        ASSERT_NE(member, group->members.end());
        EXPECT_TRUE(tile->text().contains(QString::fromStdString(member->name)))
            << tile->text().toStdString();
      }
      testing::writePicture(window, QStringLiteral("review-group"));
      const Uuid keeper = group->keeperID;
      // Clicking the other copy keeps it; the one kept so far is to go.
      for (const FileCard& member : group->members) {
        (member.id == keeper ? trashedCopy : keptCopy) = member.path;
      }
      QToolButton* other = nullptr;
      for (QToolButton* tile : tiles(window)) {
        if (!tile->isChecked()) other = tile;
      }
      ASSERT_NE(other, nullptr);
      const QString otherID = other->property("memberID").toString();
      QTest::mouseClick(other, Qt::LeftButton);
      ASSERT_TRUE(processUntil([&] {
        const Card* now = model.current();
        return now && now->group() && now->group()->keeperID != keeper;
      }));
      EXPECT_EQ(QString::fromStdString(model.current()->group()->keeperID.string()), otherID);
      // The strip follows: the clicked copy is the one kept now.
      ASSERT_TRUE(processUntil([&] {
        for (QToolButton* tile : tiles(window)) {
          if (tile->property("memberID").toString() == otherID) return tile->isChecked();
        }
        return false;
      }));
      QTest::keyClick(&window, Qt::Key_Left);
    } else if (card->file()->kind == Kind::image) {
      sawPhoto = true;
      EXPECT_EQ(text(child(window, "cardName")).toStdString(), card->file()->name);
      EXPECT_EQ(text(child(window, "cardReasons")), "An old screenshot");
      EXPECT_TRUE(text(child(window, "cardDates")).contains("Created"));
      auto* preview = child(window, "preview");
      ASSERT_TRUE(processUntil([&] { return !preview->pixmap().isNull(); }));
      testing::writePicture(window, QStringLiteral("review-photo"));
      QTest::keyClick(&window, Qt::Key_Space);
      ASSERT_EQ(opened.size(), 1u);
      EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(screenshot_)));
      QTest::keyClick(&window, Qt::Key_T);
    } else {
      sawInstaller = true;
      EXPECT_EQ(text(child(window, "cardReasons")), "An installer not opened for a while");
      // Skip, take it back, keep it.
      QTest::keyClick(&window, Qt::Key_Down);
      ASSERT_NE(model.current() ? model.current()->id() : Uuid(), id);
      QTest::keyClick(&window, Qt::Key_U);
      ASSERT_NE(model.current(), nullptr);
      EXPECT_EQ(model.current()->id(), id);
      QTest::keyClick(&window, Qt::Key_K);
    }
    ASSERT_NE(model.current() ? model.current()->id() : Uuid(), id);
  }
  EXPECT_TRUE(sawGroup && sawPhoto && sawInstaller);

  // The staged list and what it frees.
  auto* staged = child<QListWidget>(window, "stagedList");
  ASSERT_TRUE(processUntil([&] { return staged->count() == 2; }));
  // Each row is a file that goes: of the group, the copy not kept.
  std::vector<std::string> listed;
  for (int row = 0; row < staged->count(); ++row) {
    listed.push_back(staged->item(row)->toolTip().toStdString());
  }
  EXPECT_THAT(listed, ::testing::Contains(trashedCopy));
  EXPECT_THAT(listed, ::testing::Not(::testing::Contains(keptCopy)));
  EXPECT_EQ(text(child(window, "stagedBytes")),
            "2 files staged  ·  frees " + ViewText::byteCount(model.stagedBytes()));

  // Ctrl+Enter moves them to the Trash; the window says what it freed.
  auto* emptyButton = child<QPushButton>(window, "emptyTrashButton");
  EXPECT_FALSE(emptyButton->isVisibleTo(&window));
  QTest::keyClick(&window, Qt::Key_Return, Qt::ControlModifier);
  ASSERT_TRUE(processUntil([&] { return model.lastCommit().has_value(); }));
  EXPECT_EQ(trashCount(), 2);
  EXPECT_FALSE(fs::exists(screenshot_));
  EXPECT_EQ(
      text(child(window, "commitResult")),
      "Moved 2 files to the Trash, " + ViewText::byteCount(model.lastCommit()->freed) + " freed.");
  EXPECT_GT(model.lastCommit()->freed, 2'000'000);
  ASSERT_TRUE(processUntil([&] { return staged->count() == 0; }));
  EXPECT_TRUE(emptyButton->isVisibleTo(&window));

  // A rescan from outside reloads the decks: the installer (kept) is the
  // one card left, under a new id.
  const Uuid before = model.cards().at(0).id();
  agent.rescan();
  ASSERT_TRUE(processUntil([&] {
    return model.cards().size() == 1 && model.cards()[0].id() != before && !model.loading();
  }));
  ASSERT_TRUE(processUntil([&] { return decks->count() >= 1; }));
  EXPECT_TRUE(decks->item(0)->text().contains("1 card  ·  "));
  EXPECT_EQ(text(child(window, "cardName")), "tool_1.0_amd64.deb");

  // "Empty Trash…" asks first, saying it is the whole Trash.
  QTest::mouseClick(emptyButton, Qt::LeftButton);
  EXPECT_TRUE(asked.contains("whole Trash"));
  ASSERT_TRUE(processUntil([&] { return model.trashEmptied(); }));
  EXPECT_EQ(trashCount(), 0);
  EXPECT_FALSE(emptyButton->isVisibleTo(&window));
}

TEST_F(ReviewWindowTest, ADeclinedQuestionLeavesTheTrashAlone) {
  Agent& agent = startAgent();
  ReviewWindow window(agent);
  window.setConfirm([](QWidget*, const QString&, const QString&) { return false; });
  window.show();
  ReviewModel& model = window.model();
  ASSERT_TRUE(processUntil(
      [&] { return model.state() == ReviewModel::State::ready && model.cards().size() == 3; }));
  while (const Card* card = model.current()) {
    QTest::keyClick(&window,
                    card->file() && card->file()->path == screenshot_ ? Qt::Key_T : Qt::Key_S);
  }
  ASSERT_TRUE(processUntil([&] { return model.staged().size() == 1; }));
  child<QPushButton>(window, "commitButton")->click();
  ASSERT_TRUE(processUntil([&] { return model.canEmptyTrash(); }));
  EXPECT_EQ(trashCount(), 1);
  child<QPushButton>(window, "emptyTrashButton")->click();
  // The server answers in order: once an empty commit is answered, an
  // emptying sent before it would have been done.
  const int trashed = model.lastCommit()->trashed;
  model.commit();
  ASSERT_TRUE(processUntil([&] { return !model.committing(); }));
  EXPECT_EQ(trashed, 1);
  EXPECT_EQ(model.lastCommit()->trashed, 0);
  EXPECT_FALSE(model.trashEmptied());
  EXPECT_EQ(trashCount(), 1);
}

TEST_F(ReviewWindowTest, AScanThatFindsNothingSaysSoInsteadOfAnEmptyList) {
  for (const std::string& file : {photo_, copy_, screenshot_, installer_}) fs::remove(file);
  Agent& agent = startAgent();
  ReviewWindow window(agent);
  window.show();
  ReviewModel& model = window.model();
  // The summary pushed after the scan, as the phone gets it: no deck at all.
  ASSERT_TRUE(processUntil([&] {
    return model.state() == ReviewModel::State::ready && model.summary() &&
           model.summary()->scannedAt != kDistantPast && !model.loading();
  })) << model.error().toStdString();
  EXPECT_TRUE(model.summary()->decks.empty());
  auto* decks = child<QListWidget>(window, "deckList");
  ASSERT_NE(decks, nullptr);
  ASSERT_EQ(decks->count(), 1);
  EXPECT_EQ(decks->item(0)->text(), "Nothing to clean up");
  EXPECT_EQ(decks->item(0)->flags(), Qt::NoItemFlags);
  EXPECT_EQ(text(child(window, "preview")), "Nothing to clean up");
  for (const char* name : {"trashButton", "keepButton", "skipButton"}) {
    auto* button = child<QPushButton>(window, name);
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(button->isEnabled()) << name;
  }
}

}  // namespace
}  // namespace tallowick
