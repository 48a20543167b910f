// `pstorian-cli new FILE.pst [--overwrite] [--unicode]`: writes a fresh, empty personal folder file.
#pragma once

#include <CLI/CLI.hpp>

namespace pstorian {

// Registers the subcommand; on failure its callback throws CLI::RuntimeError with exit code 1.
void add_new_command(CLI::App& app);

}  // namespace pstorian
