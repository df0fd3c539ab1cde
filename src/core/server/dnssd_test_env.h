#pragma once

// Test-only: a private system bus and Avahi daemon that can only ever see the
// loopback interface.
//
// The daemons run inside a network and mount namespace made for the sandbox
// (unshare(1), so the test must run as root): its only interface is its own
// "lo", switched to multicast so Avahi will use it, and /run is a private
// tmpfs so the daemon's pid file never meets a system avahi-daemon. The test
// process itself stays outside and talks to the bus through a unix socket
// (paths are not bound to a network namespace). Every process is killed when
// the sandbox is destroyed, and also when the test process dies (parent-death
// signal).
//
// libdbus reads DBUS_SYSTEM_BUS_ADDRESS once per process, so every sandbox of
// a process uses the same socket path, set into the environment by create().

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tallowick::dnssd_test {

using namespace std::chrono_literals;

// Polls `done` every 20 ms until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// One resolved line of `avahi-browse -rpt` ("=;lo;IPv4;name;type;domain;host;address;port;txt").
struct BrowsedService {
  std::string interface, protocol, name, type, domain, hostName, address, txt;
  int port = 0;
};

// avahi-browse's parsable output escapes "." "\" and non-printing bytes as
// "\DDD" (decimal) or "\c".
inline std::string unescapeBrowseField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isdigit(field[i + 1]) &&
        isdigit(field[i + 2]) && isdigit(field[i + 3])) {
      out.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3))));
      i += 3;
    } else if (field[i] == '\\' && i + 1 < field.size()) {
      out.push_back(field[++i]);
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

class Sandbox {
  // A child process; `reaped` keeps a pid that was waited for (and may have
  // been reused by the system) from ever being signalled.
  struct Child {
    pid_t pid = -1;
    bool reaped = true;
  };

 public:
  // The sandbox with nothing running yet, or nothing (and why) when this
  // machine cannot make one (not root, no unshare, no namespaces).
  static std::unique_ptr<Sandbox> create(std::string* whyNot) {
    for (const char* tool : {"/usr/bin/unshare", "/usr/bin/nsenter", "/usr/bin/dbus-daemon",
                             "/usr/sbin/avahi-daemon", "/usr/bin/avahi-browse"}) {
      if (access(tool, X_OK) != 0) {
        *whyNot = std::string(tool) + " is not installed";
        return nullptr;
      }
    }
    if (geteuid() != 0) {
      *whyNot = "the DNS-SD sandbox needs root for its network namespace";
      return nullptr;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress().c_str(), 1);
    std::unique_ptr<Sandbox> box(new Sandbox);
    if (!box->startHolder(whyNot)) return nullptr;
    return box;
  }

  ~Sandbox() {
    stopAvahi();
    stopBus();
    stopProcess(holder_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // "unix:path=..." shared by every sandbox of this process.
  static const std::string& busAddress() { return busPaths().address; }

  bool startBus(std::string* why) {
    const auto& socket = busPaths().socket;
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path="
        << socket.string()
        << "</listen><auth>EXTERNAL</auth>\n"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    bus_ = spawnInside(
        {"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--nopidfile"},
        dir_ / "dbus.log");
    if (!waitUntil([&] { return std::filesystem::exists(socket) || !alive(bus_); }, 10s) ||
        !alive(bus_)) {
      *why = "dbus-daemon did not start: " + readText(dir_ / "dbus.log");
      stopBus();
      return false;
    }
    return true;
  }

  void stopBus() {
    stopProcess(bus_);
    std::error_code ignored;
    std::filesystem::remove(busPaths().socket, ignored);
  }

  // REQUIRES: the bus runs. Returns once the daemon finished starting up.
  bool startAvahi(std::string* why) {
    std::ofstream(dir_ / "avahi.conf") << "[server]\n"
                                          "use-ipv4=yes\n"
                                          "use-ipv6=no\n"
                                          "allow-interfaces=lo\n"
                                          "enable-dbus=yes\n"
                                          "disallow-other-stacks=no\n"
                                          "[wide-area]\n"
                                          "enable-wide-area=no\n"
                                          "[publish]\n"
                                          "publish-hinfo=no\n"
                                          "publish-workstation=no\n";
    const auto log = dir_ / ("avahi-" + std::to_string(++avahiRuns_) + ".log");
    avahi_ = spawnInside({"avahi-daemon", "-f", (dir_ / "avahi.conf").string(), "--no-drop-root",
                          "--no-chroot", "--no-rlimits", "--no-proc-title"},
                         log);
    const bool up = waitUntil(
        [&] {
          return readText(log).find("Server startup complete") != std::string::npos ||
                 !alive(avahi_);
        },
        15s);
    if (!up || !alive(avahi_)) {
      *why = "avahi-daemon did not start: " + readText(log);
      stopAvahi();
      return false;
    }
    return true;
  }

  void stopAvahi() { stopProcess(avahi_); }

  // Both daemons, or a reason.
  bool startAll(std::string* why) { return startBus(why) && startAvahi(why); }

  // The resolved services of `type` as avahi-browse reports them right now.
  std::vector<BrowsedService> browse(const std::string& type = "_tallowick._tcp") const {
    const std::string command = "timeout 20 avahi-browse -rpt " + type + " 2>/dev/null";
    std::vector<BrowsedService> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[4096];
    while (fgets(buf, sizeof buf, pipe) != nullptr) {
      std::string line(buf);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (line.rfind("=;", 0) != 0) continue;
      std::vector<std::string> f;
      std::size_t start = 0;
      for (std::size_t semi; (semi = line.find(';', start)) != std::string::npos;
           start = semi + 1) {
        f.push_back(line.substr(start, semi - start));
      }
      f.push_back(line.substr(start));
      if (f.size() < 10) continue;
      out.push_back({f[1], f[2], unescapeBrowseField(f[3]), f[4], f[5], f[6], f[7], f[9],
                     std::atoi(f[8].c_str())});
    }
    pclose(pipe);
    return out;
  }

  // Waits until `type` lists a service for which `match` holds, or, with
  // `present` false, until no listed service does.
  bool waitForService(const std::function<bool(const BrowsedService&)>& match, bool present,
                      std::chrono::milliseconds timeout = 20s) const {
    return waitUntil(
        [&] {
          bool seen = false;
          for (const auto& s : browse()) seen = seen || match(s);
          return seen == present;
        },
        timeout);
  }

 private:
  struct BusPaths {
    std::filesystem::path socket;
    std::string address;
  };

  static const BusPaths& busPaths() {
    static const BusPaths paths = [] {
      char tmpl[] = "/tmp/tallowick-bus-XXXXXX";
      const char* dir = mkdtemp(tmpl);
      std::filesystem::path d = dir ? dir : "/tmp";
      static std::string toRemove = d.string();
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(toRemove, ignored);
      });
      return BusPaths{d / "bus", "unix:path=" + (d / "bus").string()};
    }();
    return paths;
  }

  Sandbox() {
    char tmpl[] = "/tmp/tallowick-dnssd-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    dir_ = dir ? dir : "";
  }

  bool startHolder(std::string* why) {
    if (dir_.empty()) {
      *why = "cannot create a temporary directory";
      return false;
    }
    const auto ready = dir_ / "ready";
    // Only the namespace's own loopback exists in it; Avahi ignores
    // interfaces without the MULTICAST flag, which lo lacks by default.
    holder_ =
        spawn({"/usr/bin/unshare", "--net", "--mount", "--propagation", "private", "--", "sh", "-c",
               "ip link set lo up && ip link set lo multicast on && "
               "mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon && touch '" +
                   ready.string() + "' && exec sleep infinity"},
              dir_ / "holder.log");
    if (!waitUntil([&] { return std::filesystem::exists(ready) || !alive(holder_); }, 10s) ||
        !alive(holder_)) {
      *why = "cannot make a private network namespace: " + readText(dir_ / "holder.log");
      stopProcess(holder_);
      return false;
    }
    return true;
  }

  Child spawnInside(std::vector<std::string> argv, const std::filesystem::path& log) {
    std::vector<std::string> full = {
        "/usr/bin/nsenter", "--target", std::to_string(holder_.pid), "--net", "--mount", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return spawn(full, log);
  }

  // Starts argv[0] with stdout and stderr in `log`. The child gets SIGKILL if
  // the test process dies first, so a crashed test leaves no daemon behind.
  static Child spawn(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string logPath = log.string();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
      }
      const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (devnull >= 0) dup2(devnull, STDIN_FILENO);
      execvp(args[0], args.data());
      _exit(127);
    }
    return pid > 0 ? Child{pid, false} : Child{};
  }

  static bool alive(Child& child) {
    if (child.reaped) return false;
    int status = 0;
    if (waitpid(child.pid, &status, WNOHANG) == 0) return true;
    child.reaped = true;
    return false;
  }

  static void stopProcess(Child& child) {
    if (!child.reaped) {
      kill(child.pid, SIGTERM);
      if (!waitUntil([&] { return !alive(child); }, 5s)) {
        kill(child.pid, SIGKILL);
        int status = 0;
        waitpid(child.pid, &status, 0);
      }
    }
    child = Child{};
  }

  std::filesystem::path dir_;
  Child holder_;
  Child bus_;
  Child avahi_;
  int avahiRuns_ = 0;
};

}  // namespace tallowick::dnssd_test
