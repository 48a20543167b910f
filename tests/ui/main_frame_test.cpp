#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <thread>

#include "export/pst_exporter.h"
#include "fakes.h"
#include "tree_helpers.h"
#include "ui/gui_call.h"
#include "ui/help.h"
#include "ui/item_view.h"
#include "ui/left_view.h"
#include "ui/main_frame.h"
#include "ui/pstorian_view.h"

namespace pstorian::testing {

namespace {

using namespace std::chrono_literals;

// Runs `work` on a worker thread, serving the window's calls until it has returned.
template <typename Work>
void from_worker(Work work) {
  std::atomic<bool> done = false;
  std::thread worker([&] {
    work();
    done = true;
  });
  const bool ended = wait_processing_events([&] { return done.load(); }, 10s);
  worker.join();
  QVERIFY(ended);
}

QStringList row(QTreeWidget* list, int index) {
  QStringList texts;
  for (int c = 0; c < 4; ++c) texts << list->topLevelItem(index)->text(c);
  return texts;
}

}  // namespace

class MainFrameTest : public QObject {
  Q_OBJECT

 private:
  std::shared_ptr<FakeDialogs> dialogs_;
  std::vector<int> exit_codes_;
  std::atomic<int> exported_ = 0;
  std::vector<std::vector<std::string>> listed_paths_;

  UiServices services(ScanFunction scan, bool endless_export = false) {
    UiServices s;
    s.scan = std::move(scan);
    s.dialogs = dialogs_;
    s.end_process = [this](int code) { exit_codes_.push_back(code); };
    s.make_export = [this, endless_export](const RepairPaths& paths) {
      EXPECT_PATHS(paths);
      return std::make_unique<FakeExport>(endless_export, exported_);
    };
    s.make_lister = [this](const RepairPaths&, int index) -> std::unique_ptr<FolderLister> {
      if (index != 1) return nullptr;
      return std::make_unique<FakeLister>(listed_paths_);
    };
    return s;
  }
  static void EXPECT_PATHS(const RepairPaths& paths) {
    if (paths.source_path != "/m/old.pst" || paths.output_path != "/m/old Recovered.pst") {
      qWarning("unexpected repair paths %s -> %s", paths.source_path.c_str(),
               paths.output_path.c_str());
    }
  }

  // Opens the file selection dialog through Open PST, picks /m/old.pst and presses Start
  // (or closes the dialog without Start).
  void open_pst(CMainFrame& frame, bool press_start = true) {
    dialogs_->files = {"/m/old.pst"};
    QTimer::singleShot(0, [press_start] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->browse();
      if (press_start) {
        dialog->start();
      } else {
        dialog->close();
      }
    });
    frame.open_pst();
  }

  void wait_for_export(CMainFrame& frame) {
    QVERIFY(frame.job_thread() != nullptr);
    QVERIFY(wait_processing_events([&] { return frame.job_thread()->worker().done(); }, 10s));
  }

 private slots:
  void init() {
    dialogs_ = std::make_shared<FakeDialogs>();
    exit_codes_.clear();
    exported_ = 0;
    listed_paths_.clear();
  }

  void startsWithItsWindowPartsAndFlags() {
    CMainFrame frame(services({}));
    QCOMPARE(frame.windowTitle(), QStringLiteral("Pstorian"));
    QVERIFY(frame.open_enabled());
    QVERIFY(!frame.stop_enabled());
    QVERIFY(!frame.action(kIdStop)->isEnabled());
    QVERIFY(!frame.tree_ready());
    QCOMPARE(frame.action(kIdOpenPst)->statusTip(), QStringLiteral("Select file to recover"));
    QCOMPARE(frame.action(kIdOpenPst)->toolTip(), QStringLiteral("Start Recovery"));
    QCOMPARE(frame.action(kIdStop)->statusTip(),
             QStringLiteral("Click to stop the current process"));
    for (int id : {kIdOpenPst, kIdStop, kIdHelpTopics}) {
      const QIcon icon = frame.action(id)->icon();
      QVERIFY(!icon.pixmap(32, 32, QIcon::Normal).isNull());
      QVERIFY(!icon.pixmap(32, 32, QIcon::Disabled).isNull());
      QVERIFY(icon.pixmap(32, 32, QIcon::Active).toImage() !=
              icon.pixmap(32, 32, QIcon::Normal).toImage());
    }
    QCOMPARE(frame.status_pane_text(1), QString());
    QCOMPARE(frame.list_view()->columnCount(), 0);
  }

