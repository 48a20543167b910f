// repair_bench: a whole repair of a large mailbox, timed beside readpst.
//
// Writes a mailbox of --messages messages (100,000 by default) through the mail client of
// this build, spread over ten folders: bodies sized so that they make up --megabytes (500 by
// default), a recipient each, and every --attach-every'th message (10th) carrying an
// attachment of --attachment-kb KB (100). Copies it with its header and B-tree roots zeroed,
// then, in one run, repairs the damaged copy and has `readpst -o DIR` convert the undamaged
// file, each --repeat times (3), in child processes: the CPU time (user + system) and wall
// time of each, the fastest counting, and the repair's peak memory (its largest resident
// set). Files go to --dir (default /tmp) and are removed unless --keep is given. With
// --unicode the mailbox is written in the 64-bit form, and so is the repaired store.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/pst_scanner.h"
#include "export/mail_client.h"
#include "export/pst_exporter.h"
#include "export/wide_text.h"
#include "format/endian.h"
#include "format/layout_unicode.h"
#include "format/utf8.h"
#include "job/console_reporter.h"
#include "mailclient/ndb/file_header.h"
#include "store/question_asker.h"
#include "store/store_file_writer.h"

namespace fs = std::filesystem;
using namespace pstorian;
using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
  int messages = 100000;
  int megabytes = 500;
  int attach_every = 10;
  int attachment_kb = 100;
  int repeat = 3;
  fs::path dir = "/tmp";
  bool keep = false;
  FileForm form = FileForm::kAnsi;
};

class AnswerYes final : public QuestionAsker {
 public:
  Answer AskYesNo(std::string_view, std::string_view) override { return Answer::kYes; }
};

struct Measured {
  bool ok = false;
  double wall = 0;     // seconds
  double cpu = 0;      // user + system seconds
  long peak_kb = 0;    // largest resident set
};

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs `work` in a child process and measures it; the child's exit status 0 counts as done.
Measured in_child(const std::function<int()>& work) {
  std::cout.flush();
  const auto started = Clock::now();
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
  m.wall = std::chrono::duration<double>(Clock::now() - started).count();
  m.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  m.peak_kb = usage.ru_maxrss;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// Runs a program with its output thrown away, as a child, and measures it.
Measured program(const std::vector<std::string>& args) {
  return in_child([&] {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    return 127;
  });
}

ContentProperty text_property(std::uint32_t tag, std::string_view text) {
  return {tag, std::nullopt, {text.begin(), text.end()}};
}

ContentProperty long_property(std::uint32_t tag, std::uint32_t value) {
  ContentProperty p{tag, std::nullopt, std::vector<std::uint8_t>(4)};
  pst::store_le32(p.value, 0, value);
  return p;
}

// One message of the mailbox, whole: subject, body, a recipient, perhaps an attachment.
std::shared_ptr<const MessageContent> bench_message(const Settings& s, int i,
                                                    std::size_t body_size) {
  auto content = std::make_shared<MessageContent>();
  content->properties = {
      text_property(0x001A001E, "IPM.Note"),
      text_property(0x0037001E, "Message " + std::to_string(i)),
      text_property(0x1000001E, std::string(body_size, 'x')),
      text_property(0x0C1A001E, "Bob Sender"),
      long_property(0x0E070003, 1),
  };
  content->recipients.push_back({text_property(0x3001001E, "Ann Example"),
                                 text_property(0x3003001E, "ann@example.com"),
                                 text_property(0x3002001E, "SMTP"),
                                 long_property(0x0C150003, 1)});
  if (s.attach_every > 0 && i % s.attach_every == 0) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(s.attachment_kb) * 1024);
    for (std::size_t k = 0; k < data.size(); ++k)
      data[k] = static_cast<std::uint8_t>((k * 131 + static_cast<std::size_t>(i)) >> 3);
    AttachmentContent attachment;
    attachment.properties = {long_property(0x37050003, 1),  // by value
                             text_property(0x3707001E, "data" + std::to_string(i) + ".bin"),
                             text_property(0x3704001E, "data.bin"),
                             {0x37010102, std::nullopt, std::move(data)}};
    content->attachments.push_back(std::move(attachment));
  }
  return content;
}

