#include "cli/scan_command.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/file_kind.h"
#include "cli/items_report.h"
#include "cli/source_checks.h"
#include "cli/terminal_progress.h"
#include "engine/byte_source.h"
#include "engine/codepage.h"
#include "engine/object_collection.h"
#include "engine/pst_scanner.h"
#include "format/layout.h"
#include "format/permute.h"

namespace pstorian::cli {
namespace {

// Data blocks looked at for a heap header, in ascending id order; heaps are most of the data
// blocks of a personal folder file.
constexpr std::size_t kHeapsLookedFor = 256;

// Whether a heap header, plain or encoded, was found among the blocks: what the encoding is
// told by. Without one the scan's "encoded" is only the repair's assumption.
bool heap_found(const ByteSource& source, const RecoveryTables& tables) {
  std::size_t tried = 0;
  bool found = false;
  tables.blocks.for_each_id([&](const BlockRef& block) {
    if (found || tried == kHeapsLookedFor || pst::is_internal_block(static_cast<std::uint32_t>(block.id)) || block.size < 16)
      return;
    ++tried;
    std::array<std::uint8_t, 16> head{};
    source.read_at(block.offset, head);
    found = classify_heap_header(head) != HeapHeader::kNone;
    if (!found && tables.cyclic) {
      pst::cyclic_crypt(head, static_cast<std::uint32_t>(block.id));
      found = classify_heap_header(head) == HeapHeader::kPlain;
    }
  });
  return found;
}

// What the scan says of the data encoding: "none", "permute" or "cyclic" when a heap told,
// "unknown" when none did (the repair then assumes the encoding the scan settled on).
std::string encoding_name(const RecoveryTables& tables, bool told) {
  if (!told) return "unknown";
  return tables.cyclic ? "cyclic" : tables.encoded ? "permute" : "none";
}

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
  const bool store = is_personal_folder_file(*source, tables, c);
  const bool told = store && heap_found(*source, tables);
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
        {"personal_folder_file", store},
        {"encoded", told && (tables.encoded || tables.cyclic)},
        {"encoding", encoding_name(tables, told)},
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
              << "data encoded:  ";
    if (!store)
      std::cout << "- (nothing of a personal folder file was found)\n";
    else if (!told)
      std::cout << "not known (no heap was found to tell by)\n";
    else
      std::cout << (tables.cyclic ? "yes (cyclic)" : tables.encoded ? "yes" : "no") << "\n";
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
