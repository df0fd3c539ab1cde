#pragma once
// `tallowick serve`: the phone server alone, in the foreground, until SIGINT
// or SIGTERM.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command.h"

namespace tallowick::cli {

struct ServeCommandOptions {
  std::vector<std::string> roots;
  std::string rootsJson;
  std::string storage;  // empty: $XDG_DATA_HOME/Tallowick
  std::string bind;     // empty: every interface
  std::uint16_t port = 0;
  std::string code;  // empty: a new one
  std::int64_t minBytes = 1 << 20;
  bool noAdvertise = false;
  // The "qr PAYLOAD" line also when standard output is no terminal (its key
  // then lands in whatever keeps the output).
  bool printQR = false;
  // An empty-trash request clears the home Trash only, not the Trash
  // folders of other mounted file systems.
  bool homeTrashOnly = false;
};

// Adds the subcommand; when chosen, sets `run`.
void addServeCommand(CLI::App& app, Run& run);
// Serves until SIGINT or SIGTERM, then ends the process with status 0.
// Returns only the exit status of a usage error.
int runServe(const ServeCommandOptions& options);

}  // namespace tallowick::cli
