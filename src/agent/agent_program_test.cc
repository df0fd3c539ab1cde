// Runs the built tallowick-agent as a user does: its options, the headless
// agent's lines, the refusal of a second agent on the same storage, and a
// clean stop on SIGTERM. Each run gets a temporary home and no system bus.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/program_test_util.h"
#include "tallowick/version.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The agent's program in a test's temporary home, with no display and no
// system bus.
class AgentProgramTest : public testing::ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (stopped()) return;
    program_ += "-agent";
    ASSERT_TRUE(fs::exists(program_)) << program_;
    fs::create_directories(home() / "Documents");
  }
  fs::path home() const { return dir_ / "home"; }
  fs::path storage() const { return home() / "data/Tallowick"; }

  // `dataHome` picks the storage (by default the home's).
  std::unique_ptr<testing::RunningProgram> start(const std::vector<std::string>& arguments,
                                                 fs::path dataHome = {}) {
    if (dataHome.empty()) dataHome = home() / "data";
    return std::make_unique<testing::RunningProgram>(program_, arguments, [this, dataHome] {
      setenv("HOME", home().c_str(), 1);
      setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
      setenv("XDG_CONFIG_HOME", (home() / ".config").c_str(), 1);
      setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
    });
  }
  // Runs to the end.
  std::unique_ptr<testing::RunningProgram> run(const std::vector<std::string>& arguments,
                                               int* status) {
    auto process = start(arguments);
    *status = process->wait();
    return process;
  }
};

std::optional<std::string> waitForLine(testing::RunningProgram& program, std::string_view prefix) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& line : program.lines()) {
      if (line.starts_with(prefix)) return line;
    }
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

TEST_F(AgentProgramTest, VersionHelpAndUsageErrors) {
  int status = -1;
  EXPECT_EQ(run({"--version"}, &status)->out(), std::string("tallowick-agent ") + kVersion + "\n");
  EXPECT_EQ(status, 0);
  auto help = run({"--help"}, &status);
  EXPECT_EQ(status, 0);
  for (const char* word : {"--headless", "--port", "--no-advertise", "--list-folders",
                           "--add-folder", "--remove-folder", "--set-folder", "next restart"}) {
    EXPECT_NE(help->out().find(word), std::string::npos) << word;
  }
  const std::vector<std::vector<std::string>> usageErrors = {
      {"--frobnicate"},
      {"--port", "99999"},
      {"--duplicates=off"},
      {"--set-folder", "/x"},
      {"--set-folder", "/x", "--stale=maybe"},
  };
  for (const auto& arguments : usageErrors) {
    auto process = run(arguments, &status);
    EXPECT_EQ(status, 2) << arguments[0];
    EXPECT_TRUE(process->err().starts_with("tallowick-agent: ")) << process->err();
    EXPECT_EQ(std::count(process->err().begin(), process->err().end(), '\n'), 1) << process->err();
  }
}

TEST_F(AgentProgramTest, FolderOptionsEditTheStoredList) {
  int status = -1;
  const std::string documents = (home() / "Documents").string();
  fs::create_directories(dir_ / "extra");
  run({"--add-folder", (dir_ / "extra").string()}, &status);
  EXPECT_EQ(status, 0);
  run({"--set-folder", documents, "--duplicates=off", "--stale", "off"}, &status);
  EXPECT_EQ(status, 0);
  auto list = run({"--list-folders"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(list->out(), documents + "\tduplicates=off\tscreenshots=on\tstale=off\n" +
                             (dir_ / "extra").string() +
                             "\tduplicates=on\tscreenshots=on\tstale=on\n");
  EXPECT_TRUE(fs::exists(home() / ".config/Tallowick/Tallowick Agent.conf"));
}

TEST_F(AgentProgramTest, HeadlessServesRefusesASecondAgentAndStopsOnSigterm) {
  std::ofstream(home() / "Documents" / "a.bin") << "x";
  auto started = start({"--headless", "--no-advertise", "--bind", "127.0.0.1"});
  testing::RunningProgram& agent = *started;
  ASSERT_TRUE(waitForLine(agent, "✓ scan: 1 files")) << agent.out() << agent.err();
  const auto code = waitForLine(agent, "code ");
  ASSERT_TRUE(code);
  EXPECT_EQ(code->size(), 11u);
  EXPECT_TRUE(waitForLine(agent, "listening on "));
  EXPECT_TRUE(waitForLine(agent, "⟳ scanning Documents"));
  // Standard output is no terminal here: no key in it.
  EXPECT_EQ(agent.out().find("\nqr "), std::string::npos);
  EXPECT_EQ(agent.out().find("psk"), std::string::npos);
  EXPECT_EQ(agent.err(), "");

  // The same storage: refused in one line.
  int status = -1;
  auto second = run({"--headless", "--no-advertise", "--bind", "127.0.0.1"}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(second->err(), "tallowick-agent: another Tallowick agent is already using " +
                               storage().string() + " (process " + std::to_string(agent.pid()) +
                               ")\n");
  EXPECT_EQ(second->out(), "");
  // A headless agent has no window to show.
  auto review = run({"--review"}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(review->err(),
            "tallowick-agent: --review needs a display, or a tray agent running on one\n");

  EXPECT_EQ(agent.stop(SIGTERM), 0);
  EXPECT_TRUE(fs::exists(storage() / "report.json"));
}

// A port or address the user named and the agent cannot use ends it with
// one line, rather than leaving it running unreachable.
TEST_F(AgentProgramTest, HeadlessLeavesWhenTheNamedListenerCannotStart) {
  auto first = start({"--headless", "--no-advertise", "--bind", "127.0.0.1"});
  auto listening = waitForLine(*first, "listening on ");
  ASSERT_TRUE(listening) << first->out() << first->err();
  const std::string port = listening->substr(std::string("listening on ").size());

  struct Case {
    std::vector<std::string> arguments;
    std::string firstLine;
  };
  const Case cases[] = {
      {{"--port", port, "--bind", "127.0.0.1"},
       "tallowick-agent: cannot listen on 127.0.0.1 port " + port + ": "},
      {{"--bind", "192.0.2.1"}, "tallowick-agent: cannot listen on 192.0.2.1: "},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"--headless", "--no-advertise"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    // Its own storage, so the first agent's lock is not what stops it.
    auto other = start(arguments, dir_ / "other-data");
    EXPECT_EQ(other->wait(), 1) << c.firstLine;
    EXPECT_TRUE(other->err().starts_with(c.firstLine)) << other->err();
    EXPECT_EQ(std::count(other->err().begin(), other->err().end(), '\n'), 1) << other->err();
  }
  EXPECT_EQ(first->stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tallowick
