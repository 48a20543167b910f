// Stand-ins for the user and for the scan, the export and the listing, so that the windows
// can be driven headless.
#pragma once

#include <QStringList>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "job/reporter.h"
#include "ui/ui_services.h"
#include "ui/user_dialogs.h"

namespace pstorian::testing {

// Answers every dialog from queues and records what was shown.
class FakeDialogs final : public UserDialogs {
 public:
  bool ask_yes_no(QWidget*, const QString& text, const QString& caption) override {
    questions << text;
    question_captions << caption;
    if (while_asking) while_asking();
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void show_message(QWidget*, const QString& text, const QString& caption,
                    MessageIcon icon) override {
    messages << text;
    captions << caption;
    icons.push_back(icon);
  }
  bool show_message_offering_folder(QWidget*, const QString& text,
                                    const QString& caption) override {
    completions << text;
    captions << caption;
    return show_folder;
  }
  QString choose_source_file(QWidget*, const QString& start_folder) override {
    file_start_folders << start_folder;
    return take(files);
  }
  QString choose_folder(QWidget*, const QString& title, const QString& start_folder) override {
    folder_titles << title;
    folder_start_folders << start_folder;
    return take(folders);
  }
  QString choose_save_path(QWidget*, const QString& suggested_path) override {
    save_suggestions << suggested_path;
    return take(save_paths);
  }
  bool open_url(const QUrl& url) override {
    opened.push_back(url);
    return open_succeeds;
  }

  std::deque<bool> answers;
  std::function<void()> while_asking;  // runs while a question is on screen
  QStringList questions, question_captions;
  QStringList messages, captions;
  std::vector<MessageIcon> icons;
  QStringList completions;  // texts of the completion box
  bool show_folder = false;  // the completion box's answer
  std::deque<QString> files, folders, save_paths;
  QStringList folder_titles, file_start_folders, folder_start_folders, save_suggestions;
  std::vector<QUrl> opened;
  bool open_succeeds = true;

 private:
  static QString take(std::deque<QString>& queue) {
    if (queue.empty()) return {};
    QString value = queue.front();
    queue.pop_front();
    return value;
  }
};

// A scan that reports as the real one does and finds `objects` top-level objects.
inline ScanFunction finding_scan(int objects) {
  return [objects](const std::string&, RecoveryTables& tables, ProgressSink& progress,
                   JobGate& gate) {
    progress.set_range(0, 500);
    progress.set_position(0);
    progress.set_step(100);
    progress.set_status("Scanning file...");
    for (int i = 0; i < 4 && gate.pass(); ++i) progress.step();
    progress.set_status("Collecting Objects...");
    for (int i = 0; i < objects && gate.pass(); ++i) {
      tables.objects.append_top_level(
          tables.objects.create(0x8022 + static_cast<std::uint32_t>(i) * 32, nullptr, nullptr,
                                true));
    }
    progress.step();
    return gate.pass() ? ScanOutcome::kCompleted : ScanOutcome::kCancelled;
  };
}

// A scan that runs until it is cancelled, finding nothing.
inline ScanFunction endless_scan(std::atomic<int>* passes = nullptr) {
  return [passes](const std::string&, RecoveryTables&, ProgressSink& progress, JobGate& gate) {
    progress.set_status("Scanning file...");
    while (gate.pass()) {
      if (passes) ++*passes;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    return ScanOutcome::kCancelled;
  };
}

// An export that reports a small mailbox the way the export driver does. With `endless` it
// keeps writing items into the Inbox until it is cancelled.
class FakeExport final : public ExportJob {
 public:
  FakeExport(bool endless, std::atomic<int>& items) : endless_(endless), items_(items) {}

  void run(RecoveryTables&, Reporter& reporter, JobHost& host, JobGate& gate) override {
    const TreeItemId root = reporter.tree_reset();
    reporter.list_setup_columns();
    FolderNodeRecord top{0x8022, 0, "Top of Personal Folders", kNoTreeItem, 0};
    reporter.tree_add_folder(top, {0, root});
    FolderNodeRecord inbox{0x8042, 0x8022, "Inbox", kNoTreeItem, 1};
    reporter.tree_add_folder(inbox, {0x8022, top.tree_item});
    FolderNodeRecord calendar{0x8062, 0x8022, "Calendar", kNoTreeItem, 8};
    reporter.tree_add_folder(calendar, {0x8022, top.tree_item});
    host.set_output_store_index(1);

    reporter.status_populating("Inbox");
    reporter.tree_show_folder(inbox.tree_item);
    reporter.list_clear_items();
    do {
      if (!gate.pass()) break;
      const std::string subject = "Subject " + std::to_string(items_.load());
      reporter.list_add_fields({"Ann", "Bob", subject, "Mon Jul 15 12:34:56 2024"});
      ++items_;
      if (endless_) std::this_thread::sleep_for(std::chrono::microseconds(300));
    } while (endless_ || items_ < 2);
    if (gate.pass()) {
      reporter.status_populating(std::nullopt);
      reporter.list_add_fields({"Orphan", "", "Lost", ""});
    }
    reporter.status_clear();
    host.set_stop_enabled(false);
    host.show_message("Processing of selected PST file is complete", "Processing Complete");
    host.set_tree_ready(true);
  }

 private:
  bool endless_;
  std::atomic<int>& items_;
};

// A listing that shows the path it was given as rows.
class FakeLister final : public FolderLister {
 public:
  explicit FakeLister(std::vector<std::vector<std::string>>& paths) : paths_(paths) {}
  void list(const std::vector<PathEntry>& path, Reporter& reporter, JobHost& host,
            JobGate& gate) override {
    std::vector<std::string> names;
    for (const PathEntry& entry : path) names.push_back(entry.name);
    paths_.push_back(names);
    // Like the real listing, an empty path (the root folder) lists nothing, not even a clear.
    if (names.empty()) return;
    host.set_stop_enabled(true);
    reporter.list_clear_items();
    for (const std::string& name : names) {
      if (!gate.pass()) break;
      reporter.list_add_item({"Sender of " + name, "Receiver", name, "Wed Jan  2 02:03:55 1980\n"});
    }
    host.set_stop_enabled(false);
  }

 private:
  std::vector<std::vector<std::string>>& paths_;
};

}  // namespace pstorian::testing
