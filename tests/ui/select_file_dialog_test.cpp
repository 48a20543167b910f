#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QListView>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>

#include "fakes.h"
#include "job/output_naming.h"
#include "ui/select_file_dialog.h"

namespace pstorian::testing {

class SelectFileDialogTest : public QObject {
  Q_OBJECT

 public:
  SelectFileDialogTest() { services_.dialogs = dialogs_; }

 private:
  std::shared_ptr<FakeDialogs> dialogs_ = std::make_shared<FakeDialogs>();
  UiServices services_;
  RecoverySelection selection_;
  RecoveryTables tables_;

  QString text(CSelectFileDialog& d, const char* name) {
    if (auto* edit = d.findChild<QLineEdit*>(name)) return edit->text();
    return d.findChild<QLabel*>(name)->text();
  }
  QPushButton* button(CSelectFileDialog& d, const char* name) {
    return d.findChild<QPushButton*>(name);
  }

 private slots:
  void init() {
    *dialogs_ = FakeDialogs{};
    selection_ = RecoverySelection{};
    tables_.clear();
    services_.scan = {};
  }

  void browseAcceptsTheSixExtensionFormsAndNamesTheOutput() {
    CSelectFileDialog d(selection_, tables_, services_);
    QVERIFY(!button(d, "startButton")->isEnabled());
    QCOMPARE(d.windowTitle(), QStringLiteral("Select file to repair"));

    dialogs_->files = {"/home/ann/mail/old.PST"};
    d.browse();
    QVERIFY(d.source_chosen());
    QVERIFY(button(d, "startButton")->isEnabled());
    QCOMPARE(text(d, "sourceEdit"), QStringLiteral("/home/ann/mail/old.PST"));
    QCOMPARE(text(d, "outputEdit"), QStringLiteral("/home/ann/mail/"));
    QCOMPARE(selection_.base_name, QStringLiteral("old"));
    QCOMPARE(selection_.output_label, QStringLiteral("Recovered"));
    QCOMPARE(selection_.output_path, QStringLiteral("/home/ann/mail/old Recovered.pst"));

    // A cancelled Browse changes nothing.
    d.browse();
    QVERIFY(d.source_chosen());
    QCOMPARE(selection_.output_path, QStringLiteral("/home/ann/mail/old Recovered.pst"));

    dialogs_->files = {"/x.pSt"};
    d.browse();
    QVERIFY(d.source_chosen());
    QCOMPARE(selection_.output_folder, QStringLiteral("/"));
    QCOMPARE(selection_.output_path, QStringLiteral("/x Recovered.pst"));
  }

  void aFileNamedOnTheCommandLineIsChosenWithoutBrowsing() {
    CSelectFileDialog d(selection_, tables_, services_);
    d.choose_source(QStringLiteral("/home/ann/mail/old.pst"));
    QVERIFY(d.source_chosen());
    QVERIFY(button(d, "startButton")->isEnabled());
    QCOMPARE(text(d, "sourceEdit"), QStringLiteral("/home/ann/mail/old.pst"));
    QCOMPARE(text(d, "outputEdit"), QStringLiteral("/home/ann/mail/"));
    QCOMPARE(selection_.output_path, QStringLiteral("/home/ann/mail/old Recovered.pst"));
    // Not a personal folder file: no source, so Start can never write over it.
    d.choose_source(QStringLiteral("/home/ann/notes.txt"));
    QVERIFY(!d.source_chosen());
    QVERIFY(!button(d, "startButton")->isEnabled());
    QCOMPARE(text(d, "sourceEdit"), QString());
  }

  void aRejectedExtensionDisablesStartSoTheSourceIsNeverTheOutput() {
    CSelectFileDialog d(selection_, tables_, services_);
    dialogs_->files = {"/m/good.pst", "/m/x.PsT"};
    d.browse();
    QVERIFY(button(d, "startButton")->isEnabled());
    d.browse();
    QVERIFY(!d.source_chosen());
    QVERIFY(!button(d, "startButton")->isEnabled());
    QCOMPARE(selection_.output_path, selection_.source_path);
    d.start();  // even when called directly
    QVERIFY(d.scan_thread() == nullptr);
    QVERIFY(!selection_.scan_started);
    QVERIFY2(dialogs_->messages.isEmpty(), "a rejected file is refused silently");
  }

