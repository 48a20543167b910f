// What the repair benchmarks share: running a step in a child process and measuring it
// (wall time, CPU time, peak memory), damaging a copy of a mailbox as a crash might (its
// header and the pages at its B-tree roots zeroed), and a whole repair run in-process as the
// command line runs it. Benchmarks are programs run by hand; nothing here is a test.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pst_scanner.h"
#include "export/mail_client.h"
#include "export/pst_exporter.h"
#include "format/endian.h"
#include "format/layout_unicode.h"
#include "format/utf8.h"
#include "job/console_reporter.h"
#include "pst/messaging/message_content.h"
#include "pst/ndb/file_header.h"
#include "store/question_asker.h"
#include "store/store_file_writer.h"

namespace pstorian::bench {

// The options every repair benchmark takes: --repeat N, --dir DIR, --keep and --unicode.
struct RunOptions {
  int repeat = 3;
  std::filesystem::path dir = "/tmp";
  bool keep = false;
  FileForm form = FileForm::kAnsi;

  // Takes argv[i], and its value (i moves past it), when it is one of these options.
  bool take(int argc, char** argv, int& i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--repeat" && has_value)
      repeat = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--dir" && has_value)
      dir = argv[++i];
    else if (arg == "--keep")
      keep = true;
    else if (arg == "--unicode")
      form = FileForm::kUnicode;
    else
      return false;
    return true;
  }
};

class AnswerYes final : public QuestionAsker {
 public:
  Answer AskYesNo(std::string_view, std::string_view) override { return Answer::kYes; }
};

struct Measured {
  bool ok = false;
  double wall = 0;   // seconds
  double cpu = 0;    // user + system seconds
  long peak_kb = 0;  // largest resident set
};

inline double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs `work` in a child process and measures it; the child's exit status 0 counts as done.
inline Measured in_child(const std::function<int()>& work) {
  std::cout.flush();
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int rc = work();
    std::cout.flush();
    ::_exit(rc);
  }
  Measured m;
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return m;
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  m.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  m.peak_kb = usage.ru_maxrss;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// The run of least CPU time among those that succeeded, with the largest peak memory seen:
// a run of a few seconds is easily slowed by whatever else the machine does.
inline Measured fastest(const std::vector<Measured>& runs) {
  Measured best;
  for (const Measured& m : runs)
    if (m.ok && (!best.ok || m.cpu < best.cpu)) best = m;
  for (const Measured& m : runs) best.peak_kb = std::max(best.peak_kb, m.peak_kb);
  return best;
}

inline ContentProperty text_property(std::uint32_t tag, std::string_view text) {
  return {tag, std::nullopt, {text.begin(), text.end()}};
}

inline ContentProperty long_property(std::uint32_t tag, std::uint32_t value) {
  ContentProperty p{tag, std::nullopt, std::vector<std::uint8_t>(4)};
  pst::store_le32(p.value, 0, value);
  return p;
}

// A plain mail item, whole: its class, subject, body, sender and one recipient, marked read.
inline std::shared_ptr<MessageContent> mail_content(std::string_view subject, std::string_view body) {
  auto content = std::make_shared<MessageContent>();
  content->properties = {
      text_property(0x001A001E, "IPM.Note"),
      text_property(0x0037001E, subject),
      text_property(0x1000001E, body),
      text_property(0x0C1A001E, "Bob Sender"),
      long_property(0x0E070003, 1),
  };
  content->recipients.push_back({text_property(0x3001001E, "Ann Example"),
                                 text_property(0x3003001E, "ann@example.com"),
                                 text_property(0x3002001E, "SMTP"),
                                 long_property(0x0C150003, 1)});
  return content;
}

// Writes an empty store of `form` at `path`, attaches it to this build's mail client and has
// `fill` write into it through the automation interfaces, as any client of them would: it
// gets the store's top folder and a helper folder. The mail client is ended afterwards, so
// the store is complete on disk. Returns 0 when written; `name` prefixes what goes wrong.
inline int write_store(
    const std::filesystem::path& path, FileForm form, std::string_view name,
    const std::function<void(const std::shared_ptr<automation::Folder>& top,
                             automation::HelperFolder& helper)>& fill) {
  AnswerYes yes;
  StoreFileWriter writer(yes, path);
  if (!writer.WriteEmptyStore(form)) return 1;
  MailClient client = make_mail_client();
  const auto application = create_application(client);
  if (!application) {
    std::cerr << name << ": no mail client in this build\n";
    return 1;
  }
  try {
    const auto ns = application->GetNamespace(automation::kNamespaceType);
    ns->AddStore(pst::path_to_utf16(path.string()));
    const auto stores = ns->get_Folders();
    const auto top = stores->Item(stores->Count());
    const auto helper = std::dynamic_pointer_cast<automation::HelperFolder>(
        client.factory->CreateHelper(automation::kHelperFolderProgId));
    if (!helper) throw std::runtime_error("no helper folder");
    fill(top, *helper);
    if (client.close) client.close();
  } catch (const std::exception& e) {
    std::cerr << name << ": writing the mailbox failed: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

// A copy of `from` with its header and the pages at its B-tree roots zeroed.
inline bool damage(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return false;
  std::vector<std::uint8_t> head(pst::unicode::kHeaderSize);  // enough for either form
  FILE* f = std::fopen(to.c_str(), "r+b");
  if (f == nullptr) return false;
  const bool read = std::fread(head.data(), 1, head.size(), f) == head.size();
  const auto header = read ? parse_file_header(head) : std::nullopt;
  const std::vector<std::uint8_t> zeros(head.size(), 0);
  bool ok = header.has_value();
  if (ok) {
    const auto wipe = [&](std::uint64_t at, std::size_t n) {
      return std::fseek(f, static_cast<long>(at), SEEK_SET) == 0 &&
             std::fwrite(zeros.data(), 1, n, f) == n;
    };
    ok = wipe(header->nbt.ib, pst::kPageSize) && wipe(header->bbt.ib, pst::kPageSize) &&
         wipe(0, header->form == FileForm::kUnicode ? pst::unicode::kHeaderSize : pst::kHeaderSize);
  }
  return std::fclose(f) == 0 && ok;
}

// Scans `damaged` and exports what it holds to `output` (replaced if it exists), as the
// command line's repair does; returns the export's summary.
inline ExportSummary repair(const std::filesystem::path& damaged,
                            const std::filesystem::path& output) {
  RecoveryTables tables;
  NullProgress quiet;
  OpenGate gate;
  CPstScanner(tables, quiet, gate).scan(damaged);
  ExportSettings settings{damaged, output, std::string(kDefaultCodepage)};
  settings.existing_output = ExistingOutput::kReplace;
  CPstExporter exporter(settings, make_mail_client());
  std::ostringstream sink;
  ConsoleReporter quiet_reporter(sink, [](std::string_view) { return true; });
  exporter.run(tables, quiet_reporter, quiet_reporter, gate);
  return exporter.summary();
}

}  // namespace pstorian::bench
