// pstorian-cli scan FILE [--json]: runs the source file scan and reports what it found.
#pragma once

#include <CLI/CLI.hpp>

namespace pstorian::cli {

// Adds the subcommand to `app`; when it runs, its exit status is stored in `exit_code`:
// 0 something was found, 1 the file is missing or unreadable, 3 a 64-bit (Unicode) file,
// 4 nothing of a personal folder file was found.
void add_scan_command(CLI::App& app, int& exit_code);

}  // namespace pstorian::cli
