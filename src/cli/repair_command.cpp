#include "cli/repair_command.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <streambuf>

#include "cli/file_kind.h"
#include "cli/source_checks.h"
#include "cli/summary_json.h"
#include "cli/terminal_progress.h"
#include "engine/pst_scanner.h"
#include "export/pst_exporter.h"
#include "job/output_naming.h"
#include "mailclient/automation/mail_client_factory.h"
#include "store/posix_file.h"
#include "store/question_asker.h"
#include "store/staged_output.h"
#include "store/store_file_writer.h"

namespace pstorian::cli {
namespace {

namespace fs = std::filesystem;

// The signal (SIGINT or SIGTERM) that asked the repair to stop, 0 while none did; the gate
// turns it into a stop at the next safe point, so the output store is closed as after a
// finished repair, and the exit status then says which signal it was (128 + its number).
std::atomic<int> g_interrupted{0};
extern "C" void on_interrupt(int signal_number) {
  g_interrupted.store(signal_number);
}

class InterruptHandlers {
 public:
  InterruptHandlers() {
    g_interrupted.store(0);
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
// two never share a line of the terminal. It is also the repair's gate: an interrupt, or
// standard output that can no longer be written (a closed pipe, a full disk), stops the
// repair at the next safe point, so the output store is closed whole.
class RepairConsole final : public ProgressSink, public Reporter, public JobHost, public JobGate {
 public:
  RepairConsole(std::ostream& out, std::ostream& err, bool terminal)
      : out_(out), err_(err), terminal_(terminal) {
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

  // JobHost: the completion is a status line; everything else the export has to say is why
  // it did not complete, which goes to standard error whatever standard output is.
  void show_message(std::string_view text, std::string_view) override {
    if (text == kCompletionText) {
      line(text);
      return;
    }
    end_bar();
    err_ << "pstorian-cli: " << text << '\n' << std::flush;
  }
  // Only asked when neither --overwrite nor --keep-existing decided; No cancels the repair.
  bool ask_yes_no(std::string_view text, std::string_view caption) override {
    if (!terminal_) return false;
    end_bar();
    std::cerr << caption << ": " << text
              << " [y: replace it with the recovered file / N: cancel the repair] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
  }
  void set_stop_enabled(bool) override {}
  void set_tree_ready(bool) override {}
  void set_output_store_index(int) override {}

  // JobGate
  bool pass() override { return g_interrupted.load() == 0 && output_error_ < 0; }

  void end_bar() {
    if (bar_) bar_->finish();
  }

  // Whether everything written to `out` got there; the system's reason when not (0 when it
  // gave none).
  bool output_failed() {
    note_output();
    return output_error_ >= 0;
  }
  int output_error() const { return output_error_; }

 private:
  void line(std::string_view text) {
    end_bar();
    out_ << text << '\n' << std::flush;
    note_output();
  }
  void note_output() {
    if (output_error_ < 0 && !out_) output_error_ = errno;
  }

  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  std::unique_ptr<TerminalProgress> bar_;
  TreeItemId next_item_ = 1;
  int output_error_ = -1;  // set once writing to `out` failed
};

// "3 mail, 1 contact"; `none` for no counts.
std::string counts_text(const std::map<ItemKind, int>& counts, std::string_view none) {
  if (counts.empty()) return std::string(none);
  std::ostringstream text;
  bool first = true;
  for (const auto& [kind, count] : counts) {
    text << (first ? "" : ", ") << count << ' ' << item_kind_name(kind);
    first = false;
  }
  return text.str();
}

void print_summary(std::ostream& out, const ExportSummary& s, double seconds) {
  out << "Result:                 " << result_name(result_of(s)) << '\n';
  if (!s.output_file.empty()) out << "Output file:            " << s.output_file << '\n';
  if (!s.incomplete_file.empty()) out << "Incomplete file:        " << s.incomplete_file << '\n';
  out << "Code page:              " << s.codepage << '\n'
      << "Folders recreated:      " << s.folders_recreated << '\n'
      << "Items written:          " << s.mail_items_written;
  if (!s.written_by_kind.empty()) out << " (" << counts_text(s.written_by_kind, "") << ')';
  out << '\n'
      << "Attachments written:    " << s.attachments_written << '\n'
      << "Recipients written:     " << s.recipients_written << '\n'
      << "Items in Lost&Found:    " << s.items_in_lost_and_found << '\n'
      << "Current versions:       " << s.current_items_written << '\n'
      << "Earlier versions:       " << s.earlier_versions_written << " (in Recovered Items)\n"
      << "No longer in the file:  " << s.unlisted_items_written << " (in Recovered Items)\n"
      << "Identical copies:       " << s.identical_copies << " (written once)\n";
  if (s.items_already_held > 0)
    out << "Already in the output:  " << s.items_already_held << " (not written again)\n";
  if (s.orphans_found > 0)
    out << "Found without an entry: " << s.orphans_found << " (" << s.orphans_placed
        << " placed by their folder's contents table)\n";
  if (s.versions_left_out > 0)
    out << "Left out:               " << s.versions_left_out << " (--current-only)\n";
  if (s.repeated_blocks_dropped > 0)
    out << "Repeated blocks:        " << s.repeated_blocks_dropped << " left out (damage)\n";
  out << "Found, not exported:    " << counts_text(s.not_exported, "none") << '\n';
  if (s.mail_items_skipped > 0) {
    out << "Items not written:      " << s.mail_items_skipped << '\n';
  }
  for (const ContinuedFolder& c : s.continued_folders) {
    out << "Folder continued:       " << c.path << " was full; it goes on in";
    for (std::size_t i = 0; i < c.siblings.size(); ++i)
      out << (i == 0 ? " \"" : ", \"") << c.siblings[i] << '"';
    out << '\n';
  }
  out << "Time taken:             " << std::fixed << std::setprecision(1) << seconds << " s\n";
}

// Settles before the scan that the output can be put in `folder`: the folder, or the nearest
// folder above it that exists when it is still to be made, must be a folder this process may
// write to. The export makes a missing folder once there is something to write.
bool output_folder_usable(const fs::path& folder, std::ostream& err) {
  std::error_code ec;
  fs::path existing = fs::absolute(folder, ec);
  if (ec) existing = folder;
  while (!fs::exists(existing, ec) && existing.has_relative_path())
    existing = existing.parent_path();
  if (!fs::is_directory(existing, ec)) {
    err << "pstorian-cli: cannot create the output folder " << folder.string() << ": "
        << existing.string() << " is not a folder\n";
    return false;
  }
  if (::access(existing.c_str(), W_OK | X_OK) != 0) {
    const int reason = errno;
    err << "pstorian-cli: cannot write to the output folder " << existing.string() << ": "
        << std::strerror(reason) << '\n';
    return false;
  }
  return true;
}

// Takes the status lines of a --json repair, whose standard output is the JSON object alone.
class DiscardBuffer final : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The summary as one JSON object: the export's counts, and the same four results as the
// text ("result"): the output named only when it is complete, the incomplete file when one
// was kept, the reason when there is one.
void print_json(std::ostream& out, const RepairOptions& options, const ExportSummary& summary,
                double seconds, int status) {
  nlohmann::json json = to_json(summary);
  json["source"] = options.source;
  json["result"] = result_name(result_of(summary));
  json["output"] = summary.output_file.empty() ? nlohmann::json() : nlohmann::json(summary.output_file);
  json["incomplete_output"] =
      summary.incomplete_file.empty() ? nlohmann::json() : nlohmann::json(summary.incomplete_file);
  json["error"] = summary.error.empty() ? nlohmann::json() : nlohmann::json(summary.error);
  json["seconds"] = seconds;
  json["exit_status"] = status;
  // Paths need not be UTF-8; JSON must be.
  out << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
}

void report_output_failure(std::ostream& err, int reason) {
  err << "pstorian-cli: cannot write to standard output"
      << (reason > 0 ? std::string(": ") + std::strerror(reason) : std::string()) << '\n';
}

// Why a scan found nothing to recover: a file of another kind is none, else it is too
// damaged.
std::string nothing_found_reason(const ByteSource& source, const RecoveryTables& tables,
                                 const ScanCounts& counts) {
  if (source.size() == 0) return "the file is empty";
  if (!is_personal_folder_file(source, tables, counts))
    return "it is " + std::string(kNotAPersonalFolderFile);
  return "no folder or item of it could be read";
}

// The exit status of a repair whose export ran. The export said itself why it did not
// complete (on standard error, see RepairConsole); here the summary goes out and what it
// means for the exit status is decided.
int settle(const RepairOptions& options, const ExportSummary& summary, RepairConsole& console,
           std::ostream& out, std::ostream& err, double seconds) {
  const ExportResult result = result_of(summary);
  const bool wrote = !summary.output_file.empty() || !summary.incomplete_file.empty() ||
                     summary.outcome == ExportOutcome::kCancelled ||
                     summary.outcome == ExportOutcome::kStoreFailed;
  if (!options.json && wrote) print_summary(out, summary, seconds);
  if (console.output_failed()) {
    report_output_failure(err, console.output_error());
    err << "pstorian-cli: the repair stopped"
        << (summary.incomplete_file.empty()
                ? std::string("; nothing was kept")
                : "; what was written is kept in " + summary.incomplete_file)
        << '\n';
    return 1;
  }
  switch (result) {
    case ExportResult::kComplete:
      return 0;
    case ExportResult::kNothingRecovered:
      return 1;  // the export said why
    case ExportResult::kStopped:
      if (summary.outcome == ExportOutcome::kCancelled && g_interrupted.load() != 0) {
        err << "pstorian-cli: interrupted (" << ::strsignal(g_interrupted.load()) << ")\n";
        return 128 + g_interrupted.load();
      }
      return 1;
    case ExportResult::kFailed:
      return 1;
  }
  return 1;
}

// How the source looked when the scan opened it; the export compares.
struct SourceStamp {
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
};

}  // namespace

int run_repair(const RepairOptions& options, MailClient mail_client, std::ostream& out,
               std::ostream& err, bool terminal) {
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  const auto naming = name_output_beside(options.source);
  if (!naming) {
    err << "pstorian-cli: " << options.source
        << " does not end in .pst (accepted: .pst, .PST, .Pst, .pST, .pSt, .psT)\n";
    return 2;
  }
  if (const auto problem = options.codepage.empty() ? std::nullopt
                                                     : codepage_problem(options.codepage)) {
    err << "pstorian-cli: " << *problem << '\n';
    return 2;
  }
  const std::string output_folder =
      options.output_folder.empty() ? naming->output_folder : options.output_folder;
  const std::string output = options.output_folder.empty()
                                 ? naming->output_path
                                 : output_path_in(options.output_folder, naming->base_name);
  // Whatever --overwrite says, a FIFO or a device node named like the output stays one.
  if (posix::name_kind(output) == posix::NameKind::kOther) {
    err << "pstorian-cli: " << output << " is " << posix::kind_text(output)
        << ", not a regular file: it was left as it is; choose another output folder with -o\n";
    return 1;
  }
  const bool output_exists = posix::name_kind(output) == posix::NameKind::kRegular;
  if (output_exists && !options.overwrite && !options.keep_existing && !terminal) {
    err << "pstorian-cli: " << output
        << " already exists; pass --overwrite to replace it or --keep-existing to add to it\n";
    return 2;
  }
  const std::optional<SourceFile> source = open_source(options.source, err);
  if (!source) return 1;
  // Found now rather than after a long scan; the export checks again before it writes.
  if (same_file(options.source, output)) {
    err << "pstorian-cli: " << output << " is " << options.source
        << " itself (a link to it); the file being repaired is only ever read, so choose "
           "another output folder with -o\n";
    return 1;
  }
  if (!output_folder_usable(output_folder, err)) return 1;
  // A second repair into the same name is refused now, not after its scan. A folder still
  // to be made has no lock yet: the export takes it once it has made the folder.
  std::shared_ptr<OutputLock> lock;
  if (fs::is_directory(posix::folder_of(output))) {
    std::string why;
    std::optional<OutputLock> taken = OutputLock::acquire(output, why);
    if (!taken) {
      err << "pstorian-cli: " << why << '\n';
      return 1;
    }
    lock = std::make_shared<OutputLock>(std::move(*taken));
  }

  InterruptHandlers handlers;
  DiscardBuffer discard;
  std::ostream discarded(&discard);
  RepairConsole console(options.json ? discarded : out, err, terminal);
  const SourceStamp stamp{source->size(), source->modified_ns()};

  RecoveryTables tables;
  CPstScanner scanner(tables, console, console);
  const ScanOutcome scanned = scanner.scan(*source);
  console.end_bar();
  ExportSummary nothing;
  if (console.output_failed()) {
    report_output_failure(err, console.output_error());
    err << "pstorian-cli: the repair stopped during the scan; nothing was written\n";
    return 1;
  }
  if (scanned == ScanOutcome::kCancelled) {
    err << "pstorian-cli: interrupted during the scan; nothing was written\n";
    nothing.outcome = ExportOutcome::kCancelled;
    if (options.json) print_json(out, options, nothing, elapsed(), 128 + g_interrupted.load());
    return 128 + g_interrupted.load();
  }
  if (tables.objects.first_top_level() == kNoObject) {
    nothing.error = nothing_found_reason(*source, tables, scanner.counts());
    err << "pstorian-cli: nothing recovered from " << options.source << ": " << nothing.error
        << '\n';
    if (options.json) print_json(out, options, nothing, elapsed(), 1);
    return 1;
  }

  ExportSettings settings{options.source, output, options.codepage};
  settings.existing_output = options.overwrite       ? ExistingOutput::kReplace
                             : options.keep_existing ? ExistingOutput::kKeep
                                                     : ExistingOutput::kAsk;
  settings.current_only = options.current_only;
  settings.output_lock = lock;
  settings.source_size = stamp.size;
  settings.source_changed_ns = stamp.modified_ns;
  CPstExporter exporter(std::move(settings), std::move(mail_client));
  exporter.set_progress(console);
  try {
    exporter.run(tables, console, console, console);
  } catch (const std::exception& e) {
    console.end_bar();
    const ExportSummary& summary = exporter.summary();
    err << "pstorian-cli: the repair stopped: " << e.what() << '\n';
    if (!summary.incomplete_file.empty())
      err << "pstorian-cli: what was written until then is kept in " << summary.incomplete_file
          << '\n';
    if (options.json) print_json(out, options, summary, elapsed(), 1);
    return 1;
  }
  const ExportSummary& summary = exporter.summary();
  const int status = settle(options, summary, console, out, err, elapsed());
  if (!options.json) return status;
  print_json(out, options, summary, elapsed(), status);
  if (!out && status == 0) {
    report_output_failure(err, errno);
    return 1;
  }
  return status;
}

void add_repair_command(CLI::App& app, int& exit_code) {
  CLI::App* cmd = app.add_subcommand(
      "repair", "Repair a damaged .pst file into \"<name> Recovered.pst\" through the mail client");
  cmd->footer(
      "The recovered file is written as \"<name> Recovered (incomplete).pst\" and takes its name\n"
      "only when the repair is complete: a repair that fails, is interrupted or killed leaves an\n"
      "existing output as it was and keeps what it wrote under the incomplete name. A second\n"
      "repair into the same name is refused while the first runs; an output name that is a FIFO,\n"
      "a device or a folder is refused.\n"
      "Exit status: 0 complete; 1 nothing recovered, failed, or No to the question; 2 usage\n"
      "error; 130 Ctrl-C; 143 SIGTERM.");
  auto options = std::make_shared<RepairOptions>();
  cmd->add_option("SOURCE", options->source,
                  "the damaged file; its name must end in .pst, .PST, .Pst, .pST, .pSt or .psT")
      ->required();
  cmd->add_option("-o,--output-folder", options->output_folder,
                  "folder for the recovered file (default: the source's folder)");
  auto* overwrite =
      cmd->add_flag("--overwrite", options->overwrite, "replace an existing output file");
  auto* keep = cmd->add_flag("--keep-existing", options->keep_existing,
                             "add the recovered mail to an existing output file (items it holds "
                             "already are not written again)");
  overwrite->excludes(keep);
  cmd->add_option("--codepage", options->codepage,
                  "code page of the file's 8-bit texts (iconv name; default: the one the file "
                  "names, else WINDOWS-1252)");
  cmd->add_flag("--current-only", options->current_only,
                "write only the current version of each item: no earlier versions or deleted "
                "items in \"Recovered Items\"");
  cmd->add_flag("--json", options->json,
                "print the summary as one JSON object (and no status lines) on standard output");
  cmd->callback([options, &exit_code] {
    const bool terminal = ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
    exit_code = run_repair(*options, make_mail_client(), std::cout, std::cerr, terminal);
  });
}

}  // namespace pstorian::cli
