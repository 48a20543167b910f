// pstorian-cli: the command-line face of Pstorian. Each subcommand lives in its own file;
// this one only wires them to the argument parser.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <string>

#include "cli/check_command.h"
#include "cli/new_command.h"
#include "cli/repair_command.h"
#include "cli/sample_command.h"
#include "cli/scan_command.h"

int main(int argc, char** argv) {
  // A closed pipe or a file over the size limit then fails the write that met it, which the
  // commands report and stop on (closing an output store whole), instead of killing the
  // program with the store half-written and no word said.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{"Pstorian: repairs damaged Outlook personal folder files (.pst)"};
  app.set_version_flag("--version", std::string("pstorian-cli ") + PSTORIAN_VERSION);
  app.require_subcommand(1);
  int exit_code = 0;
  pstorian::cli::add_scan_command(app, exit_code);
  pstorian::add_new_command(app);
  pstorian::cli::add_check_command(app, exit_code);
  pstorian::cli::add_repair_command(app, exit_code);
  pstorian::add_sample_command(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    // A subcommand failed; it has said why.
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    // Usage errors exit with 2; --help and --version exit 0.
    const int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  // What a command printed last may still be buffered: a standard output that cannot take
  // it (a full disk, a closed pipe) makes a failed run, not a silent success.
  std::cout.flush();
  if (!std::cout && exit_code == 0) {
    std::cerr << "pstorian-cli: cannot write to standard output\n";
    return 1;
  }
  return exit_code;
}
