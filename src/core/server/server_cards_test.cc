// The card queue, previews, commit and empty trash over loopback TLS, with a
// phone client talking to a server built on a hand-made report whose files
// exist in a temporary root.

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <vips/vips8>

#include "core/commit/commit_engine.h"
#include "core/server/server.h"
#include "core/server/server_test_util.h"
#include "core/thumbs/thumbnailer.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/file_util.h"
#include "shared/phone_client.h"

namespace tallowick {
namespace {

using namespace std::chrono_literals;
using ::tallowick::testing::EventLog;
using ::tallowick::testing::eventually;
using ::tallowick::testing::makeTestHome;
using ::tallowick::testing::onQueue;
using ::tallowick::testing::releaseServer;
using ::tallowick::testing::RenderGate;
using ::tallowick::testing::TestClock;

constexpr const char* kCode = "123456";

template <class T>
bool isA(const Message& message) {
  return message.is<T>();
}

class ServerCardsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTestHome("tallowick-cards-test");
    ASSERT_FALSE(dir_.empty());
    root_ = dir_ + "/root";
    storage_ = dir_ + "/storage";
    ASSERT_TRUE(createDirectories(root_));
    // Dates travel in whole seconds.
    report_.scannedAt = std::chrono::floor<std::chrono::seconds>(report_.scannedAt);
  }

  void TearDown() override {
    phones_.clear();
    releaseServer(server_);
    std::filesystem::remove_all(dir_);
  }

  // Writes a file under the root and describes it as the scanner would.
  Item file(const std::string& name, const std::string& content, Kind kind = Kind::other,
            std::vector<Reason> reasons = {}, double score = 1) {
    std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return describe(path, kind, std::move(reasons), score);
  }

  Item describe(const std::string& path, Kind kind, std::vector<Reason> reasons, double score) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    Item item;
    item.path = path;
    item.kind = kind;
    item.bytes = st.st_size;
    item.modifiedAt = Date(std::chrono::seconds(st.st_mtim.tv_sec));
    item.reasons = std::move(reasons);
    item.score = score;
    return item;
  }

  // Files `members` as one group kept by its first member.
  Group group(GroupType type, std::vector<Item> members) {
    Group g;
    g.type = type;
    g.keeperID = members[0].id;
    for (Item& member : members) {
      member.groupID = g.id;
      g.memberIDs.push_back(member.id);
      if (member.id != g.keeperID) g.reclaimable += member.bytes;
    }
    report_.keepers.push_back(members[0]);
    report_.items.insert(report_.items.end(), members.begin() + 1, members.end());
    report_.groups.push_back(g);
    report_.reclaimable += g.reclaimable;
    return g;
  }

  void loose(const Item& item) {
    report_.items.push_back(item);
    report_.reclaimable += item.bytes;
  }

  virtual Server::Config config() {
    Server::Config config("Test Mac", std::vector<std::string>{root_}, 1, storage_);
    config.advertise = false;
    config.bindAddress = "127.0.0.1";
    config.clock = [clock = clock_] { return clock->now(); };
    config.trashTopdirs = std::vector<std::string>{};  // the temporary home Trash only
    return config;
  }

  void start(std::optional<Report> report) {
    server_ = Server::make(config(), std::move(report), std::string(kCode));
    server_->setOnEvent([events = events_](const ServerEvent& event) { events->add(event); });
    server_->start();
    ASSERT_TRUE(eventually([&] { return events_->port().has_value(); }));
  }
  void start() { start(report_); }

  PhoneClient& phone(const std::string& name = "Ann") {
    phones_.push_back(std::make_unique<PhoneClient>());
    PhoneClient& client = *phones_.back();
    auto hello =
        client.connect({"127.0.0.1", *events_->port()}, PhoneClient::Login::code(kCode), name, 10s);
    EXPECT_TRUE(hello.ok()) << hello.error;
    return client;
  }

  // Sends `request` and returns the first reply of type T.
  template <class T>
  T ask(PhoneClient& client, const Message& request) {
    auto reply = client.request(request, isA<T>, 20s);
    EXPECT_TRUE(reply.ok()) << reply.error;
    if (!reply.ok()) return T{};
    return *reply.message->template get<T>();
  }

  // Sends a message that has no reply and waits for the log line it causes.
  bool tell(PhoneClient& client, const Message& message, const std::string& line) {
    return client.send(message) && eventually([&] { return events_->has(line); });
  }

  // The journal as a fresh replay sees it.
  CommitEngine::Entry journalled(const Item& item) {
    CommitEngine engine(CommitEngine::Config({root_}, storage_));
    const CommitEngine::Entry* entry = engine.entry(item.path);
    EXPECT_NE(entry, nullptr) << item.path;
    return entry ? *entry : CommitEngine::Entry{};
  }

  std::string trashFiles() const { return dir_ + "/home/.local/share/Trash/files"; }

  std::string dir_, root_, storage_;
  Report report_;
  std::shared_ptr<TestClock> clock_ = std::make_shared<TestClock>();
  std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>();
  std::shared_ptr<Server> server_;
  std::vector<std::unique_ptr<PhoneClient>> phones_;
};

