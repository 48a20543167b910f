// The desktop program with its real scan, export and folder listing: whole repairs through
// Open PST and the file selection dialog, with only the user's answers standing in.
#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "export/pst_exporter.h"
#include "fakes.h"
#include "mailclient/automation/automation.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/mail_profile.h"
#include "mailclient/automation/sample_mailbox.h"
#include "store/empty_store_image.h"
#include "tree_helpers.h"
#include "export/mail_client.h"
#include "format/utf8.h"
#include "ui/gui_call.h"
#include "ui/item_view.h"
#include "ui/left_view.h"
#include "ui/main_frame.h"
#include "ui/pstorian_view.h"

namespace pstorian::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kCorpus = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi";

// Every item below `item`, depth first.
void collect(QTreeWidgetItem* item, std::vector<QTreeWidgetItem*>& out) {
  for (int i = 0; i < item->childCount(); ++i) {
    out.push_back(item->child(i));
    collect(item->child(i), out);
  }
}

void write_bytes(const fs::path& file, std::span<const std::uint8_t> bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// What the test sees of a running export, beside the window: the texts of the status pane
// after each status call, and a hold at the job-control gate.
struct ExportWatch {
  CMainFrame* frame = nullptr;
  QStringList status_texts;           // GUI thread only
  std::atomic<bool> hold = false;     // set: the worker waits before its next gate
  std::atomic<bool> holding = false;  // the worker is waiting there
  std::atomic<int> holds = 0;         // how often it began to wait
};

class HoldingGate final : public JobGate {
 public:
  HoldingGate(JobGate& inner, ExportWatch& watch) : inner_(inner), watch_(watch) {}
  bool pass() override {
    if (watch_.hold) ++watch_.holds;
    while (watch_.hold) {
      watch_.holding = true;
      std::this_thread::sleep_for(1ms);
    }
    watch_.holding = false;
    return inner_.pass();
  }

 private:
  JobGate& inner_;
  ExportWatch& watch_;
};

// Passes every report on to the window and notes the status pane after the status calls.
class StatusRecorder final : public Reporter {
 public:
  StatusRecorder(Reporter& inner, ExportWatch& watch) : inner_(inner), watch_(watch) {}
  void list_add_fields(const ListRowFields& row) override { inner_.list_add_fields(row); }
  void list_setup_columns() override { inner_.list_setup_columns(); }
  void list_clear_items() override { inner_.list_clear_items(); }
  void tree_add_folder(FolderNodeRecord& folder, const FolderPlacement& placement) override {
    inner_.tree_add_folder(folder, placement);
  }
  void tree_show_folder(TreeItemId item) override { inner_.tree_show_folder(item); }
  TreeItemId tree_reset() override { return inner_.tree_reset(); }
  void list_add_item(const ItemRowRecord& row) override { inner_.list_add_item(row); }
  void status_populating(std::optional<std::string_view> folder_name) override {
    inner_.status_populating(folder_name);
    note_status();
  }
  void status_clear() override {
    inner_.status_clear();
    note_status();
  }

 private:
  void note_status() {
    run_on_gui(watch_.frame, [this] { watch_.status_texts << watch_.frame->status_pane_text(1); });
  }
  Reporter& inner_;
  ExportWatch& watch_;
};

class WatchedExport final : public ExportJob {
 public:
  WatchedExport(std::unique_ptr<ExportJob> inner, ExportWatch& watch)
      : inner_(std::move(inner)), watch_(watch) {}
  void run(RecoveryTables& tables, Reporter& reporter, JobHost& host, JobGate& gate) override {
    StatusRecorder recorder(reporter, watch_);
    HoldingGate held(gate, watch_);
    inner_->run(tables, recorder, host, held);
  }

 private:
  std::unique_ptr<ExportJob> inner_;
  ExportWatch& watch_;
};

// The program's own sample mailbox in `file`, its header's roots zeroed so that only a scan
// of the whole file finds its contents.
SampleManifest damaged_sample(const fs::path& file, const SampleOptions& options) {
  write_bytes(file, EmptyStoreImage());
  SampleManifest manifest;
  {
    const auto factory = make_mail_client_factory();
    manifest = fill_sample_mailbox(*factory, file, options);
  }
  terminate_mail_client();
  MailProfile::instance().clear();
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  const std::array<char, 16> zeros{};
  io.seekp(0xB8);  // the node and block b-tree roots of a 32-bit header
  io.write(zeros.data(), zeros.size());
  return manifest;
}

}  // namespace

