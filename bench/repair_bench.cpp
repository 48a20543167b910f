// repair_bench: a whole repair of a large mailbox, timed beside readpst.
//
// Writes a mailbox of --messages messages (100,000 by default, bodies sized so the file
// passes --megabytes, 500 by default) through the mail client of this build, spread over a
// few folders; copies it and zeroes the copy's header and B-tree roots with the shared
// damage tool; then times the repair of the damaged copy (scan and export into a fresh
// output store) and, in the same run, `readpst -o DIR` converting the undamaged file.
// Files go to --dir (default /tmp) and are removed unless --keep is given.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "engine/pst_scanner.h"
#include "export/mail_client.h"
#include "export/pst_exporter.h"
#include "export/wide_text.h"
#include "format/utf8.h"
#include "job/console_reporter.h"
#include "store/question_asker.h"
#include "store/store_file_writer.h"

namespace fs = std::filesystem;
using namespace pstorian;
using Clock = std::chrono::steady_clock;

namespace {

struct Settings {
  int messages = 100000;
  int megabytes = 500;
  fs::path dir = "/tmp";
  bool keep = false;
};

class AnswerYes final : public QuestionAsker {
 public:
  Answer AskYesNo(std::string_view, std::string_view) override { return Answer::kYes; }
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Writes the mailbox through the automation interfaces, as any client of them would.
bool write_mailbox(const Settings& s, const fs::path& path) {
  AnswerYes yes;
  StoreFileWriter writer(yes, path);
  if (!writer.WriteEmptyStore()) return false;
  MailClient client = make_mail_client();
  const auto application = create_application(client);
  if (!application) {
    std::cerr << "repair_bench: no mail client in this build\n";
    return false;
  }
  {
    const auto ns = application->GetNamespace(automation::kNamespaceType);
    ns->AddStore(pst::path_to_utf16(path.string()));
    const auto stores = ns->get_Folders();
    const auto root = stores->Item(stores->Count());
    const auto helper = std::dynamic_pointer_cast<automation::HelperFolder>(
        client.factory->CreateHelper(automation::kHelperFolderProgId));
    const std::size_t body_size =
        static_cast<std::size_t>(s.megabytes) * 1024 * 1024 / static_cast<std::size_t>(s.messages);
    const std::u16string body(body_size, u'x');
    constexpr int kFolders = 10;
    for (int f = 0; f < kFolders; ++f) {
      const auto folder = root->get_Folders()->Add(utf8_to_utf16("Folder " + std::to_string(f)), 6);
      const std::u16string store_id = folder->get_StoreID();
      helper->put_BoundObject(folder);
      for (int i = f; i < s.messages; i += kFolders) {
        const auto message = helper->get_Messages()->Add(u"IPM.Note");
        message->put_MessageClass(u"IPM.Note");
        message->Save();
        const auto item = ns->GetItemFromID(message->get_EntryID(), store_id);
        item->put_Subject(utf8_to_utf16("Message " + std::to_string(i)));
        item->put_To(u"Ann Example");
        item->put_Body(body);
        item->Close(automation::kSaveModeSave);
      }
    }
  }
  if (client.close) client.close();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--messages" && i + 1 < argc)
      s.messages = std::atoi(argv[++i]);
    else if (arg == "--megabytes" && i + 1 < argc)
      s.megabytes = std::atoi(argv[++i]);
    else if (arg == "--dir" && i + 1 < argc)
      s.dir = argv[++i];
    else if (arg == "--keep")
      s.keep = true;
    else {
      std::cerr << "usage: repair_bench [--messages N] [--megabytes N] [--dir DIR] [--keep]\n";
      return 2;
    }
  }
  fs::create_directories(s.dir);
  const fs::path original = s.dir / "pstorian-bench-mailbox.pst";
  const fs::path damaged = s.dir / "pstorian-bench-damaged.pst";
  const fs::path half = s.dir / "pstorian-bench-half.pst";
  const fs::path output = s.dir / "pstorian-bench-damaged Recovered.pst";
  const fs::path readpst_dir = s.dir / "pstorian-bench-readpst";

  auto started = Clock::now();
  if (!write_mailbox(s, original)) {
    fs::remove(original);
    return 1;
  }
  std::cout << "mailbox written: " << fs::file_size(original) / (1024 * 1024) << " MiB, "
            << s.messages << " messages in " << seconds_since(started) << " s\n";

  const std::string tool = std::string(PSTORIAN_SHARED_DIR) + "/tools/pstdamage.py";
  if (shell("/usr/bin/python3 '" + tool + "' '" + original.string() + "' '" + half.string() +
            "' --recipe zero-roots --seed 1 >/dev/null") != 0 ||
      shell("/usr/bin/python3 '" + tool + "' '" + half.string() + "' '" + damaged.string() +
            "' --recipe zero-header --seed 1 >/dev/null") != 0) {
    std::cerr << "repair_bench: the damage tool failed\n";
    return 1;
  }
  fs::remove(half);

  started = Clock::now();
  RecoveryTables tables;
  NullProgress quiet;
  OpenGate gate;
  CPstScanner(tables, quiet, gate).scan(damaged);
  const double scan_seconds = seconds_since(started);
  CPstExporter exporter({damaged, output, std::string(kDefaultCodepage)}, make_mail_client());
  std::ostringstream sink;
  ConsoleReporter quiet_reporter(sink, [](std::string_view) { return true; });
  exporter.run(tables, quiet_reporter, quiet_reporter, gate);
  const double repair_seconds = seconds_since(started);

  fs::remove_all(readpst_dir);
  fs::create_directories(readpst_dir);
  started = Clock::now();
  const int readpst_rc = shell("readpst -q -o '" + readpst_dir.string() + "' '" +
                               original.string() + "' >/dev/null 2>&1");
  const double readpst_seconds = seconds_since(started);

  std::cout << "repair of the damaged copy: " << repair_seconds << " s (scan " << scan_seconds
            << " s), " << exporter.summary().mail_items_written << " mail items written\n"
            << "readpst -o DIR on the undamaged file: " << readpst_seconds << " s (exit "
            << readpst_rc << ")\n";
  if (!s.keep) {
    fs::remove(original);
    fs::remove(damaged);
    fs::remove(output);
    fs::remove_all(readpst_dir);
  }
  return 0;
}
