#include "agent/agent.h"

#include <QThread>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent_test_util.h"
#include "core/scan/root_list.h"
#include "core/server/computer_name.h"
#include "core/server/server_test_util.h"
#include "shared/file_util.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using testing::AgentTest;
using testing::processUntil;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new testing::QtEnvironment);

std::vector<std::string> pathsOf(const std::vector<ScanRoot>& roots) {
  std::vector<std::string> out;
  for (const ScanRoot& root : roots) out.push_back(root.path());
  return out;
}

Server::Event logEvent(const std::string& line) { return {Server::Event::Log{line}}; }

TEST_F(AgentTest, WithoutStoredFoldersTheDefaultFoldersAreUsedAndNotStored) {
  makeFolders({"Desktop", "Downloads", "Pictures", "Documents", "Movies"});
  Agent& agent = makeAgent();
  // No videos folder: four, every switch on.
  EXPECT_EQ(pathsOf(agent.roots()),
            (std::vector<std::string>{home_ + "/Desktop", home_ + "/Downloads", home_ + "/Pictures",
                                      home_ + "/Documents"}));
  for (const ScanRoot& root : agent.roots()) {
    EXPECT_TRUE(root.duplicates && root.screenshots && root.stale);
  }
  EXPECT_FALSE(settings()->contains(Agent::kScanRootsKey));
  EXPECT_EQ(agent.macName(), "Test Machine");
  EXPECT_EQ(agent.storage(), home_ + "/.local/share/Tallowick");
  EXPECT_TRUE(agent.fullDiskAccess());
  EXPECT_FALSE(agent.launchAtLogin());
  EXPECT_EQ(agent.status(), Server::Status{});
  EXPECT_EQ(agent.server(), nullptr);
}

TEST_F(AgentTest, AStoredListIsUsedUnlessItIsEmptyOrUndecodable) {
  makeFolders({"Desktop", "Pictures"});
  ScanRoot stored = ScanRoot::fromPath("/srv/photos");
  stored.stale = false;
  struct Case {
    QVariant value;
    std::vector<ScanRoot> want;
  };
  const std::vector<ScanRoot> defaults = defaultRoots();
  ASSERT_EQ(defaults.size(), 2u);
  const Case cases[] = {
      {QString::fromStdString(rootsToJson({stored})), {stored}},
      {QByteArray::fromStdString(rootsToJson({stored})), {stored}},
      {QString("[]"), defaults},
      {QString("[{\"url\": 3}]"), defaults},
      {QString("not json"), defaults},
  };
  for (const Case& c : cases) {
    settings()->setValue(Agent::kScanRootsKey, c.value);
    SCOPED_TRACE(c.value.toString().toStdString());
    EXPECT_EQ(makeAgent().roots(), c.want);
  }
}

TEST_F(AgentTest, FolderEditsAreStoredAndReadBack) {
  makeFolders({"Desktop", "a", "b"});
  Agent& agent = makeAgent();
  int signalled = 0;
  QObject::connect(&agent, &Agent::rootsChanged, [&] { ++signalled; });
  const std::string a = home_ + "/a", b = home_ + "/b", desktop = home_ + "/Desktop";

  // The same folder twice in one choice, and one already there: added once.
  agent.addFolders({a, a, desktop, b});
  EXPECT_EQ(pathsOf(agent.roots()), (std::vector<std::string>{desktop, a, b}));
  EXPECT_EQ(settings()->value(Agent::kScanRootsKey).toString().toStdString(),
            rootsToJson(agent.roots()));

  ScanRoot changed = agent.roots()[1];
  changed.duplicates = false;
  EXPECT_TRUE(agent.updateRoot(changed));
  EXPECT_EQ(agent.roots()[1], changed);
  EXPECT_TRUE(agent.roots()[0].duplicates && agent.roots()[2].duplicates);
  EXPECT_FALSE(agent.updateRoot(ScanRoot::fromPath("/nowhere")));

  agent.removeRoot(desktop);
  const std::string afterRemove = rootsToJson(agent.roots());
  // An unknown path stores the list again, unchanged.
  settings()->remove(Agent::kScanRootsKey);
  agent.removeRoot("/nowhere");
  EXPECT_EQ(settings()->value(Agent::kScanRootsKey).toString().toStdString(), afterRemove);
  EXPECT_EQ(signalled, 4);

  // The next agent (the next launch) reads what was stored.
  EXPECT_EQ(makeAgent().roots(), agent.roots());
  // Removing the last folder stores an empty list: the next launch takes
  // the defaults again.
  agent.removeRoot(a);
  agent.removeRoot(b);
  EXPECT_EQ(settings()->value(Agent::kScanRootsKey).toString(), "[]");
  EXPECT_EQ(pathsOf(makeAgent().roots()), std::vector<std::string>{desktop});
}

