// tallowick-agent: the program a user keeps running. With a display it is
// the tray agent; with --headless (or without a display) the same agent
// prints the pairing code, the QR code and its log lines on the terminal.
// The folder options edit the stored folder list and exit.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <CLI/CLI.hpp>

#include "agent/agent.h"
#include "agent/folder_commands.h"
#include "agent/headless_console.h"
#include "agent/review_request.h"
#include "agent/tray_icon.h"
#include "cli/terminal_text.h"
#include "core/pairing/qr_code.h"
#include "core/server/storage_lock.h"
#include "shared/xdg.h"
#include "tallowick/version.h"

namespace tallowick {
namespace {

constexpr const char* kProgram = "tallowick-agent";

struct Options {
  bool headless = false;
  bool welcome = false;
  bool review = false;
  std::uint16_t port = 0;
  std::string bind;
  bool noAdvertise = false;
  FolderEdit folders;
};

std::optional<bool> onOff(const std::string& value) {
  if (value.empty()) return std::nullopt;
  return value == "on";
}

constexpr const char* kFooter =
    "Without --headless the agent shows its tray icon when a display is there, and\n"
    "runs headless otherwise. Settings: $XDG_CONFIG_HOME/Tallowick/Tallowick Agent.conf;\n"
    "storage: $XDG_DATA_HOME/Tallowick. The folder options change the stored list and\n"
    "exit; an agent that is already running uses the new list after its next restart.";

// Parses the command line. Returns the exit status when the program should
// stop here (help, version, a usage error).
std::optional<int> parse(int argc, char** argv, Options& options) {
  // The welcome argument is spelled with one dash, as other desktops pass it.
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    arguments.push_back(argument == "-welcome" ? "--welcome" : argument);
  }
  std::reverse(arguments.begin(), arguments.end());

