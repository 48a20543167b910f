#include "cli/repair_command.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include "cli/terminal_progress.h"
#include "engine/codepage.h"
#include "mailclient/automation/mail_client_factory.h"
#include "engine/pst_scanner.h"
#include "export/pst_exporter.h"
#include "job/output_naming.h"
#include "store/question_asker.h"

namespace pstorian::cli {
namespace {

namespace fs = std::filesystem;

// Set by SIGINT and SIGTERM; the gate turns it into a stop at the next safe point, so the
// output store is closed as after a finished repair.
std::atomic<bool> g_interrupted{false};
extern "C" void on_interrupt(int) {
  g_interrupted.store(true);
}

class InterruptGate final : public JobGate {
 public:
  bool pass() override { return !g_interrupted.load(); }
};

class InterruptHandlers {
 public:
  InterruptHandlers() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptHandlers() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  InterruptHandlers(const InterruptHandlers&) = delete;
  InterruptHandlers& operator=(const InterruptHandlers&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// Status lines on `out`, the bar on standard error; a line ends the bar first so that the
// two never share a line of the terminal.
class RepairConsole final : public ProgressSink, public Reporter, public JobHost {
 public:
  RepairConsole(std::ostream& out, bool terminal, const RepairOptions& options)
      : out_(out), terminal_(terminal), options_(options) {
    if (terminal) bar_ = std::make_unique<TerminalProgress>(stderr);
  }

  // ProgressSink
  void set_range(int low, int high) override {
    if (bar_) bar_->set_range(low, high);
  }
  void set_position(int position) override {
    if (bar_) bar_->set_position(position);
  }
  void set_step(int step) override {
    if (bar_) bar_->set_step(step);
  }
  void step() override {
    if (bar_) bar_->step();
  }
  void set_status(std::string_view text) override { line(text); }

  // Reporter
  void list_add_fields(const ListRowFields&) override {}
  void list_setup_columns() override {}
  void list_clear_items() override {}
  void tree_add_folder(FolderNodeRecord& folder, const FolderPlacement&) override {
    folder.tree_item = next_item_++;
  }
  void tree_show_folder(TreeItemId) override {}
  TreeItemId tree_reset() override { return next_item_++; }
  void list_add_item(const ItemRowRecord&) override {}
  void status_populating(std::optional<std::string_view> folder_name) override {
    line(populating_text(folder_name));
  }
  void status_clear() override { end_bar(); }

  // JobHost
  void show_message(std::string_view text, std::string_view) override { line(text); }
  bool ask_yes_no(std::string_view text, std::string_view caption) override {
    if (options_.overwrite) return !asked_++;  // yes once: a second question would loop
    if (options_.keep_existing || !terminal_) return false;
    end_bar();
    std::cerr << caption << ": " << text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
  }
  void set_stop_enabled(bool) override {}
  void set_tree_ready(bool) override {}
  void set_output_store_index(int) override {}

  void end_bar() {
    if (bar_) bar_->finish();
  }

 private:
  void line(std::string_view text) {
    end_bar();
    out_ << text << '\n' << std::flush;
  }

  std::ostream& out_;
  bool terminal_;
  const RepairOptions& options_;
  std::unique_ptr<TerminalProgress> bar_;
  TreeItemId next_item_ = 1;
  int asked_ = 0;
};

std::string not_exported_text(const std::map<ItemKind, int>& counts) {
  if (counts.empty()) return "none";
  std::ostringstream text;
  bool first = true;
  for (const auto& [kind, count] : counts) {
    text << (first ? "" : ", ") << count << ' ' << item_kind_name(kind);
    first = false;
  }
  return text.str();
}

void print_summary(std::ostream& out, const CPstExporter& exporter, double seconds) {
  const ExportSummary& s = exporter.summary();
  out << "Output file:            " << exporter.output_path().string() << '\n'
      << "Folders recreated:      " << s.folders_recreated << '\n'
      << "Mail items written:     " << s.mail_items_written << '\n'
      << "Items in Lost&Found:    " << s.items_in_lost_and_found << '\n'
      << "Found, not exported:    " << not_exported_text(s.not_exported) << '\n';
  if (s.mail_items_skipped > 0) {
    out << "Mail items not written: " << s.mail_items_skipped << '\n';
  }
  for (const ContinuedFolder& c : s.continued_folders) {
    out << "Folder continued:       " << c.path << " was full; it goes on in";
    for (std::size_t i = 0; i < c.siblings.size(); ++i)
      out << (i == 0 ? " \"" : ", \"") << c.siblings[i] << '"';
    out << '\n';
  }
  out << "Time taken:             " << std::fixed << std::setprecision(1) << seconds << " s\n";
}

}  // namespace

int run_repair(const RepairOptions& options, MailClient mail_client, std::ostream& out,
               std::ostream& err, bool terminal) {
  const auto started = std::chrono::steady_clock::now();
  const auto naming = name_output_beside(options.source);
  if (!naming) {
    err << "pstorian-cli: " << options.source
        << " does not end in .pst (accepted: .pst, .PST, .Pst, .pST, .pSt, .psT)\n";
    return 2;
  }
  if (!CodepageConverter::open(options.codepage)) {
    err << "pstorian-cli: unknown code page " << options.codepage << '\n';
    return 2;
  }
  // The recovered store keeps the source's 8-bit texts in the same code page.
  set_mail_client_codepage(options.codepage);
  const std::string output = options.output_folder.empty()
                                 ? naming->output_path
                                 : output_path_in(options.output_folder, naming->base_name);
  std::error_code ec;
  if (fs::exists(fs::symlink_status(output, ec)) && !options.overwrite && !options.keep_existing &&
      !terminal) {
    err << "pstorian-cli: " << output
        << " already exists; pass --overwrite to replace it or --keep-existing to add to it\n";
    return 2;
  }
  if (!SourceFile::open(options.source)) {
    err << "pstorian-cli: cannot open " << options.source << '\n';
    return 1;
  }
  // A named output folder is made when missing; finding out after the scan that the output
  // store cannot be created would waste the scan of a large file.
  if (!options.output_folder.empty() && !fs::is_directory(options.output_folder, ec)) {
    fs::create_directories(options.output_folder, ec);
    if (ec || !fs::is_directory(options.output_folder, ec)) {
      err << "pstorian-cli: cannot create the output folder " << options.output_folder
          << (ec ? ": " + ec.message() : std::string()) << '\n';
      return 1;
    }
  }

  InterruptHandlers handlers;
  InterruptGate gate;
  RepairConsole console(out, terminal, options);

  RecoveryTables tables;
  CPstScanner scanner(tables, console, gate);
  const ScanOutcome scanned = scanner.scan(options.source);
  console.end_bar();
  if (scanned == ScanOutcome::kCancelled) {
    err << "pstorian-cli: interrupted during the scan; nothing was written\n";
    return 1;
  }
  if (tables.objects.first_top_level() == kNoObject) {
    out << "No records found\n";
    return 1;
  }

  CPstExporter exporter({options.source, output, options.codepage}, std::move(mail_client));
  exporter.set_progress(console);
  try {
    exporter.run(tables, console, console, gate);
  } catch (const std::exception& e) {
    console.end_bar();
    err << "pstorian-cli: the repair stopped: " << e.what()
        << "\n(the output file was closed; it holds what was written until then)\n";
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const ExportSummary& summary = exporter.summary();
  switch (summary.outcome) {
    case ExportOutcome::kCompleted:
      print_summary(out, exporter, seconds);
      if (!summary.output_kept) {
        err << "pstorian-cli: nothing could be recovered from " << options.source << '\n';
        return 1;
      }
      return 0;
    case ExportOutcome::kCancelled:
      print_summary(out, exporter, seconds);
      err << "pstorian-cli: interrupted; the output file holds what was written until then\n";
      return 1;
    case ExportOutcome::kStoreFailed:
      // The reason was shown; the counts are what the output file holds.
      print_summary(out, exporter, seconds);
      return 1;
    case ExportOutcome::kNoMailClient:
      err << "pstorian-cli: the mail client is unavailable, so no output store could be "
             "written\n";
      return 1;
    case ExportOutcome::kStoreNotOpened:
      err << "pstorian-cli: the mail client could not attach or find " << output << '\n';
      return 1;
    case ExportOutcome::kNoHelperObjects:
      err << "pstorian-cli: the mail client's helper component is unavailable\n";
      return 1;
    case ExportOutcome::kSourceNotOpened:
      err << "pstorian-cli: cannot open " << options.source << " again for reading\n";
      return 1;
    case ExportOutcome::kNoObjects:
    case ExportOutcome::kFailed:
      break;
  }
  err << "pstorian-cli: nothing could be recovered from " << options.source << '\n';
  return 1;
}

void add_repair_command(CLI::App& app, int& exit_code) {
  CLI::App* cmd = app.add_subcommand(
      "repair", "Repair a damaged .pst file into \"<name> Recovered.pst\" through the mail client");
  auto options = std::make_shared<RepairOptions>();
  cmd->add_option("SOURCE", options->source, "the damaged .pst file")->required();
  cmd->add_option("-o,--output-folder", options->output_folder,
                  "folder for the recovered file (default: the source's folder)");
  auto* overwrite =
      cmd->add_flag("--overwrite", options->overwrite, "replace an existing output file");
  auto* keep = cmd->add_flag("--keep-existing", options->keep_existing,
                             "add to an existing output file instead of replacing it");
  overwrite->excludes(keep);
  cmd->add_option("--codepage", options->codepage,
                  "code page of the file's 8-bit texts (iconv name, default WINDOWS-1252)");
  cmd->callback([options, &exit_code] {
    const bool terminal = ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
    exit_code = run_repair(*options, make_mail_client(), std::cout, std::cerr, terminal);
  });
}

}  // namespace pstorian::cli