TEST_F(AgentTest, TheLogKeepsEightLinesAfterEachServerLogLine) {
  Agent& agent = makeAgent();
  std::vector<std::string> appended;
  QObject::connect(&agent, &Agent::lineAppended,
                   [&](const QString& line) { appended.push_back(line.toStdString()); });
  for (int i = 1; i <= 8; ++i) agent.handle(logEvent("line " + std::to_string(i)));
  EXPECT_EQ(agent.recentLog().size(), 8u);
  agent.handle(logEvent("line 9"));
  EXPECT_EQ(agent.recentLog().front(), "line 2");
  EXPECT_EQ(agent.recentLog().back(), "line 9");
  EXPECT_EQ(agent.recentLog().size(), 8u);

  // Listening lines are appended untrimmed until the next log line.
  agent.handle({Server::Event::Listening{52000}});
  agent.handle({Server::Event::Listening{std::nullopt}});
  EXPECT_EQ(agent.recentLog().size(), 10u);
  EXPECT_EQ(agent.recentLog()[8], "listening on 52000");
  EXPECT_EQ(agent.recentLog()[9], "listening on ?");
  agent.handle({Server::Event::ListenFailed{"Address already in use"}});
  EXPECT_EQ(agent.recentLog().back(), "listen failed: Address already in use");
  agent.handle(logEvent("line 10"));
  EXPECT_EQ(agent.recentLog().size(), 8u);
  EXPECT_EQ(agent.recentLog().front(), "line 6");
  EXPECT_EQ(appended.size(), 13u);

  // Scans and commits change nothing shown; a status replaces the snapshot.
  const auto before = agent.recentLog();
  agent.handle({Server::Event::Scanned{Report{}}});
  agent.handle({Server::Event::Committed{3, 1000}});
  EXPECT_EQ(agent.recentLog(), before);
  EXPECT_EQ(agent.status(), Server::Status{});
  Server::Status status;
  status.code = "123456";
  status.pendingCount = 3;
  agent.handle({Server::Event::Status{status}});
  EXPECT_EQ(agent.status(), status);
}

TEST_F(AgentTest, TheWelcomeShowsUntilAcknowledgedOrWhenAskedFor) {
  Agent& agent = makeAgent();
  EXPECT_TRUE(agent.shouldShowWelcome({"tallowick-agent"}));
  agent.acknowledgeWelcome();
  EXPECT_TRUE(settings()->value(Agent::kSeenWelcomeKey).toBool());
  Agent& next = makeAgent();
  EXPECT_TRUE(next.seenWelcome());
  EXPECT_FALSE(next.shouldShowWelcome({"tallowick-agent"}));
  EXPECT_TRUE(next.shouldShowWelcome({"tallowick-agent", "-welcome"}));
  EXPECT_TRUE(next.shouldShowWelcome({"tallowick-agent", "--welcome"}));
}

TEST_F(AgentTest, TheDefaultNameIsTheComputerNameWithoutLocal) {
  Agent::Parts parts;
  parts.settings = settings();
  parts.useSystemWake = false;
  Agent agent(std::move(parts));
  EXPECT_EQ(agent.macName(), computerName());
  EXPECT_EQ(agent.macName().find(".local"), std::string::npos);
}

TEST_F(AgentTest, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
  Agent& agent = makeAgent();
  agent.setLaunchAtLogin(true);
  EXPECT_TRUE(agent.launchAtLogin());
  EXPECT_EQ(readWholeFile(autostartPath()),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Tallowick Agent\n"
            "Comment=Suggests files you may no longer need and sorts them with your phone\n"
            "Exec=/opt/tallowick/bin/tallowick-agent\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n");
  EXPECT_TRUE(makeAgent().recentLog().empty());

  agent.setLaunchAtLogin(false);
  EXPECT_FALSE(agent.launchAtLogin());
  EXPECT_FALSE(fs::exists(autostartPath()));
  agent.setLaunchAtLogin(false);  // nothing to remove is no error
  EXPECT_TRUE(agent.recentLog().empty());
}

