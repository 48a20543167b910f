#include "cli/check_command.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "cli/items_report.h"
#include "cli/source_checks.h"
#include "cli/store_check.h"
#include "cli/terminal_progress.h"
#include "engine/codepage.h"
#include "engine/pst_scanner.h"
#include "format/layout.h"

namespace pstorian::cli {
namespace {

// Findings printed in text; the JSON carries every finding kept.
constexpr std::size_t kTextFindings = 40;

struct Recoverable {
  std::size_t folders = 0;
  std::size_t items = 0;
};

// What a repair would bring back: the scan, then every object decoded as the export decodes
// it. Nothing for a 64-bit file, which a repair does not take.
std::optional<Recoverable> recoverable(const std::string& path, const ByteSource& source) {
  if (has_unicode_header(source)) return std::nullopt;
  RecoveryTables tables;
  NullProgress quiet;
  std::unique_ptr<TerminalProgress> bar;
  if (::isatty(STDERR_FILENO) == 1) bar = std::make_unique<TerminalProgress>(stderr);
  OpenGate gate;
  CPstScanner scanner(tables, bar ? static_cast<ProgressSink&>(*bar) : quiet, gate);
  scanner.scan(source);
  if (bar) bar->finish();
  if (tables.objects.size() == 0) return Recoverable{};
  const auto codepage = CodepageConverter::open(kDefaultCodepage);
  if (!codepage) return std::nullopt;
  const auto report = collect_items(tables, path, *codepage);
  if (!report) return std::nullopt;
  // Folders as a repair makes them: folder nodes only (a named table or the store is none),
  // one for all the versions of a node the file holds.
  std::set<std::uint32_t> folders;
  for (const ReportedFolder& f : report->folders)
    if (pst::node_type(f.node_id) == pst::kNodeNormalFolder) folders.insert(f.node_id);
  return Recoverable{folders.size(), report->items.size()};
}

std::string form_text(const StoreCheck& c) {
  switch (c.form) {
    case StoreForm::kAnsi:
      return "32-bit (ANSI)";
    case StoreForm::kUnicode:
      return "64-bit (Unicode)";
    case StoreForm::kUnknown:
      break;
  }
  return "unknown";
}

std::string encoding_text(std::uint8_t crypt) {
  switch (crypt) {
    case 0:
      return "none";
    case 1:
      return "permutative";
    case 2:
      return "cyclic";
    default:
      return "unknown";
  }
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

void print_text(const std::string& path, const StoreCheck& c,
                const std::optional<Recoverable>& repair, std::ostream& out) {
  out << "file:     " << path << '\n'
      << "form:     " << form_text(c) << ", " << c.file_size << " bytes";
  if (c.form != StoreForm::kUnknown) out << ", encoding " << encoding_text(c.crypt_method);
  out << '\n'
      << "verdict:  " << (c.sound() ? "sound" : "damaged") << " ("
      << plural(c.errors, "error", "errors") << ", " << plural(c.warnings, "warning", "warnings")
      << ")\n";
  const std::size_t shown = std::min(kTextFindings, c.findings.size());
  for (std::size_t i = 0; i < shown; ++i) {
    const CheckFinding& f = c.findings[i];
    out << "  " << (f.error ? "error   " : "warning ") << check_area_name(f.area) << ": " << f.text
        << '\n';
  }
  const std::size_t left = c.errors + c.warnings - shown;
  if (left > 0) out << "  (" << plural(left, "more finding", "more findings") << " not shown)\n";
  out << "a reader reaches:       " << plural(c.folders_reached, "folder", "folders") << ", "
      << plural(c.items_reached, "item", "items") << " (" << plural(c.nodes, "node", "nodes")
      << ", " << plural(c.blocks, "block", "blocks") << ")\n";
  if (repair)
    out << "a repair would recover: " << plural(repair->folders, "folder", "folders") << ", "
        << plural(repair->items, "item", "items")
        << " (earlier versions and deleted items included)\n";
  else
    out << "a repair would recover: - (only 32-bit files are repaired)\n";
  if (c.sound())
    out << "The file is sound.\n";
  else
    out << "The file is damaged; `pstorian-cli repair " << path
        << "` writes what can be recovered into a new file.\n";
}

nlohmann::json to_json(const std::string& path, const StoreCheck& c,
                       const std::optional<Recoverable>& repair) {
  nlohmann::json findings = nlohmann::json::array();
  for (const CheckFinding& f : c.findings)
    findings.push_back({{"severity", f.error ? "error" : "warning"},
                        {"area", check_area_name(f.area)},
                        {"offset", f.offset ? nlohmann::json(*f.offset) : nlohmann::json(nullptr)},
                        {"text", f.text}});
  nlohmann::json out = {
      {"file", path},
      {"file_size", c.file_size},
      {"form", c.form == StoreForm::kAnsi      ? "ansi"
               : c.form == StoreForm::kUnicode ? "unicode"
                                               : "unknown"},
      {"encoding", encoding_text(c.crypt_method)},
      {"sound", c.sound()},
      {"errors", c.errors},
      {"warnings", c.warnings},
      {"findings_not_listed", c.dropped},
      {"findings", std::move(findings)},
      {"reader",
       {{"folders", c.folders_reached},
        {"items", c.items_reached},
        {"nodes", c.nodes},
        {"blocks", c.blocks}}},
  };
  out["repair"] = repair ? nlohmann::json{{"folders", repair->folders}, {"items", repair->items}}
                         : nlohmann::json(nullptr);
  return out;
}

}  // namespace

int run_check(const std::string& path, bool json, std::ostream& out, std::ostream& err) {
  const auto source = open_source(path, err);
  if (!source) return 2;
  const StoreCheck check = check_store(*source);
  const auto repair = recoverable(path, *source);
  if (json)
    // A file name need not be UTF-8; JSON must be.
    out << to_json(path, check, repair)
               .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
        << '\n';
  else
    print_text(path, check, repair, out);
  return check.sound() ? 0 : 1;
}

void add_check_command(CLI::App& app, int& exit_code) {
  CLI::App* cmd = app.add_subcommand(
      "check", "Check a .pst file as a reader would: is it damaged, and how badly?");
  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  cmd->add_option("FILE", *path, "the .pst file to check (only read)")->required();
  cmd->add_flag("--json", *json, "print one JSON object instead of text");
  cmd->callback(
      [path, json, &exit_code] { exit_code = run_check(*path, *json, std::cout, std::cerr); });
}

}  // namespace pstorian::cli
