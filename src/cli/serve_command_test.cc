// Drives `tallowick serve` as a user does: its output lines, pairing with the
// code it prints, a scan of the given folder, and a clean stop on SIGTERM.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <vips/vips8>

#include "cli/program_test_util.h"
#include "core/thumbs/vips_runtime.h"
#include "shared/message.h"
#include "shared/psk.h"
#include "shared/report.h"
#include "shared/tls_test_util.h"
#include "shared/transport.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running `tallowick serve` and the lines it printed so far.
class ServeProcess : public testing::RunningProgram {
 public:
  ServeProcess(const std::string& program, const fs::path& home, std::vector<std::string> arguments)
      : RunningProgram(program, withServe(std::move(arguments)), [home] {
          setenv("HOME", home.c_str(), 1);
          setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        }) {}

  // The first line that starts with `prefix` once its time stamp is set
  // aside, without the stamp.
  std::optional<std::string> lineStartingWith(std::string_view prefix) {
    for (const auto& line : lines()) {
      if (unstamped(line).starts_with(prefix)) return std::string(unstamped(line));
    }
    return std::nullopt;
  }
  // `line` after a leading "2026-05-01 10:00:00 ".
  static std::string_view unstamped(std::string_view line) {
    static constexpr std::string_view kForm = "0000-00-00 00:00:00 ";
    if (line.size() < kForm.size()) return line;
    for (std::size_t i = 0; i < kForm.size(); ++i) {
      const bool digit = line[i] >= '0' && line[i] <= '9';
      if (kForm[i] == '0' ? !digit : line[i] != kForm[i]) return line;
    }
    return line.substr(kForm.size());
  }

 private:
  static std::vector<std::string> withServe(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "serve");
    return arguments;
  }
};

using ServeCommandTest = testing::ProgramTest;

TEST_F(ServeCommandTest, PrintsCodeAndQrPairsScansAndStopsOnSigterm) {
  for (const char* name : {"a.bin", "b.bin"}) {
    std::ofstream(dir_ / "root" / name) << std::string(2000, 'z');
  }
  const fs::path storage = dir_ / "storage";
  ServeProcess serve(
      program_, dir_ / "home",
      {"--storage", storage.string(), "--no-advertise", "--bind", "127.0.0.1", "--code", "024680",
       "--min-bytes", "1", "--print-qr", (dir_ / "root").string()});
  ASSERT_GT(serve.pid(), 0);
  asio::io_context io;
  auto waitLine = [&](std::string_view prefix) {
    return testing::runUntil(
        io, [&] { return serve.lineStartingWith(prefix).has_value(); }, 30s);
  };
  ASSERT_TRUE(waitLine("listening on "));
  ASSERT_TRUE(waitLine("code 024680"));
  ASSERT_TRUE(waitLine("qr {"));
  ASSERT_TRUE(waitLine("✓ scan: 2 files, 1 cards"));
  EXPECT_TRUE(serve.lineStartingWith("listening with identities: tallowick, dev-"));
  auto port = std::stoi(serve.lineStartingWith("listening on ")->substr(13));

  auto conn = TlsConnection::make("127.0.0.1", static_cast<std::uint16_t>(port),
                                  Transport::pairingParameters("024680"));
  conn->start(io.get_executor());
  std::optional<Message> reply;
  Transport::receive(
      conn, [&](Message message) { reply = std::move(message); }, [](auto) {});
  Transport::send(Message::Hello{"cli test", "", PSK::proof(PSK::derive("024680"), "")}, conn);
  ASSERT_TRUE(testing::runUntil(
      io, [&] { return reply.has_value(); }, 30s));
  EXPECT_TRUE(reply->is<Message::Hello>());
  ASSERT_TRUE(waitLine("· hello from “cli test” (code:cli test)"));
  conn->cancel();
  testing::runUntil(
      io, [&] { return conn->state() == TlsConnection::State::cancelled; }, 5s);

  // A second server on the same storage would write the same journal.
  ServeProcess second(program_, dir_ / "home",
                      {"--storage", storage.string(), "--no-advertise", "--bind", "127.0.0.1",
                       (dir_ / "root").string()});
  EXPECT_EQ(second.wait(), 1);
  EXPECT_TRUE(second.lines().empty());

  EXPECT_EQ(serve.stop(SIGTERM), 0);
  auto stored = std::ifstream(storage / "report.json").good();
  EXPECT_TRUE(stored);
}

