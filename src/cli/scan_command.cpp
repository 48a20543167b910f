#include "cli/scan_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/items_report.h"
#include "cli/source_checks.h"
#include "cli/terminal_progress.h"
#include "engine/byte_source.h"
#include "engine/codepage.h"
#include "engine/pst_scanner.h"

namespace pstorian::cli {
namespace {

struct ScanOptions {
  std::string path;
  bool json = false;
  bool items = false;
  std::string codepage;  // empty: the one the file names
};

int run_scan(const ScanOptions& options) {
  const std::string& path = options.path;
  const bool json = options.json;
  // An unknown code page is a usage error, and it should show before a long scan.
  if (options.items && !options.codepage.empty()) {
    if (const auto problem = codepage_problem(options.codepage)) {
      std::cerr << "pstorian-cli: " << *problem << "\n";
      return 2;
    }
  }
  auto source = open_source(path, std::cerr);
  if (!source) return 1;
  RecoveryTables tables;
  NullProgress quiet;
  std::unique_ptr<TerminalProgress> bar;
  if (::isatty(STDERR_FILENO) == 1) bar = std::make_unique<TerminalProgress>(stderr);
  ProgressSink& progress = bar ? static_cast<ProgressSink&>(*bar) : quiet;
  OpenGate gate;
  CPstScanner scanner(tables, progress, gate);
  scanner.scan(*source);
  if (bar) bar->finish();

  const ScanCounts& c = scanner.counts();
  if (json) {
    nlohmann::json out = {
        {"file", path},
        {"file_size", c.file_size},
        {"form", pst::form_name(tables.form)},
        {"blocks", tables.blocks.size()},
        {"block_ids_with_copies", tables.blocks.ids_with_versions()},
        {"leaf_pages", c.leaf_pages},
        {"node_entries", c.node_entries()},
        {"objects", tables.objects.size()},
        {"top_level_objects", tables.objects.top_level_count()},
        {"encoded", tables.encoded || tables.cyclic},
        {"encoding", tables.cyclic ? "cyclic" : tables.encoded ? "permute" : "none"},
    };
    if (options.items && tables.objects.size() != 0 &&
        !run_items_report(tables, path, options.codepage, true, out, std::cout, std::cerr))
      return 2;
    // A file name need not be UTF-8 (a Latin-1 "café.pst"); JSON must be, so such bytes are
    // written as U+FFFD rather than ending the program.
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << "file:          " << path << "\n"
              << "file size:     " << c.file_size << " bytes\n"
              << "form:          " << pst::form_name(tables.form)
              << (tables.form == pst::FileForm::kUnicode ? " (64-bit)" : " (32-bit)") << "\n"
              << "blocks:        " << tables.blocks.size() << " (" << tables.blocks.ids_with_versions()
              << " ids found at more than one offset)\n"
              << "leaf pages:    " << c.leaf_pages << "\n"
              << "node entries:  " << c.node_entries() << "\n"
              << "objects:       " << tables.objects.size() << " (" << tables.objects.top_level_count()
              << " at top level)\n"
              << "data encoded:  "
              << (tables.cyclic ? "yes (cyclic)" : tables.encoded ? "yes" : "no") << "\n";
    nlohmann::json unused;
    if (options.items && tables.objects.size() != 0) {
      std::cout << "\n";
      if (!run_items_report(tables, path, options.codepage, false, unused, std::cout, std::cerr))
        return 2;
    }
  }
  if (tables.objects.size() == 0) {
    std::cerr << "pstorian-cli: no personal folder data found in " << path
              << " (no node B-tree leaf page was recognised)\n";
    return 4;
  }
  return 0;
}

}  // namespace

void add_scan_command(CLI::App& app, int& exit_code) {
  CLI::App* scan = app.add_subcommand("scan", "Scan a damaged .pst file and report what was found");
  auto options = std::make_shared<ScanOptions>();
  scan->add_option("FILE", options->path, "the .pst file to scan (only read)")->required();
  scan->add_flag("--json", options->json, "print one JSON object instead of text");
  scan->add_flag("--items", options->items,
                 "decode every object and list the recovered folders and their items");
  scan->add_option("--codepage", options->codepage,
                   "code page of the file's 8-bit text (default: the one the file names, "
                   "else Windows-1252)");
  scan->callback([options, &exit_code] { exit_code = run_scan(*options); });
}

}  // namespace pstorian::cli