  void reportingCallsFromAWorkerUpdateTreeListAndStatus() {
    CMainFrame frame(services({}));
    TreeItemId root = kNoTreeItem;
    FolderNodeRecord top{0x8022, 0, "Top of Personal Folders", kNoTreeItem, 0};
    std::vector<FolderNodeRecord> folders = {
        {0x8042, 0x8022, "Inbox", kNoTreeItem, 1},
        {0x8062, 0x8022, "Inbox", kNoTreeItem, 1},     // a second one: plain
        {0x8082, 0x8022, "inbox", kNoTreeItem, 1},     // case matters: plain
        {0x80A2, 0x8022, "Drafts", kNoTreeItem, 8},    // the kind decides first: calendar
        {0x80C2, 0x8022, "Sent Items", kNoTreeItem, 1},
        {0x80E2, 0x8022, "Notes", kNoTreeItem, 11},
        {0x8102, 0x8022, "Contacts", kNoTreeItem, 9},
        {0x8122, 0x8022, "Tasks", kNoTreeItem, 12},
        {0x8142, 0x8022, "Journal", kNoTreeItem, 10},
    };
    FolderNodeRecord nested{0x8162, 0x8042, "Outbox", kNoTreeItem, 1};  // not under the top
    QString populating;
    from_worker([&] {
      frame.tree_reset();
      root = frame.tree_reset();  // twice: one root, the second one's item
      frame.list_setup_columns();
      frame.tree_add_folder(top, {0, root});
      for (auto& folder : folders) frame.tree_add_folder(folder, {0x8022, top.tree_item});
      frame.tree_add_folder(nested, {0x8042, folders[0].tree_item});
      frame.status_populating("Inbox");
      frame.tree_show_folder(nested.tree_item);
      frame.list_clear_items();
      frame.list_add_fields({"Ann", "Bob", "First", "Mon Jul 15 12:34:56 2024"});
      frame.list_add_fields({"Cid", "", "", ""});
      frame.status_populating(std::nullopt);
      populating = frame.status_pane_text(1);
    });
    QCOMPARE(populating, QStringLiteral("populating folder Lost&Found"));

    QTreeWidget* tree = frame.left_view();
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* root_item = tree->topLevelItem(0);
    QCOMPARE(root_item->text(0), QStringLiteral("Root Folder"));
    QCOMPARE(icon_of(root_item), QStringLiteral("root"));
    QCOMPARE(frame.root_item(), root);
    QCOMPARE(frame.left_view()->item_of(root), root_item);

    QVERIFY(top.tree_item != kNoTreeItem && top.tree_item != root);
    QTreeWidgetItem* top_item = child_named(root_item, "Top of Personal Folders");
    QVERIFY(top_item != nullptr);
    QCOMPARE(top_item->childCount(), int(folders.size()));
    const QStringList expected_icons = {"inbox",    "folder", "folder",  "calendar", "sent",
                                        "note",     "contacts", "task",  "journal"};
    for (int i = 0; i < top_item->childCount(); ++i) {
      QCOMPARE(top_item->child(i)->text(0), QString::fromStdString(folders[i].name));
      QCOMPARE(icon_of(top_item->child(i)), expected_icons[i]);
      QCOMPARE(frame.left_view()->item_of(folders[i].tree_item), top_item->child(i));
    }
    QTreeWidgetItem* nested_item = top_item->child(0)->child(0);
    QCOMPARE(nested_item->text(0), QStringLiteral("Outbox"));
    QCOMPARE(icon_of(nested_item), QStringLiteral("folder"));
    // Show folder expanded its ancestors and selected it.
    QCOMPARE(tree->currentItem(), nested_item);
    QVERIFY(top_item->isExpanded() && top_item->child(0)->isExpanded());

    QCOMPARE(frame.tree_entries().size(), folders.size() + 2);
    QCOMPARE(frame.tree_entries().front().parent_item, root);

    CPstorianView* list = frame.list_view();
    QCOMPARE(list->columnCount(), 4);
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("Sender"));
    QCOMPARE(list->headerItem()->text(3), QStringLiteral("Date"));
    QCOMPARE(list->columnWidth(2), 200);
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(row(list, 0), (QStringList{"Ann", "Bob", "First", "Mon Jul 15 12:34:56 2024"}));
    QCOMPARE(row(list, 1), (QStringList{"Cid", "", "", ""}));
    QCOMPARE(list->currentItem(), list->topLevelItem(1));

    from_worker([&] {
      frame.status_populating("Inbox");
      populating = frame.status_pane_text(1);
      frame.status_clear();
      frame.tree_reset();
      FolderNodeRecord again{0x8042, 0x8022, "Inbox", kNoTreeItem, 1};
      frame.tree_add_folder(again, {0x8022, frame.root_item()});
    });
    QCOMPARE(populating, QStringLiteral("Populating folder Inbox"));
    QCOMPARE(frame.status_pane_text(1), QString());
    // A reset makes the well-known names count again.
    QCOMPARE(icon_of(tree->topLevelItem(0)->child(0)), QStringLiteral("inbox"));

