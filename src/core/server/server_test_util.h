#pragma once
// Test helpers for the server: its events as seen from the test thread, and
// a clock the test moves by hand.

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/server/server.h"
#include "shared/file_util.h"

namespace tallowick::testing {

inline constexpr std::string_view kIdentities = "listening with identities: ";

// Every event the server emitted, readable from the test thread.
class EventLog {
 public:
  void add(const ServerEvent& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<ServerEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const auto& event : events()) {
      if (const auto* log = event.get<ServerEvent::Log>()) out.push_back(log->line);
    }
    return out;
  }
  int count(std::string_view prefix) const {
    int n = 0;
    for (const auto& line : lines()) n += line.starts_with(prefix) ? 1 : 0;
    return n;
  }
  bool has(std::string_view prefix) const { return count(prefix) > 0; }
  // The lines that contain `fragment` anywhere, for failure messages.
  std::vector<std::string> containing(std::string_view fragment) const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
      if (line.find(fragment) != std::string::npos) out.push_back(line);
    }
    return out;
  }
  std::optional<ServerStatus> status() const {
    std::optional<ServerStatus> last;
    for (const auto& event : events()) {
      if (const auto* status = event.get<ServerEvent::Status>()) last = status->status;
    }
    return last;
  }
  std::optional<std::uint16_t> port() const {
    std::optional<std::uint16_t> last;
    for (const auto& event : events()) {
      if (const auto* listening = event.get<ServerEvent::Listening>()) last = listening->port;
    }
    return last;
  }
  // The identities of the most recent listener.
  std::string identities() const {
    std::string last;
    for (const auto& line : lines()) {
      if (line.starts_with(kIdentities)) last = line.substr(kIdentities.size());
    }
    return last;
  }
  int listeningCount() const {
    int n = 0;
    for (const auto& event : events()) n += event.get<ServerEvent::Listening>() ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ServerEvent> events_;
};

// A clock the tests move by hand; safe to read from the server's thread.
struct TestClock {
  Date base = std::chrono::floor<std::chrono::seconds>(currentDate());
  std::atomic<std::int64_t> offset{0};
  Date now() const { return base + std::chrono::seconds(offset.load()); }
};

// A fresh folder under /tmp whose "home" stands in for the user's home:
// HOME and XDG_DATA_HOME ("home/.local/share", created) point into it, so
// nothing reaches the real home folder or Trash. Empty on failure.
// Stops the server and lets go of it once no handler on its queue holds it,
// so it is destroyed here, not later on its queue thread while the test
// removes its folder or the program ends.
inline void releaseServer(std::shared_ptr<Server>& server) {
  if (!server) return;
  server->stop();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server.reset();
}

inline std::string makeTestHome(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (!mkdtemp(pattern.data())) return {};
  std::string data = pattern + "/home/.local/share";
  if (!createDirectories(data)) return {};
  setenv("HOME", (pattern + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  return pattern;
}

// Polls `done` until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Holds thumbnail renders back until the test opens it: each render counts
// itself, then waits. Safe from any thread.
class RenderGate {
 public:
  // Called by a render before it does its work.
  void enter(const Uuid& id) {
    std::unique_lock lock(mutex_);
    started_.push_back(id);
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  // Waits until `n` renders have entered; false if that never happens.
  bool waitStarted(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return started_.size() >= n; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::size_t started() const {
    std::lock_guard lock(mutex_);
    return started_.size();
  }
  std::size_t started(const Uuid& id) const {
    std::lock_guard lock(mutex_);
    return std::count(started_.begin(), started_.end(), id);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Uuid> started_;
  bool open_ = false;
};

// Runs `read` on the server's queue and returns what it returned.
template <class T>
T onQueue(Server& server, std::function<T(Server&)> read) {
  std::promise<T> answer;
  server.post([&](Server& s) { answer.set_value(read(s)); });
  return answer.get_future().get();
}

}  // namespace tallowick::testing