// Four copies of one file, a screenshot that is also an old installer, an
// installer, a stale download and a large video with the download's score.
class DeckFixture : public ServerCardsTest {
 protected:
  void SetUp() override {
    ServerCardsTest::SetUp();
    for (int i = 0; i < 4; ++i) {
      copies_.push_back(file("copy" + std::to_string(i) + ".bin", std::string(1000, 'c'),
                             Kind::other, {Reason::exactDuplicate}, 5));
    }
    dups_ = group(GroupType::exact, copies_);
    screenshot_ = file("Screenshot 1.png", std::string(200, 's'), Kind::other,
                       {Reason::screenshot, Reason::staleInstaller}, 3);
    installer_ =
        file("setup.deb", std::string(5000, 'i'), Kind::installer, {Reason::staleInstaller}, 4);
    download_ =
        file("big.iso", std::string(8000, 'd'), Kind::archive, {Reason::staleLargeDownload}, 2);
    video_ = file("film.mkv", std::string(9000, 'v'), Kind::other, {Reason::staleLargeVideo}, 2);
    for (const Item& item : {screenshot_, installer_, download_, video_}) loose(item);
    report_.filesSeen = 8;
  }

  std::vector<Item> copies_;
  Group dups_;
  Item screenshot_, installer_, download_, video_;
};

TEST_F(DeckFixture, SummaryCountsEveryDeckAndSortsThemByBytes) {
  start();
  PhoneClient& ann = phone();
  auto summary = ask<Message::SummaryResult>(ann, Message::Summary{});
  EXPECT_EQ(summary.macName, "Test Mac");
  EXPECT_EQ(summary.scannedAt, report_.scannedAt);
  EXPECT_EQ(summary.reclaimable, 3000 + 200 + 5000 + 8000 + 9000);
  EXPECT_EQ(summary.roots, std::vector<std::string>{"root"});

  std::vector<Deck> expected = {
      {DeckID::smart, "Smart deck", 5, 25200, 0},
      {DeckID::largeDownloads, "Large downloads", 1, 8000, 0},
      {DeckID::installers, "Old installers", 1, 5000, 0},
      {DeckID::duplicates, "Duplicates", 1, 3000, 0},
      {DeckID::screenshots, "Screenshots", 1, 200, 0},
  };
  EXPECT_EQ(summary.decks, expected);
}

TEST_F(DeckFixture, PagesByIndexAndClampsTheRange) {
  start();
  PhoneClient& ann = phone();
  // Score order; the download and the video tie and keep report order.
  const std::vector<Uuid> smart = {dups_.id, installer_.id, screenshot_.id, download_.id,
                                   video_.id};
  struct Case {
    DeckID deck;
    int after;
    int n;
    std::vector<Uuid> ids;
    std::string line;
  };
  const Case cases[] = {
      {DeckID::smart, 0, 2, {smart[0], smart[1]}, "→ 2 cards from #0 of smart"},
      {DeckID::smart, 3, 10, {smart[3], smart[4]}, "→ 2 cards from #3 of smart"},
      {DeckID::smart, 9, 2, {}, "→ 0 cards from #5 of smart"},
      {DeckID::smart, -4, 1, {smart[0]}, "→ 1 cards from #0 of smart"},
      {DeckID::smart, 1, 0, {}, "→ 0 cards from #1 of smart"},
      {DeckID::smart, 1, -3, {}, "→ 0 cards from #1 of smart"},
      {DeckID::similar, 0, 5, {}, "→ 0 cards from #0 of similar"},
      {DeckID::screenshots, 0, 5, {screenshot_.id}, "→ 1 cards from #0 of screenshots"},
      {DeckID::installers, 0, 5, {installer_.id}, "→ 1 cards from #0 of installers"},
  };
  for (const Case& c : cases) {
    auto batch = ask<Message::QueueBatch>(ann, Message::DeckNext{c.deck, c.after, c.n});
    std::vector<Uuid> ids;
    for (const Card& card : batch.cards) ids.push_back(card.id());
    EXPECT_EQ(ids, c.ids) << c.line;
    EXPECT_TRUE(eventually([&] { return events_->has(c.line); })) << c.line;
  }
}

