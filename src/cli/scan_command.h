// pstorian-cli scan FILE [--items] [--json]: runs the source file scan and reports what it found.
#pragma once

#include <CLI/CLI.hpp>

namespace pstorian::cli {

// Adds the subcommand to `app`; when it runs, its exit status is stored in `exit_code`:
// 0 something was found, 1 the file is missing or unreadable, 4 nothing of a personal
// folder file was found. Files of both forms (32-bit and 64-bit) are scanned.
void add_scan_command(CLI::App& app, int& exit_code);

}  // namespace pstorian::cli