// Writes the mailbox through the automation interfaces, as any client of them would.
int write_mailbox(const Settings& s, const fs::path& path) {
  AnswerYes yes;
  StoreFileWriter writer(yes, path);
  if (!writer.WriteEmptyStore(s.form)) return 1;
  MailClient client = make_mail_client();
  const auto application = create_application(client);
  if (!application) {
    std::cerr << "repair_bench: no mail client in this build\n";
    return 1;
  }
  try {
    const auto ns = application->GetNamespace(automation::kNamespaceType);
    ns->AddStore(pst::path_to_utf16(path.string()));
    const auto stores = ns->get_Folders();
    const auto root = stores->Item(stores->Count());
    const auto helper = std::dynamic_pointer_cast<automation::HelperFolder>(
        client.factory->CreateHelper(automation::kHelperFolderProgId));
    const std::size_t body_size =
        static_cast<std::size_t>(s.megabytes) * 1024 * 1024 / static_cast<std::size_t>(s.messages);
    constexpr int kFolders = 10;
    for (int f = 0; f < kFolders; ++f) {
      const auto folder = root->get_Folders()->Add(utf8_to_utf16("Folder " + std::to_string(f)), 6);
      helper->put_BoundObject(folder);
      for (int i = f; i < s.messages; i += kFolders) {
        const auto message = helper->get_Messages()->Add(u"IPM.Note");
        message->put_Content(bench_message(s, i, body_size));
        message->Save();
      }
    }
    if (client.close) client.close();
  } catch (const std::exception& e) {
    std::cerr << "repair_bench: writing the mailbox failed: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

// A copy of `from` with its header and the pages at its B-tree roots zeroed.
bool damage(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
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

int repair(const fs::path& damaged, const fs::path& output) {
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
  const ExportSummary& summary = exporter.summary();
  std::cout << "  repair wrote " << summary.mail_items_written << " items, "
            << summary.attachments_written << " attachments, " << summary.recipients_written
            << " recipients\n";
  return summary.outcome == ExportOutcome::kCompleted ? 0 : 1;
}

Measured fastest(const std::vector<Measured>& runs) {
  Measured best;
  for (const Measured& m : runs)
    if (m.ok && (!best.ok || m.cpu < best.cpu)) best = m;
  for (const Measured& m : runs) best.peak_kb = std::max(best.peak_kb, m.peak_kb);
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--messages" && has_value)
      s.messages = std::atoi(argv[++i]);
    else if (arg == "--megabytes" && has_value)
      s.megabytes = std::atoi(argv[++i]);
    else if (arg == "--attach-every" && has_value)
      s.attach_every = std::atoi(argv[++i]);
    else if (arg == "--attachment-kb" && has_value)
      s.attachment_kb = std::atoi(argv[++i]);
    else if (arg == "--repeat" && has_value)
      s.repeat = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--dir" && has_value)
      s.dir = argv[++i];
    else if (arg == "--keep")
      s.keep = true;
    else if (arg == "--unicode")
      s.form = FileForm::kUnicode;
    else {
      std::cerr << "usage: repair_bench [--messages N] [--megabytes N] [--attach-every N]\n"
                   "                    [--attachment-kb N] [--repeat N] [--dir DIR] [--keep]\n"
                   "                    [--unicode]\n";
      return 2;
    }
  }
  if (s.messages <= 0) return 2;
  fs::create_directories(s.dir);
  const fs::path original = s.dir / "pstorian-bench-mailbox.pst";
  const fs::path damaged = s.dir / "pstorian-bench-damaged.pst";
  const fs::path output = s.dir / "pstorian-bench-damaged Recovered.pst";
  const fs::path readpst_dir = s.dir / "pstorian-bench-readpst";

  const Measured written = in_child([&] { return write_mailbox(s, original); });
  if (!written.ok || !damage(original, damaged)) {
    std::cerr << "repair_bench: the mailbox could not be written or damaged\n";
    return 1;
  }
  const auto source_bytes = fs::file_size(original);
  std::cout << std::fixed << std::setprecision(2) << "mailbox written: "
            << static_cast<double>(source_bytes) / (1024 * 1024) << " MiB, " << s.messages
            << " messages, every " << s.attach_every << "th with " << s.attachment_kb
            << " KB attached, " << pst::form_name(s.form) << " form, in " << written.wall
            << " s; header and roots zeroed in a copy\n";

  std::vector<Measured> repairs, readpsts;
  for (int r = 0; r < s.repeat; ++r) {
    repairs.push_back(in_child([&] { return repair(damaged, output); }));
    fs::remove_all(readpst_dir);
    fs::create_directories(readpst_dir);
    readpsts.push_back(program({"readpst", "-q", "-o", readpst_dir.string(), original.string()}));
  }
  const Measured rep = fastest(repairs);
  const Measured rp = fastest(readpsts);
  const double peak_mb = static_cast<double>(rep.peak_kb) / 1024;
  const double budget_mb = static_cast<double>(source_bytes) / (1024 * 1024) / 10 + 100;
  std::cout << "repair of the damaged copy (fastest of " << s.repeat << "): " << rep.cpu
            << " s CPU, " << rep.wall << " s wall, peak memory " << peak_mb << " MiB (budget "
            << budget_mb << " MiB)" << (rep.ok ? "" : " [FAILED]") << '\n'
            << "readpst -o DIR on the undamaged file (fastest of " << s.repeat << "): " << rp.cpu
            << " s CPU, " << rp.wall << " s wall" << (rp.ok ? "" : " [FAILED]") << '\n'
            << "CPU ratio repair / readpst: " << (rp.cpu > 0 ? rep.cpu / rp.cpu : 0) << '\n';
  if (!s.keep) {
    fs::remove(original);
    fs::remove(damaged);
    fs::remove(output);
    fs::remove_all(readpst_dir);
  }
  return rep.ok ? 0 : 1;
}