TEST_F(DeckFixture, ADecisionOnAGroupStagesItsCopiesAndUndoWithdrawsThem) {
  start();
  PhoneClient& ann = phone();
  const std::string group8 = dups_.id.shortString();
  ASSERT_TRUE(tell(ann, Message::Decision{dups_.id, Action::trash},
                   "· trash " + group8 + " — 3 files staged"));
  EXPECT_EQ(events_->status()->pendingCount, 3);
  EXPECT_EQ(events_->status()->pendingBytes, 3000);
  for (int i = 1; i < 4; ++i) {
    CommitEngine::Entry entry = journalled(copies_[i]);
    EXPECT_EQ(entry.state, CommitEngine::State::pending);
    EXPECT_EQ(entry.action, Action::trash);
    EXPECT_EQ(entry.device, "code:Ann");
  }

  // Keep and skip are journalled but stage nothing.
  ASSERT_TRUE(tell(ann, Message::Decision{installer_.id, Action::keep},
                   "· keep " + installer_.id.shortString() + " — 3 files staged"));
  EXPECT_EQ(journalled(installer_).action, Action::keep);

  auto staged = ask<Message::StagedBatch>(ann, Message::Staged{});
  ASSERT_EQ(staged.cards.size(), 1u);
  EXPECT_EQ(staged.cards[0].id(), dups_.id);

  auto summary = ask<Message::SummaryResult>(ann, Message::Summary{});
  EXPECT_EQ(summary.pendingCount, 3);
  EXPECT_EQ(summary.decks[0].reviewed, 2);

  ASSERT_TRUE(tell(ann, Message::Undo{dups_.id}, "· un-staged " + group8));
  EXPECT_EQ(events_->status()->pendingCount, 0);
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(journalled(copies_[i]).state, CommitEngine::State::undone);
  }

  Uuid stranger;
  ASSERT_TRUE(tell(ann, Message::Decision{stranger, Action::trash},
                   "? decision for unknown card " + stranger.shortString()));
  // An undo of an unknown card says nothing at all.
  ann.send(Message::Undo{stranger});
  ask<Message::SummaryResult>(ann, Message::Summary{});
  EXPECT_EQ(events_->count("· un-staged " + stranger.shortString()), 0);
  EXPECT_EQ(events_->count("· restored"), 0);
}

TEST_F(DeckFixture, ANewKeeperOfAStagedGroupIsJournalledInPlaceOfTheOld) {
  start();
  PhoneClient& ann = phone();
  ASSERT_TRUE(tell(ann, Message::Decision{dups_.id, Action::trash},
                   "· trash " + dups_.id.shortString() + " — 3 files staged"));

  auto updated = ask<Message::CardUpdated>(ann, Message::SetKeeper{dups_.id, copies_[2].id});
  ASSERT_NE(updated.card.group(), nullptr);
  EXPECT_EQ(updated.card.group()->keeperID, copies_[2].id);
  EXPECT_EQ(updated.card.group()->reclaimable, 3000);
  EXPECT_TRUE(
      events_->has("· keeper of " + dups_.id.shortString() + " → " + copies_[2].id.shortString()));

  EXPECT_EQ(journalled(copies_[0]).state, CommitEngine::State::pending);
  EXPECT_EQ(journalled(copies_[0]).action, Action::trash);
  EXPECT_EQ(journalled(copies_[2]).state, CommitEngine::State::undone);
  EXPECT_EQ(events_->status()->pendingCount, 3);

  // The stored report keeps the choice for the next launch.
  Report stored = Report::fromStoredJSON(*readWholeFile(storage_ + "/report.json"));
  ASSERT_EQ(stored.groups.size(), 1u);
  EXPECT_EQ(stored.groups[0].keeperID, copies_[2].id);

  // A later deck batch shows the new keeper too.
  auto batch = ask<Message::QueueBatch>(ann, Message::DeckNext{DeckID::duplicates, 0, 1});
  ASSERT_EQ(batch.cards.size(), 1u);
  EXPECT_EQ(batch.cards[0].group()->keeperID, copies_[2].id);

  Uuid stranger;
  ASSERT_TRUE(tell(ann, Message::SetKeeper{dups_.id, stranger},
                   "? setKeeper for unknown group/member " + dups_.id.shortString()));
}

