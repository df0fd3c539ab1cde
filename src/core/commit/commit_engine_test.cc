#include "core/commit/commit_engine.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/commit/test_support.h"
#include "core/commit/trash.h"

namespace tallowick {
namespace {

using State = CommitEngine::State;
using ::testing::ElementsAre;
using testing::exists;
using ::testing::IsEmpty;
using testing::readText;
using testing::scannedFile;
using testing::setModified;
using testing::TempTree;
using testing::writeText;

Date at(const char* text) { return *codec::parseDate(text); }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A private tree, a root in it and a storage folder, with a clock the test
// sets.
struct Sandbox {
  std::unique_ptr<CommitEngine> makeEngine() {
    return std::make_unique<CommitEngine>(CommitEngine::Config({root}, storage),
                                          [this] { return now; });
  }
  std::string journal() const { return storage + "/decisions.jsonl"; }
  std::string journalText() const { return exists(journal()) ? readText(journal()) : ""; }
  std::size_t journalLines() const { return linesOf(journalText()).size(); }
  // A file in the root with a recorded decision.
  Item decided(CommitEngine& engine, const std::string& name, Action action = Action::trash,
               const std::string& content = "content") {
    Item item = scannedFile(root + "/" + name, content);
    engine.record(item, action, "phone");
    return item;
  }
  std::vector<std::string> logNames() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(storage + "/commits", ec)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  Json onlyLog() const {
    auto names = logNames();
    EXPECT_EQ(names.size(), 1u);
    if (names.empty()) return Json();
    return codec::parse(readText(storage + "/commits/" + names[0]));
  }