    // The top folder is the one the file names: below another node id the names count,
    // below 0x8022 they do not.
    from_worker([&] {
      frame.tree_reset();
      FolderNodeRecord outbox{0x8162, 0x8022, "Outbox", kNoTreeItem, 1};
      frame.tree_add_folder(outbox, {0x8022, frame.root_item(), 0x8062});
      FolderNodeRecord sent{0x8182, 0x8062, "Sent Items", kNoTreeItem, 1};
      frame.tree_add_folder(sent, {0x8062, frame.root_item(), 0x8062});
    });
    QCOMPARE(icon_of(tree->topLevelItem(0)->child(0)), QStringLiteral("folder"));
    QCOMPARE(icon_of(tree->topLevelItem(0)->child(1)), QStringLiteral("sent"));
  }

  void openPstWithAnEmptyScanSaysNoRecordsFound() {
    CMainFrame frame(services(finding_scan(0)));
    open_pst(frame, /*press_start=*/false);
    QVERIFY2(dialogs_->messages.isEmpty(), "no message without Start");
    QVERIFY(frame.open_enabled());

    open_pst(frame);
    QCOMPARE(dialogs_->messages, QStringList{"No records found"});
    QVERIFY(dialogs_->icons.back() == MessageIcon::Error);
    QVERIFY(frame.open_enabled());
    QVERIFY(frame.job_thread() == nullptr);
  }

  // A stopped scan writes nothing, whether or not it had found objects, and says so.
  void stoppingTheScanWritesNothingAndSaysSo() {
    for (const bool found_some : {false, true}) {
      dialogs_->messages.clear();
      dialogs_->icons.clear();
      dialogs_->questions.clear();
      ScanFunction scan = [found_some](const std::string& path, RecoveryTables& tables,
                                       ProgressSink& progress, JobGate& gate) {
        if (found_some) finding_scan(3)(path, tables, progress, gate);
        return endless_scan()(path, tables, progress, gate);
      };
      CMainFrame frame(services(scan));
      dialogs_->files = {"/m/old.pst"};
      dialogs_->answers = {true};
      QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog != nullptr);
        dialog->browse();
        dialog->start();
        dialog->close();
      });
      frame.open_pst();
      QCOMPARE(dialogs_->questions, QStringList{"Do you want to stop current process?"});
      QCOMPARE(dialogs_->messages, QStringList{"The scan was stopped. Nothing was written."});
      QVERIFY(dialogs_->icons.back() == MessageIcon::Information);
      QVERIFY2(frame.job_thread() == nullptr, "no export after a stopped scan");
      QCOMPARE(exported_.load(), 0);
      QVERIFY(frame.open_enabled());
    }
  }

  void aWholeRepairFillsTreeListAndStatusThenListsASelectedFolder() {
    CMainFrame frame(services(finding_scan(2)));
    open_pst(frame);
    QVERIFY(!frame.open_enabled());
    QVERIFY(!frame.action(kIdOpenPst)->isEnabled());
    wait_for_export(frame);

    // The completion names the output file; the fake does not ask for its folder.
    QCOMPARE(dialogs_->completions,
             QStringList{"Processing of selected PST file is complete.\n\nThe recovered file is "
                         "/m/old Recovered.pst"});
    QCOMPARE(dialogs_->captions, QStringList{"Processing Complete"});
    QVERIFY(dialogs_->opened.empty());
    QCOMPARE(frame.status_pane_text(1), QString());
    QVERIFY(!frame.stop_enabled());
    QVERIFY(frame.tree_ready());
    QVERIFY(wait_processing_events([&] { return !frame.job_running(); }, 10s));
    QVERIFY2(frame.open_enabled(), "a second repair can follow");
    QCOMPARE(frame.output_store_index(), 1);
    QCOMPARE(frame.list_view()->topLevelItemCount(), 3);
    QCOMPARE(frame.list_view()->topLevelItem(2)->text(2), QStringLiteral("Lost"));

    QTreeWidgetItem* top = frame.left_view()->topLevelItem(0)->child(0);
    QTreeWidgetItem* inbox = child_named(top, "Inbox");
    QCOMPARE(icon_of(inbox), QStringLiteral("inbox"));
    QCOMPARE(icon_of(child_named(top, "Calendar")), QStringLiteral("calendar"));

    // Selecting a folder now lists it, with the path from the top down.
    frame.left_view()->setCurrentItem(child_named(top, "Calendar"));
    QVERIFY(frame.listing_running() || frame.listing_thread() != nullptr);
    QVERIFY(wait_processing_events([&] { return !frame.listing_running(); }, 10s));
    QCOMPARE(listed_paths_.size(), std::size_t{1});
    QCOMPARE(listed_paths_[0], (std::vector<std::string>{"Top of Personal Folders", "Calendar"}));
    QVERIFY2(frame.path_list().empty(), "the listing releases the path");
    QCOMPARE(frame.list_view()->topLevelItemCount(), 2);
    // The listing's ctime text ends in a line feed; the cell shows the date on one line.
    QCOMPARE(frame.list_view()->topLevelItem(1)->text(3),
             QStringLiteral("Wed Jan  2 02:03:55 1980"));

    // "Root Folder" has no entry of its own: an empty path, which the listing does not
    // list; the rows of the folder shown before go all the same.
    frame.left_view()->setCurrentItem(frame.left_view()->topLevelItem(0));
    QCOMPARE(frame.list_view()->topLevelItemCount(), 0);
    QVERIFY(wait_processing_events([&] { return !frame.listing_running(); }, 10s));
    QCOMPARE(listed_paths_.size(), std::size_t{2});
    QVERIFY(listed_paths_[1].empty());
    QCOMPARE(frame.list_view()->topLevelItemCount(), 0);
    QVERIFY(dialogs_->messages.isEmpty());
  }

  // One run repairs file after file: Open PST comes back when an export has ended, also
  // after Stop, and the second repair fills the window afresh.
  void openPstComesBackAfterEachExport() {
    CMainFrame frame(services(finding_scan(2)));
    open_pst(frame);
    wait_for_export(frame);
    QVERIFY(wait_processing_events([&] { return frame.open_enabled(); }, 10s));
    QVERIFY(frame.action(kIdOpenPst)->isEnabled());
    CProgressThread* first = frame.job_thread();
    open_pst(frame);
    QVERIFY(frame.job_thread() != first);
    wait_for_export(frame);
    QVERIFY(wait_processing_events([&] { return frame.open_enabled(); }, 10s));
    QCOMPARE(dialogs_->completions.size(), 2);
    QCOMPARE(frame.left_view()->topLevelItemCount(), 1);

    // Stopped: Open PST returns once the cancelled export has unwound.
    CMainFrame stopped(services(finding_scan(1), /*endless_export=*/true));
    open_pst(stopped);
    QVERIFY(wait_processing_events([&] { return exported_ > 3; }, 10s));
    QVERIFY(!stopped.open_enabled());
    dialogs_->answers = {true};
    stopped.stop();
    QVERIFY(wait_processing_events([&] { return stopped.open_enabled(); }, 10s));
    QVERIFY(stopped.job_thread()->worker().done());
  }

  // After Stop answered No, the export's own showing of the folder it fills must not start
  // listings (which popped up "There are N items" boxes and disabled Stop mid-export); a
  // folder the user selects is listed, and the listing's end leaves Stop to the export.
  void afterStopAnsweredNoOnlyTheUsersSelectionLists() {
    struct ShowingExport final : ExportJob {
      std::atomic<int>& items;
      explicit ShowingExport(std::atomic<int>& count) : items(count) {}
      void run(RecoveryTables&, Reporter& reporter, JobHost& host, JobGate& gate) override {
        const TreeItemId root = reporter.tree_reset();
        reporter.list_setup_columns();
        FolderNodeRecord inbox{0x8042, 0x8022, "Inbox", kNoTreeItem, 1};
        reporter.tree_add_folder(inbox, {0, root});
        FolderNodeRecord notes{0x8062, 0x8022, "Notes", kNoTreeItem, 11};
        reporter.tree_add_folder(notes, {0, root});
        host.set_output_store_index(1);
        while (gate.pass()) {
          // Folder after folder, as a real export fills them.
          reporter.tree_show_folder(items % 2 ? inbox.tree_item : notes.tree_item);
          reporter.list_add_fields({"Ann", "Bob", "S", ""});
          ++items;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        reporter.status_clear();
        host.set_stop_enabled(false);
        host.set_tree_ready(true);
      }
    };
    UiServices s = services(finding_scan(1));
    s.make_export = [this](const RepairPaths&) { return std::make_unique<ShowingExport>(exported_); };
    CMainFrame frame(std::move(s));
    open_pst(frame);
    QVERIFY(wait_processing_events([&] { return exported_ > 3; }, 10s));
    dialogs_->answers = {false};
    frame.stop();
    QVERIFY(frame.tree_ready());
    const int before = exported_;
    QVERIFY(wait_processing_events([&] { return exported_ > before + 20; }, 10s));
    QVERIFY2(listed_paths_.empty(), "the export's own selections listed a folder");
    QVERIFY(dialogs_->messages.isEmpty());
    QVERIFY(frame.stop_enabled());

    frame.left_view()->setCurrentItem(frame.left_view()->topLevelItem(0)->child(0));
    QVERIFY(wait_processing_events([&] { return !listed_paths_.empty() && !frame.listing_running(); }, 10s));
    QVERIFY2(frame.stop_enabled(), "the listing's end left the running export without Stop");
    QVERIFY(frame.job_running());
    dialogs_->answers = {true};
    frame.stop();
    wait_for_export(frame);
  }

  void anExportThatFailsOutrightSaysSoInsteadOfCompleting() {
    struct FailingExport final : ExportJob {
      void run(RecoveryTables&, Reporter& reporter, JobHost&, JobGate&) override {
        reporter.tree_reset();
        reporter.status_populating("Inbox");
        throw std::runtime_error("the output store could not be attached");
      }
    };
    UiServices s = services(finding_scan(1));
    s.make_export = [](const RepairPaths&) { return std::make_unique<FailingExport>(); };
    CMainFrame frame(std::move(s));
    open_pst(frame);
    wait_for_export(frame);
    QVERIFY(wait_processing_events([&] { return !dialogs_->messages.isEmpty(); }, 10s));
    QCOMPARE(dialogs_->messages,
             QStringList{"The repair stopped: the output store could not be attached"});
    QVERIFY(dialogs_->icons[0] == MessageIcon::Error);
    QVERIFY(!frame.stop_enabled());
    QVERIFY(frame.tree_ready());
    QCOMPARE(frame.status_pane_text(1), QString());
  }

  void stopAsksWhileTheExportWaitsAndYesCancelsIt() {
    CMainFrame frame(services(finding_scan(1), /*endless_export=*/true));
    open_pst(frame);
    QVERIFY(wait_processing_events([&] { return exported_ > 3; }, 10s));
    QVERIFY(frame.stop_enabled());
    QVERIFY(!frame.tree_ready());

    bool parked = false;
    dialogs_->while_asking = [&] {
      for (int i = 0; i < 2000 && !frame.job_thread()->control().parked(); ++i) {
        // The worker may be waiting on a window call made before the pause: serve it.
        QCoreApplication::processEvents();
        QThread::msleep(1);
      }
      parked = frame.job_thread()->control().parked();
    };
    dialogs_->answers = {false};
    frame.stop();
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to stop?"});
    QVERIFY(parked);
    QVERIFY(frame.job_running());
    QVERIFY(frame.stop_enabled());
    QVERIFY2(frame.tree_ready(), "No still marks the tree ready");
    const int before = exported_;
    QVERIFY(wait_processing_events([&] { return exported_ > before + 3; }, 10s));

    dialogs_->answers = {true};
    frame.stop();
    QVERIFY(parked);
    QVERIFY(!frame.job_running());
    QVERIFY(!frame.stop_enabled());
    QCOMPARE(frame.status_pane_text(1), QString());
    wait_for_export(frame);
    QVERIFY(frame.job_thread()->control().cancelled());
    QVERIFY(frame.tree_ready());
    QVERIFY(wait_processing_events([&] { return frame.open_enabled(); }, 10s));
  }

  // Closing asks only while an export runs, and the program always ends with status 0.
  void closingTheMainWindowAsksOnlyWhileAnExportRuns() {
    {
      CMainFrame frame(services({}));
      frame.show();
      QVERIFY(frame.close());
      QVERIFY(dialogs_->questions.isEmpty());
      QCOMPARE(exit_codes_, std::vector<int>{0});
    }
    exit_codes_.clear();
    {
      CMainFrame frame(services(finding_scan(1)));
      frame.show();
      open_pst(frame);
      wait_for_export(frame);
      QVERIFY(wait_processing_events([&] { return !frame.job_running(); }, 10s));
      QVERIFY(frame.close());
      QVERIFY2(dialogs_->questions.isEmpty(), "nothing runs after a finished repair");
      QCOMPARE(exit_codes_, std::vector<int>{0});
    }
    exit_codes_.clear();
    CMainFrame frame(services(finding_scan(1), /*endless_export=*/true));
    frame.show();
    open_pst(frame);
    QVERIFY(wait_processing_events([&] { return exported_ > 2; }, 10s));
    dialogs_->answers = {false};
    QVERIFY(!frame.close());
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to exit?"});
    QVERIFY(exit_codes_.empty());
    const int before = exported_;
    QVERIFY(wait_processing_events([&] { return exported_ > before; }, 10s));

    dialogs_->answers = {true};
    QVERIFY(frame.close());
    QCOMPARE(exit_codes_, std::vector<int>{0});
    QVERIFY2(frame.job_thread()->worker().done(), "the export unwound before the end");
    QVERIFY(!frame.stop_enabled());
  }

  void exitEndsWithoutAQuestionAfterTheWorkersUnwound() {
    CMainFrame frame(services(finding_scan(1), /*endless_export=*/true));
    open_pst(frame);
    QVERIFY(wait_processing_events([&] { return exported_ > 2; }, 10s));
    frame.action(kIdExit)->trigger();
    QVERIFY(dialogs_->questions.isEmpty());
    QCOMPARE(exit_codes_, std::vector<int>{0});
    QVERIFY(frame.job_thread()->worker().done());
  }

  // The icons match the messages, shown through the real message boxes: a timer reads each
  // box as it appears and answers it.
  void realMessageBoxesCarryTheIconOfTheirMessage() {
    UiServices s = services(finding_scan(0));
    s.dialogs = std::make_shared<QtUserDialogs>();
    CMainFrame frame(std::move(s));
    struct Seen {
      QMessageBox::Icon icon;
      QString text;
      QStringList buttons;
    };
    std::vector<Seen> seen;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      Seen one{box->icon(), box->text(), {}};
      for (QAbstractButton* b : box->buttons()) one.buttons << b->text();
      seen.push_back(one);
      box->button(QMessageBox::Ok)->click();  // never Show Folder: no file manager here
    });
    answerer.start(20);
    from_worker([&] {
      frame.show_message("There are 2 items in this folder", "Pstorian");
      frame.show_message(std::string(kStoreFailedText) + "write /m/x.pst: No space left on device",
                         "Pstorian");
      frame.show_message(kOutputKeptText, "Pstorian");
      frame.show_message(kNoMailClientText, "Pstorian");
    });
    dialogs_->files = {"/m/old.pst"};
    QTimer::singleShot(0, [] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->choose_source("/m/old.pst");
      dialog->start();
    });
    frame.open_pst();  // a scan that finds nothing
    QCOMPARE(seen.size(), std::size_t{5});
    QCOMPARE(seen[0].icon, QMessageBox::Information);
    QCOMPARE(seen[0].text, QStringLiteral("There are 2 items in this folder"));
    QCOMPARE(seen[1].icon, QMessageBox::Critical);
    QVERIFY(seen[1].text.contains("No space left on device"));
    QCOMPARE(seen[2].icon, QMessageBox::Information);
    QCOMPARE(seen[3].icon, QMessageBox::Critical);
    QCOMPARE(seen[4].text, QStringLiteral("No records found"));
    QCOMPARE(seen[4].icon, QMessageBox::Critical);

    // The completion names the output file and offers its folder.
    seen.clear();
    QtUserDialogs dialogs;
    QVERIFY(!dialogs.show_message_offering_folder(&frame, "done", "Processing Complete"));
    QCOMPARE(seen.size(), std::size_t{1});
    QCOMPARE(seen[0].icon, QMessageBox::Information);
    QVERIFY(seen[0].buttons.contains(QStringLiteral("Show &Folder")));
  }

  void theCompletionOffersToShowTheOutputFolder() {
    CMainFrame frame(services(finding_scan(1)));
    dialogs_->show_folder = true;
    open_pst(frame);
    wait_for_export(frame);
    QCOMPARE(dialogs_->opened.size(), std::size_t{1});
    QCOMPARE(dialogs_->opened[0], QUrl::fromLocalFile("/m"));
  }

  // The window keeps its size, place and splitter for the next start, and at its first start
  // it fits the screen (1000 by 600 did not fit a 1280 by 800 screen at scale 1.5).
  void theWindowFitsTheScreenAndIsRememberedFromRunToRun() {
    user_settings().clear();
    QSize first;
    {
      CMainFrame frame(services({}));
      frame.show();
      QVERIFY(QTest::qWaitForWindowExposed(&frame));
      const QRect screen = frame.screen()->availableGeometry();
      QVERIFY2(frame.frameGeometry().width() <= screen.width() &&
                   frame.frameGeometry().height() <= screen.height(),
               qPrintable(QStringLiteral("%1x%2 on %3x%4")
                              .arg(frame.width())
                              .arg(frame.height())
                              .arg(screen.width())
                              .arg(screen.height())));
      frame.resize(520, 410);
      frame.splitter()->setSizes({300, 200});
      QTest::qWait(50);
      first = frame.size();
      frame.splitter()->setSizes({300, 200});
      QVERIFY(frame.close());
    }
    CMainFrame again(services({}));
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.size(), first);
    QCOMPARE(again.splitter()->sizes().front(), 300);
  }

  // The Date column shows the whole date and the tree shows long names whole, scrolling
  // sideways where the pane is too narrow.
  void columnsFitTheirContentAndTheTreeScrollsSideways() {
    CMainFrame frame(services({}));
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const std::string long_name(120, 'n');
    from_worker([&] {
      const TreeItemId root = frame.tree_reset();
      FolderNodeRecord folder{0x8042, 0x8022, long_name, kNoTreeItem, 1};
      frame.tree_add_folder(folder, {0, root});
      frame.tree_show_folder(folder.tree_item);
      frame.list_setup_columns();
      frame.list_add_fields({"Ann", "Bob", std::string(400, 's'), "Wed Sep 25 23:59:59 2024"});
    });
    CPstorianView* list = frame.list_view();
    frame.resize(1200, 700);
    frame.splitter()->setSizes({200, 1000});
    QTest::qWait(50);
    list->fit_columns();
    const QString date = list->topLevelItem(0)->text(3);
    QVERIFY(list->columnWidth(3) >= list->fontMetrics().horizontalAdvance(date));
    QVERIFY(list->columnWidth(2) <= CPstorianView::kMaxTextColumnWidth);
    QVERIFY(list->columnWidth(0) >= list->fontMetrics().horizontalAdvance("Sender"));
    // The short sender and receiver leave their room to the long subject.
    const int rest = list->viewport()->width() - list->columnWidth(3) - list->columnWidth(0) -
                     list->columnWidth(1);
    QCOMPARE(list->columnWidth(2), std::min(CPstorianView::kMaxTextColumnWidth, rest));

    frame.splitter()->setSizes({120, 600});
    QTest::qWait(50);
    CLeftView* tree = frame.left_view();
    QTreeWidgetItem* item = tree->topLevelItem(0)->child(0);
    QVERIFY(tree->header()->sectionSize(0) >=
            tree->fontMetrics().horizontalAdvance(QString::fromStdString(long_name)));
    QVERIFY(tree->horizontalScrollBar()->maximum() > 0);
    QCOMPARE(tree->textElideMode(), Qt::ElideNone);
    QCOMPARE(item->text(0).size(), 120);
  }

  // Ctrl+O opens a repair, Escape stops one, Ctrl+Q ends the program; Stop sits in the File
  // menu and F1 is shown beside Help Topic.
  void keyboardCommandsAndTheFileMenu() {
    CMainFrame frame(services(finding_scan(1), /*endless_export=*/true));
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QCOMPARE(frame.action(kIdHelpTopics)->shortcut(), QKeySequence(Qt::Key_F1));
    QMenu* file = frame.menuBar()->actions().front()->menu();
    QVERIFY(file->actions().contains(frame.action(kIdStop)));
    QVERIFY(file->actions().contains(frame.action(kIdOpenPst)));

    dialogs_->files = {"/m/old.pst"};
    QTimer::singleShot(0, [] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->browse();
      dialog->start();
    });
    QTest::keyClick(frame.left_view(), Qt::Key_O, Qt::ControlModifier);
    QVERIFY(frame.job_running());
    QVERIFY(wait_processing_events([&] { return exported_ > 2; }, 10s));
    dialogs_->answers = {true};
    QTest::keyClick(frame.list_view(), Qt::Key_Escape);
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to stop?"});
    wait_for_export(frame);
    QVERIFY(wait_processing_events([&] { return frame.open_enabled(); }, 10s));
    // Nothing to stop: Escape asks nothing.
    QTest::keyClick(frame.list_view(), Qt::Key_Escape);
    QCOMPARE(dialogs_->questions.size(), 1);
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(frame.left_view(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(exit_codes_, std::vector<int>{0});
  }

  // A .pst dropped on the window opens the file selection dialog with it chosen; other
  // files are not taken.
  void aDroppedPstOpensTheFileSelectionDialogWithIt() {
    CMainFrame frame(services(finding_scan(0)));
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    auto drop = [&](const QString& path) {
      QMimeData mime;
      mime.setUrls({QUrl::fromLocalFile(path)});
      QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&frame, &enter);
      if (!enter.isAccepted()) return false;
      QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&frame, &dropped);
      return dropped.isAccepted();
    };
    QVERIFY(!drop("/m/notes.txt"));
    QVERIFY(!drop("/m/x.PsT"));
    QString shown;
    bool chosen = false;
    QTimer closer;  // the dialog opens once the drop has been answered
    connect(&closer, &QTimer::timeout, this, [&] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      shown = dialog->findChild<QLineEdit*>("sourceEdit")->text();
      chosen = dialog->source_chosen();
      dialog->close();
    });
    closer.start(10);
    QVERIFY(drop("/m/old.pst"));
    QTRY_COMPARE_WITH_TIMEOUT(shown, QStringLiteral("/m/old.pst"), 60000);
    QVERIFY(chosen);
    QCOMPARE(frame.selection().output_path, QStringLiteral("/m/old Recovered.pst"));
  }

  // A listed item opens (double-click or Return) in a read-only view of the item the reader
  // finds at the row's folder and place; an attachment is saved with Save As.
  void aListedItemOpensInAReadOnlyViewAndSavesAnAttachment() {
    std::vector<ItemLocation> asked;
    struct Reader final : StoredItemReader {
      std::vector<ItemLocation>& asked;
      explicit Reader(std::vector<ItemLocation>& a) : asked(a) {}
      std::optional<StoredItem> read(const ItemLocation& location, QString& error) override {
        asked.push_back(location);
        if (location.row > 1) {
          error = "gone";
          return std::nullopt;
        }
        StoredItem item;
        item.subject = location.subject;
        item.from = "Ann <ann@example.org>";
        item.body = "Hello";
        item.recipients = {{"Bob", "bob@example.org", 1}, {"Cid", "", 2}};
        item.attachments = {{"report.txt", 5, QByteArray("12345"), false},
                            {"Forwarded", 0, {}, true}};
        return item;
      }
    };
    UiServices s = services(finding_scan(1));
    s.make_item_reader = [&](int index) -> std::unique_ptr<StoredItemReader> {
      if (index != 1) return nullptr;
      return std::make_unique<Reader>(asked);
    };
    CMainFrame frame(std::move(s));
    frame.show();
    open_pst(frame);
    wait_for_export(frame);
    QVERIFY(wait_processing_events([&] { return !frame.job_running(); }, 10s));
    QTreeWidgetItem* top = frame.left_view()->topLevelItem(0)->child(0);
    frame.left_view()->setCurrentItem(child_named(top, "Calendar"));
    QVERIFY(wait_processing_events([&] { return !frame.listing_running(); }, 10s));
    QCOMPARE(frame.list_view()->topLevelItemCount(), 2);

    CPstorianView* list = frame.list_view();
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(asked.size(), std::size_t{1});
    QCOMPARE(asked[0].folder_path,
             (std::vector<std::string>{"Top of Personal Folders", "Calendar"}));
    QCOMPARE(asked[0].row, 1);
    QCOMPARE(asked[0].subject, QStringLiteral("Calendar"));
    auto* view = frame.findChild<CItemView*>();
    QVERIFY(view != nullptr);
    QVERIFY(view->isVisible());
    QCOMPARE(view->findChild<QPlainTextEdit*>("bodyText")->toPlainText(), QStringLiteral("Hello"));
    QVERIFY(view->findChild<QPlainTextEdit*>("bodyText")->isReadOnly());
    QCOMPARE(view->findChild<QTreeWidget*>("recipientList")->topLevelItemCount(), 2);
    QCOMPARE(view->findChild<QTreeWidget*>("attachmentList")->topLevelItemCount(), 2);

    QTemporaryDir dir;
    const QString target = dir.filePath("saved.txt");
    dialogs_->save_paths = {target};
    QVERIFY(view->save_attachment(0));
    QVERIFY(dialogs_->save_suggestions.front().endsWith("/report.txt"));
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("12345"));
    QVERIFY2(!view->save_attachment(1), "an embedded message is no file");
    dialogs_->save_paths = {dir.filePath("no/such/folder/x")};
    QVERIFY(!view->save_attachment(0));
    QVERIFY(dialogs_->icons.back() == MessageIcon::Error);
    view->close();

    // Double-click does the same; an item the reader cannot find says why.
    dialogs_->messages.clear();
    emit list->row_activated(0);
    QCOMPARE(asked.size(), std::size_t{2});
    QCOMPARE(asked[1].row, 0);
    list->add_row("x", "y", "z", "");
    QVERIFY(!frame.open_item(2));
    QCOMPARE(dialogs_->messages.size(), 1);
    QVERIFY(dialogs_->messages[0].endsWith("gone"));
  }

  void keyboardFilterSwallowsKeysAndF1OpensTheHelp() {
    CMainFrame frame(services({}));
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QTest::keyClick(frame.left_view(), Qt::Key_F1);
    QCOMPARE(dialogs_->opened.size(), std::size_t{1});
    QCOMPARE(dialogs_->opened[0], QUrl::fromLocalFile(help_file_path()));
    // Escape, Return and N reach no widget of the window.
    int seen = 0;
    struct Counter : QObject {
      int& n;
      explicit Counter(int& count) : n(count) {}
      bool eventFilter(QObject*, QEvent* e) override {
        // The Control key itself (pressed for Ctrl+N) is no command.
        if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() != Qt::Key_Control) {
          ++n;
        }
        return false;
      }
    } counter(seen);
    frame.list_view()->installEventFilter(&counter);
    for (auto key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_N}) {
      QTest::keyClick(frame.list_view(), key);
    }
    QTest::keyClick(frame.list_view(), Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(seen, 0);
    QTest::keyClick(frame.list_view(), Qt::Key_Down);
    QCOMPARE(seen, 1);
  }
};

int run_main_frame_tests(int argc, char** argv) {
  MainFrameTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace pstorian::testing

#include "main_frame_test.moc"
