// `tallowick`: the command line of the agent's core.

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/phone_command.h"
#include "cli/scan_command.h"
#include "cli/serve_command.h"
#include "tallowick/version.h"

int main(int argc, char** argv) {
  CLI::App app{"Finds files you may no longer need in the folders you choose.", "tallowick"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("tallowick ") + tallowick::kVersion);
  tallowick::cli::Run run;
  tallowick::cli::addScanCommand(app, run);
  tallowick::cli::addServeCommand(app, run);
  tallowick::cli::addPhoneCommand(app, run);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help
  } catch (const CLI::ParseError& e) {
    app.exit(e);  // prints the message
    return tallowick::cli::kUsageError;
  }
  return run ? run() : tallowick::cli::kUsageError;
}