TEST_F(ServeCommandTest, WithoutFoldersServesTheDesktopsUserDirectories) {
  const fs::path home = dir_ / "home";
  for (const char* name : {"Desktop", "Movies", "Videos", "Bilder"}) {
    fs::create_directories(home / name);
  }
  fs::create_directories(home / ".config");
  std::ofstream(home / ".config" / "user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n";
  setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  ServeProcess serve(
      program_, home,
      {"--storage", (dir_ / "storage").string(), "--no-advertise", "--bind", "127.0.0.1"});
  asio::io_context io;
  ASSERT_TRUE(testing::runUntil(
      io, [&] { return serve.lineStartingWith("⟳ scanning ").has_value(); }, 30s));
  EXPECT_EQ(*serve.lineStartingWith("⟳ scanning "), "⟳ scanning Desktop, Bilder, Videos");
  EXPECT_EQ(serve.stop(SIGTERM), 0);
}

TEST_F(ServeCommandTest, LogLinesAreStampedAndTheKeyStaysOutOfTheLog) {
  ServeProcess serve(program_, dir_ / "home",
                     {"--storage", (dir_ / "storage").string(), "--no-advertise", "--bind",
                      "127.0.0.1", "--code", "024680", (dir_ / "root").string()});
  asio::io_context io;
  ASSERT_TRUE(testing::runUntil(
      io, [&] { return serve.lineStartingWith("✓ scan: ").has_value(); }, 30s));
  ASSERT_TRUE(serve.lineStartingWith("listening on "));
  const std::string port = serve.lineStartingWith("listening on ")->substr(13);
  EXPECT_EQ(serve.lineStartingWith("next: "),
            "next: pair in the phone app with the code, or from another terminal: tallowick "
            "phone --host 127.0.0.1 --port " +
                port + " --code 024680 swipe");
  for (const std::string& line : serve.lines()) {
    EXPECT_FALSE(line.starts_with("qr")) << line;
    EXPECT_EQ(line.find("\"psk\""), std::string::npos) << line;
    const bool status = line.starts_with("code ") || line.starts_with("listening on ") ||
                        line.starts_with("next: ");
    EXPECT_NE(ServeProcess::unstamped(line).size() == line.size(), !status) << line;
  }
  EXPECT_EQ(serve.stop(SIGTERM), 0);
}

TEST_F(ServeCommandTest, BadInputIsOneLineAndANonZeroStatus) {
  // Something already listens on this port.
  asio::io_context io;
  asio::ip::tcp::acceptor busy(io, {asio::ip::make_address("127.0.0.1"), 0});
  const std::string busyPort = std::to_string(busy.local_endpoint().port());
  std::ofstream(dir_ / "file") << "in the way";
  const std::string root = " '" + (dir_ / "root").string() + "'";
  const std::string file = (dir_ / "file").string();
  const std::string storage = " --storage '" + (dir_ / "storage").string() + "'";
  const std::string serve = "serve --no-advertise";
  struct Case {
    std::string arguments;
    int status;
    std::string firstLine;
  };
  const Case cases[] = {
      {serve + " --code 12ab56" + root, 2, "tallowick serve: the code must be six digits: 12ab56"},
      {serve + " --code 1234567" + root, 2,
       "tallowick serve: the code must be six digits: 1234567"},
      {serve + " '" + (dir_ / "missing").string() + "'", 2,
       "tallowick serve: no such folder: " + (dir_ / "missing").string()},
      {serve + " '" + file + "'", 2, "tallowick serve: not a folder: " + file},
      {serve + " --roots-json '" + (dir_ / "missing.json").string() + "'", 2,
       "tallowick serve: cannot read roots file: " + (dir_ / "missing.json").string()},
      {serve + " --port 70000" + root, 2,
       "tallowick serve: --port: expected a whole number from 0 to 65535, got 70000"},
      {serve + " --port 0x50" + root, 2,
       "tallowick serve: --port: expected a whole number from 0 to 65535, got 0x50"},
      {serve + " --min-bytes 1e6" + root, 2,
       "tallowick serve: --min-bytes: expected a whole number of at least 0, got 1e6"},
      {serve + " --storage '" + file + "'" + root, 1,
       "tallowick serve: cannot use the storage folder " + file + ": not a folder"},
      {serve + " --storage '" + file + "/sub'" + root, 1,
       "tallowick serve: cannot use the storage folder " + file + "/sub: cannot create it"},
      {serve + storage + " --bind 127.0.0.1 --port " + busyPort + root, 1,
       "tallowick serve: cannot listen on 127.0.0.1 port " + busyPort + ": Address already in use"},
      {serve + storage + " --bind not-an-address" + root, 1,
       "tallowick serve: cannot listen on not-an-address: Invalid argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const testing::Outcome outcome = run(c.arguments);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, c.firstLine + "\n");
  }
}

// What one `tallowick phone` run printed.
struct PhoneRun {
  int status = -1;
  std::vector<Message> replies;  // the JSON lines of standard output
  std::string err;

  template <class T>
  const T* first() const {
    for (const auto& reply : replies) {
      if (const T* found = reply.get<T>()) return found;
    }
    return nullptr;
  }
};

// Runs `tallowick phone` to completion with the test's environment.
PhoneRun runPhone(const std::string& program, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"phone", "--json"});
  testing::RunningProgram phone(program, arguments, [] {});
  PhoneRun run;
  run.status = phone.wait();
  run.err = phone.err();
  for (const std::string& line : phone.lines()) {
    run.replies.push_back(Message::fromJson(Json::parse(line)));
  }
  return run;
}

