// `pstorian-cli repair SOURCE.pst [-o OUTPUT_FOLDER] [--overwrite | --keep-existing]
// [--codepage NAME]`: the whole repair from the command line. The output is named as the
// desktop program names it ("<base> Recovered.pst", beside the source unless -o says
// otherwise); the scan and the export run with a progress bar on standard error when it is a
// terminal, the status texts and a closing summary go to standard output.
//
// The source is only ever read: an output that leads to it is refused. The output is written
// under a staging name and takes its name only when the repair completes (see
// store/staged_output.h); the output name is locked before the scan, so a second repair into
// it is refused at once. An existing output is replaced only with --overwrite or a y at the
// prompt (No cancels) and added to only with --keep-existing, never with an item it holds.
//
// Each repair ends complete, with nothing recovered, stopped or failed (ExportResult), said
// the same way in the text summary and in the JSON; reasons go to standard error.
//
// Exit status: 0 when the output store was written complete, 1 when nothing could be
// recovered or an error stopped the repair (the output is the source, no regular file, locked
// by another repair, or cannot be written; No to the overwrite question; the source changed;
// standard output failed), 2 for usage errors (an unusable code page included), 128 + the
// signal's number after SIGINT or SIGTERM.
#pragma once

#include <CLI/CLI.hpp>
#include <iosfwd>
#include <string>

#include "export/mail_client.h"

namespace pstorian::cli {

struct RepairOptions {
  std::string source;
  std::string output_folder;  // empty: the source's folder
  bool overwrite = false;
  bool keep_existing = false;
  std::string codepage;  // empty: the one the file names
  bool current_only = false;  // no "Recovered Items": only the current version of each item
  bool json = false;  // the summary as one JSON object, and no status lines
};

// Runs one repair through `mail_client`; `terminal` says whether questions may be asked on
// standard input and a progress bar drawn on standard error. Returns the exit status.
int run_repair(const RepairOptions& options, MailClient mail_client, std::ostream& out,
               std::ostream& err, bool terminal);

// Registers the subcommand; its exit status goes to `exit_code`.
void add_repair_command(CLI::App& app, int& exit_code);

}  // namespace pstorian::cli