TEST_F(AgentTest, TheExecLineQuotesWhatTheDesktopEntryFormatReserves) {
  auto exec = [](const std::string& program) {
    std::string entry = Agent::autostartEntry(program);
    std::size_t start = entry.find("Exec=") + 5;
    return entry.substr(start, entry.find('\n', start) - start);
  };
  EXPECT_EQ(exec("/usr/bin/tallowick-agent"), "/usr/bin/tallowick-agent");
  EXPECT_EQ(exec("/home/ann/My Apps/tallowick-agent"), "\"/home/ann/My Apps/tallowick-agent\"");
  EXPECT_EQ(exec("/a$b/x"), "\"/a\\\\$b/x\"");
  EXPECT_EQ(exec("/a\\b"), "\"/a\\\\\\\\b\"");
}

TEST_F(AgentTest, AnAutostartEntryCountsUnlessHidden) {
  const std::string path = root_ + "/entry.desktop";
  struct Case {
    const char* text;
    bool enabled;
  };
  const Case cases[] = {
      {"[Desktop Entry]\nExec=x\n", true},
      {"[Desktop Entry]\nHidden=true\n", false},
      {"[Desktop Entry]\nHidden = true\n", false},
      {"[Desktop Entry]\nHidden=false\n", true},
      {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
      {"[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true},
  };
  EXPECT_FALSE(Agent::autostartEnabled(path));
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::trunc) << c.text;
    EXPECT_EQ(Agent::autostartEnabled(path), c.enabled) << c.text;
  }
}

TEST_F(AgentTest, AnAutostartFailureIsOneLogLineAndTheToggleShowsTheTruth) {
  // A file where the autostart folder should be.
  std::ofstream(home_ + "/.config/autostart") << "x";
  Agent& agent = makeAgent();
  agent.setLaunchAtLogin(true);
  EXPECT_FALSE(agent.launchAtLogin());
  ASSERT_EQ(agent.recentLog().size(), 1u);
  EXPECT_TRUE(agent.recentLog()[0].starts_with("Launch at login: ")) << agent.recentLog()[0];
}

TEST_F(AgentTest, UpdatesOpenTheSoftwareCentreElseNameTheVersion) {
  const std::string bin = root_ + "/bin";
  fs::create_directories(bin);
  testing::ScopedEnv path("PATH", bin);
  Agent& agent = makeAgent();
  Agent::UpdateCheck none = agent.checkForUpdates();
  EXPECT_FALSE(none.opened);
  EXPECT_TRUE(none.message.contains("package manager"));
  EXPECT_TRUE(none.message.contains(*Agent::appVersion()));

  const std::string marker = root_ + "/opened";
  std::ofstream(bin + "/gnome-software") << "#!/bin/sh\necho \"$@\" > " << marker << "\n";
  fs::permissions(bin + "/gnome-software", fs::perms::owner_all);
  EXPECT_TRUE(agent.checkForUpdates().opened);
  EXPECT_TRUE(processUntil([&] { return readWholeFile(marker) == "--mode=updates\n"; }))
      << readWholeFile(marker).value_or("(none)");
}

TEST_F(AgentTest, ShowTrashOpensTheTrashElseItsFolder) {
  const std::string bin = root_ + "/bin";
  fs::create_directories(bin);
  fs::create_directories(home_ + "/.local/share/Trash/files");
  testing::ScopedEnv path("PATH", bin);
  Agent& agent = makeAgent();
  EXPECT_FALSE(agent.showTrash());

  // An opener that knows no trash: scheme, as xdg-open's generic mode.
  const std::string log = root_ + "/opened";
  std::ofstream(bin + "/xdg-open")
      << "#!/bin/sh\necho \"$1\" >> " << log << "\ncase \"$1\" in trash:*) exit 4;; esac\n";
  fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
  EXPECT_TRUE(agent.showTrash());
  const std::string want = "trash:///\nfile://" + home_ + "/.local/share/Trash/files\n";
  ASSERT_TRUE(processUntil([&] { return readWholeFile(log) == want; }))
      << readWholeFile(log).value_or("(none)");
}