  TempTree tree;
  std::string root = tree.path("Down");
  std::string storage = tree.path("storage");
  Date now = at("2026-03-01T09:30:05Z");
};

class EngineTest : public ::testing::Test, public Sandbox {};

// ---- Journal ---------------------------------------------------------------

TEST_F(EngineTest, JournalLineForm) {
  auto engine = makeEngine();
  Item item = scannedFile(root + "/a.txt", "12345");
  item.id = *Uuid::parse("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
  item.modifiedAt = at("2026-02-01T10:00:00Z") + std::chrono::milliseconds(750);
  engine->record(item, Action::trash, "Anna's phone");
  EXPECT_EQ(journalText(),
            "{\"action\":\"trash\",\"at\":\"2026-03-01T09:30:05Z\",\"bytes\":5,"
            "\"device\":\"Anna's phone\",\"id\":\"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D\","
            "\"modifiedAt\":\"2026-02-01T10:00:00Z\",\"path\":\"" +
                root + "/a.txt\",\"state\":\"pending\"}\n");
  // The first append made the storage folder; a restart reads the entry
  // back with the date cut to whole seconds, still the same within 1 s.
  auto restarted = makeEngine();
  const CommitEngine::Entry* e = restarted->entry(item.path);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->modifiedAt, at("2026-02-01T10:00:00Z"));
  EXPECT_TRUE(sameModificationTime(e->modifiedAt, item.modifiedAt));
  EXPECT_EQ(e->id, item.id);
  EXPECT_EQ(e->device, "Anna's phone");
  EXPECT_FALSE(e->trashPath || e->reason);
}

TEST_F(EngineTest, ReplayRules) {
  auto line = [](const std::string& path, const std::string& state, const std::string& extra = "") {
    return "{\"action\":\"trash\",\"at\":\"2026-03-01T09:30:05Z\",\"bytes\":1,"
           "\"id\":\"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D\",\"path\":\"" +
           path + "\",\"state\":\"" + state + "\"" + extra + "}\n";
  };
  std::string noAt = line("/x", "trashed");
  noAt.replace(noAt.find("\"at\":\"2026-03-01T09:30:05Z\","), 29, "");
  std::string fractional = line("/x", "trashed");
  fractional.replace(fractional.find("05Z"), 3, "05.5Z");
  std::string badAction = line("/x", "trashed");
  badAction.replace(badAction.find("trash\""), 6, "later\"");
  std::string torn = line("/x/é.txt", "trashed");
  torn.resize(torn.find("é") + 1);  // cut inside the two bytes of "é"

  struct Case {
    const char* name;
    std::string text;
    std::map<std::string, std::string> expected;  // path -> state
  } cases[] = {
      {"empty", "", {}},
      {"blank lines", "\n\n\n", {}},
      {"later line wins", line("/x", "pending") + line("/x", "trashed"), {{"/x", "trashed"}}},
      {"later line wins backwards",
       line("/x", "trashed") + line("/x", "undone"),
       {{"/x", "undone"}}},
      {"unknown state", line("/x", "pending") + line("/x", "deleted"), {{"/x", "pending"}}},
      {"no at", line("/x", "pending") + noAt, {{"/x", "pending"}}},
      {"fractional date", line("/x", "failed") + fractional, {{"/x", "failed"}}},
      {"unknown action", line("/x", "failed") + badAction, {{"/x", "failed"}}},
      {"bad json between",
       line("/x", "pending") + "{\"path\":\n" + line("/y", "failed"),
       {{"/x", "pending"}, {"/y", "failed"}}},
      {"escaped slashes", line("\\/x\\/y", "pending"), {{"/x/y", "pending"}}},
      {"no final newline",
       line("/x", "pending").substr(0, line("/x", "pending").size() - 1),
       {{"/x", "pending"}}},
      {"torn inside a character", line("/y", "pending") + torn, {{"/y", "pending"}}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(storage);
    writeText(journal(), c.text);
    auto engine = makeEngine();
    std::map<std::string, std::string> got;
    for (const auto& [path, e] : engine->entries()) got[path] = std::string(rawValue(e.state));
    EXPECT_EQ(got, c.expected) << c.name;
  }

  // Optional fields absent in the line read as absent; present ones read.
  writeText(journal(), line("/x", "trashed") +
                           line("/y", "failed",
                                ",\"device\":\"d\",\"modifiedAt\":\"2026-01-01T00:00:00Z\","
                                "\"reason\":\"missing\",\"trashPath\":\"/t\""));
  auto engine = makeEngine();
  const CommitEngine::Entry* x = engine->entry("/x");
  const CommitEngine::Entry* y = engine->entry("/y");
  ASSERT_TRUE(x && y);
  EXPECT_FALSE(x->device || x->modifiedAt || x->reason || x->trashPath);
  EXPECT_EQ(y->device, "d");
  EXPECT_EQ(y->modifiedAt, at("2026-01-01T00:00:00Z"));
  EXPECT_EQ(y->reason, "missing");
  EXPECT_EQ(y->trashPath, "/t");
}

// Replay reads the journal a piece at a time: lines that straddle two
// pieces, and a line longer than a piece, read like any other.
TEST_F(EngineTest, ReplayOfAJournalLargerThanItsReadingPieces) {
  auto line = [](int i, const std::string& reason) {
    return "{\"action\":\"trash\",\"at\":\"2026-03-01T09:30:05Z\",\"bytes\":" + std::to_string(i) +
           ",\"id\":\"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D\",\"path\":\"/f" +
           std::to_string(i % 7000) + "\",\"reason\":\"" + reason + "\",\"state\":\"failed\"}\n";
  };
  std::string text;
  for (int i = 0; i < 20000; ++i) text += line(i, "missing");
  const std::string huge(3 << 20, 'r');
  text += line(20000, huge);
  text += line(20001, "missing").substr(0, 50);  // torn at the end
  writeText(journal(), text);
  ASSERT_GT(text.size(), 4u << 20);
  auto engine = makeEngine();
  ASSERT_EQ(engine->entries().size(), 7000u);
  for (int i = 20000 - 7000; i < 20000; ++i) {
    const CommitEngine::Entry* e = engine->entry("/f" + std::to_string(i % 7000));
    ASSERT_NE(e, nullptr) << i;
    if (i % 7000 != 20000 % 7000) {
      EXPECT_EQ(e->bytes, i);
    }
  }
  const CommitEngine::Entry* last = engine->entry("/f" + std::to_string(20000 % 7000));
  EXPECT_EQ(last->bytes, 20000);
  EXPECT_EQ(last->reason, huge);
  // The torn line is followed by a fresh one.
  decided(*engine, "after.txt");
  EXPECT_EQ(makeEngine()->entry(root + "/after.txt")->state, State::pending);
}

TEST_F(EngineTest, AppendAfterATornLineStartsAFreshLine) {
  {
    auto engine = makeEngine();
    decided(*engine, "a.txt");
  }
  std::string before = journalText();
  // A power cut in the middle of the next write.
  std::ofstream(journal(), std::ios::app) << "{\"action\":\"tra";
  auto engine = makeEngine();
  Item b = decided(*engine, "b.txt");
  EXPECT_EQ(linesOf(journalText()).size(), 3u);
  EXPECT_EQ(linesOf(journalText())[1], "{\"action\":\"tra");
  auto restarted = makeEngine();
  EXPECT_EQ(restarted->entries().size(), 2u);
  ASSERT_NE(restarted->entry(b.path), nullptr);
  EXPECT_EQ(restarted->entry(b.path)->state, State::pending);
}

TEST_F(EngineTest, RecordAndWithdrawTransitions) {
  auto engine = makeEngine();
  Item item = decided(*engine, "a.txt", Action::trash);
  engine->record(item, Action::keep, "tablet");
  EXPECT_EQ(engine->entry(item.path)->action, Action::keep);
  EXPECT_EQ(engine->entry(item.path)->state, State::pending);
  EXPECT_EQ(engine->entry(item.path)->device, "tablet");

  // A failed entry with a reason becomes a clean pending entry again.
  CommitEngine::Entry failed = *engine->entry(item.path);
  failed.state = State::failed;
  failed.reason = "missing";
  failed.trashPath = "/somewhere";
  engine->append(failed);
  engine->record(item, Action::skip, std::nullopt);
  const CommitEngine::Entry* e = engine->entry(item.path);
  EXPECT_EQ(e->state, State::pending);
  EXPECT_EQ(e->action, Action::skip);
  EXPECT_FALSE(e->reason || e->trashPath || e->device);

  // Withdrawing: only a pending entry changes.
  engine->cancelPending(item.path);
  EXPECT_EQ(engine->entry(item.path)->state, State::undone);
  EXPECT_EQ(engine->entry(item.path)->action, Action::skip);
  std::size_t lines = journalLines();
  engine->cancelPending(item.path);            // undone
  engine->cancelPending(root + "/never.txt");  // no entry
  failed.state = State::failed;
  engine->append(failed);
  engine->cancelPending(item.path);  // failed
  CommitEngine::Entry trashed = failed;
  trashed.state = State::trashed;
  engine->append(trashed);
  engine->cancelPending(item.path);             // trashed
  engine->record(item, Action::keep, "phone");  // trashed: unchanged
  EXPECT_EQ(journalLines(), lines + 2);         // the two appends only
  EXPECT_EQ(*engine->entry(item.path), trashed);
  EXPECT_EQ(engine->entry(root + "/never.txt"), nullptr);
}

TEST_F(EngineTest, PendingAndTrashedLists) {
  auto engine = makeEngine();
  Item a = decided(*engine, "a.txt", Action::trash);
  Item b = decided(*engine, "b.txt", Action::keep);
  Item c = decided(*engine, "c.txt", Action::trash);
  engine->cancelPending(c.path);
  ASSERT_EQ(engine->commit({a}, "phone").trashed, 1);
  auto paths = [](const std::vector<CommitEngine::Entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.path);
    return out;
  };
  EXPECT_THAT(paths(engine->pending()), ElementsAre(b.path));
  EXPECT_THAT(paths(engine->trashedEntries()), ElementsAre(a.path));
}

// The journal is the only record of decisions and of where committed files
// went: a decision it cannot take is not recorded, and a commit it cannot
// take moves nothing.
TEST_F(EngineTest, AnUnwritableJournalRecordsNothingAndCommitsNothing) {
  struct Case {
    const char* name;
    std::function<void(Sandbox&)> breakJournal;
    std::errc error;
  } cases[] = {
      {"a folder in its place",
       [](Sandbox& t) {
         std::filesystem::rename(t.journal(), t.journal() + ".old");
         std::filesystem::create_directory(t.journal());
       },
       std::errc::is_a_directory},
      {"a link in its place",
       [](Sandbox& t) {
         std::filesystem::rename(t.journal(), t.tree.path("elsewhere.jsonl"));
         std::filesystem::create_symlink(t.tree.path("elsewhere.jsonl"), t.journal());
       },
       std::errc::too_many_symbolic_link_levels},
  };
  for (const Case& c : cases) {
    auto t = std::make_unique<Sandbox>();
    auto engine = t->makeEngine();
    Item staged = t->decided(*engine, "staged.txt");
    Item kept = t->decided(*engine, "kept.txt", Action::keep);
    c.breakJournal(*t);
    std::string elsewhere = exists(t->tree.path("elsewhere.jsonl"))
                                ? readText(t->tree.path("elsewhere.jsonl"))
                                : std::string();

    Item late = scannedFile(t->root + "/late.txt", "late");
    EXPECT_EQ(engine->record(late, Action::trash, "phone"), c.error) << c.name;
    EXPECT_EQ(engine->entry(late.path), nullptr) << c.name;
    EXPECT_EQ(engine->record(kept, Action::trash, "phone"), c.error) << c.name;
    EXPECT_EQ(engine->entry(kept.path)->action, Action::keep) << c.name << ": the earlier stays";

    CommitEngine::Outcome outcome = engine->commit({staged}, "phone");
    EXPECT_EQ(outcome.trashed, 0) << c.name;
    EXPECT_THAT(outcome.failed, ElementsAre(CommitFailure{staged.id, "journal unwritable"}))
        << c.name;
    EXPECT_EQ(outcome.journalError, c.error) << c.name;
    EXPECT_TRUE(exists(staged.path)) << c.name;
    EXPECT_EQ(engine->entry(staged.path)->state, State::pending) << c.name;
    EXPECT_EQ(t->onlyLog()["items"][0]["reason"], "journal unwritable") << c.name;
    if (!elsewhere.empty()) {
      EXPECT_EQ(readText(t->tree.path("elsewhere.jsonl")), elsewhere)
          << c.name << ": nothing goes through the link";
    }
  }
}

TEST_F(EngineTest, TheStorageFolderIsMadePrivate) {
  auto engine = makeEngine();
  decided(*engine, "a.txt");
  struct stat st;
  ASSERT_EQ(::stat(storage.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A full disk, from a 1 MiB tmpfs mounted in a private mount namespace (so
// nothing of it is seen outside this process).
TEST_F(EngineTest, AFullDiskRecordsNothingAndCommitsNothing) {
  std::filesystem::create_directories(storage);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tallowick-test", storage.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here: "
                 << std::strerror(errno);
  }
  auto engine = makeEngine();
  Item staged = decided(*engine, "staged.txt");
  {
    std::ofstream filler(storage + "/filler", std::ios::binary);
    std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  // The journal's last page still takes a few lines; then it is full.
  std::error_code error;
  Item late;
  for (int i = 0; i < 100 && !error; ++i) {
    late = scannedFile(root + "/late" + std::to_string(i) + ".txt", "late");
    error = engine->record(late, Action::trash, "phone");
  }
  EXPECT_EQ(error, std::errc::no_space_on_device);
  EXPECT_EQ(engine->entry(late.path), nullptr);
  CommitEngine::Outcome outcome = engine->commit({staged}, "phone");
  EXPECT_THAT(outcome.failed, ElementsAre(CommitFailure{staged.id, "journal unwritable"}));
  EXPECT_EQ(outcome.journalError, std::errc::no_space_on_device);
  EXPECT_TRUE(exists(staged.path));
  // Room again: the decision is still staged and now goes through.
  std::filesystem::remove(storage + "/filler");
  EXPECT_EQ(engine->commit({staged}, "phone").trashed, 1);
  EXPECT_EQ(makeEngine()->entry(staged.path)->state, State::trashed);
  ::umount2(storage.c_str(), MNT_DETACH);
}

// A file moved whose line then cannot be written is reported with where it
// went. The journal is kept from growing by the file size limit, which lets
// the room reserved before the moves be taken and the line still fail.
TEST_F(EngineTest, AMoveTheJournalCannotTakeIsReported) {
  auto engine = makeEngine();
  Item item = decided(*engine, "a.txt");
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = std::filesystem::file_size(journal());
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  CommitEngine::Outcome outcome = engine->commit({item}, "phone");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(outcome.trashed, 1);
  ASSERT_EQ(outcome.unjournalled.size(), 1u);
  EXPECT_EQ(outcome.unjournalled[0].path, item.path);
  ASSERT_TRUE(outcome.unjournalled[0].trashPath);
  EXPECT_TRUE(exists(*outcome.unjournalled[0].trashPath));
  EXPECT_EQ(outcome.journalError, std::errc::file_too_large);
  EXPECT_EQ(engine->entry(item.path)->state, State::trashed);
}

TEST(SameModificationTime, Rules) {
  Date t = at("2026-03-01T09:30:05Z");
  using std::chrono::milliseconds;
  struct Case {
    std::optional<Date> a, b;
    bool same;
  } cases[] = {
      {t, t, true},
      {t + milliseconds(999), t, true},
      {t - milliseconds(999), t, true},
      {t + milliseconds(1000), t, false},
      {t, t + milliseconds(1000), false},
      {std::nullopt, std::nullopt, true},
      {t, std::nullopt, false},
      {std::nullopt, t, false},
      // Files dated beyond what a Date holds are read as its ends.
      {Date::max(), Date::min(), false},
      {Date::min(), Date::max(), false},
      {Date::max(), Date::max() - milliseconds(500), true},
      {Date::min() + milliseconds(500), Date::min(), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sameModificationTime(c.a, c.b), c.same)
        << (c.a ? codec::formatDate(*c.a) : "none") << " vs "
        << (c.b ? codec::formatDate(*c.b) : "none");
  }
}

// ---- Commit ----------------------------------------------------------------

TEST_F(EngineTest, CommitMovesPendingTrashAndLogsIt) {
  auto engine = makeEngine();
  Item a = decided(*engine, "a.txt", Action::trash, "aaa");
  Item b = decided(*engine, "sub/b.txt", Action::trash, "bb");
  now += std::chrono::seconds(60);
  CommitEngine::Outcome outcome = engine->commit({a, b}, "Anna");
  EXPECT_EQ(outcome.trashed, 2);
  EXPECT_EQ(outcome.freed, 5);
  EXPECT_THAT(outcome.failed, IsEmpty());
  ASSERT_EQ(outcome.moved.size(), 2u);
  for (const auto& [item, moved] :
       {std::pair{a, outcome.moved[0]}, std::pair{b, outcome.moved[1]}}) {
    EXPECT_FALSE(exists(item.path));
    ASSERT_TRUE(moved.trashPath);
    EXPECT_EQ(moved.trashPath->rfind(tree.homeTrash() + "/files/", 0), 0u);
    EXPECT_EQ(moved.state, State::trashed);
    EXPECT_EQ(moved.device, "Anna");
    EXPECT_EQ(moved.at, now);
    EXPECT_EQ(*engine->entry(item.path), moved);
  }
  EXPECT_EQ(readText(*outcome.moved[0].trashPath), "aaa");

  auto restarted = makeEngine();
  EXPECT_EQ(restarted->entry(a.path)->state, State::trashed);
  EXPECT_EQ(restarted->entry(a.path)->trashPath, outcome.moved[0].trashPath);

  EXPECT_THAT(logNames(), ElementsAre("2026-03-01T09-31-05Z.json"));
  Json log = onlyLog();
  EXPECT_EQ(log["at"], "2026-03-01T09:31:05Z");
  EXPECT_EQ(log["device"], "Anna");
  EXPECT_EQ(log["trashed"], 2);
  EXPECT_EQ(log["failed"], 0);
  EXPECT_EQ(log["bytes"], 5);
  ASSERT_EQ(log["items"].size(), 2u);
  EXPECT_EQ(log["items"][0], Json({{"path", a.path},
                                   {"bytes", 3},
                                   {"outcome", "trashed"},
                                   {"trashPath", *outcome.moved[0].trashPath}}));
  EXPECT_EQ(log["items"][1]["trashPath"], *outcome.moved[1].trashPath);
  // Pretty-printed with sorted keys.
  std::string text = readText(storage + "/commits/" + logNames()[0]);
  EXPECT_NE(text.find("\n  \"at\""), std::string::npos);
  EXPECT_LT(text.find("\"at\""), text.find("\"bytes\""));
  EXPECT_LT(text.find("\"device\""), text.find("\"failed\""));
  EXPECT_LT(text.find("\"items\""), text.find("\"trashed\": 2"));
}

TEST_F(EngineTest, CommitFailuresInTheirOrder) {
  struct Case {
    const char* name;
    // Changes the world after the decision; returns the item to commit.
    std::function<Item(Sandbox&, Item)> arrange;
    std::string reason;  // empty: moved
  } cases[] = {
      {"outside roots",
       [](Sandbox& t, Item) {
         Item item = scannedFile(t.tree.path("outside/x.txt"), "content");
         return item;
       },
       "outside roots"},
      {"outside roots and missing",
       [](Sandbox& t, Item) {
         Item item = scannedFile(t.tree.path("outside/x.txt"), "content");
         std::filesystem::remove(item.path);
         return item;
       },
       "outside roots"},
      {"the root itself",
       [](Sandbox& t, Item) {
         Item item;
         item.path = t.root;
         return item;
       },
       "outside roots"},
      {"swapped for a link to outside",
       [](Sandbox& t, Item item) {
         writeText(t.tree.path("outside/secret.txt"), "content");
         std::filesystem::remove(item.path);
         std::filesystem::create_symlink(t.tree.path("outside/secret.txt"), item.path);
         return item;
       },
       "outside roots"},
      {"folder swapped for a link to outside",
       [](Sandbox& t, Item) {
         Item item = scannedFile(t.root + "/sub/b.txt", "content");
         std::filesystem::create_directories(t.tree.path("outside"));
         std::filesystem::rename(t.root + "/sub", t.tree.path("outside/sub"));
         std::filesystem::create_directory_symlink(t.tree.path("outside/sub"), t.root + "/sub");
         return item;
       },
       "outside roots"},
      {"folder swapped for a link inside the roots",
       [](Sandbox& t, Item) {
         // The link leads to a file of the same name, size and date: only
         // the link tells that it is not the file the scan saw.
         Item item = scannedFile(t.root + "/sub/c.txt", "content");
         Item twin = scannedFile(t.root + "/other/c.txt", "content");
         setModified(twin.path, *item.modifiedAt);
         std::filesystem::rename(t.root + "/sub", t.root + "/moved");
         std::filesystem::create_directory_symlink(t.root + "/other", t.root + "/sub");
         return item;
       },
       "modified since scan"},
      {"file swapped for a link inside the roots",
       [](Sandbox& t, Item item) {
         writeText(t.root + "/twin.txt", "content");
         setModified(t.root + "/twin.txt", *item.modifiedAt);
         std::filesystem::remove(item.path);
         std::filesystem::create_symlink(t.root + "/twin.txt", item.path);
         return item;
       },
       "modified since scan"},
      {"folder gone",
       [](Sandbox& t, Item) {
         Item item = scannedFile(t.root + "/gone/d.txt", "content");
         std::filesystem::remove_all(t.root + "/gone");
         return item;
       },
       "missing"},
      {"missing",
       [](Sandbox&, Item item) {
         std::filesystem::remove(item.path);
         return item;
       },
       "missing"},
      {"size changed",
       [](Sandbox&, Item item) {
         std::ofstream(item.path, std::ios::app) << "+";
         setModified(item.path, *item.modifiedAt);
         return item;
       },
       "modified since scan"},
      {"touched 1.0 s later",
       [](Sandbox&, Item item) {
         setModified(item.path, *item.modifiedAt + std::chrono::seconds(1));
         return item;
       },
       "modified since scan"},
      {"touched 0.4 s later",
       [](Sandbox&, Item item) {
         setModified(item.path, *item.modifiedAt + std::chrono::milliseconds(400));
         return item;
       },
       ""},
      {"no date recorded",
       [](Sandbox&, Item item) {
         item.modifiedAt = std::nullopt;
         return item;
       },
       "modified since scan"},
      {"Trash unusable",
       [](Sandbox& t, Item item) {
         writeText(t.tree.homeTrash(), "not a folder");
         return item;
       },
       "Not a directory"},
  };
  for (const Case& c : cases) {
    auto t = std::make_unique<Sandbox>();
    auto engine = t->makeEngine();
    Item scanned = scannedFile(t->root + "/a.txt", "content");
    Item item = c.arrange(*t, scanned);
    engine->record(item, Action::trash, "phone");
    std::string before = exists(item.path) ? readText(item.path) : "";
    CommitEngine::Outcome outcome = engine->commit({item}, "committer");
    const CommitEngine::Entry* e = engine->entry(item.path);
    ASSERT_NE(e, nullptr) << c.name;
    if (c.reason.empty()) {
      EXPECT_EQ(outcome.trashed, 1) << c.name;
      EXPECT_THAT(outcome.failed, IsEmpty()) << c.name;
      EXPECT_FALSE(exists(item.path)) << c.name;
      continue;
    }
    EXPECT_EQ(outcome.trashed, 0) << c.name;
    EXPECT_THAT(outcome.failed, ElementsAre(CommitFailure{item.id, c.reason})) << c.name;
    EXPECT_EQ(e->state, State::failed) << c.name;
    EXPECT_EQ(e->reason, c.reason) << c.name;
    EXPECT_EQ(e->device, "committer") << c.name;
    EXPECT_EQ(t->makeEngine()->entry(item.path)->state, State::failed) << c.name;
    if (!before.empty()) {
      EXPECT_EQ(readText(item.path), before) << c.name << ": the file must stay in place";
    }
    EXPECT_TRUE(!exists(t->tree.homeTrash() + "/files") ||
                std::filesystem::is_empty(t->tree.homeTrash() + "/files"))
        << c.name;
    EXPECT_EQ(t->onlyLog()["items"][0]["reason"], c.reason) << c.name;
  }
}

TEST_F(EngineTest, OnlyPendingTrashDecisionsAreCommitted) {
  auto engine = makeEngine();
  Item kept = decided(*engine, "kept.txt", Action::keep);
  Item skipped = decided(*engine, "skipped.txt", Action::skip);
  Item withdrawn = decided(*engine, "withdrawn.txt", Action::trash);
  engine->cancelPending(withdrawn.path);
  Item gone = decided(*engine, "gone.txt", Action::trash);
  std::filesystem::remove(gone.path);
  ASSERT_EQ(engine->commit({gone}, "phone").failed.size(), 1u);  // now failed
  Item already = decided(*engine, "already.txt", Action::trash);
  ASSERT_EQ(engine->commit({already}, "phone").trashed, 1);  // now trashed
  Item never = scannedFile(root + "/never.txt", "x");
  Item wanted = decided(*engine, "wanted.txt", Action::trash);
  std::filesystem::remove_all(storage + "/commits");

  std::size_t lines = journalLines();
  CommitEngine::Outcome outcome =
      engine->commit({kept, skipped, withdrawn, gone, already, never, wanted}, "phone");
  EXPECT_EQ(outcome.trashed, 1);
  EXPECT_THAT(outcome.failed, IsEmpty());
  EXPECT_EQ(journalLines(), lines + 1);
  for (const Item& item : {kept, skipped, withdrawn, never}) EXPECT_TRUE(exists(item.path));
  Json log = onlyLog();
  ASSERT_EQ(log["items"].size(), 1u);
  EXPECT_EQ(log["items"][0]["path"], wanted.path);
}

TEST_F(EngineTest, BatchLimits) {
  constexpr std::int64_t kGiB = 1024 * 1024 * 1024;
  struct Case {
    const char* name;
    std::vector<std::int64_t> sizes;
    bool tooLarge;
  } cases[] = {
      {"500 files", std::vector<std::int64_t>(500, 1), false},
      {"501 files", std::vector<std::int64_t>(501, 1), true},
      {"exactly 20 GiB", {10 * kGiB, 10 * kGiB}, false},
      {"20 GiB and one byte", {10 * kGiB, 10 * kGiB + 1}, true},
      {"sizes that overflow", {INT64_MAX, INT64_MAX, 2}, true},
  };
  for (const Case& c : cases) {
    auto t = std::make_unique<Sandbox>();
    auto engine = t->makeEngine();
    std::vector<Item> items;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      // Sparse files: the sizes are real, the disk blocks are not.
      Item item = scannedFile(t->root + "/f" + std::to_string(i), "");
      if (c.sizes[i] <= 100 * kGiB) {
        ASSERT_EQ(::truncate(item.path.c_str(), c.sizes[i]), 0) << c.name;
      }
      item.bytes = c.sizes[i];
      item.modifiedAt = testing::modifiedOf(item.path);
      engine->record(item, Action::trash, "phone");
      items.push_back(item);
    }
    std::size_t lines = t->journalLines();
    CommitEngine::Outcome outcome = engine->commit(items, "phone");
    if (!c.tooLarge) {
      EXPECT_EQ(outcome.trashed, static_cast<std::int64_t>(items.size())) << c.name;
      EXPECT_THAT(outcome.failed, IsEmpty()) << c.name;
      continue;
    }
    EXPECT_EQ(outcome.trashed, 0) << c.name;
    EXPECT_EQ(outcome.freed, 0) << c.name;
    EXPECT_THAT(outcome.moved, IsEmpty()) << c.name;
    ASSERT_EQ(outcome.failed.size(), items.size()) << c.name;
    for (std::size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(outcome.failed[i], (CommitFailure{items[i].id, "batch too large"})) << c.name;
      EXPECT_EQ(engine->entry(items[i].path)->state, State::pending) << c.name;
      EXPECT_TRUE(exists(items[i].path)) << c.name;
    }
    EXPECT_EQ(t->journalLines(), lines) << c.name;
    Json log = t->onlyLog();
    EXPECT_EQ(log["trashed"], 0) << c.name;
    EXPECT_EQ(log["bytes"], 0) << c.name;
    EXPECT_EQ(log["failed"], items.size()) << c.name;
    EXPECT_EQ(log["items"].size(), items.size()) << c.name;
    EXPECT_EQ(log["items"][0]["outcome"], "failed") << c.name;
    EXPECT_EQ(log["items"][0]["reason"], "batch too large") << c.name;
  }
}

TEST_F(EngineTest, LimitStopsEarlyAndLeavesTheRestPending) {
  auto engine = makeEngine();
  std::vector<Item> items;
  for (const char* name : {"a", "b", "c", "d"}) items.push_back(decided(*engine, name));
  CommitEngine::Outcome outcome = engine->commit(items, "phone", 2);
  EXPECT_EQ(outcome.trashed, 2);
  EXPECT_EQ(engine->entry(items[2].path)->state, State::pending);
  EXPECT_EQ(engine->entry(items[3].path)->state, State::pending);
  EXPECT_TRUE(exists(items[3].path));
  Json log = onlyLog();
  EXPECT_EQ(log["items"][2]["outcome"], "skipped");
}

TEST_F(EngineTest, AnItemListedTwiceIsMovedOnce) {
  auto engine = makeEngine();
  Item item = decided(*engine, "a.txt");
  CommitEngine::Outcome outcome = engine->commit({item, item}, "phone");
  EXPECT_EQ(outcome.trashed, 1);
  EXPECT_THAT(outcome.failed, IsEmpty());
  EXPECT_EQ(engine->entry(item.path)->state, State::trashed);
  EXPECT_TRUE(engine->entry(item.path)->trashPath);
}

TEST_F(EngineTest, EmptyCommitStillLogs) {
  auto engine = makeEngine();
  Item kept = decided(*engine, "a.txt", Action::keep);
  CommitEngine::Outcome outcome = engine->commit({kept}, "phone");
  EXPECT_EQ(outcome.trashed, 0);
  EXPECT_EQ(outcome.freed, 0);
  EXPECT_THAT(outcome.failed, IsEmpty());
  EXPECT_THAT(outcome.moved, IsEmpty());
  EXPECT_EQ(onlyLog(), Json({{"at", "2026-03-01T09:30:05Z"},
                             {"device", "phone"},
                             {"trashed", 0},
                             {"failed", 0},
                             {"bytes", 0},
                             {"items", Json::array()}}));
}

TEST_F(EngineTest, SecondCommitInTheSameSecondReplacesTheLog) {
  auto engine = makeEngine();
  Item a = decided(*engine, "a.txt");
  engine->commit({a}, "first");
  Item b = decided(*engine, "b.txt");
  now += std::chrono::milliseconds(500);
  engine->commit({b}, "second");
  Json log = onlyLog();
  EXPECT_EQ(log["device"], "second");
  EXPECT_EQ(log["items"][0]["path"], b.path);
}

TEST_F(EngineTest, ALinkWhereTheLogGoesIsReplacedNotFollowed) {
  auto engine = makeEngine();
  Item a = decided(*engine, "a.txt");
  writeText(tree.path("elsewhere.txt"), "keep me");
  std::filesystem::create_directories(storage + "/commits");
  std::filesystem::create_symlink(tree.path("elsewhere.txt"),
                                  storage + "/commits/2026-03-01T09-30-05Z.json");
  engine->commit({a}, "phone");
  EXPECT_EQ(readText(tree.path("elsewhere.txt")), "keep me");
  EXPECT_FALSE(std::filesystem::is_symlink(storage + "/commits/2026-03-01T09-30-05Z.json"));
  EXPECT_EQ(onlyLog()["trashed"], 1);
}

// Commit and undo keep the journal and the Trash folders open while they
// run; nothing may stay open after them.
TEST_F(EngineTest, CommitAndUndoLeaveNoDescriptorOpen) {
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  auto engine = makeEngine();
  std::vector<Item> items;
  for (int i = 0; i < 5; ++i) items.push_back(decided(*engine, "d" + std::to_string(i) + "/f.txt"));
  items.push_back(decided(*engine, "never-there.txt"));
  std::filesystem::remove(items.back().path);
  auto before = openDescriptors();
  CommitEngine::Outcome outcome = engine->commit(items, "phone");
  EXPECT_EQ(outcome.trashed, 5);
  EXPECT_EQ(openDescriptors(), before);
  std::vector<std::string> paths;
  for (const Item& item : items) paths.push_back(item.path);
  EXPECT_EQ(engine->undo(paths).trashed, 5);
  EXPECT_EQ(openDescriptors(), before);
  // Appends after a commit reach the journal as before, which a restart
  // reads back whole.
  Item late = decided(*engine, "late.txt");
  auto restarted = makeEngine();
  EXPECT_EQ(restarted->entries().size(), items.size() + 1);
  EXPECT_EQ(restarted->entry(items[0].path)->state, State::undone);
  EXPECT_EQ(restarted->entry(items.back().path)->state, State::failed);
  EXPECT_EQ(restarted->entry(late.path)->state, State::pending);
}

TEST_F(EngineTest, NewRootsApplyToLaterCommits) {
  auto engine = makeEngine();
  Item item = decided(*engine, "a.txt");
  engine->setRoots({tree.path("Elsewhere")});
  CommitEngine::Outcome outcome = engine->commit({item}, "phone");
  EXPECT_THAT(outcome.failed, ElementsAre(CommitFailure{item.id, "outside roots"}));
}

// ---- Undo ------------------------------------------------------------------

TEST_F(EngineTest, UndoPutsFilesBackAndRecreatesTheirFolder) {
  auto engine = makeEngine();
  Item a = decided(*engine, "a.txt", Action::trash, "aaa");
  Item b = decided(*engine, "sub/deeper/b.txt", Action::trash, "bb");
  CommitEngine::Outcome committed = engine->commit({a, b}, "phone");
  ASSERT_EQ(committed.trashed, 2);
  std::filesystem::remove_all(root + "/sub");
  now += std::chrono::seconds(5);

  CommitEngine::Outcome undone = engine->undo(std::vector<std::string>{a.path, b.path});
  EXPECT_EQ(undone.trashed, 2);
  EXPECT_EQ(undone.freed, 5);
  EXPECT_THAT(undone.failed, IsEmpty());
  EXPECT_EQ(readText(a.path), "aaa");
  EXPECT_EQ(readText(b.path), "bb");
  for (const CommitEngine::Entry& e : undone.moved) {
    EXPECT_EQ(e.state, State::undone);
    EXPECT_EQ(e.at, now);
    EXPECT_EQ(e.device, "phone");
    EXPECT_TRUE(e.trashPath);  // kept as it was
    EXPECT_FALSE(exists(*e.trashPath));
  }
  EXPECT_TRUE(std::filesystem::is_empty(tree.homeTrash() + "/info"));
  EXPECT_EQ(makeEngine()->entry(b.path)->state, State::undone);
  std::size_t logs = logNames().size();

  // A second undo finds undone entries and does nothing.
  std::size_t lines = journalLines();
  CommitEngine::Outcome again = engine->undo(std::vector<std::string>{a.path});
  EXPECT_EQ(again.trashed, 0);
  EXPECT_THAT(again.failed, IsEmpty());
  EXPECT_EQ(journalLines(), lines);
  EXPECT_EQ(logNames().size(), logs);
}

TEST_F(EngineTest, UndoFailuresLeaveTheEntryTrashed) {
  struct Case {
    const char* name;
    std::function<void(Sandbox&, const Item&, const CommitEngine::Entry&)> arrange;
    std::string reason;
    // Below the tree: where the file must not have gone.
    std::string notThere = "";
  } cases[] = {
      {"Trash emptied",
       [](Sandbox&, const Item&, const CommitEngine::Entry&) {
         ASSERT_TRUE(Trash::emptyTrash(std::vector<std::string>{}).ok());
       },
       "gone from trash"},
      {"a new file at the place",
       [](Sandbox&, const Item& item, const CommitEngine::Entry&) {
         writeText(item.path, "newer");
       },
       "something is already there"},
      {"a folder at the place",
       [](Sandbox&, const Item& item, const CommitEngine::Entry&) {
         std::filesystem::create_directories(item.path);
       },
       "something is already there"},
      {"the folder cannot be made",
       [](Sandbox& t, const Item&, const CommitEngine::Entry&) {
         std::filesystem::remove_all(t.root + "/sub");
         writeText(t.root + "/sub", "a file where the folder was");
       },
       std::make_error_code(std::errc::not_a_directory).message()},
      {"its folder swapped for a link to outside",
       [](Sandbox& t, const Item&, const CommitEngine::Entry&) {
         std::filesystem::remove_all(t.root + "/sub");
         std::filesystem::create_directories(t.tree.path("outside"));
         std::filesystem::create_directory_symlink(t.tree.path("outside"), t.root + "/sub");
       },
       "outside roots", "outside/a.txt"},
      {"its folder swapped for a link inside the roots",
       [](Sandbox& t, const Item&, const CommitEngine::Entry&) {
         std::filesystem::remove_all(t.root + "/sub");
         std::filesystem::create_directories(t.root + "/other");
         std::filesystem::create_directory_symlink(t.root + "/other", t.root + "/sub");
       },
       "outside roots", "Down/other/a.txt"},
      {"another file in its Trash slot",
       [](Sandbox& t, const Item&, const CommitEngine::Entry& e) {
         // Restored by hand elsewhere; another file of the same name
         // trashed into the same slot since.
         std::filesystem::rename(*e.trashPath, t.tree.path("restored-by-hand.txt"));
         writeText(*e.trashPath, "another");
       },
       "gone from trash", "Down/sub/a.txt"},
      {"another file of the same size in its Trash slot",
       [](Sandbox& t, const Item&, const CommitEngine::Entry& e) {
         std::filesystem::rename(*e.trashPath, t.tree.path("restored-by-hand.txt"));
         writeText(*e.trashPath, "ORIGINAL");
         setModified(*e.trashPath, *e.modifiedAt + std::chrono::seconds(30));
       },
       "gone from trash", "Down/sub/a.txt"},
      {"a link in its Trash slot",
       [](Sandbox& t, const Item&, const CommitEngine::Entry& e) {
         std::filesystem::rename(*e.trashPath, t.tree.path("restored-by-hand.txt"));
         std::filesystem::create_symlink(t.tree.path("restored-by-hand.txt"), *e.trashPath);
       },
       "gone from trash", "Down/sub/a.txt"},
  };
  for (const Case& c : cases) {
    auto t = std::make_unique<Sandbox>();
    auto engine = t->makeEngine();
    Item item = t->decided(*engine, "sub/a.txt", Action::trash, "original");
    ASSERT_EQ(engine->commit({item}, "phone").trashed, 1) << c.name;
    CommitEngine::Entry trashed = *engine->entry(item.path);
    c.arrange(*t, item, trashed);
    std::size_t lines = t->journalLines();
    CommitEngine::Outcome outcome = engine->undo(std::vector<std::string>{item.path});
    EXPECT_EQ(outcome.trashed, 0) << c.name;
    EXPECT_THAT(outcome.failed, ElementsAre(CommitFailure{trashed.id, c.reason})) << c.name;
    EXPECT_EQ(*engine->entry(item.path), trashed) << c.name;
    EXPECT_EQ(t->journalLines(), lines) << c.name;
    if (c.reason == "something is already there" || c.reason == "outside roots") {
      EXPECT_EQ(readText(*trashed.trashPath), "original") << c.name;
    }
    if (!c.notThere.empty()) {
      EXPECT_FALSE(exists(t->tree.path(c.notThere))) << c.name;
    }
    if (c.reason == "gone from trash" && exists(*trashed.trashPath)) {
      EXPECT_TRUE(exists(t->tree.homeTrash() + "/info/a.txt.trashinfo"))
          << c.name << ": the other file keeps its info file";
    }
  }
}

TEST_F(EngineTest, UndoSkipsWhatWasNeverTrashed) {
  auto engine = makeEngine();
  Item pending = decided(*engine, "pending.txt");
  Item failed = decided(*engine, "failed.txt");
  std::filesystem::remove(failed.path);
  engine->commit({failed}, "phone");
  CommitEngine::Entry noTrashPath = *engine->entry(pending.path);
  noTrashPath.path = root + "/unknown-place.txt";
  noTrashPath.state = State::trashed;
  engine->append(noTrashPath);
  std::size_t lines = journalLines();
  CommitEngine::Outcome outcome = engine->undo(
      std::vector<std::string>{pending.path, failed.path, noTrashPath.path, root + "/nothing"});
  EXPECT_EQ(outcome.trashed, 0);
  EXPECT_THAT(outcome.failed, IsEmpty());
  EXPECT_EQ(journalLines(), lines);
}

TEST_F(EngineTest, UndoByIds) {
  auto engine = makeEngine();
  std::vector<Item> items;
  for (const char* name : {"a", "b", "c"}) items.push_back(decided(*engine, name));
  ASSERT_EQ(engine->commit(items, "phone").trashed, 3);
  CommitEngine::Outcome outcome =
      engine->undo(std::set<Uuid>{items[0].id, items[2].id, Uuid::random()});
  EXPECT_EQ(outcome.trashed, 2);
  EXPECT_TRUE(exists(items[0].path));
  EXPECT_FALSE(exists(items[1].path));
  EXPECT_TRUE(exists(items[2].path));
  EXPECT_EQ(engine->entry(items[1].path)->state, State::trashed);
}

}  // namespace
}  // namespace tallowick
