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
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "export/wide_text.h"
#include "format/utf8.h"

namespace fs = std::filesystem;
using namespace pstorian;
using namespace pstorian::bench;

namespace {

struct Settings : RunOptions {
  int messages = 100000;
  int megabytes = 500;
  int attach_every = 10;
  int attachment_kb = 100;
};

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

// One message of the mailbox, whole: subject, body, a recipient, perhaps an attachment.
std::shared_ptr<const MessageContent> bench_message(const Settings& s, int i,
                                                    std::size_t body_size) {
  auto content = mail_content("Message " + std::to_string(i), std::string(body_size, 'x'));
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
  return write_store(path, s.form, "repair_bench", [&](const auto& top, auto& helper) {
    const std::size_t body_size =
        static_cast<std::size_t>(s.megabytes) * 1024 * 1024 / static_cast<std::size_t>(s.messages);
    constexpr int kFolders = 10;
    for (int f = 0; f < kFolders; ++f) {
      const auto folder = top->get_Folders()->Add(utf8_to_utf16("Folder " + std::to_string(f)), 6);
      helper.put_BoundObject(folder);
      for (int i = f; i < s.messages; i += kFolders) {
        const auto message = helper.get_Messages()->Add(u"IPM.Note");
        message->put_Content(bench_message(s, i, body_size));
        message->Save();
      }
    }
  });
}

int repair_once(const fs::path& damaged, const fs::path& output) {
  const ExportSummary summary = bench::repair(damaged, output);
  std::cout << "  repair wrote " << summary.mail_items_written << " items, "
            << summary.attachments_written << " attachments, " << summary.recipients_written
            << " recipients\n";
  return summary.outcome == ExportOutcome::kCompleted ? 0 : 1;
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
    else if (!s.take(argc, argv, i)) {
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
    repairs.push_back(in_child([&] { return repair_once(damaged, output); }));
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