  void changeNeedsASourceThenPutsTheOutputInTheChosenFolder() {
    CSelectFileDialog d(selection_, tables_, services_);
    d.change();
    QCOMPARE(dialogs_->messages, QStringList{"Please select a source PST file"});
    QCOMPARE(dialogs_->captions, QStringList{"Pstorian"});

    dialogs_->files = {"/m/old.pst", "/n/new.pst"};
    dialogs_->folders = {"/", "/out", ""};
    d.browse();
    d.change();
    QCOMPARE(dialogs_->folder_titles.first(), QStringLiteral("Select Output Folder"));
    QCOMPARE(text(d, "outputEdit"), QStringLiteral("/"));
    QCOMPARE(selection_.output_path, QStringLiteral("/old Recovered.pst"));
    d.change();
    QCOMPARE(text(d, "outputEdit"), QStringLiteral("/out"));
    QCOMPARE(selection_.output_path, QStringLiteral("/out/old Recovered.pst"));
    d.change();  // cancelled
    QCOMPARE(selection_.output_path, QStringLiteral("/out/old Recovered.pst"));
    // Browse after Change goes back to the new source's folder.
    d.browse();
    QCOMPARE(text(d, "outputEdit"), QStringLiteral("/n/"));
    QCOMPARE(selection_.output_path, QStringLiteral("/n/new Recovered.pst"));
  }

  void startRefusesAnOutputThatIsTheSourceFile() {
    QTemporaryDir dir;
    const QString source = dir.filePath("a.pst");
    QFile(source).open(QIODevice::WriteOnly);
    std::filesystem::create_symlink(source.toStdString(),
                                    dir.filePath("a Recovered.pst").toStdString());
    CSelectFileDialog d(selection_, tables_, services_);
    dialogs_->files = {source};
    d.browse();
    d.start();
    QVERIFY(d.scan_thread() == nullptr);
    QCOMPARE(dialogs_->icons.size(), std::size_t{1});
    QVERIFY(dialogs_->icons[0] == MessageIcon::Error);
  }

  void theScanDrivesBarAndStatusLineThenClosesTheDialogWithoutAsking() {
    services_.scan = finding_scan(3);
    CSelectFileDialog d(selection_, tables_, services_);
    d.open();
    dialogs_->files = {"/m/old.pst"};
    d.browse();
    d.start();
    QVERIFY(selection_.scan_started);
    QVERIFY(d.scan_running());
    QVERIFY(!button(d, "browseButton")->isEnabled());
    QVERIFY(!button(d, "changeButton")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!d.isVisible(), 60000);
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(d.findChild<QProgressBar*>("progressBar")->value(), 500);
    QCOMPARE(d.findChild<QProgressBar*>("progressBar")->maximum(), 500);
    QCOMPARE(text(d, "statusLine"), QStringLiteral("Collecting Objects..."));
    QVERIFY(!d.ask_before_closing());
    QVERIFY(dialogs_->questions.isEmpty());
    QCOMPARE(tables_.objects.size(), std::size_t{3});
  }

  void closingDuringTheScanAsksWhileTheScanWaitsAtItsGate() {
    std::atomic<int> passes = 0;
    services_.scan = endless_scan(&passes);
    CSelectFileDialog d(selection_, tables_, services_);
    d.open();
    dialogs_->files = {"/m/old.pst"};
    d.browse();
    d.start();
    QTRY_VERIFY_WITH_TIMEOUT(passes > 0, 60000);

    bool parked_while_asking = false;
    dialogs_->while_asking = [&] {
      for (int i = 0; i < 2000 && !d.scan_thread()->control().parked(); ++i) QThread::msleep(1);
      parked_while_asking = d.scan_thread()->control().parked();
    };
    dialogs_->answers = {false};
    d.close();
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to stop current process?"});
    QVERIFY(parked_while_asking);
    QVERIFY(d.isVisible());
    const int before = passes;
    QTRY_VERIFY_WITH_TIMEOUT(passes > before, 60000);  // resumed

    // Return has no default action; Escape is the close box.
    QTest::keyClick(&d, Qt::Key_Return);
    QVERIFY(d.isVisible());
    QCOMPARE(dialogs_->questions.size(), 1);
    dialogs_->answers = {true};
    QTest::keyClick(&d, Qt::Key_Escape);
    QCOMPARE(dialogs_->questions.size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!d.isVisible(), 60000);
    QVERIFY(d.scan_thread()->control().cancelled());
    QTRY_VERIFY_WITH_TIMEOUT(d.scan_thread()->worker().done(), 60000);  // it closed the dialog on its way out
  }

