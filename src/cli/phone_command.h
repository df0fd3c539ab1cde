#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/command.h"

namespace tallowick::cli {

struct PhoneCommandOptions {
  std::string host;        // empty: browse DNS-SD
  std::uint16_t port = 0;  // 0: browse DNS-SD
  // Exactly one of these three.
  std::string code;
  std::string qr;
  std::string device;
  std::string storage;  // empty: Keychain::defaultStorageDirectory()
  std::string name = "tallowick phone";
  bool json = false;    // JSON lines instead of readable text
  bool thumbs = false;  // with --json: keep inline thumbnails
  // How long to wait for TLS and hello, and for each reply.
  std::chrono::milliseconds timeout{30'000};
  // The commands and their arguments, in order: "decide", ID, "trash", ...
  std::vector<std::string> commands;
};

// `tallowick phone [--host H] [--port P] (--code NNNNNN | --qr PAYLOAD |
// --device ID) [--storage DIR] [--name NAME] [--timeout SECONDS] COMMAND...`.
// When chosen, sets `run`.
void addPhoneCommand(CLI::App& app, Run& run);

// Connects, runs the commands on the one connection and prints each reply on
// `out`: readable lines, or with `json` one compact JSON line each (swipe
// reads keys from `in` and draws on `out`). Returns 0 when every command was
// answered, kUsageError for a bad command line (one line on `err`), 1 for
// anything else: a refusal, a closed connection, a missing reply, a card the
// agent does not know (one line on `err`).
int runPhone(const PhoneCommandOptions& options, std::istream& in, std::ostream& out,
             std::ostream& err);

}  // namespace tallowick::cli
