#include "cli/serve_command.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "cli/numbers.h"
#include "cli/roots.h"
#include "cli/terminal_text.h"
#include "core/pairing/qr_code.h"
#include "core/scan/root_list.h"
#include "core/server/computer_name.h"
#include "core/server/server.h"
#include "core/server/storage_lock.h"
#include "core/server/stored_report.h"
#include "shared/file_util.h"
#include "shared/report.h"
#include "shared/xdg.h"

namespace tallowick::cli {
namespace {

constexpr const char* kCommand = "tallowick serve";

bool isCode(const std::string& code) {
  return code.size() == 6 &&
         std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "2026-05-01 10:00:00 ", local time: a log read later needs to say when.
std::string timeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", &local);
  return text;
}

// The server's log says what OpenSSL said; a person at the terminal needs
// to hear that the phone used the wrong code (or a key the agent forgot).
// No value for a line that only repeats the failure.
std::optional<std::string> forPeople(const std::string& line) {
  static constexpr std::string_view kPeerFailed = "! peer failed: ";
  static constexpr std::string_view kWrongKey[] = {"binder does not verify", "bad record mac",
                                                   "decryption failed", "no suitable key share"};
  const bool wrongKey = std::any_of(std::begin(kWrongKey), std::end(kWrongKey), [&](auto text) {
    return line.find(text) != std::string::npos;
  });
  if (!wrongKey || !line.starts_with("! ")) return escapedForTerminal(line);
  if (line.starts_with(kPeerFailed)) return std::string(kPeerFailed) + "wrong code";
  return std::nullopt;
}

struct PrinterOptions {
  bool terminal = false;  // standard output is one
  bool printQR = false;   // the "qr" line even when it is not
  bool advertised = true;
  std::string bind;
  std::uint16_t port = 0;  // 0: any
};

// Prints what the user needs to see, one flushed line each. Events come on
// the server's queue; a reprint request from the keyboard thread.
class Printer {
 public:
  explicit Printer(PrinterOptions options) : options_(std::move(options)) {}

  void operator()(const ServerEvent& event) {
    std::lock_guard lock(mutex_);
    if (const auto* log = event.get<ServerEvent::Log>()) {
      if (failedBeforeListening(log->line)) return;
      if (auto line = forPeople(log->line)) {
        std::cout << (options_.terminal ? "" : timeStamp()) << *line << std::endl;
      }
    } else if (const auto* listening = event.get<ServerEvent::Listening>()) {
      if (!listening->port) return;
      port_ = *listening->port;
      std::cout << "listening on " << port_ << std::endl;
      if (!hinted_) printNextStep();
    } else if (const auto* failed = event.get<ServerEvent::ListenFailed>()) {
      if (!failedBeforeListening("! listener failed: " + failed->error)) {
        std::cout << "! listening failed: " << failed->error << std::endl;
      }
    } else if (const auto* status = event.get<ServerEvent::Status>()) {
      if (status->status.code != code_) {
        code_ = status->status.code;
        std::cout << "code " << code_ << std::endl;
      }
      if (status->status.qrPayload != qr_) {
        qr_ = status->status.qrPayload;
        printQR();
      }
    }
  }

  // The code and QR code again, for a QR code that scrolled away.
  void reprint() {
    std::lock_guard lock(mutex_);
    std::cout << "code " << code_ << std::endl;
    printQR();
  }

 private:
  // The listener could not start: the one line, and the process ends.
  bool failedBeforeListening(const std::string& line) {
    if (port_ != 0) return false;
    std::string_view error = line;
    for (std::string_view prefix : {"! listener not created: ", "! listener failed: "}) {
      if (!error.starts_with(prefix)) continue;
      error.remove_prefix(prefix.size());
      std::string where = (options_.bind.empty() ? "every address" : options_.bind);
      if (options_.port != 0) where += " port " + std::to_string(options_.port);
      std::cerr << kCommand << ": cannot listen on " << escapedForTerminal(where) << ": "
                << escapedForTerminal(error) << std::endl;
      ::kill(::getpid(), SIGUSR1);  // to the main thread's sigwait
      return true;
    }
    return false;
  }

  void printQR() {
    // The payload carries a key a phone keeps for good: never into a log.
    if (options_.terminal || options_.printQR) std::cout << "qr " << qr_ << std::endl;
    if (!options_.terminal) return;
    auto code = QRCode::encode(qr_);
    auto text = code ? terminalQRCode(*code) : std::nullopt;
    std::cout << (text ? *text : "(the QR code is too large for a terminal; pair with the code)\n")
              << std::flush;
  }

  void printNextStep() {
    hinted_ = true;
    std::string where;
    if (!options_.advertised) {
      where = "--host " + (options_.bind.empty() ? std::string("127.0.0.1") : options_.bind) +
              " --port " + std::to_string(port_) + " ";
    }
    std::cout << "next: pair in the phone app with the code"
              << (options_.terminal ? " or the QR code" : "")
              << ", or from another terminal: tallowick phone " << where << "--code " << code_
              << " swipe" << (options_.terminal ? " (Enter shows the code again)" : "")
              << std::endl;
  }