TEST_F(DeckFixture, CommitTrashesStagedFilesRefusesChangedOnesAndUndoPutsThemBack) {
  start();
  PhoneClient& ann = phone();
  ASSERT_TRUE(tell(ann, Message::Decision{dups_.id, Action::trash}, "· trash "));
  ASSERT_TRUE(tell(ann, Message::Decision{download_.id, Action::trash},
                   "· trash " + download_.id.shortString() + " — 4 files staged"));
  // The download changes after the scan: it must stay where it is.
  std::ofstream(download_.path, std::ios::app) << "more";
  struct timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 10, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, download_.path.c_str(), later, 0), 0);

  auto result = ask<Message::CommitResult>(ann, Message::Commit{});
  EXPECT_EQ(result.trashed, 3);
  EXPECT_EQ(result.freed, 3000);
  EXPECT_EQ(result.failed, (std::vector<CommitFailure>{{download_.id, "modified since scan"}}));
  EXPECT_TRUE(events_->has("! " + download_.id.shortString() + ": modified since scan"));
  EXPECT_TRUE(events_->has("✓ commit: trashed 3/4, 0.0 MB freed, 1 refused"));
  EXPECT_TRUE(std::filesystem::exists(copies_[0].path));
  for (int i = 1; i < 4; ++i) {
    EXPECT_FALSE(std::filesystem::exists(copies_[i].path));
    EXPECT_TRUE(std::filesystem::exists(trashFiles() + "/copy" + std::to_string(i) + ".bin"));
  }
  EXPECT_TRUE(std::filesystem::exists(download_.path));
  bool committed = false;
  for (const auto& event : events_->events()) {
    if (const auto* c = event.get<ServerEvent::Committed>()) {
      committed = c->trashed == 3 && c->freed == 3000;
    }
  }
  EXPECT_TRUE(committed);
  EXPECT_EQ(events_->status()->pendingCount, 0);

  // Decisions went with the commit: a second one has nothing to do.
  auto again = ask<Message::CommitResult>(ann, Message::Commit{});
  EXPECT_EQ(again, Message::CommitResult{});
  EXPECT_TRUE(events_->has("✓ commit: nothing staged"));

  ASSERT_TRUE(
      tell(ann, Message::Undo{dups_.id}, "· restored 3 file(s) for " + dups_.id.shortString()));
  for (const Item& copy : copies_) EXPECT_TRUE(std::filesystem::exists(copy.path)) << copy.path;
}

TEST_F(DeckFixture, EmptyTrashOnlyRightAfterACommitByTheSamePhone) {
  start();
  PhoneClient& ann = phone();
  const Message::Refused refused{"commit first, then confirm within 10 minutes"};
  EXPECT_EQ(ask<Message::Refused>(ann, Message::EmptyTrash{true}), refused);
  EXPECT_TRUE(events_->has("! empty trash refused"));

  ASSERT_TRUE(tell(ann, Message::Decision{video_.id, Action::trash}, "· trash "));
  ASSERT_EQ(ask<Message::CommitResult>(ann, Message::Commit{}).trashed, 1);
  ASSERT_TRUE(std::filesystem::exists(trashFiles() + "/film.mkv"));

  EXPECT_EQ(ask<Message::Refused>(ann, Message::EmptyTrash{false}), refused);
  PhoneClient& bo = phone("Bo");
  EXPECT_EQ(ask<Message::Refused>(bo, Message::EmptyTrash{true}), refused);

  auto ok = ann.request(
      Message::EmptyTrash{true},
      [](const Message& m) { return m.is<Message::Ok>() || m.is<Message::Refused>(); }, 20s);
  ASSERT_TRUE(ok.ok());
  EXPECT_TRUE(ok.message->is<Message::Ok>());
  EXPECT_TRUE(events_->has("✓ trash emptied at the phone's request"));
  EXPECT_FALSE(std::filesystem::exists(trashFiles() + "/film.mkv"));
  EXPECT_TRUE(std::filesystem::exists(installer_.path)) << "nothing outside the Trash goes";

  clock_->offset += 601;
  EXPECT_EQ(ask<Message::Refused>(ann, Message::EmptyTrash{true}), refused);
}

