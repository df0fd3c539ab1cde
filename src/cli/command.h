#pragma once

// How the subcommands of `tallowick` plug into the one command line: each
// adds itself to the app and, when chosen, leaves behind what to run once
// parsing has finished.

#include <functional>

#include <CLI/CLI.hpp>

namespace tallowick::cli {

// Runs the chosen subcommand; returns the process exit status.
using Run = std::function<int()>;

// Exit status for a malformed command line or an argument that cannot work
// (a folder that does not exist).
inline constexpr int kUsageError = 2;

// Exit status when another agent or server already uses the storage folder.
inline constexpr int kAlreadyRunning = 1;

}  // namespace tallowick::cli
