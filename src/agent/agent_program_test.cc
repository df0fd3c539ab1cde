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

#include "tallowick/version.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running tallowick-agent; its standard output and error so far.
class AgentProcess {
 public:
  AgentProcess(const std::string& program, const fs::path& home,
               const std::vector<std::string>& arguments) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
      setenv("HOME", home.c_str(), 1);
      setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
      setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
      setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~AgentProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  std::vector<std::string> lines() {
    pump();
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = stdout_.find('\n', start)) != std::string::npos; start = end + 1) {
      out.push_back(stdout_.substr(start, end - start));
    }
    return out;
  }
  std::optional<std::string> waitForLine(std::string_view prefix) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& line : lines()) {
        if (line.starts_with(prefix)) return line;
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }
  pid_t pid() const { return pid_; }
  int stop(int signal) {
    kill(pid_, signal);
    return wait();
  }
  // The exit status, or -1 unless it exited.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    pump();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& out() {
    pump();
    return stdout_;
  }
  const std::string& err() {
    pump();
    return stderr_;
  }

 private:
  void pump() {
    char buffer[4096];
    for (auto [fd, text] : {std::pair{out_, &stdout_}, std::pair{err_, &stderr_}}) {
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text->append(buffer, n);
    }
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool exited_ = false;
  std::string stdout_, stderr_;
};

class AgentProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binaryDir = std::getenv("TALLOWICK_BINARY_DIR");
    if (!binaryDir) GTEST_SKIP() << "run through ctest, which says where the program is";
    program_ = std::string(binaryDir) + "/tallowick-agent";
    ASSERT_TRUE(fs::exists(program_)) << program_;
    std::string pattern = (fs::temp_directory_path() / "agent-program-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(home() / "Documents");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  fs::path home() const { return dir_ / "home"; }
  // Runs to the end.
  AgentProcess run(const std::vector<std::string>& arguments, int* status) {
    AgentProcess process(program_, home(), arguments);
    *status = process.wait();
    return process;
  }

  std::string program_;
  fs::path dir_;
};

TEST_F(AgentProgramTest, VersionHelpAndUsageErrors) {
  int status = -1;
  EXPECT_EQ(run({"--version"}, &status).out(), std::string("tallowick-agent ") + kVersion + "\n");
  EXPECT_EQ(status, 0);
  auto help = run({"--help"}, &status);
  EXPECT_EQ(status, 0);
  for (const char* word : {"--headless", "--port", "--no-advertise", "--list-folders",
                           "--add-folder", "--remove-folder", "--set-folder", "next restart"}) {
    EXPECT_NE(help.out().find(word), std::string::npos) << word;
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
    EXPECT_TRUE(process.err().starts_with("tallowick-agent: ")) << process.err();
    EXPECT_EQ(std::count(process.err().begin(), process.err().end(), '\n'), 1) << process.err();
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
  EXPECT_EQ(list.out(), documents + "\tduplicates=off\tscreenshots=on\tstale=off\n" +
                            (dir_ / "extra").string() +
                            "\tduplicates=on\tscreenshots=on\tstale=on\n");
  EXPECT_TRUE(fs::exists(home() / ".config/Tallowick/Tallowick Agent.conf"));
}

TEST_F(AgentProgramTest, HeadlessServesRefusesASecondAgentAndStopsOnSigterm) {
  std::ofstream(home() / "Documents" / "a.bin") << "x";
  AgentProcess agent(program_, home(), {"--headless", "--no-advertise", "--bind", "127.0.0.1"});
  ASSERT_TRUE(agent.waitForLine("✓ scan: 1 files")) << agent.out() << agent.err();
  const auto code = agent.waitForLine("code ");
  ASSERT_TRUE(code);
  EXPECT_EQ(code->size(), 11u);
  EXPECT_TRUE(agent.waitForLine("listening on "));
  EXPECT_TRUE(agent.waitForLine("⟳ scanning Documents"));
  // Standard output is no terminal here: no key in it.
  EXPECT_EQ(agent.out().find("\nqr "), std::string::npos);
  EXPECT_EQ(agent.out().find("psk"), std::string::npos);
  EXPECT_EQ(agent.err(), "");

  // The same storage: refused in one line; another storage would be fine.
  int status = -1;
  auto second = run({"--headless", "--no-advertise", "--bind", "127.0.0.1"}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(second.err(), "tallowick-agent: another Tallowick agent is already using " +
                              (home() / ".local/share/Tallowick").string() + " (process " +
                              std::to_string(agent.pid()) + ")\n");
  EXPECT_EQ(second.out(), "");

  EXPECT_EQ(agent.stop(SIGTERM), 0);
  EXPECT_TRUE(fs::exists(home() / ".local/share/Tallowick/report.json"));
}

}  // namespace
}  // namespace tallowick
