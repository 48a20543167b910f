// folder_bench: the repair of stores of many folders, to show that its time grows with the
// number of folders and not faster.
//
// Writes, through the mail client of this build, a store of --folders folders (10,000 by
// default) and one of ten times as many, three levels deep: --top folders (10) below the
// store's top folder, --top below each of those, and the rest spread evenly below the second
// level (about 1,000 siblings each in the larger store; a folder of the 32-bit form lists at
// most 65,535). Folder i holds 1 + i % 3 small messages (a subject, a short body, a
// recipient). Each store is copied with its header and B-tree roots zeroed and the copy
// repaired --repeat times (3), each repair in a child process, the fastest by CPU time
// counting: its CPU and wall time, time per folder and peak memory. The repaired store is
// then read back and must hold every folder and every message of the original (earlier
// versions that the copy still held, in "Recovered Items", are counted apart). Last comes
// the ratio of the two repairs' times: ten times the folders should take at most twelve
// times as long. Files go to --dir (default /tmp) and are removed unless --keep is given;
// --unicode writes and repairs stores of the 64-bit form.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "export/wide_text.h"
#include "format/utf8.h"
#include "pst/messaging/message_store.h"

namespace fs = std::filesystem;
using namespace pstorian;
using namespace pstorian::bench;

namespace {

struct Settings : RunOptions {
  int folders = 10000;
  int top = 10;
};

std::shared_ptr<const MessageContent> small_message(int folder, int i) {
  const std::string subject = "Message " + std::to_string(i) + " of folder " + std::to_string(folder);
  return mail_content(subject, subject + ": a few words of a body, as short mail has.");
}

int write_mailbox(const Settings& s, int folders, const fs::path& path) {
  return write_store(path, s.form, "folder_bench", [&](const auto& top, auto& helper) {
    const int first = std::min(s.top, folders);
    const int second = std::min(first + s.top * s.top, folders);
    std::vector<std::shared_ptr<automation::Folder>> made;
    made.reserve(static_cast<std::size_t>(second));
    for (int i = 0; i < folders; ++i) {
      // Parents come before their children: the first level, the second, then the rest.
      std::shared_ptr<automation::Folder> parent = top;
      if (i >= second)
        parent = made[static_cast<std::size_t>(first + (i - second) % (second - first))];
      else if (i >= first)
        parent = made[static_cast<std::size_t>((i - first) % first)];
      // Mixed letter case, so that lookups by name fold it.
      const std::string name = (i % 2 == 0 ? "Folder " : "folder ") + std::to_string(i);
      auto folder = parent->get_Folders()->Add(utf8_to_utf16(name), automation::kFolderMail);
      helper.put_BoundObject(folder);
      for (int m = 0; m <= i % 3; ++m) {
        const auto message = helper.get_Messages()->Add(u"IPM.Note");
        message->put_Content(small_message(i, m));
        message->Save();
      }
      if (i < second) made.push_back(std::move(folder));
    }
  });
}

struct Holdings {
  std::size_t folders = 0;
  std::size_t messages = 0;
  // Below "Recovered Items": earlier versions the damaged file still held, beside the current
  // ones, and the folders of their paths.
  std::size_t recovered_folders = 0;
  std::size_t recovered_messages = 0;
};

// Every folder below the store's top folder, and the messages they list.
Holdings read_back(const fs::path& path) {
  MessageStore store(path);
  Holdings h;
  struct Todo {
    std::uint32_t folder;
    bool recovered;
  };
  std::vector<Todo> todo;
  const std::u16string recovered = fold_case(utf8_to_utf16(kRecoveredItems));
  for (const std::uint32_t top : store.subfolders(store.top_folder())) {
    const auto name = store.folder_properties(top).string(prop::kDisplayName).value_or("");
    todo.push_back({top, fold_case(store.codec().decode(name)) == recovered});
  }
  while (!todo.empty()) {
    const Todo t = todo.back();
    todo.pop_back();
    const std::size_t messages = store.messages(t.folder).size();
    (t.recovered ? h.recovered_folders : h.folders) += 1;
    (t.recovered ? h.recovered_messages : h.messages) += messages;
    for (const std::uint32_t sub : store.subfolders(t.folder)) todo.push_back({sub, t.recovered});
  }
  store.close();
  return h;
}

struct Result {
  Measured repair;
  bool complete = false;
};

Result run(const Settings& s, int folders) {
  const std::string stem = "pstorian-folder-bench-" + std::to_string(folders);
  const fs::path original = s.dir / (stem + ".pst");
  const fs::path damaged = s.dir / (stem + "-damaged.pst");
  const fs::path output = s.dir / (stem + "-damaged Recovered.pst");
  Result r;
  const Measured written = in_child([&] { return write_mailbox(s, folders, original); });
  if (!written.ok || !damage(original, damaged)) {
    std::cerr << "folder_bench: the mailbox could not be written or damaged\n";
    return r;
  }
  std::cout << folders << " folders: mailbox of "
            << static_cast<double>(fs::file_size(original)) / (1024 * 1024) << " MiB written in "
            << written.wall << " s; header and roots zeroed in a copy\n";
  std::vector<Measured> repairs;
  for (int i = 0; i < s.repeat; ++i)
    repairs.push_back(in_child([&] {
      const ExportSummary summary = repair(damaged, output);
      return summary.outcome == ExportOutcome::kCompleted ? 0 : 1;
    }));
  r.repair = fastest(repairs);
  std::cout << "  repair (fastest of " << s.repeat << "): " << r.repair.cpu << " s CPU, "
            << r.repair.wall << " s wall, " << r.repair.cpu * 1e6 / folders
            << " us CPU per folder, peak memory "
            << static_cast<double>(r.repair.peak_kb) / 1024 << " MiB"
            << (r.repair.ok ? "" : " [FAILED]") << '\n';
  // Read back in children too: a store stays attached to the process that opened it.
  const auto holds = [](const fs::path& path, Holdings& out) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return false;
    const Measured m = in_child([&] {
      const Holdings h = read_back(path);
      return ::write(pipe_ends[1], &h, sizeof h) == static_cast<ssize_t>(sizeof h) ? 0 : 1;
    });
    const bool read = ::read(pipe_ends[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    return m.ok && read;
  };
  Holdings source, repaired;
  if (r.repair.ok && holds(original, source) && holds(output, repaired)) {
    r.complete = repaired.folders == source.folders && repaired.messages == source.messages;
    std::cout << "  read back: the original holds " << source.folders << " folders and "
              << source.messages << " messages, the repaired store " << repaired.folders
              << " and " << repaired.messages << (r.complete ? "" : " [INCOMPLETE]");
    if (repaired.recovered_folders > 0)
      std::cout << ", and in \"" << kRecoveredItems << "\" " << repaired.recovered_messages
                << " earlier versions in " << repaired.recovered_folders << " folders";
    std::cout << '\n';
  } else {
    std::cout << "  read back failed\n";
  }
  if (!s.keep) {
    fs::remove(original);
    fs::remove(damaged);
    fs::remove(output);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--folders" && has_value)
      s.folders = std::atoi(argv[++i]);
    else if (arg == "--top" && has_value)
      s.top = std::atoi(argv[++i]);
    else if (!s.take(argc, argv, i)) {
      std::cerr << "usage: folder_bench [--folders N] [--top N] [--repeat N] [--dir DIR] [--keep]\n"
                   "                    [--unicode]\n";
      return 2;
    }
  }
  if (s.folders <= 0 || s.top <= 0) return 2;
  fs::create_directories(s.dir);
  std::cout << std::fixed << std::setprecision(2);
  const Result small = run(s, s.folders);
  const Result large = run(s, s.folders * 10);
  if (!small.repair.ok || !large.repair.ok) return 1;
  const double cpu_ratio = large.repair.cpu / small.repair.cpu;
  const double wall_ratio = large.repair.wall / small.repair.wall;
  std::cout << "ten times the folders: " << cpu_ratio << " times the CPU time, " << wall_ratio
            << " times the wall time (target: at most 12)\n";
  return small.complete && large.complete && cpu_ratio <= 12 ? 0 : 1;
}
