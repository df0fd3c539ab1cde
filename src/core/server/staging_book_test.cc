#include "core/server/staging_book.h"

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "core/commit/test_support.h"

namespace tallowick {
namespace {

using State = CommitEngine::State;
using ::tallowick::testing::TempTree;

// A report of three copies (the keeper first, of unequal sizes, so the
// group's bytes depend on which one is kept), a screenshot and a stale
// download. No file needs to exist: nothing here moves files.
class StagingBookTest : public ::testing::Test {
 protected:
  StagingBookTest() {
    keeper_ = item("keep.bin", 1000, {Reason::exactDuplicate}, 5);
    copyA_ = item("a.bin", 3000, {Reason::exactDuplicate}, 5);
    copyB_ = item("b.bin", 500, {Reason::exactDuplicate}, 5);
    group_.type = GroupType::exact;
    group_.keeperID = keeper_.id;
    group_.memberIDs = {keeper_.id, copyA_.id, copyB_.id};
    group_.reclaimable = 3500;
    screenshot_ = item("Screenshot.png", 200, {Reason::screenshot}, 3);
    download_ = item("big.iso", 8000, {Reason::staleLargeDownload}, 2);
    report_.keepers = {keeper_};
    report_.items = {copyA_, copyB_, screenshot_, download_};
    report_.groups = {group_};
    report_.reclaimable = 3500 + 200 + 8000;
    report_.filesSeen = 5;
    report_.scannedAt = Date(std::chrono::seconds(1700000000));
    relaunch();
    book_->load(report_);
  }

  Item item(const std::string& name, std::int64_t bytes, std::vector<Reason> reasons,
            double score) {
    Item i;
    i.path = tree_.path("root/" + name);
    i.bytes = bytes;
    i.reasons = std::move(reasons);
    i.score = score;
    return i;
  }

  // A new engine replaying the journal and a new, empty book on it, as a
  // relaunch makes them.
  void relaunch() {
    book_.reset();
    engine_ = std::make_unique<CommitEngine>(
        CommitEngine::Config({tree_.path("root")}, tree_.path("storage")));
    book_ = std::make_unique<StagingBook>(*engine_);
  }

  std::optional<State> journalled(const Item& item) const {
    const CommitEngine::Entry* entry = engine_->entry(item.path);
    return entry ? std::optional<State>(entry->state) : std::nullopt;
  }

  std::optional<Action> decisionOn(const Uuid& id) const {
    auto found = book_->decisions().find(id);
    return found == book_->decisions().end() ? std::nullopt : std::optional<Action>(found->second);
  }