// The agent over a real server on loopback.
class AgentServerTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    makeFolders({"a", "b"});
    std::ofstream(home_ + "/a/one.bin") << std::string(2000, 'x');
  }
  void TearDown() override {
    // A scan still running when the server goes would be abandoned inside
    // libraries the exit tears down.
    if (agent_) processUntil([&] { return !scanning(); });
    AgentTest::TearDown();
  }
  void startAgent(std::chrono::milliseconds interval = Agent::kRescanInterval) {
    settings()->setValue(Agent::kScanRootsKey,
                         QString::fromStdString(rootsToJson({ScanRoot::fromPath(home_ + "/a")})));
    agent_ = &makeAgent(interval);
    QObject::connect(agent_, &Agent::lineAppended,
                     [this](const QString& line) { lines_.push_back(line.toStdString()); });
    QObject::connect(agent_, &Agent::statusChanged, [this] {
      onMainThread_ = onMainThread_ && QThread::currentThread() == qApp->thread();
    });
    agent_->start();
  }
  int count(std::string_view prefix) const {
    return static_cast<int>(std::count_if(
        lines_.begin(), lines_.end(), [&](const auto& line) { return line.starts_with(prefix); }));
  }
  bool scanning() const {
    return agent_->status().scanning.has_value() || count("✓ scan:") < count("⟳ scanning");
  }

  Agent* agent_ = nullptr;
  std::vector<std::string> lines_;
  bool onMainThread_ = true;
};

TEST_F(AgentServerTest, StartListensScansAndReportsOnTheMainThread) {
  startAgent();
  ASSERT_TRUE(processUntil([&] { return agent_->status().listening; }));
  ASSERT_TRUE(processUntil([&] { return count("✓ scan: 1 files") == 1; }));
  EXPECT_TRUE(onMainThread_);
  EXPECT_EQ(agent_->status().code.size(), 6u);
  EXPECT_FALSE(agent_->status().qrPayload.empty());
  EXPECT_EQ(count("listening on "), 1);
  EXPECT_EQ(count("⟳ scanning a"), 1);
  EXPECT_TRUE(fs::exists(home_ + "/.local/share/Tallowick/report.json"));

  agent_->stop();
  EXPECT_TRUE(processUntil([&] { return !agent_->status().listening; }));
}

TEST_F(AgentServerTest, AFolderChangeReachesTheNextScan) {
  startAgent();
  ASSERT_TRUE(processUntil([&] { return count("✓ scan:") == 1; }));
  agent_->addFolders({home_ + "/b"});
  agent_->removeRoot(home_ + "/a");
  ASSERT_TRUE(processUntil(
      [&] { return agent_->status().roots == std::vector{ScanRoot::fromPath(home_ + "/b")}; }));
  agent_->rescan();
  ASSERT_TRUE(processUntil([&] { return count("✓ scan:") == 2; }));
  EXPECT_EQ(count("✓ scan: 0 files"), 1);
  EXPECT_EQ(count("⟳ scanning b"), 1);
}

TEST_F(AgentServerTest, TheTimerRescansAndAWakeRestartsTheListener) {
  startAgent(std::chrono::milliseconds(300));
  ASSERT_TRUE(processUntil([&] { return count("✓ scan:") >= 3; }));
  ASSERT_TRUE(processUntil([&] { return agent_->status().listening; }));
  const int listeners = count(testing::kIdentities);
  wake_->fire();
  ASSERT_TRUE(processUntil([&] { return count(testing::kIdentities) == listeners + 1; }));
  EXPECT_TRUE(processUntil([&] { return count("listening on ") == 2; }));

  // After stop() neither the timer nor a wake reaches the server.
  agent_->stop();
  ASSERT_TRUE(processUntil([&] { return !scanning(); }));
  const int scans = count("⟳ scanning");
  wake_->fire();
  processUntil([] { return false; }, std::chrono::milliseconds(700));
  EXPECT_EQ(count("⟳ scanning"), scans);
  EXPECT_EQ(count(testing::kIdentities), listeners + 1);
}

}  // namespace
}  // namespace tallowick
