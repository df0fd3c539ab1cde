#pragma once
// A test of the built `tallowick` program, run the way a user runs it, in a
// fresh temporary folder that holds "home" and "root".

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tallowick::testing {

// What one run of the program printed, and how it ended.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;

  std::string firstErrorLine() const { return err.substr(0, err.find('\n')); }
};

// A program running in the background; what it printed so far, read
// without waiting. Killed at the end of the test unless it exited.
class RunningProgram {
 public:
  // Starts `program` with `arguments`; `prepare` runs in the child just
  // before the program (to set its environment).
  RunningProgram(const std::string& program, const std::vector<std::string>& arguments,
                 const std::function<void()>& prepare) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
      prepare();
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
  ~RunningProgram() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_}) {
      if (fd >= 0) close(fd);
    }
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  // The complete lines of standard output so far.
  std::vector<std::string> lines() {
    pump();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = stdout_.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(stdout_.substr(start, end - start));
    }
    return lines;
  }
  const std::string& out() {
    pump();
    return stdout_;
  }
  const std::string& err() {
    pump();
    return stderr_;
  }
  // Sends `signal` and returns the exit status (-1 unless it exited).
  int stop(int signal) {
    kill(pid_, signal);
    return wait();
  }
  // Waits for the exit, reading meanwhile so a long output cannot stall
  // the program; returns the exit status (-1 unless it exited).
  int wait() {
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      pump();
      usleep(1000);
    }
    exited_ = true;
    pump();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  void pump() {
    char buffer[4096];
    for (auto [fd, text] : {std::pair{out_, &stdout_}, std::pair{err_, &stderr_}}) {
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text->append(buffer, static_cast<std::size_t>(n));
      }
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
  std::string stdout_;
  std::string stderr_;
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binaryDir = std::getenv("TALLOWICK_BINARY_DIR");
    if (!binaryDir) GTEST_SKIP() << "run through ctest, which says where the program is";
    program_ = std::string(binaryDir) + "/tallowick";
    ASSERT_TRUE(std::filesystem::exists(program_)) << program_;
    std::string pattern =
        (std::filesystem::temp_directory_path() /
         (std::string(::testing::UnitTest::GetInstance()->current_test_suite()->name()) +
          ".XXXXXX"))
            .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::create_directories(dir_ / "home");
    std::filesystem::create_directories(dir_ / "root");
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // Runs the program with `arguments` (shell words) and a private HOME;
  // neither output is a terminal. A run that outlives a minute is killed.
  Outcome run(const std::string& arguments) {
    const std::string out = (dir_ / "out").string();
    const std::string err = (dir_ / "err").string();
    const std::string command = "HOME='" + (dir_ / "home").string() + "' XDG_DATA_HOME='" +
                                (dir_ / "home/data").string() + "' timeout 60 '" + program_ + "' " +
                                arguments + " </dev/null >'" + out + "' 2>'" + err + "'";
    Outcome outcome;
    const int raw = std::system(command.c_str());
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = slurp(out);
    outcome.err = slurp(err);
    return outcome;
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // True when SetUp() ended the test early; a subclass's SetUp() stops then.
  bool stopped() const { return IsSkipped() || HasFatalFailure(); }

  std::string program_;
  std::filesystem::path dir_;
};

}  // namespace tallowick::testing