// The journal is the only record of decisions and of where committed files
// went: a decision it cannot take is not staged, and a commit it cannot take
// moves nothing.
TEST_F(DeckFixture, NothingIsStagedOrMovedThatTheJournalCannotTake) {
  start();
  PhoneClient& ann = phone();
  ASSERT_TRUE(tell(ann, Message::Decision{video_.id, Action::trash}, "· trash "));
  ASSERT_EQ(events_->status()->pendingCount, 1);
  const std::string journal = storage_ + "/decisions.jsonl";
  std::filesystem::rename(journal, journal + ".old");
  std::filesystem::create_directory(journal);

  const std::string error = std::make_error_code(std::errc::is_a_directory).message();
  ASSERT_TRUE(tell(ann, Message::Decision{installer_.id, Action::trash}, "! journal: " + error));
  EXPECT_EQ(events_->status()->pendingCount, 1);
  auto staged = ask<Message::StagedBatch>(ann, Message::Staged{});
  ASSERT_EQ(staged.cards.size(), 1u);
  EXPECT_EQ(staged.cards[0].id(), video_.id);

  auto result = ask<Message::CommitResult>(ann, Message::Commit{});
  EXPECT_EQ(result.trashed, 0);
  EXPECT_EQ(result.failed, (std::vector<CommitFailure>{{video_.id, "journal unwritable"}}));
  EXPECT_TRUE(std::filesystem::exists(video_.path));
  EXPECT_TRUE(std::filesystem::exists(installer_.path));
}

TEST_F(DeckFixture, ATrashThatCannotBeEmptiedIsNamedInTheLog) {
  start();
  PhoneClient& ann = phone();
  ASSERT_TRUE(tell(ann, Message::Decision{video_.id, Action::trash}, "· trash "));
  ASSERT_EQ(ask<Message::CommitResult>(ann, Message::Commit{}).trashed, 1);
  // files/ swapped for a link: emptying never follows it.
  std::filesystem::rename(trashFiles(), trashFiles() + "-real");
  std::filesystem::create_directory_symlink(trashFiles() + "-real", trashFiles());

  EXPECT_EQ(ask<Message::Refused>(ann, Message::EmptyTrash{true}),
            Message::Refused{"Finder declined"});
  EXPECT_EQ(events_->containing("! trash not emptied: " + trashFiles() + ": ").size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(trashFiles() + "-real/film.mkv"));
  EXPECT_FALSE(events_->has("✓ trash emptied"));
}

// A photo drawn at test time, left to right from red to blue.
void drawJpeg(const std::string& path, int width, int height) {
  ensureVipsStarted();
  vips::VImage x = vips::VImage::xyz(width, height)[0];
  vips::VImage red = 255 - x * (255.0 / width);
  vips::VImage blue = x * (255.0 / width);
  vips::VImage picture = red.bandjoin(blue * 0.5).bandjoin(blue).cast(VIPS_FORMAT_UCHAR);
  picture.jpegsave(path.c_str());
}

class PreviewFixture : public ServerCardsTest {
 protected:
  void SetUp() override {
    ServerCardsTest::SetUp();
    drawJpeg(root_ + "/photo.jpg", 800, 600);
    photo_ = describe(root_ + "/photo.jpg", Kind::image, {Reason::staleLargeDownload}, 2);
    notes_ =
        file("notes.pdf", std::string(3000, 'n'), Kind::document, {Reason::staleLargeDownload}, 1);
    loose(photo_);
    loose(notes_);
  }
  Item photo_, notes_;
};

TEST_F(PreviewFixture, CardsCarryThumbnailsRenderedOnce) {
  start();
  PhoneClient& ann = phone();
  auto first = ask<Message::QueueBatch>(ann, Message::DeckNext{DeckID::smart, 0, 10});
  ASSERT_EQ(first.cards.size(), 2u);
  ASSERT_TRUE(first.cards[0].file()->thumb.has_value());
  EXPECT_FALSE(first.cards[0].file()->thumb->empty());
  EXPECT_FALSE(first.cards[1].file()->thumb.has_value()) << "documents have no picture";

  auto renders = [&] {
    return onQueue<std::int64_t>(*server_, [](Server& s) { return s.thumbnailer()->renders(); });
  };
  // The photo's preview, rendered ahead once the batch went, is the last
  // render the first page causes.
  ASSERT_TRUE(eventually([&] {
    return std::filesystem::exists(storage_ + "/previews/" + photo_.id.string() + "-2048.heic");
  }));
  std::int64_t before = renders();
  auto second = ask<Message::QueueBatch>(ann, Message::DeckNext{DeckID::smart, 0, 10});
  EXPECT_EQ(second.cards[0].file()->thumb, first.cards[0].file()->thumb);
  EXPECT_EQ(renders(), before);
}