class RealRepairTest : public QObject {
  Q_OBJECT

 private:
  std::shared_ptr<FakeDialogs> dialogs_;
  std::unique_ptr<ExportWatch> watch_;

  UiServices services() {
    UiServices s = default_services();
    s.dialogs = dialogs_;
    s.end_process = [](int) {};
    auto make = s.make_export;
    s.make_export = [this, make](const RepairPaths& paths) -> std::unique_ptr<ExportJob> {
      return std::make_unique<WatchedExport>(make(paths), *watch_);
    };
    return s;
  }

  // Open PST, Browse answered with `source`, Start.
  void open_and_start(CMainFrame& frame, const QString& source) {
    watch_->frame = &frame;
    dialogs_->files = {source};
    QTimer::singleShot(0, [] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->browse();
      dialog->start();
    });
    frame.open_pst();
  }

  // The repair ended with the completion box, which names the output file.
  bool completed_into(const QString& output) const {
    if (dialogs_->completions.size() != 1) {
      qWarning("completions: %s; messages: %s", qPrintable(dialogs_->completions.join('|')),
               qPrintable(dialogs_->messages.join('|')));
      return false;
    }
    const QString& text = dialogs_->completions.front();
    return text.startsWith(QStringLiteral("Processing of selected PST file is complete")) &&
           text.contains(output);
  }

  static bool wait_for_export(CMainFrame& frame) {
    return frame.job_thread() != nullptr &&
           wait_processing_events([&] { return frame.job_thread()->worker().done(); }, 120s);
  }

  static void list_folder(CMainFrame& frame, QTreeWidgetItem* folder) {
    frame.left_view()->setCurrentItem(folder);
    QVERIFY(wait_processing_events([&] { return !frame.listing_running(); }, 60s));
  }

  static QString copy_of(const char* corpus_file, const QTemporaryDir& dir, const char* name) {
    const fs::path source = kCorpus / corpus_file;
    if (!fs::exists(source)) return {};
    const fs::path copy = fs::path(dir.path().toStdString()) / name;
    fs::copy_file(source, copy);
    fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
    return QString::fromStdString(copy.string());
  }

 private slots:
  void init() {
    dialogs_ = std::make_shared<FakeDialogs>();
    watch_ = std::make_unique<ExportWatch>();
  }

  void repairsACorpusFileIntoTreeListAndStatusThenListsTheInbox() {
    QTemporaryDir dir;
    const QString source = copy_of("outlook97-294-messages.pst", dir, "old.pst");
    if (source.isEmpty()) QSKIP("corpus not available");
    CMainFrame frame(services());
    open_and_start(frame, source);
    QVERIFY(wait_for_export(frame));

    QVERIFY(completed_into(dir.filePath("old Recovered.pst")));
    QVERIFY(fs::exists(fs::path(dir.path().toStdString()) / "old Recovered.pst"));
    QVERIFY(frame.tree_ready());
    QVERIFY(!frame.stop_enabled());
    QVERIFY(frame.output_store_index() > 0);
    QVERIFY(watch_->status_texts.contains(QStringLiteral("Populating folder Inbox")));
    QCOMPARE(watch_->status_texts.back(), QString());
    QCOMPARE(frame.status_pane_text(1), QString());

    QTreeWidget* tree = frame.left_view();
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QCOMPARE(root->text(0), QStringLiteral("Root Folder"));
    QCOMPARE(icon_of(root), QStringLiteral("root"));
    QTreeWidgetItem* top = child_named(root, QStringLiteral("Top of Personal Folders"));
    QVERIFY(top != nullptr);
    const std::map<QString, QString> expected = {
        {"Deleted Items", "deleted"}, {"Inbox", "inbox"},       {"Outbox", "outbox"},
        {"Sent Items", "sent"},       {"Calendar", "calendar"}, {"Contacts", "contacts"},
        {"Journal", "journal"},       {"Notes", "note"},        {"Tasks", "task"}};
    for (const auto& [name, icon] : expected) {
      QTreeWidgetItem* folder = child_named(top, name);
      QVERIFY2(folder != nullptr, qPrintable(name));
      QCOMPARE(icon_of(folder), icon);
    }

    // The export listed the items of the folder it populated last, four texts a row.
    CPstorianView* list = frame.list_view();
    QCOMPARE(list->columnCount(), 4);
    QVERIFY(list->topLevelItemCount() > 0);

    list_folder(frame, child_named(top, QStringLiteral("Inbox")));
    // The scan also finds items of earlier copies of the file's pages: at least the 170 the
    // file's own index holds.
    QVERIFY(list->topLevelItemCount() >= 170);
    int dated = 0, with_subject = 0, with_receiver = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* row = list->topLevelItem(i);
      if (!row->text(1).isEmpty()) ++with_receiver;
      if (!row->text(2).isEmpty()) ++with_subject;
      // "Mon Jul 15 12:34:56 2024"
      if (QRegularExpression(QStringLiteral("^\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}"))
              .match(row->text(3))
              .hasMatch()) {
        ++dated;
      }
    }
    QCOMPARE(with_subject, list->topLevelItemCount());
    // These messages carry no sender name, only the display names of their recipients.
    QVERIFY(with_receiver > 150);
    QVERIFY(dated > 150);
    QVERIFY(dialogs_->messages.isEmpty());
  }

  void aFileWithNothingInItSaysNoRecordsFoundAndAMissingOneWhy() {
    QTemporaryDir dir;
    const fs::path empty = fs::path(dir.path().toStdString()) / "nothing.pst";
    write_bytes(empty, std::vector<std::uint8_t>(64 * 1024, 0));
    CMainFrame frame(services());
    open_and_start(frame, QString::fromStdString(empty.string()));
    QCOMPARE(dialogs_->messages, QStringList{"No records found"});
    QVERIFY(frame.open_enabled());
    QVERIFY(frame.job_thread() == nullptr);
    QVERIFY(!fs::exists(fs::path(dir.path().toStdString()) / "nothing Recovered.pst"));

    // A file that is gone by the time the scan starts is said to be unreadable, with why.
    dialogs_->messages.clear();
    const QString gone = dir.path() + "/gone.pst";
    write_bytes(gone.toStdString(), std::vector<std::uint8_t>(1024, 0));
    dialogs_->files = {gone};
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->browse();
      fs::remove(gone.toStdString());
      dialog->start();
    });
    frame.open_pst();
    QCOMPARE(dialogs_->messages.size(), 1);
    QVERIFY2(dialogs_->messages.front().contains("cannot be read: No such file or directory"),
             qPrintable(dialogs_->messages.front()));
  }

  void stopAnsweredNoThenYesWhileTheRealExportWaitsAtItsGate() {
    QTemporaryDir dir;
    const QString source = copy_of("outlook97-294-messages.pst", dir, "old.pst");
    if (source.isEmpty()) QSKIP("corpus not available");
    CMainFrame frame(services());
    // Let the worker go whatever this test finds, before the window waits for it at its end.
    const std::unique_ptr<std::atomic<bool>, void (*)(std::atomic<bool>*)> release(
        &watch_->hold, [](std::atomic<bool>* hold) { *hold = false; });
    watch_->hold = true;
    open_and_start(frame, source);
    QVERIFY(wait_processing_events([&] { return watch_->holding.load(); }, 60s));
    QVERIFY(frame.stop_enabled());

    bool parked = false;
    dialogs_->while_asking = [&] {
      watch_->hold = false;
      parked = wait_processing_events([&] { return frame.job_thread()->control().parked(); }, 10s);
    };
    dialogs_->answers = {false};
    frame.stop();
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to stop?"});
    QVERIFY(parked);
    QVERIFY(frame.job_running());
    QVERIFY(frame.stop_enabled());

    // No: the export goes on from where it waited.
    const int holds = watch_->holds;
    watch_->hold = true;
    QVERIFY(wait_processing_events([&] { return watch_->holds > holds && watch_->holding; }, 60s));

    dialogs_->answers = {true};
    frame.stop();
    QVERIFY(parked);
    QVERIFY(!frame.job_running());
    QVERIFY(!frame.stop_enabled());
    QVERIFY(wait_for_export(frame));
    QVERIFY(frame.job_thread()->control().cancelled());
    QVERIFY2(dialogs_->completions.isEmpty(), qPrintable(dialogs_->completions.join('|')));
    QCOMPARE(frame.status_pane_text(1), QString());

    // The cancelled export closed its output store whole, under a name that says it is
    // incomplete, and the window said where it is.
    const fs::path output = fs::path(dir.path().toStdString()) / "old Recovered (incomplete).pst";
    QVERIFY(fs::exists(output));
    QVERIFY(!fs::exists(fs::path(dir.path().toStdString()) / "old Recovered.pst"));
    QCOMPARE(dialogs_->messages.size(), 1);
    QVERIFY2(dialogs_->messages.front().startsWith("The repair was stopped.") &&
                 dialogs_->messages.front().contains(QString::fromStdString(output.string())),
             qPrintable(dialogs_->messages.front()));
    const fs::path check = fs::path(PSTORIAN_SHARED_DIR) / "tools" / "pstcheck.py";
    if (fs::exists(check) && fs::exists("/usr/bin/python3")) {
      const std::string cmd =
          "/usr/bin/python3 '" + check.string() + "' '" + output.string() + "' >/dev/null 2>&1";
      QCOMPARE(std::system(cmd.c_str()), 0);
    }
  }

  // No to the overwrite question cancels the repair: the existing file is neither replaced
  // nor added to.
  void noToTheOverwriteQuestionCancelsAndLeavesTheFileUntouched() {
    QTemporaryDir dir;
    const QString source = copy_of("outlook97-294-messages.pst", dir, "old.pst");
    if (source.isEmpty()) QSKIP("corpus not available");
    const fs::path output = fs::path(dir.path().toStdString()) / "old Recovered.pst";
    const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
    write_bytes(output, old);
    CMainFrame frame(services());
    dialogs_->answers = {false};
    open_and_start(frame, source);
    QVERIFY(wait_for_export(frame));
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to overwrite existing pst file?"});
    QCOMPARE(dialogs_->messages,
             QStringList{QString::fromUtf8(kOutputKeptText.data(),
                                           static_cast<qsizetype>(kOutputKeptText.size()))});
    std::ifstream in(output, std::ios::binary);
    const std::vector<std::uint8_t> now{std::istreambuf_iterator<char>(in), {}};
    QVERIFY(now == old);
    QVERIFY(frame.open_enabled() || frame.tree_ready());
  }

  // The output folder chosen with Change may not exist yet: it is made, without the
  // overwrite question.
  void aMissingOutputFolderIsMadeWithoutAQuestion() {
    QTemporaryDir dir;
    const QString source = copy_of("outlook97-294-messages.pst", dir, "old.pst");
    if (source.isEmpty()) QSKIP("corpus not available");
    const fs::path folder = fs::path(dir.path().toStdString()) / "new" / "folder";
    CMainFrame frame(services());
    watch_->frame = &frame;
    dialogs_->files = {source};
    dialogs_->folders = {QString::fromStdString(folder.string())};
    QTimer::singleShot(0, [] {
      auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      dialog->browse();
      dialog->change();
      dialog->start();
    });
    frame.open_pst();
    QVERIFY(wait_for_export(frame));
    QVERIFY(dialogs_->questions.isEmpty());
    QVERIFY(completed_into(QString::fromStdString((folder / "old Recovered.pst").string())));
    QVERIFY(fs::exists(folder / "old Recovered.pst"));
  }

  // A link to the source put at the output name after the dialog's own check (here: just
  // before the export starts) is still refused, and the source is not written.
  void anOutputThatLeadsToTheSourceIsRefusedByTheExport() {
    QTemporaryDir dir;
    const QString source = copy_of("outlook97-294-messages.pst", dir, "old.pst");
    if (source.isEmpty()) QSKIP("corpus not available");
    const fs::path source_path = source.toStdString();
    const fs::path output = fs::path(dir.path().toStdString()) / "old Recovered.pst";
    std::ifstream before_in(source_path, std::ios::binary);
    const std::vector<std::uint8_t> before{std::istreambuf_iterator<char>(before_in), {}};
    UiServices s = services();
    auto make = s.make_export;
    s.make_export = [&, make](const RepairPaths& paths) {
      fs::create_symlink(source_path, output);
      return make(paths);
    };
    CMainFrame frame(s);
    dialogs_->answers = {true, true};
    open_and_start(frame, source);
    QVERIFY(wait_for_export(frame));
    QVERIFY(dialogs_->questions.isEmpty());
    QCOMPARE(dialogs_->messages,
             QStringList{QString::fromUtf8(kOutputIsSourceText.data(),
                                           static_cast<qsizetype>(kOutputIsSourceText.size()))});
    std::ifstream after_in(source_path, std::ios::binary);
    const std::vector<std::uint8_t> after{std::istreambuf_iterator<char>(after_in), {}};
    QVERIFY(after == before);
    QVERIFY(fs::is_symlink(output));
  }

  // A listed item of the repaired file opens in the item view, read back through the mail
  // client: the row's item, with its header and body.
  void aListedItemOfTheRepairedFileOpensInTheItemView() {
    QTemporaryDir dir;
    const QString source = copy_of("outlook97-294-messages.pst", dir, "old.pst");
    if (source.isEmpty()) QSKIP("corpus not available");
    CMainFrame frame(services());
    open_and_start(frame, source);
    QVERIFY(wait_for_export(frame));
    QVERIFY(wait_processing_events([&] { return !frame.job_running(); }, 10s));
    QTreeWidgetItem* top = child_named(frame.left_view()->topLevelItem(0), "Top of Personal Folders");
    list_folder(frame, child_named(top, QStringLiteral("Inbox")));
    CPstorianView* list = frame.list_view();
    QVERIFY(list->topLevelItemCount() > 20);
    for (const int row : {0, 20}) {
      QVERIFY(frame.open_item(row));
      const QList<CItemView*> views = frame.findChildren<CItemView*>();
      QVERIFY(!views.isEmpty());
      const StoredItem& item = views.back()->item();
      QCOMPARE(item.subject, list->topLevelItem(row)->text(2));
      QCOMPARE(item.to, list->topLevelItem(row)->text(1));
      QVERIFY(!item.date.isEmpty());
      QVERIFY(item.message_class.startsWith("IPM.Note", Qt::CaseInsensitive));
      views.back()->close();
      delete views.back();
    }
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messages.join('|')));
  }

  // The mail client reads a stored message whole for the item view: recipients, and
  // attachments with their data (copies of files Outlook wrote, attached as stores).
  void theMailClientReadsAStoredItemsRecipientsAndAttachments() {
    QTemporaryDir dir;
    const QString with_attachments_file = copy_of("outlook2000-73-messages.pst", dir, "a.pst");
    const QString with_recipients_file = copy_of("outlook97-294-messages.pst", dir, "r.pst");
    if (with_attachments_file.isEmpty() || with_recipients_file.isEmpty())
      QSKIP("corpus not available");
    std::vector<StoredItem> read;
    auto read_folder = [&](const QString& file, const char16_t* folder) {
      read.clear();
      int index = 0;
      QStringList subjects;  // of the folder's items, as a listing shows them
      {
        const MailClient client = make_mail_client();
        const auto application = create_application(client);
        QVERIFY(application != nullptr);
        const auto ns = application->GetNamespace(automation::kNamespaceType);
        ns->AddStore(pst::path_to_utf16(file.toStdString()));
        index = ns->get_Folders()->Count();
        const auto items = ns->get_Folders()->Item(index)->get_Folders()->Item(folder)->get_Items();
        for (int i = 1; i <= std::min(items->Count(), 40); ++i)
          subjects << QString::fromStdU16String(items->Item(i)->get_Subject());
      }
      const auto reader = make_mail_client_item_reader(index);
      const std::string path = QString::fromStdU16String(folder).toStdString();
      for (int row = 0; row < subjects.size(); ++row) {
        QString error;
        std::optional<StoredItem> item = reader->read({{path}, row, subjects[row], 0}, error);
        QVERIFY2(item, qPrintable(error));
        // The view leaves out the stored subject's prefix marker (0x01 and a length).
        QVERIFY(subjects[row].endsWith(item->subject));
        QVERIFY(!item->subject.startsWith(QChar(0x01)));
        read.push_back(std::move(*item));
      }
    };
    read_folder(with_attachments_file, u"Deleted Items");
    QVERIFY(read.size() > 20);
    int whole = 0;
    for (const StoredItem& item : read) {
      for (const StoredAttachment& a : item.attachments) {
        if (!a.embedded_message && !a.data.isEmpty() && !a.name.isEmpty() && a.size == a.data.size())
          ++whole;
      }
    }
    QVERIFY2(whole >= 10, qPrintable(QString::number(whole)));

    read_folder(with_recipients_file, u"Inbox");
    int named = 0;
    for (const StoredItem& item : read) {
      for (const StoredRecipient& r : item.recipients) {
        if (!r.name.isEmpty() && item.to.contains(r.name)) ++named;
      }
    }
    QVERIFY2(named >= 20, qPrintable(QString::number(named)));
    terminate_mail_client();
    MailProfile::instance().clear();
  }

  void listsAMailFolderAndACalendarFolderOfARepairedSample() {
    QTemporaryDir dir;
    const fs::path file = fs::path(dir.path().toStdString()) / "sample.pst";
    SampleOptions options;
    options.folders = 6;  // one of each kind
    options.messages = 120;
    options.largest_body = 2048;
    const SampleManifest manifest = damaged_sample(file, options);
    std::map<std::u16string, std::set<QString>> subjects;  // by the folder's last name
    std::map<std::u16string, std::int32_t> kinds;
    for (const SampleFolder& f : manifest.folders) {
      if (!f.path.empty()) kinds[f.path.back()] = f.type;
    }
    for (const SampleMessage& m : manifest.messages) {
      const auto& path = manifest.folders[m.folder].path;
      subjects[path.empty() ? u"Inbox" : path.back()].insert(QString::fromStdU16String(m.subject));
    }

    CMainFrame frame(services());
    open_and_start(frame, QString::fromStdString(file.string()));
    QVERIFY(wait_for_export(frame));
    QVERIFY(completed_into(QString::fromStdString((file.parent_path() / "sample Recovered.pst").string())));

    std::vector<QTreeWidgetItem*> folders;
    collect(frame.left_view()->topLevelItem(0), folders);
    QTreeWidgetItem* mail = nullptr;
    QTreeWidgetItem* calendar = nullptr;
    std::u16string mail_name, calendar_name;
    for (QTreeWidgetItem* item : folders) {
      const std::u16string name = item->text(0).toStdU16String();
      const auto kind = kinds.find(name);
      if (kind == kinds.end() || subjects[name].empty()) continue;
      if (kind->second == automation::kFolderMail && !mail) {
        mail = item;
        mail_name = name;
      }
      if (icon_of(item) == QStringLiteral("calendar") && !calendar) {
        calendar = item;
        calendar_name = name;
      }
    }
    QVERIFY(mail != nullptr);
    QVERIFY(calendar != nullptr);

    list_folder(frame, mail);
    std::set<QString> listed;
    for (int i = 0; i < frame.list_view()->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* row = frame.list_view()->topLevelItem(i);
      listed.insert(row->text(2));
      QVERIFY(!row->text(0).isEmpty());
      QVERIFY(!row->text(1).isEmpty());
      QVERIFY(!row->text(3).isEmpty());
    }
    QCOMPARE(listed, subjects[mail_name]);

    dialogs_->messages.clear();
    list_folder(frame, calendar);
    QCOMPARE(frame.list_view()->topLevelItemCount(), 0);
    QCOMPARE(dialogs_->messages, QStringList{QStringLiteral("There are %1 items in this folder")
                                                 .arg(subjects[calendar_name].size())});
  }
};

int run_real_repair_tests(int argc, char** argv) {
  RealRepairTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace pstorian::testing

#include "real_repair_test.moc"
