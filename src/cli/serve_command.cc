#include "cli/serve_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/roots.h"
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

// Prints what the user needs to see, one flushed line each. Runs on the
// server's queue only.
class Printer {
 public:
  explicit Printer(bool terminal) : terminal_(terminal) {}

  void operator()(const ServerEvent& event) {
    if (const auto* log = event.get<ServerEvent::Log>()) {
      std::cout << log->line << std::endl;
    } else if (const auto* listening = event.get<ServerEvent::Listening>()) {
      if (listening->port) std::cout << "listening on " << *listening->port << std::endl;
    } else if (const auto* failed = event.get<ServerEvent::ListenFailed>()) {
      std::cout << "! listening failed: " << failed->error << std::endl;
    } else if (const auto* status = event.get<ServerEvent::Status>()) {
      if (status->status.code != code_) {
        code_ = status->status.code;
        std::cout << "code " << code_ << std::endl;
      }
      if (status->status.qrPayload != qr_) {
        qr_ = status->status.qrPayload;
        std::cout << "qr " << qr_ << std::endl;
        if (terminal_) printQRCode();
      }
    }
  }

 private:
  void printQRCode() {
    auto code = QRCode::encode(qr_);
    auto text = code ? terminalQRCode(*code) : std::nullopt;
    std::cout << (text ? *text : "(the QR code is too large for a terminal; pair with the code)\n")
              << std::flush;
  }

  bool terminal_;
  std::string code_;
  std::string qr_;
};

}  // namespace

void addServeCommand(CLI::App& app, Run& run) {
  auto options = std::make_shared<ServeCommandOptions>();
  CLI::App* serve = app.add_subcommand("serve", "Serve the cards to a paired phone until stopped.");
  serve->add_option("--storage", options->storage,
                    "Storage folder (default $XDG_DATA_HOME/Tallowick).");
  serve->add_option("--port", options->port, "Listen on this port (default any free port).");
  serve->add_option("--bind", options->bind, "Listen on this address only (default every one).");
  serve->add_option("--code", options->code, "Six-digit pairing code to start with.");
  serve->add_flag("--no-advertise", options->noAdvertise, "Do not publish the DNS-SD service.");
  serve->add_flag("--home-trash-only", options->homeTrashOnly,
                  "Let the phone empty only the home Trash, not those of other drives.");
  serve
      ->add_option("--min-bytes", options->minBytes,
                   "Record only files of at least this many bytes (default 1048576).")
      ->check(CLI::NonNegativeNumber);
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
  server->setOnEvent(Printer(::isatty(STDOUT_FILENO) == 1));
  server->start();
  server->rescan();

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
  std::_Exit(0);
}

}  // namespace tallowick::cli