TEST_F(PreviewFixture, PreviewsAreCappedAnsweredForEveryCardAndHonourCancels) {
  start();
  PhoneClient& ann = phone();
  auto big = ask<Message::PreviewData>(ann, Message::Preview{photo_.id, 10000});
  EXPECT_EQ(big.id, photo_.id);
  EXPECT_FALSE(big.data.empty());
  EXPECT_TRUE(std::filesystem::exists(storage_ + "/previews/" + photo_.id.string() + "-4096.heic"));
  EXPECT_TRUE(eventually([&] { return events_->has("→ preview " + photo_.id.shortString()); }));

  auto none = ask<Message::PreviewData>(ann, Message::Preview{notes_.id, 1000});
  EXPECT_EQ(none.id, notes_.id);
  EXPECT_TRUE(none.data.empty());
  EXPECT_TRUE(eventually(
      [&] { return events_->has("→ preview " + notes_.id.shortString() + " 0 KB in "); }));

  Uuid stranger;
  ASSERT_TRUE(tell(ann, Message::Preview{stranger, 300},
                   "? preview for unknown card " + stranger.shortString()));

  // A cancel only stops requests made before it.
  ann.send(Message::CancelPreview{photo_.id});
  auto small = ask<Message::PreviewData>(ann, Message::Preview{photo_.id, 300});
  EXPECT_FALSE(small.data.empty());
  EXPECT_EQ(events_->count("· preview " + photo_.id.shortString() + " cancelled"), 0);
}

// Three photos whose thumbnail renders the test holds back.
class ColdDeckFixture : public ServerCardsTest {
 protected:
  void SetUp() override {
    ServerCardsTest::SetUp();
    for (int i = 0; i < 3; ++i) {
      std::string path = root_ + "/photo-" + std::to_string(i) + ".jpg";
      drawJpeg(path, 300, 200);
      photos_.push_back(describe(path, Kind::image, {Reason::staleLargeDownload}, 10 - i));
      loose(photos_.back());
    }
  }
  Server::Config config() override {
    Server::Config config = ServerCardsTest::config();
    config.renderThumbnail = [gate = gate_](const Thumbnailer& thumbnailer, const Item& item) {
      gate->enter(item.id);
      return thumbnailer.thumbnail(item);
    };
    config.previewFolderBytes = previewFolderBytes_;
    return config;
  }
  void TearDown() override {
    gate_->open();
    ServerCardsTest::TearDown();
  }
  std::int64_t renders() {
    return onQueue<std::int64_t>(*server_, [](Server& s) { return s.thumbnailer()->renders(); });
  }

  std::shared_ptr<RenderGate> gate_ = std::make_shared<RenderGate>();
  std::vector<Item> photos_;
  std::uintmax_t previewFolderBytes_ = 256 << 20;
};

TEST_F(ColdDeckFixture, AColdBatchHoldsBackOnlyItsOwnPhonesReplies) {
  start();
  PhoneClient& ann = phone();
  PhoneClient& bo = phone("Bo");
  ASSERT_TRUE(ann.send(Message::DeckNext{DeckID::smart, 0, 3}));
  ASSERT_TRUE(ann.send(Message::Summary{}));
  // Previews are not held back: once this one is turned away, the summary
  // before it has been read too.
  Uuid stranger;
  ASSERT_TRUE(tell(ann, Message::Preview{stranger, 300}, "? preview for unknown card "));
  ASSERT_TRUE(gate_->waitStarted(3)) << "warm-up and batch render side by side";

  // Meanwhile another phone and the agent are served.
  auto other = ask<Message::SummaryResult>(bo, Message::Summary{});
  EXPECT_EQ(other.macName, "Test Mac");
  EXPECT_EQ(onQueue<int>(*server_, [](Server& s) { return s.status().pendingCount; }), 0);
  EXPECT_FALSE(ann.receive(0ms).ok()) << "nothing for Ann before her batch";
  EXPECT_FALSE(events_->has("→ 3 cards"));

  gate_->open();
  auto first = ann.receive(20s);
  ASSERT_TRUE(first.ok()) << first.error;
  const auto* batch = first.message->get<Message::QueueBatch>();
  ASSERT_NE(batch, nullptr) << "the batch first, as asked";
  ASSERT_EQ(batch->cards.size(), 3u);
  for (const Card& card : batch->cards) {
    ASSERT_TRUE(card.file()->thumb.has_value());
    EXPECT_FALSE(card.file()->thumb->empty());
  }
  auto second = ann.receive(20s);
  ASSERT_TRUE(second.ok()) << second.error;
  EXPECT_TRUE(second.message->is<Message::SummaryResult>());
  EXPECT_TRUE(events_->has("→ 3 cards from #0 of smart"));
}