  // A large file steps the bar more often than it has room for: it must fill once and stay
  // full, not run from empty to full again and again.
  void theProgressBarNeverRunsBackwards() {
    services_.scan = [](const std::string&, RecoveryTables&, ProgressSink& progress, JobGate&) {
      progress.set_range(0, 500);
      progress.set_position(0);
      progress.set_step(1);
      for (int i = 0; i < 1200; ++i) progress.step();
      return ScanOutcome::kCompleted;
    };
    CSelectFileDialog d(selection_, tables_, services_);
    auto* bar = d.findChild<QProgressBar*>("progressBar");
    int last = 0;
    bool backwards = false;
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
      if (value < last) backwards = true;
      last = value;
    });
    d.open();
    dialogs_->files = {"/m/old.pst"};
    d.browse();
    d.start();
    QTRY_VERIFY_WITH_TIMEOUT(d.scan_thread()->worker().done(), 60000);
    QVERIFY(!backwards);
    QCOMPARE(bar->value(), 500);
  }

  // Keyboard users reach every button by its mnemonic; Cancel is the close box.
  void buttonsHaveMnemonicsAndCancelAsksDuringTheScan() {
    services_.scan = endless_scan();
    CSelectFileDialog d(selection_, tables_, services_);
    d.show();
    d.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    for (const char* name : {"browseButton", "changeButton", "startButton"}) {
      QVERIFY2(button(d, name)->text().contains('&'), name);
    }
    QPushButton* cancel = button(d, "cancelButton");
    QVERIFY(cancel != nullptr);
    cancel->setFocus();
    dialogs_->files = {"/m/old.pst"};
    // A mnemonic presses its button after a short animation.
    QTest::keyClick(&d, Qt::Key_B, Qt::AltModifier);  // &Browse...
    QTRY_VERIFY_WITH_TIMEOUT(d.source_chosen(), 60000);
    QTest::keyClick(&d, Qt::Key_S, Qt::AltModifier);  // &Start
    QTRY_VERIFY_WITH_TIMEOUT(d.scan_running(), 60000);
    dialogs_->answers = {false};
    cancel->click();
    QCOMPARE(dialogs_->questions, QStringList{"Do you want to stop current process?"});
    QVERIFY(d.isVisible());
    dialogs_->answers = {true};
    cancel->click();
    QTRY_VERIFY_WITH_TIMEOUT(!d.isVisible(), 60000);
    QVERIFY(d.scan_stopped());
  }

  // The choosers open where the user's files are: the home folder at first, then the folder
  // of the source chosen, and the output folder for Change.
  void theChoosersStartInTheCurrentSourceOrOutputFolder() {
    CSelectFileDialog d(selection_, tables_, services_);
    dialogs_->files = {"/m/mail/old.pst", "/n/new.pst"};
    d.browse();
    d.browse();
    QCOMPARE(dialogs_->file_start_folders, (QStringList{QDir::homePath(), "/m/mail"}));
    dialogs_->folders = {"/out"};
    d.change();
    d.change();
    QCOMPARE(dialogs_->folder_start_folders, (QStringList{"/n/", "/out"}));
  }

  // The chooser offers exactly the names Start accepts: the real dialog (Qt's own here, as
  // the offscreen platform has no native one) over a folder holding every letter case.
  void theChooserOffersExactlyTheNamesStartAccepts() {
    QTemporaryDir dir;
    const QStringList names = {"a.pst", "b.PST", "c.Pst", "d.pST", "e.pSt", "f.psT",
                               "g.PsT", "h.PSt", "i.txt"};
    QStringList accepted;
    for (const QString& name : names) {
      QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
      if (accepted_pst_extension(name.toStdString())) accepted << name;
    }
    QCOMPARE(accepted.size(), 6);
    QStringList offered;
    QTimer::singleShot(0, [&] {
      auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(chooser != nullptr);
      auto* view = chooser->findChild<QListView*>("listView");
      QVERIFY(view != nullptr);
      QTRY_VERIFY_WITH_TIMEOUT(view->model()->rowCount(view->rootIndex()) > 0, 60000);
      QTest::qWait(200);  // the file system model fills in the background
      for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
        offered << view->model()->index(row, 0, view->rootIndex()).data().toString();
      chooser->reject();
    });
    QtUserDialogs dialogs;
    QVERIFY(dialogs.choose_source_file(nullptr, dir.path()).isEmpty());
    offered.sort();
    QCOMPARE(offered, accepted);
  }

  void closingBeforeStartAsksNothing() {
    CSelectFileDialog d(selection_, tables_, services_);
    d.open();
    dialogs_->files = {"/m/old.pst"};
    d.browse();
    QTest::keyClick(&d, Qt::Key_Escape);
    QVERIFY(!d.isVisible());
    QVERIFY(dialogs_->questions.isEmpty());
    QVERIFY(!selection_.scan_started);
  }
};

int run_select_file_dialog_tests(int argc, char** argv) {
  SelectFileDialogTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace pstorian::testing

#include "select_file_dialog_test.moc"
