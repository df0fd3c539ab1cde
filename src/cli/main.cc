// `tallowick`: the command line of the agent's core.

#include <cstring>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/phone_command.h"
#include "cli/scan_command.h"
#include "cli/serve_command.h"
#include "cli/terminal_text.h"
#include "tallowick/version.h"

namespace {

// "tallowick scan" once a subcommand was recognised, else "tallowick".
std::string commandName(const CLI::App& app) {
  std::string name = "tallowick";
  for (const CLI::App* sub : app.get_subcommands()) name += " " + sub->get_name();
  return name;
}

// CLI11's message as one line, whatever the user typed.
std::string oneLine(const CLI::ParseError& error) {
  if (dynamic_cast<const CLI::RequiredError*>(&error) &&
      std::string(error.what()).find("subcommand") != std::string::npos) {
    return "give a command: scan, serve or phone (see tallowick --help)";
  }
  std::string text = error.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
    text = text.substr(0, text.find(':')) + ": expected one value";
  } else if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
    const auto colon = text.find(": ");
    if (colon != std::string::npos) text = "unexpected argument " + text.substr(colon + 2);
  }
  return tallowick::cli::escapedForTerminal(text);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Finds files you may no longer need in the folders you choose.", "tallowick"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("tallowick ") + tallowick::kVersion);
  tallowick::cli::Run run;
  tallowick::cli::addScanCommand(app, run);
  tallowick::cli::addServeCommand(app, run);
  tallowick::cli::addPhoneCommand(app, run);
  // A first word that is no option and no command would otherwise read as
  // "a subcommand is required".
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->check_name(argv[1]);
    if (!known) {
      std::cerr << "tallowick: unknown command \"" << tallowick::cli::escapedForTerminal(argv[1])
                << "\" (commands: scan, serve, phone)\n";
      return tallowick::cli::kUsageError;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::cerr << commandName(app) << ": " << oneLine(e) << "\n";
    return tallowick::cli::kUsageError;
  }
  return run ? run() : tallowick::cli::kUsageError;
}