TEST_F(ColdDeckFixture, WarmUpAndBatchRenderEachThumbnailOnce) {
  start();
  // The warm-up holds the first photo's render.
  ASSERT_TRUE(gate_->waitStarted(1));
  PhoneClient& ann = phone();
  ASSERT_TRUE(ann.send(Message::DeckNext{DeckID::smart, 0, 3}));
  ASSERT_TRUE(gate_->waitStarted(3));
  gate_->open();
  auto batch = ann.receiveUntil(isA<Message::QueueBatch>, 20s);
  ASSERT_TRUE(batch.ok()) << batch.error;
  for (const Item& photo : photos_) EXPECT_EQ(gate_->started(photo.id), 1u) << photo.path;
  // The warm-up finds the rest on disk and renders nothing more.
  std::string last = storage_ + "/thumbs/" + photos_.back().id.string() + ".heic";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(last); }));
  auto again = ask<Message::QueueBatch>(ann, Message::DeckNext{DeckID::smart, 0, 3});
  EXPECT_EQ(again.cards, batch.message->get<Message::QueueBatch>()->cards);
  EXPECT_EQ(gate_->started(), 3u);
}

TEST_F(ColdDeckFixture, PreviewsOfTheNextCardsAreRenderedAheadAtTheLastSizeAsked) {
  gate_->open();
  start();
  PhoneClient& ann = phone();
  auto preview = [&](const Item& item, int size) {
    return storage_ + "/previews/" + item.id.string() + "-" + std::to_string(size) + ".heic";
  };
  // Paging renders ahead from the batch's first card, at 2048 until the
  // phone asked for a size.
  ask<Message::QueueBatch>(ann, Message::DeckNext{DeckID::smart, 1, 2});
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(preview(photos_[2], 2048)); }));
  EXPECT_TRUE(std::filesystem::exists(preview(photos_[1], 2048)));
  EXPECT_FALSE(std::filesystem::exists(preview(photos_[0], 2048))) << "before the batch";

  // A preview request renders the cards after it at its size; the phone
  // hears only about the one it asked for.
  auto asked = ask<Message::PreviewData>(ann, Message::Preview{photos_[0].id, 200});
  EXPECT_EQ(asked.id, photos_[0].id);
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(preview(photos_[2], 200)); }));
  EXPECT_TRUE(std::filesystem::exists(preview(photos_[1], 200)));
  auto next = ann.receive(0ms);
  EXPECT_FALSE(next.ok()) << "no reply for a preview rendered ahead";

  // The next request is a file read.
  std::int64_t before = renders();
  auto ready = ask<Message::PreviewData>(ann, Message::Preview{photos_[1].id, 200});
  std::optional<std::string> stored = readWholeFile(preview(photos_[1], 200));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(ready.data, Bytes(stored->begin(), stored->end()));
  EXPECT_EQ(renders(), before);
}

TEST_F(ColdDeckFixture, PreviewsAheadWaitUntilTheBatchIsSent) {
  start();
  PhoneClient& ann = phone();
  auto preview = [&](const Item& item) {
    return storage_ + "/previews/" + item.id.string() + "-2048.heic";
  };
  ASSERT_TRUE(ann.send(Message::DeckNext{DeckID::smart, 0, 3}));
  // Every thumbnail of the batch has been taken up by the pools while no
  // preview of its cards was rendered: the pool's threads went to what the
  // phone waits for.
  ASSERT_TRUE(gate_->waitStarted(3));
  for (const Item& photo : photos_) EXPECT_FALSE(std::filesystem::exists(preview(photo)));

  gate_->open();
  ASSERT_TRUE(ann.receiveUntil(isA<Message::QueueBatch>, 20s).ok());
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(preview(photos_[0])); }))
      << "rendered ahead once the batch went";
}

