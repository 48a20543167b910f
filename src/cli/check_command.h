// `pstorian-cli check FILE [--json]`: is the file damaged, and how badly? Reads the file as a
// reader would (see store_check.h) and says in plain words what is wrong, how many folders
// and items a reader reaches, and, for a 32-bit file, how many a repair would recover (a
// scan and a decoding of every object it finds, as `scan --items` does). Only reads.
//
// Exit status: 0 for a sound file, 1 for a damaged one, 2 when the file cannot be read (or
// for a usage error).
#pragma once

#include <CLI/CLI.hpp>
#include <iosfwd>
#include <string>

namespace pstorian::cli {

// Runs the check of `path` and prints the report on `out` (one JSON object with `json`).
int run_check(const std::string& path, bool json, std::ostream& out, std::ostream& err);

void add_check_command(CLI::App& app, int& exit_code);

}  // namespace pstorian::cli