  const PrinterOptions options_;
  std::mutex mutex_;
  std::string code_;
  std::string qr_;
  std::uint16_t port_ = 0;
  bool hinted_ = false;
};

// Storage the server can write to, created when missing; false after one
// line on standard error. Without it a commit would move files to the
// Trash with no journal and no undo.
bool usableStorage(const std::string& storage) {
  auto fail = [&](const char* what) {
    std::cerr << kCommand << ": cannot use the storage folder " << escapedForTerminal(storage)
              << ": " << what << "\n";
    return false;
  };
  struct stat info;
  if (::stat(storage.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) return fail("not a folder");
  if (!createDirectories(storage, 0700)) return fail("cannot create it");
  std::string probe = storage + "/.write-test-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return fail(std::strerror(errno));
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace

void addServeCommand(CLI::App& app, Run& run) {
  auto options = std::make_shared<ServeCommandOptions>();
  CLI::App* serve = app.add_subcommand("serve", "Serve the cards to a paired phone until stopped.");
  serve->add_option("--storage", options->storage,
                    "Storage folder (default $XDG_DATA_HOME/Tallowick).");
  serve->add_option("--port", options->port, "Listen on this port (default any free port).")
      ->transform(wholeNumber(0, 65535));
  serve->add_option("--bind", options->bind, "Listen on this address only (default every one).");
  serve->add_option("--code", options->code, "Six-digit pairing code to start with.");
  serve->add_flag("--no-advertise", options->noAdvertise, "Do not publish the DNS-SD service.");
  serve->add_flag("--print-qr", options->printQR,
                  "Print the \"qr PAYLOAD\" line even when standard output is no terminal.");
  serve->add_flag("--home-trash-only", options->homeTrashOnly,
                  "Let the phone empty only the home Trash, not those of other drives.");
  serve
      ->add_option("--min-bytes", options->minBytes,
                   "Record only files of at least this many bytes (default 1048576).")
      ->transform(wholeNumber(0));
  serve->add_option(
      "--roots-json", options->rootsJson,
      "Also scan the roots in this JSON array (url, duplicates, screenshots, stale).");
  serve->add_option(
      "ROOT", options->roots,
      "Folders to scan (default the Desktop, Downloads, Pictures, Documents and Videos folders).");
  serve->callback([options, &run] { run = [options] { return runServe(*options); }; });
}

int runServe(const ServeCommandOptions& options) {
  if (!options.code.empty() && !isCode(options.code)) {
    std::cerr << kCommand << ": the code must be six digits: " << options.code << "\n";
    return kUsageError;
  }
  auto roots = resolveRoots(options.roots, options.rootsJson, kCommand, std::cerr);
  if (!roots) return kUsageError;
  if (options.roots.empty() && options.rootsJson.empty()) {
    *roots = defaultRoots();
    if (roots->empty()) {
      std::cerr << kCommand << ": none of the Desktop, Downloads, Pictures, Documents or Videos "
                << "folders exists; serving without folders\n";
    }
  }
  std::string storage =
      options.storage.empty() ? xdg::defaultStorageDirectory() : absoluteFolder(options.storage);
  if (!usableStorage(storage)) return 1;

  // Held until the process ends; a second server on this storage would write
  // the same journal.
  StorageLock lock(storage);
  if (lock.state() == StorageLock::State::Busy) {
    std::cerr << kCommand << ": " << lock.busyMessage() << "\n";
    return kAlreadyRunning;
  }

  // The server's threads inherit this mask, so the signals reach sigwait
  // below and nothing else.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);  // the listener could not start
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Server::Config config(computerName(), *roots, options.minBytes, storage);
  config.advertise = !options.noAdvertise;
  config.bindAddress = options.bind;
  config.port = options.port;
  if (options.homeTrashOnly) config.trashTopdirs = std::vector<std::string>{};
  std::optional<std::string> code;
  if (!options.code.empty()) code = options.code;

  auto server = Server::make(config, loadStoredReport(config.reportURL), code);
  // The status events of construction went to no one; the listener's first
  // status event brings the code and the QR payload.
  PrinterOptions printing;
  printing.terminal = ::isatty(STDOUT_FILENO) == 1;
  printing.printQR = options.printQR;
  printing.advertised = config.advertise;
  printing.bind = options.bind;
  printing.port = options.port;
  auto printer = std::make_shared<Printer>(printing);
  server->setOnEvent([printer](const ServerEvent& event) { (*printer)(event); });
  server->start();
  server->rescan();
  if (printing.terminal && ::isatty(STDIN_FILENO) == 1) {
    // Enter shows the code and QR code again. The thread ends with the
    // process.
    std::thread([printer] {
      for (std::string line; std::getline(std::cin, line);) printer->reprint();
    }).detach();
  }

  int received = 0;
  sigwait(&signals, &received);

  server->stop();
  std::promise<void> stopped;
  server->post([&stopped](Server&) { stopped.set_value(); });
  stopped.get_future().wait();
  server.reset();
  // Every change to the user's files and the stored state happened on the
  // server queue, which has now drained. A scan may still be running on a
  // pool thread inside libvips or libheif; the normal exit would tear those
  // libraries down under it and crash, so leave without running exit
  // handlers.
  std::cout.flush();
  std::cerr.flush();
  std::_Exit(received == SIGUSR1 ? 1 : 0);
}

}  // namespace tallowick::cli