void setAge(const fs::path& path, int days) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - days * 86400L, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A photo drawn at test time; `quality` changes the bytes, not the picture.
void drawPhoto(const fs::path& path, int quality) {
  ensureVipsStarted();
  vips::VImage x = vips::VImage::xyz(640, 480)[0];
  vips::VImage y = vips::VImage::xyz(640, 480)[1];
  vips::VImage picture =
      (x * 0.3).bandjoin(y * 0.5).bandjoin(255 - x * 0.3).cast(VIPS_FORMAT_UCHAR);
  picture.jpegsave(path.c_str(), vips::VImage::option()->set("Q", quality));
}

// The full session: `tallowick serve` over a scanned tree and
// `tallowick phone` deciding, changing a keeper, committing, undoing,
// emptying the Trash, rescanning, and finding its decision again after the
// agent restarts.
TEST_F(ServeCommandTest, AFullSessionFromPairingToEmptyTrashAndBackAfterARestart) {
  const fs::path root = dir_ / "root";
  std::vector<fs::path> copies;
  for (const char* folder : {"a", "b", "c", "d"}) {
    fs::create_directories(root / folder);
    copies.push_back(root / folder / "report.pdf");
    std::ofstream(copies.back()) << std::string(4000, 'r');
  }
  drawPhoto(root / "beach.jpg", 90);
  drawPhoto(root / "beach-2.jpg", 80);
  const fs::path screenshot = root / "Screenshot 2026-09-01 at 10.00.00.png";
  std::ofstream(screenshot) << std::string(3000, 's');
  setAge(screenshot, 60);
  const fs::path installer = root / "Setup.dmg";
  std::ofstream(installer) << std::string(5000, 'i');
  setAge(installer, 30);

  setenv("HOME", (dir_ / "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir_ / "home" / "data").c_str(), 1);
  const fs::path trash = dir_ / "home" / "data" / "Trash" / "files";
  const fs::path storage = dir_ / "storage";
  const std::vector<std::string> serveArguments = {
      "--storage",  storage.string(), "--no-advertise", "--bind", "127.0.0.1",
      "--code",     "024680",         "--min-bytes",    "1",      "--home-trash-only",
      root.string()};
  auto serve = std::make_unique<ServeProcess>(program_, dir_ / "home", serveArguments);
  asio::io_context io;
  auto waitLine = [&](std::string_view prefix) {
    return testing::runUntil(
        io, [&] { return serve->lineStartingWith(prefix).has_value(); }, 60s);
  };
  ASSERT_TRUE(waitLine("✓ scan: 8 files, 4 cards"));
  std::string port = serve->lineStartingWith("listening on ")->substr(13);
  auto phone = [&](std::vector<std::string> commands) {
    std::vector<std::string> arguments = {"--host", "127.0.0.1", "--port",
                                          port,     "--code",    "024680"};
    arguments.insert(arguments.end(), commands.begin(), commands.end());
    return runPhone(program_, arguments);
  };

  // The decks, and a page of the smart deck no longer than asked for.
  PhoneRun first = phone({"summary", "deck", "smart", "--n", "2", "deck", "duplicates", "deck",
                          "screenshots", "deck", "installers"});
  ASSERT_EQ(first.status, 0) << first.err;
  const auto* summary = first.first<Message::SummaryResult>();
  ASSERT_NE(summary, nullptr);
  std::map<DeckID, int> counts;
  for (const Deck& deck : summary->decks) counts[deck.id] = deck.count;
  EXPECT_EQ(counts, (std::map<DeckID, int>{{DeckID::smart, 4},
                                           {DeckID::duplicates, 1},
                                           {DeckID::similar, 1},
                                           {DeckID::screenshots, 1},
                                           {DeckID::installers, 1}}));
  ASSERT_EQ(first.replies.size(), 5u);
  EXPECT_EQ(first.replies[1].get<Message::QueueBatch>()->cards.size(), 2u);
  const GroupCard group = *first.replies[2].get<Message::QueueBatch>()->cards.at(0).group();
  const Uuid shot = first.replies[3].get<Message::QueueBatch>()->cards.at(0).id();
  const Uuid setup = first.replies[4].get<Message::QueueBatch>()->cards.at(0).id();
  ASSERT_EQ(group.members.size(), 4u);
  const std::string groupID = group.id.string();
  const std::string newKeeper = group.members[3].id.string();

  // A decision on the group of four stages three files; the keeper moves.
  PhoneRun staged = phone({"empty-trash", "--confirm"});
  EXPECT_NE(staged.status, 0) << "nothing was committed yet";
  ASSERT_NE(staged.first<Message::Refused>(), nullptr);
  EXPECT_EQ(staged.first<Message::Refused>()->reason,
            "commit first, then confirm within 10 minutes");
  staged = phone({"decide", groupID, "trash", "keeper", groupID, newKeeper, "summary", "staged"});
  ASSERT_EQ(staged.status, 0) << staged.err;
  EXPECT_EQ(staged.first<Message::SummaryResult>()->pendingCount, 3);
  EXPECT_EQ(staged.first<Message::CardUpdated>()->card.group()->keeperID, group.members[3].id);
  ASSERT_EQ(staged.first<Message::StagedBatch>()->cards.size(), 1u);

  // The screenshot changes after the scan: the commit leaves it alone.
  std::ofstream(screenshot, std::ios::app) << "edited";
  PhoneRun commit = phone({"decide", shot.string(), "trash", "commit"});
  ASSERT_EQ(commit.status, 0) << commit.err;
  const auto* result = commit.first<Message::CommitResult>();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->trashed, 3);
  EXPECT_EQ(result->freed, 12000);
  EXPECT_EQ(result->failed, (std::vector<CommitFailure>{{shot, "modified since scan"}}));
  const fs::path kept = fs::path(group.members[3].path);
  EXPECT_TRUE(fs::exists(kept));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(group.members[i].path)) << i;
  EXPECT_TRUE(fs::exists(screenshot));
  EXPECT_EQ(std::distance(fs::directory_iterator(trash), fs::directory_iterator{}), 3);

  // Undo puts them back; trashing them again and emptying the Trash ends them.
  PhoneRun undo = phone({"undo", groupID, "summary"});
  ASSERT_EQ(undo.status, 0) << undo.err;
  ASSERT_TRUE(waitLine("· restored 3 file(s) for " + group.id.shortString()));
  for (const FileCard& member : group.members) EXPECT_TRUE(fs::exists(member.path)) << member.path;
  PhoneRun empty = phone({"decide", groupID, "trash", "commit", "empty-trash", "--confirm"});
  ASSERT_EQ(empty.status, 0) << empty.err;
  EXPECT_NE(empty.first<Message::Ok>(), nullptr);
  EXPECT_TRUE(fs::is_empty(trash));
  EXPECT_TRUE(fs::exists(kept));

  // A rescan reports its progress and the new summary: the last copy and
  // the edited screenshot are no longer candidates.
  PhoneRun rescan = phone({"decide", setup.string(), "trash", "rescan"});
  ASSERT_EQ(rescan.status, 0) << rescan.err;
  const auto* progress = rescan.first<Message::ScanProgress>();
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->done, 5);
  EXPECT_EQ(progress->total, 5);
  ASSERT_NE(rescan.first<Message::SummaryResult>(), nullptr);
  EXPECT_EQ(rescan.first<Message::SummaryResult>()->pendingCount, 1);
  ASSERT_TRUE(waitLine("✓ scan: 5 files, 2 cards, 1 decisions re-attached"));

  // After a restart the installer is still staged.
  ASSERT_EQ(serve->stop(SIGTERM), 0);
  serve = std::make_unique<ServeProcess>(program_, dir_ / "home", serveArguments);
  ASSERT_TRUE(waitLine("✓ scan: 5 files, 2 cards, 1 decisions re-attached"));
  port = serve->lineStartingWith("listening on ")->substr(13);
  PhoneRun after = phone({"staged"});
  ASSERT_EQ(after.status, 0) << after.err;
  ASSERT_EQ(after.first<Message::StagedBatch>()->cards.size(), 1u);
  // Every scan names its cards anew; the file is what stays the same.
  ASSERT_NE(after.first<Message::StagedBatch>()->cards[0].file(), nullptr);
  EXPECT_EQ(after.first<Message::StagedBatch>()->cards[0].file()->path, installer.string());
  EXPECT_EQ(serve->stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tallowick