  CLI::App app("The Tallowick agent: serves clean-up suggestions to your phone.", kProgram);
  app.footer(kFooter);
  app.set_version_flag("--version", std::string(kProgram) + " " + kVersion);
  app.add_flag("--headless", options.headless,
               "Run without a display: print the pairing code, QR code and log lines.");
  app.add_flag("--welcome", options.welcome, "Show the welcome window even if it was seen.");
  app.add_flag("--review", options.review,
               "Show the review window: of the agent already running, or of a new one.");
  app.add_option("--port", options.port, "Listen on this port (default any free port).");
  app.add_option("--bind", options.bind, "Listen on this address only (default every one).");
  app.add_flag("--no-advertise", options.noAdvertise, "Do not publish the DNS-SD service.");
  app.add_flag("--list-folders", options.folders.list,
               "Print the folders, one per line: path and its three switches.");
  app.add_option("--add-folder", options.folders.add, "Add these folders, every switch on.")
      ->expected(1, -1);
  app.add_option("--remove-folder", options.folders.remove, "Stop scanning these folders.")
      ->expected(1, -1);
  auto* set = app.add_option("--set-folder", options.folders.set,
                             "Change the switches of this folder (with the options below).");
  std::string duplicates, screenshots, stale;
  for (auto [name, value, help] :
       {std::tuple{"--duplicates", &duplicates, "Look for duplicates in the --set-folder."},
        std::tuple{"--screenshots", &screenshots, "Look for old screenshots there."},
        std::tuple{"--stale", &stale, "Look for stale files there."}}) {
    app.add_option(name, *value, help)->check(CLI::IsMember({"on", "off"}))->needs(set);
  }
  try {
    app.parse(arguments);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::cout << app.version() << "\n";
    return 0;
  } catch (const CLI::ParseError& error) {
    std::cerr << kProgram << ": " << error.what() << "\n";
    return 2;
  }
  options.folders.duplicates = onOff(duplicates);
  options.folders.screenshots = onOff(screenshots);
  options.folders.stale = onOff(stale);
  if (!options.folders.set.empty() && !options.folders.duplicates && !options.folders.screenshots &&
      !options.folders.stale) {
    std::cerr << kProgram << ": --set-folder needs --duplicates, --screenshots or --stale\n";
    return 2;
  }
  return std::nullopt;
}

bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Blocks SIGINT and SIGTERM before any thread starts, so every thread
// inherits the mask and the signals arrive only through the returned
// descriptor.
int blockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

// The agent's parts with the listener options of the command line.
Agent::Parts listenerParts(const Options& options) {
  Agent::Parts parts;
  parts.port = options.port;
  parts.bindAddress = options.bind;
  parts.advertise = !options.noAdvertise;
  return parts;
}

// True (and one line on standard error) when another agent holds the
// storage folder.
bool refused(const StorageLock& lock) {
  if (lock.state() != StorageLock::State::Busy) return false;
  std::cerr << kProgram << ": " << lock.busyMessage() << "\n";
  return true;
}

// Waits until the stopped server's queue has run its stop, then ends the
// process. A scan may still run on a pool thread inside libvips or libheif;
// the normal exit would tear those libraries down under it, so this leaves
// without exit handlers once everything stored was written.
[[noreturn]] void leaveAfterStop(Agent& agent, int status) {
  if (Server* server = agent.server()) {
    std::promise<void> stopped;
    server->post([&stopped](Server&) { stopped.set_value(); });
    stopped.get_future().wait();
  }
  std::cout.flush();
  std::cerr.flush();
  std::_Exit(status);
}

int runHeadless(int argc, char** argv, const Options& options) {
  const int signalFd = blockStopSignals();

  QCoreApplication app(argc, argv);
  Agent& agent = Agent::makeShared(listenerParts(options));

  // Held until the process ends: a second agent on this storage would
  // write the same decision journal.
  StorageLock lock(agent.storage());
  if (refused(lock)) return 1;

  HeadlessConsole::QRDrawer drawQR;
  if (::isatty(STDOUT_FILENO) == 1) {
    drawQR = [](const std::string& payload) -> std::string {
      auto code = QRCode::encode(payload);
      auto text = code ? terminalQRCode(*code) : std::nullopt;
      return text ? *text : "(the QR code is too large for this terminal; pair with the code)\n";
    };
  }
  HeadlessConsole console(agent, std::cout, std::move(drawQR));
  // A port or address the user named that cannot be used ends the agent
  // before it ever listened, as `tallowick serve` does; with neither named
  // the server takes any free port, and a later failure (after a wake) is
  // only logged.
  if (options.port != 0 || !options.bind.empty()) {
    QObject::connect(&agent, &Agent::listenFailed, [&agent, &options](const QString& error) {
      if (agent.status().listening) return;
      std::string where = options.bind.empty() ? "every address" : options.bind;
      if (options.port != 0) where += " port " + std::to_string(options.port);
      std::cerr << kProgram << ": cannot listen on " << cli::escapedForTerminal(where) << ": "
                << cli::escapedForTerminal(error.toStdString()) << std::endl;
      agent.stop();
      leaveAfterStop(agent, 1);
    });
  }
  QSocketNotifier stopper(signalFd, QSocketNotifier::Read);
  QObject::connect(&stopper, &QSocketNotifier::activated, [&agent] {
    agent.stop();
    leaveAfterStop(agent, 0);
  });
  agent.start();
  return app.exec();
}

int runTray(int argc, char** argv, const Options& options) {
  // A Wayland client cannot place its own popover beside the tray; through
  // XWayland it can.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && wayland != nullptr && *wayland != '\0' &&
      x11 != nullptr && *x11 != '\0') {
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
  const int signalFd = blockStopSignals();

  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setApplicationName(QStringLiteral("Tallowick"));
  app.setWindowIcon(TrayIcon::icon(false));
  Agent& agent = Agent::makeShared(listenerParts(options));
  StorageLock lock(agent.storage());
  if (refused(lock)) return 1;
  TrayIcon tray(agent);
  ReviewRequests requests;
  QObject::connect(&requests, &ReviewRequests::reviewRequested, &tray, &TrayIcon::showReview);
  requests.listen(agent.storage());
  QSocketNotifier stopper(signalFd, QSocketNotifier::Read);
  QObject::connect(&stopper, &QSocketNotifier::activated, [&agent] { agent.quit(); });
  agent.start();
  tray.show();
  QStringList arguments;
  if (options.welcome) arguments << QStringLiteral("--welcome");
  if (agent.shouldShowWelcome(arguments)) tray.showWelcome();
  if (options.review) tray.showReview();
  leaveAfterStop(agent, app.exec());
}

int runFolders(int argc, char** argv, const Options& options) {
  QCoreApplication app(argc, argv);
  Agent::Parts parts;
  parts.useSystemWake = false;
  Agent agent(std::move(parts));
  return runFolderEdit(agent, options.folders, std::cout, std::cerr);
}

}  // namespace
}  // namespace tallowick

int main(int argc, char** argv) {
  using namespace tallowick;
  Options options;
  if (auto status = parse(argc, argv, options)) return *status;
  if (options.folders.any()) return runFolders(argc, argv, options);
  if (options.review) {
    // The agent of this login shows its window; else this one starts with it.
    QCoreApplication app(argc, argv);
    if (ReviewRequests::send(xdg::defaultStorageDirectory())) return 0;
    if (options.headless || !hasDisplay()) {
      std::cerr << kProgram << ": --review needs a display, or a tray agent running on one\n";
      return 1;
    }
  }
  if (!options.headless && hasDisplay()) return runTray(argc, argv, options);
  return runHeadless(argc, argv, options);
}
