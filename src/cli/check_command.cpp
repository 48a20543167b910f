#include "cli/check_command.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <utility>

#include "cli/file_kind.h"
#include "cli/source_checks.h"
#include "cli/store_check.h"
#include "cli/terminal_progress.h"
#include "engine/item_extraction.h"
#include "engine/named_property_map.h"
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

// The scan a repair starts with, over the whole file.
ScanCounts scan(const ByteSource& source, RecoveryTables& tables) {
  NullProgress quiet;
  std::unique_ptr<TerminalProgress> bar;
  if (::isatty(STDERR_FILENO) == 1) bar = std::make_unique<TerminalProgress>(stderr);
  OpenGate gate;
  CPstScanner scanner(tables, bar ? static_cast<ProgressSink&>(*bar) : quiet, gate);
  scanner.scan(source);
  if (bar) bar->finish();
  return scanner.counts();
}

// What a repair would bring back of what the scan found: every object decoded as the export
// decodes it, counted as a repair makes folders (folder nodes only, one for all the versions
// of a node the file holds) and items (every version).
Recoverable recoverable(const ByteSource& source, RecoveryTables& tables) {
  if (tables.objects.size() == 0) return Recoverable{};
  const NodeReader reader(source, tables);
  ensure_named_property_map(reader, tables);
  // Whether an object can be read and what it is come from its data block (its properties;
  // the subnodes add values to them), so objects of one type that name the same data block
  // are decoded once: a damaged file whose nodes all name one tree costs one decoding of it,
  // not one per node.
  struct Decoded {
    bool read = false;
    bool named_folder = false;
  };
  std::map<std::pair<const BlockRef*, std::uint8_t>, Decoded> decoded;
  std::set<std::uint32_t> folders;
  std::size_t items = 0;
  for (const ObjectIndex x : tables.objects.pre_order()) {
    const ObjectNode& node = tables.objects[x];
    const std::uint8_t type = pst::node_type(node.node_id);
    auto [it, fresh] = decoded.try_emplace({node.data_block, type});
    if (fresh) {
      const auto record = decode_item(reader, node);
      it->second = {record.has_value(), record && record->folder && record->display_name};
    }
    if (!it->second.read) continue;
    if (it->second.named_folder) {
      if (node.primary && type == pst::kNodeNormalFolder) folders.insert(node.node_id);
    } else if (type == pst::kNodeNormalMessage || type == pst::kNodeAssociatedMessage) {
      ++items;
    }
  }
  return Recoverable{folders.size(), items};
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

// Of a file that is no personal folder file nothing is checked: it has no sound or damaged
// parts, and nothing to repair.
enum class Verdict { kSound, kDamaged, kNotAStore };

std::string verdict_text(Verdict v) {
  switch (v) {
    case Verdict::kSound:
      return "sound";
    case Verdict::kDamaged:
      return "damaged";
    case Verdict::kNotAStore:
      break;
  }
  return std::string(kNotAPersonalFolderFile);
}

void print_text(const std::string& path, const StoreCheck& c, Verdict verdict,
                const std::optional<Recoverable>& repair, std::ostream& out) {
  out << "file:     " << path << '\n'
      << "form:     " << form_text(c) << ", " << c.file_size << " bytes";
  if (c.form != StoreForm::kUnknown) out << ", encoding " << encoding_text(c.crypt_method);
  out << '\n' << "verdict:  " << verdict_text(verdict);
  if (verdict == Verdict::kNotAStore) {
    out << "\nThe file is " << kNotAPersonalFolderFile
        << ": it has neither the header of one nor any of its pages or blocks, so there is "
           "nothing in it to check or to recover.\n";
    return;
  }
  out << " (" << plural(c.errors, "error", "errors") << ", "
      << plural(c.warnings, "warning", "warnings") << ")\n";
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
  if (verdict == Verdict::kSound)
    out << "The file is sound.\n";
  else
    out << "The file is damaged; `pstorian-cli repair " << path
        << "` writes what can be recovered into a new file.\n";
}

nlohmann::json to_json(const std::string& path, const StoreCheck& c, Verdict verdict,
                       const std::optional<Recoverable>& repair) {
  nlohmann::json findings = nlohmann::json::array();
  for (const CheckFinding& f : c.findings)
    findings.push_back({{"severity", f.error ? "error" : "warning"},
                        {"area", check_area_name(f.area)},
                        {"offset", f.offset ? nlohmann::json(*f.offset) : nlohmann::json(nullptr)},
                        {"text", f.text}});
  const bool store = verdict != Verdict::kNotAStore;
  nlohmann::json out = {
      {"file", path},
      {"file_size", c.file_size},
      {"form", c.form == StoreForm::kAnsi      ? "ansi"
               : c.form == StoreForm::kUnicode ? "unicode"
                                               : "unknown"},
      {"encoding", store ? encoding_text(c.crypt_method) : "unknown"},
      {"personal_folder_file", store},
      {"verdict", verdict_text(verdict)},
      {"sound", verdict == Verdict::kSound},
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
  // One scan serves twice: it tells a damaged personal folder file from a file of another
  // kind, and it is where a repair starts.
  RecoveryTables tables;
  const ScanCounts counts = scan(*source, tables);
  Verdict verdict = Verdict::kNotAStore;
  StoreCheck check;
  std::optional<Recoverable> repair;
  if (is_personal_folder_file(*source, tables, counts)) {
    check = check_store(*source, &tables);
    repair = recoverable(*source, tables);
    verdict = check.sound() ? Verdict::kSound : Verdict::kDamaged;
  } else {
    check.file_size = source->size();
  }
  if (json)
    // A file name need not be UTF-8; JSON must be.
    out << to_json(path, check, verdict, repair)
               .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
        << '\n';
  else
    print_text(path, check, verdict, repair, out);
  switch (verdict) {
    case Verdict::kSound:
      return 0;
    case Verdict::kDamaged:
      return 1;
    case Verdict::kNotAStore:
      break;
  }
  return 2;
}

void add_check_command(CLI::App& app, int& exit_code) {
  CLI::App* cmd = app.add_subcommand(
      "check", "Check a .pst file as a reader would: is it damaged, and how badly?");
  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  cmd->add_option("FILE", *path, "the .pst file to check (only read)")->required();
  cmd->add_flag("--json", *json, "print one JSON object instead of text");
  cmd->footer(
      "Exit status: 0 the file is sound; 1 it is damaged (a repair may recover it); 2 it is " +
      std::string(kNotAPersonalFolderFile) +
      " (neither its header nor any of its pages or blocks), it cannot be read, or a usage "
      "error.");
  cmd->callback(
      [path, json, &exit_code] { exit_code = run_check(*path, *json, std::cout, std::cerr); });
}

}  // namespace pstorian::cli