TEST_F(ColdDeckFixture, ThePreviewFolderKeepsToItsBound) {
  gate_->open();
  previewFolderBytes_ = 0;
  start();
  PhoneClient& ann = phone();
  auto data = ask<Message::PreviewData>(ann, Message::Preview{photos_[2].id, 300});
  EXPECT_FALSE(data.data.empty()) << "answered even when nothing may stay";
  EXPECT_TRUE(std::filesystem::is_empty(storage_ + "/previews"));
}

TEST_F(PreviewFixture, AGroupCardsPreviewIsItsKeepersSentUnderTheGroupsID) {
  drawJpeg(root_ + "/copy-a.jpg", 400, 300);
  std::filesystem::copy_file(root_ + "/copy-a.jpg", root_ + "/copy-b.jpg");
  const Group copies =
      group(GroupType::exact,
            {describe(root_ + "/copy-a.jpg", Kind::image, {}, 1),
             describe(root_ + "/copy-b.jpg", Kind::image, {Reason::exactDuplicate}, 1)});
  start();
  PhoneClient& ann = phone();
  auto ofGroup = ask<Message::PreviewData>(ann, Message::Preview{copies.id, 300});
  EXPECT_EQ(ofGroup.id, copies.id);
  EXPECT_FALSE(ofGroup.data.empty());
  EXPECT_TRUE(eventually([&] { return events_->has("→ preview " + copies.id.shortString()); }));
  auto ofKeeper = ask<Message::PreviewData>(ann, Message::Preview{copies.keeperID, 300});
  EXPECT_EQ(ofKeeper.data, ofGroup.data);
  EXPECT_FALSE(events_->has("? preview for unknown card"));
}

TEST_F(ServerCardsTest, RescanReportsProgressEveryTwoHundredFilesAndDecisionsSurviveARestart) {
  for (int i = 0; i < 450; ++i) file("f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
  file("twin-a.bin", std::string(64, 't'));
  file("twin-b.bin", std::string(64, 't'));
  start(std::nullopt);
  PhoneClient& ann = phone();
  std::vector<Message::ScanProgress> progress;
  auto summary =
      ann.request(Message::Rescan{}, isA<Message::SummaryResult>, 60s, [&](const Message& m) {
        if (const auto* p = m.get<Message::ScanProgress>()) {
          progress.push_back(*p);
        }
      });
  ASSERT_TRUE(summary.ok()) << summary.error;
  EXPECT_EQ(progress, (std::vector<Message::ScanProgress>{{200, 0}, {400, 0}, {452, 452}}));
  ASSERT_TRUE(events_->has("✓ scan: 452 files, 1 cards, 0 decisions re-attached"));

  auto batch = ask<Message::QueueBatch>(ann, Message::DeckNext{DeckID::duplicates, 0, 1});
  ASSERT_EQ(batch.cards.size(), 1u);
  Uuid twins = batch.cards[0].id();
  ASSERT_TRUE(tell(ann, Message::Decision{twins, Action::trash}, "· trash "));

  // A relaunch reads the stored report and finds the decision in the journal.
  phones_.clear();
  server_.reset();
  Report stored = Report::fromStoredJSON(*readWholeFile(storage_ + "/report.json"));
  events_ = std::make_shared<EventLog>();
  start(stored);
  EXPECT_EQ(events_->status()->pendingCount, 1);
  PhoneClient& again = phone();
  auto staged = ask<Message::StagedBatch>(again, Message::Staged{});
  ASSERT_EQ(staged.cards.size(), 1u);
  EXPECT_EQ(staged.cards[0].id(), twins);

  // A second scan makes new cards and brings the decision back onto them.
  std::vector<Message::ScanProgress> more;
  auto after =
      again.request(Message::Rescan{}, isA<Message::SummaryResult>, 60s, [&](const Message& m) {
        if (const auto* p = m.get<Message::ScanProgress>()) {
          more.push_back(*p);
        }
      });
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(more, (std::vector<Message::ScanProgress>{{200, 452}, {400, 452}, {452, 452}}));
  EXPECT_TRUE(events_->has("✓ scan: 452 files, 1 cards, 1 decisions re-attached, hash cache "));
  EXPECT_EQ(after.message->get<Message::SummaryResult>()->pendingCount, 1);
}

}  // namespace
}  // namespace tallowick