  TempTree tree_;
  Item keeper_, copyA_, copyB_, screenshot_, download_;
  Group group_;
  Report report_;
  std::unique_ptr<CommitEngine> engine_;
  std::unique_ptr<StagingBook> book_;
};

TEST_F(StagingBookTest, LoadCountsEveryCard) {
  EXPECT_EQ(book_->counts(), (StagingBook::Counts{3500 + 200 + 8000, 3, 2, 1, 0, 0}));
  StagingBook empty(*engine_);
  EXPECT_EQ(empty.load(std::nullopt), 0);
  EXPECT_EQ(empty.counts(), StagingBook::Counts{});
  EXPECT_TRUE(empty.cards().cards.empty());
}

// Each step's counts are kept by hand; after each, a relaunch that attaches
// the decisions from the journal must find the same decisions and counts.
TEST_F(StagingBookTest, DecisionsAndUndoOnGroupsAndSinglesKeepTheCountsAndTheJournalInStep) {
  enum class Step { decide, undo };
  struct Case {
    std::string name;
    Step step;
    Uuid card;
    Action action;
    bool known;
    int pendingCount;
    std::int64_t pendingBytes;
  };
  const Uuid stranger;
  const Case cases[] = {
      {"trash the group", Step::decide, group_.id, Action::trash, true, 2, 3500},
      {"trash the download", Step::decide, download_.id, Action::trash, true, 3, 11500},
      {"keep the download instead", Step::decide, download_.id, Action::keep, true, 2, 3500},
      {"skip the screenshot", Step::decide, screenshot_.id, Action::skip, true, 2, 3500},
      {"skip the group instead", Step::decide, group_.id, Action::skip, true, 0, 0},
      {"trash the group again", Step::decide, group_.id, Action::trash, true, 2, 3500},
      {"undo the group", Step::undo, group_.id, Action::trash, true, 0, 0},
      {"undo the group twice", Step::undo, group_.id, Action::trash, false, 0, 0},
      {"decide on an unknown card", Step::decide, stranger, Action::trash, false, 0, 0},
      {"undo an unknown card", Step::undo, stranger, Action::trash, false, 0, 0},
      {"trash the screenshot", Step::decide, screenshot_.id, Action::trash, true, 1, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StagingBook::Result result =
        c.step == Step::decide ? book_->decide(c.card, c.action, "phone") : book_->undo(c.card);
    EXPECT_EQ(result.known, c.known);
    EXPECT_TRUE(result.journalErrors.empty());
    EXPECT_EQ(book_->counts().pendingCount, c.pendingCount);
    EXPECT_EQ(book_->counts().pendingBytes, c.pendingBytes);

    const auto decisions = book_->decisions();
    const auto counts = book_->counts();
    relaunch();
    EXPECT_EQ(book_->load(report_), static_cast<int>(decisions.size()));
    EXPECT_EQ(book_->decisions(), decisions);
    EXPECT_EQ(book_->counts(), counts);
  }
  // The group's keeper was never journalled; its copies were, then undone.
  EXPECT_EQ(journalled(keeper_), std::nullopt);
  EXPECT_EQ(journalled(copyA_), State::undone);
  EXPECT_EQ(journalled(copyB_), State::undone);
  EXPECT_EQ(journalled(download_), State::pending);
  EXPECT_EQ(engine_->entry(download_.path)->action, Action::keep);
}

TEST_F(StagingBookTest, NothingIsStagedThatTheJournalCannotTake) {
  ASSERT_TRUE(book_->decide(download_.id, Action::trash, "phone").journalErrors.empty());
  const std::string journal = tree_.path("storage/decisions.jsonl");
  std::filesystem::rename(journal, journal + ".old");
  std::filesystem::create_directory(journal);

  StagingBook::Result refused = book_->decide(group_.id, Action::trash, "phone");
  EXPECT_TRUE(refused.known);
  ASSERT_EQ(refused.journalErrors.size(), 1u);
  EXPECT_EQ(refused.journalErrors[0], std::make_error_code(std::errc::is_a_directory));
  EXPECT_EQ(decisionOn(group_.id), std::nullopt);
  EXPECT_EQ(book_->counts().pendingCount, 1);

  // A decision on a card that had one keeps the old one.
  EXPECT_EQ(book_->decide(download_.id, Action::keep, "phone").journalErrors.size(), 1u);
  EXPECT_EQ(decisionOn(download_.id), Action::trash);

  // An undo goes whatever the journal says, and says what it could not write.
  StagingBook::Result undone = book_->undo(download_.id);
  EXPECT_TRUE(undone.known);
  EXPECT_EQ(undone.journalErrors.size(), 1u);
  EXPECT_EQ(decisionOn(download_.id), std::nullopt);
  EXPECT_EQ(book_->counts().pendingCount, 0);

  // An undo on a card of several files withdraws each of them, not only the
  // ones before the first line that failed.
  std::filesystem::remove(journal);
  std::filesystem::rename(journal + ".old", journal);
  ASSERT_TRUE(book_->decide(group_.id, Action::trash, "phone").journalErrors.empty());
  std::filesystem::rename(journal, journal + ".old");
  std::filesystem::create_directory(journal);
  EXPECT_EQ(book_->undo(group_.id).journalErrors.size(), 2u);
  EXPECT_EQ(journalled(copyA_), State::undone);
  EXPECT_EQ(journalled(copyB_), State::undone);
  EXPECT_EQ(book_->counts().pendingCount, 0);
}

// Lets the journal grow by `bytes` more and fails every write past that
// (EFBIG), as a disk that fills up during a decision does.
class JournalRoom {
 public:
  JournalRoom(const std::string& journal, std::uintmax_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit limited = saved_;
    limited.rlim_cur = std::filesystem::file_size(journal) + bytes;
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
  }
  ~JournalRoom() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_;
  sighandler_t oldHandler_;
  bool ok_ = false;
};

// The journal takes the first file of a group's decision and not the
// second. A commit moves the staged cards' files that have a pending trash
// entry, so those two must always be the same files.
TEST_F(StagingBookTest, ADecisionTheJournalTakesOnlyPartOfLeavesEveryFileAsItWas) {
  struct Case {
    std::string name;
    std::optional<Action> earlier;
    Action now;
  };
  const Case cases[] = {
      {"a first decision", std::nullopt, Action::trash},
      {"a changed decision", Action::trash, Action::keep},
      {"a changed decision to trash", Action::skip, Action::trash},
  };
  const Date fixed = report_.scannedAt;
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string storage = tree_.path("storage-" + std::to_string(++run));
    book_.reset();
    engine_ = std::make_unique<CommitEngine>(CommitEngine::Config({tree_.path("root")}, storage),
                                             [fixed] { return fixed; });
    book_ = std::make_unique<StagingBook>(*engine_);
    book_->load(report_);
    const std::vector<Item> files = book_->cards().itemsFor(*book_->cards().find(group_.id));
    ASSERT_EQ(files.size(), 2u);
    if (c.earlier) {
      ASSERT_TRUE(book_->decide(group_.id, *c.earlier, "phone").journalErrors.empty());
    } else {
      // A journal to measure against, as the decision on another card makes it.
      ASSERT_TRUE(book_->decide(download_.id, Action::keep, "phone").journalErrors.empty());
    }
    // The length of the first file's line, as an engine with the same clock
    // writes it.
    const std::string twin = tree_.path("twin-" + std::to_string(run));
    CommitEngine measure(CommitEngine::Config({tree_.path("root")}, twin),
                         [fixed] { return fixed; });
    ASSERT_FALSE(measure.record(files[0], c.now, "phone"));
    const auto firstLine = std::filesystem::file_size(twin + "/decisions.jsonl");

    const std::string journal = storage + "/decisions.jsonl";
    const auto before = std::filesystem::file_size(journal);
    StagingBook::Result result;
    {
      JournalRoom room(journal, firstLine);
      ASSERT_TRUE(room.ok());
      result = book_->decide(group_.id, c.now, "phone");
    }
    EXPECT_TRUE(result.known);
    ASSERT_FALSE(result.journalErrors.empty());
    EXPECT_EQ(result.journalErrors[0], std::errc::file_too_large);
    // The first file's line landed; nothing after it did, the lines that
    // would put it back included: only the engine's memory has them.
    EXPECT_EQ(std::filesystem::file_size(journal), before + firstLine);
    EXPECT_EQ(decisionOn(group_.id), c.earlier);

    for (const Item& file : files) {
      SCOPED_TRACE(file.path);
      const CommitEngine::Entry* entry = engine_->entry(file.path);
      if (c.earlier) {
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->state, State::pending);
        EXPECT_EQ(entry->action, *c.earlier);
      } else {
        EXPECT_TRUE(entry == nullptr || entry->state != State::pending);
      }
    }
    std::set<std::string> staged, trashedByACommit;
    for (const Item& item : book_->staged().items) staged.insert(item.path);
    for (const CommitEngine::Entry& entry : engine_->pending()) {
      if (entry.action == Action::trash) trashedByACommit.insert(entry.path);
    }
    EXPECT_EQ(trashedByACommit, staged);
  }
}

TEST_F(StagingBookTest, ANewKeeperPatchesTheOneCardEveryDeckShowsAndTheReport) {
  ASSERT_TRUE(book_->decide(group_.id, Action::trash, "phone").journalErrors.empty());
  StagingBook::Result result = book_->changeKeeper(group_.id, copyA_.id, "phone");
  EXPECT_TRUE(result.known);
  EXPECT_TRUE(result.journalErrors.empty());

  // The old keeper goes to the Trash in place of the new one.
  EXPECT_EQ(journalled(keeper_), State::pending);
  EXPECT_EQ(journalled(copyA_), State::undone);
  EXPECT_EQ(journalled(copyB_), State::pending);
  EXPECT_EQ(decisionOn(group_.id), Action::trash);
  EXPECT_EQ(book_->counts().pendingCount, 2);
  EXPECT_EQ(book_->counts().pendingBytes, 1500);
  EXPECT_EQ(book_->counts().reclaimable, 1500 + 200 + 8000);

  const CardSet& cards = book_->cards();
  for (DeckID deck : {DeckID::smart, DeckID::duplicates}) {
    const Card* shown = nullptr;
    for (std::size_t position : cards.deck(deck)) {
      if (cards.cards[position].id() == group_.id) shown = &cards.cards[position];
    }
    ASSERT_NE(shown, nullptr) << rawValue(deck);
    EXPECT_EQ(shown->group()->keeperID, copyA_.id) << rawValue(deck);
    EXPECT_EQ(shown->bytes(), 1500) << rawValue(deck);
  }
  ASSERT_TRUE(book_->report().has_value());
  EXPECT_EQ(book_->report()->groups[0].keeperID, copyA_.id);
  EXPECT_EQ(book_->report()->groups[0].reclaimable, 1500);
  EXPECT_EQ(book_->report()->reclaimable, 1500 + 200 + 8000);

  // A relaunch on the patched report finds the decision again.
  Report patched = *book_->report();
  relaunch();
  EXPECT_EQ(book_->load(patched), 1);
  EXPECT_EQ(book_->counts().pendingBytes, 1500);
}

TEST_F(StagingBookTest, AKeeperChangeIsRefusedForUnknownGroupsAndMembers) {
  struct Case {
    std::string name;
    Uuid group;
    Uuid member;
  };
  const Case cases[] = {
      {"a stranger as the keeper", group_.id, Uuid()},
      {"a file card as the group", download_.id, download_.id},
      {"a member of another card", group_.id, screenshot_.id},
      {"no such group", Uuid(), copyA_.id},
  };
  const Report before = *book_->report();
  for (const Case& c : cases) {
    StagingBook::Result result = book_->changeKeeper(c.group, c.member, "phone");
    EXPECT_FALSE(result.known) << c.name;
    EXPECT_EQ(book_->cards().find(group_.id)->group()->keeperID, keeper_.id) << c.name;
    EXPECT_EQ(*book_->report(), before) << c.name;
  }
}

TEST_F(StagingBookTest, AKeeperChangeOnAnUndecidedGroupJournalsNothing) {
  EXPECT_TRUE(book_->changeKeeper(group_.id, copyB_.id, "phone").known);
  EXPECT_EQ(book_->cards().find(group_.id)->bytes(), 4000);
  EXPECT_TRUE(engine_->entries().empty());
  EXPECT_TRUE(book_->decisions().empty());
}

// Decisions come back from the journal onto a new report (a relaunch, or a
// rescan that made new cards) only where every file of a card agrees.
TEST_F(StagingBookTest, ReattachesDecisionsWhereEveryFileOfACardAgrees) {
  struct Case {
    std::string name;
    std::function<void(StagingBook&, CommitEngine&)> decide;
    std::function<void(Report&)> rescan;
    std::vector<Uuid> attached;
    int pendingCount;
  };
  const Case cases[] = {
      {"a relaunch on the same report",
       [&](StagingBook& book, CommitEngine&) {
         book.decide(group_.id, Action::trash, "phone");
         book.decide(download_.id, Action::keep, "phone");
       },
       [](Report&) {},
       {group_.id, download_.id},
       2},
      {"a rescan without the download",
       [&](StagingBook& book, CommitEngine&) {
         book.decide(group_.id, Action::trash, "phone");
         book.decide(download_.id, Action::trash, "phone");
       },
       [&](Report& r) { std::erase(r.items, download_); },
       {group_.id},
       2},
      {"a rescan that found one more copy",
       [&](StagingBook& book, CommitEngine&) { book.decide(group_.id, Action::trash, "phone"); },
       [&](Report& r) {
         Item more = item("c.bin", 10, {Reason::exactDuplicate}, 5);
         r.items.push_back(more);
         r.groups[0].memberIDs.push_back(more.id);
       },
       {},
       0},
      {"a rescan that lost a copy",
       [&](StagingBook& book, CommitEngine&) { book.decide(group_.id, Action::trash, "phone"); },
       [&](Report& r) { std::erase(r.items, copyB_); },
       {group_.id},
       1},
      {"a rescan that lost both copies",
       [&](StagingBook& book, CommitEngine&) { book.decide(group_.id, Action::trash, "phone"); },
       [&](Report& r) {
         std::erase(r.items, copyA_);
         std::erase(r.items, copyB_);
       },
       {},
       0},
      {"a rescan that no longer groups the copies: each is a card of its own",
       [&](StagingBook& book, CommitEngine&) { book.decide(group_.id, Action::trash, "phone"); },
       [&](Report& r) { r.groups.clear(); },
       {copyA_.id, copyB_.id},
       2},
      {"copies journalled with different actions",
       [&](StagingBook&, CommitEngine& engine) {
         engine.record(copyA_, Action::trash, "phone");
         engine.record(copyB_, Action::keep, "phone");
       },
       [](Report&) {},
       {},
       0},
      {"a decision withdrawn",
       [&](StagingBook& book, CommitEngine&) {
         book.decide(screenshot_.id, Action::trash, "phone");
         book.undo(screenshot_.id);
       },
       [](Report&) {},
       {},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tree_.path("storage/decisions.jsonl"));
    relaunch();
    book_->load(report_);
    c.decide(*book_, *engine_);
    Report rescanned = report_;
    c.rescan(rescanned);

    relaunch();
    EXPECT_EQ(book_->load(rescanned), static_cast<int>(c.attached.size()));
    std::vector<Uuid> attached;
    for (const auto& [id, action] : book_->decisions()) attached.push_back(id);
    std::sort(attached.begin(), attached.end());
    std::vector<Uuid> expected = c.attached;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(attached, expected);
    EXPECT_EQ(book_->counts().pendingCount, c.pendingCount);
  }
}

TEST_F(StagingBookTest, ACommitTakesTheStagedCardsAndNamesEachRefusedCardOnce) {
  book_->decide(download_.id, Action::trash, "phone");
  book_->decide(screenshot_.id, Action::keep, "phone");
  book_->decide(group_.id, Action::trash, "phone");

  StagingBook::Staged staged = book_->staged();
  EXPECT_EQ(staged.cards, (std::vector<Uuid>{group_.id, download_.id})) << "card order";
  std::vector<Uuid> items;
  for (const Item& i : staged.items) items.push_back(i.id);
  EXPECT_EQ(items, (std::vector<Uuid>{copyA_.id, copyB_.id, download_.id}));
  std::vector<Uuid> cards;
  for (const Card& card : book_->stagedCards()) cards.push_back(card.id());
  EXPECT_EQ(cards, staged.cards);

  CommitEngine::Outcome outcome;
  outcome.failed = {{download_.id, "modified since scan"}, {copyB_.id, "missing"}, {copyA_.id, ""}};
  std::vector<CommitFailure> failures = book_->committed(staged, outcome);
  EXPECT_EQ(failures, (std::vector<CommitFailure>{{group_.id, "failed"},
                                                  {download_.id, "modified since scan"}}));
  EXPECT_EQ(book_->decisions().size(), 1u) << "the keep decision stays";
  EXPECT_EQ(decisionOn(screenshot_.id), Action::keep);
  EXPECT_EQ(book_->counts().pendingCount, 0);
  EXPECT_TRUE(book_->staged().items.empty());
}

TEST_F(StagingBookTest, SummaryCountsDecksBytesAndReviews) {
  book_->decide(group_.id, Action::trash, "phone");
  book_->decide(screenshot_.id, Action::keep, "phone");
  Message::SummaryResult summary = book_->summary();
  EXPECT_EQ(summary.scannedAt, report_.scannedAt);
  EXPECT_EQ(summary.reclaimable, 11700);
  EXPECT_EQ(summary.pendingCount, 2);
  EXPECT_EQ(summary.pendingBytes, 3500);
  const std::vector<Deck> expected = {
      {DeckID::smart, "Smart deck", 3, 11700, 2},
      {DeckID::largeDownloads, "Large downloads", 1, 8000, 0},
      {DeckID::duplicates, "Duplicates", 1, 3500, 1},
      {DeckID::screenshots, "Screenshots", 1, 200, 1},
  };
  EXPECT_EQ(summary.decks, expected);

  // Decks of equal bytes keep the order of the deck list.
  Report tie;
  Item shot = item("s.png", 100, {Reason::screenshot}, 1);
  Item installer = item("setup.deb", 100, {Reason::staleInstaller}, 1);
  tie.items = {installer, shot};
  book_->load(tie);
  summary = book_->summary();
  ASSERT_EQ(summary.decks.size(), 3u);
  EXPECT_EQ(summary.decks[1].id, DeckID::screenshots);
  EXPECT_EQ(summary.decks[2].id, DeckID::installers);

  StagingBook empty(*engine_);
  empty.load(std::nullopt);
  summary = empty.summary();
  EXPECT_EQ(summary.scannedAt, kDistantPast);
  EXPECT_TRUE(summary.decks.empty());
  EXPECT_EQ(summary.reclaimable, 0);
}

}  // namespace
}  // namespace tallowick
