// `pstorian-cli check FILE [--json]`: is the file damaged, and how badly? Scans the file as a
// repair would, which tells a damaged personal folder file from a file of another kind (see
// file_kind.h); reads a personal folder file as a reader would (see store_check.h) and says
// in plain words what is wrong, how many folders and items a reader reaches, and how many a
// repair would recover (every object the scan found decoded, as `scan --items` does, each
// set of objects naming the same blocks once). Only reads.
//
// Exit status: 0 for a sound file, 1 for a damaged one, 2 for a file that is not a personal
// folder file (said in those words, with no advice to repair it), for one that cannot be
// read, and for a usage error.
#pragma once

#include <CLI/CLI.hpp>
#include <iosfwd>
#include <string>

namespace pstorian::cli {

// Runs the check of `path` and prints the report on `out` (one JSON object with `json`).
int run_check(const std::string& path, bool json, std::ostream& out, std::ostream& err);

void add_check_command(CLI::App& app, int& exit_code);

}  // namespace pstorian::cli
