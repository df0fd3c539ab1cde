// Drives `tallowick serve` as a user does: its output lines, pairing with the
// code it prints, a scan of the given folder, and a clean stop on SIGTERM.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/psk.h"
#include "shared/report.h"
#include "shared/tls_test_util.h"
#include "shared/transport.h"

namespace tallowick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running `tallowick serve` and the lines it printed so far.
class ServeProcess {
 public:
  ServeProcess(const std::string& program, const fs::path& home,
               const std::vector<std::string>& arguments) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      setenv("HOME", home.c_str(), 1);
      setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("serve")};
      for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~ServeProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Reads what is there without waiting.
  void pump() {
    char buffer[4096];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t newline;
    while ((newline = pending_.find('\n')) != std::string::npos) {
      lines_.push_back(pending_.substr(0, newline));
      pending_.erase(0, newline + 1);
    }
  }
  std::optional<std::string> lineStartingWith(std::string_view prefix) {
    pump();
    for (const auto& line : lines_) {
      if (line.starts_with(prefix)) return line;
    }
    return std::nullopt;
  }
  // Sends `signal` and returns the exit status (-1 unless it exited).
  int stop(int signal) {
    kill(pid_, signal);
    return wait();
  }
  // Waits for the exit; returns the exit status (-1 unless it exited).
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string pending_;
  std::vector<std::string> lines_;
};

class ServeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binaryDir = std::getenv("TALLOWICK_BINARY_DIR");
    if (!binaryDir) GTEST_SKIP() << "run through ctest, which says where the program is";
    program_ = std::string(binaryDir) + "/tallowick";
    ASSERT_TRUE(fs::exists(program_)) << program_;
    std::string pattern = (fs::temp_directory_path() / "serve_command_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "root");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  std::string program_;
  fs::path dir_;
};

TEST_F(ServeCommandTest, PrintsCodeAndQrPairsScansAndStopsOnSigterm) {
  for (const char* name : {"a.bin", "b.bin"}) {
    std::ofstream(dir_ / "root" / name) << std::string(2000, 'z');
  }
  const fs::path storage = dir_ / "storage";
  ServeProcess serve(program_, dir_ / "home",
                     {"--storage", storage.string(), "--no-advertise", "--bind", "127.0.0.1",
                      "--code", "024680", "--min-bytes", "1", (dir_ / "root").string()});
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

  EXPECT_EQ(serve.stop(SIGTERM), 0);
  auto stored = std::ifstream(storage / "report.json").good();
  EXPECT_TRUE(stored);
}

TEST_F(ServeCommandTest, RefusesBadArgumentsWithUsageStatus) {
  const std::vector<std::vector<std::string>> cases = {
      {"--code", "12ab56", "--no-advertise", (dir_ / "root").string()},
      {"--code", "1234567", "--no-advertise", (dir_ / "root").string()},
      {"--no-advertise", (dir_ / "missing").string()},
      {"--no-advertise", "--roots-json", (dir_ / "missing.json").string()},
  };
  for (const auto& arguments : cases) {
    ServeProcess serve(program_, dir_ / "home", arguments);
    EXPECT_EQ(serve.wait(), 2) << arguments[1];
  }
}

}  // namespace
}  // namespace tallowick
