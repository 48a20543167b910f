#include "ui/select_file_dialog.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "job/output_naming.h"
#include "store/store_file_writer.h"
#include "ui/gui_call.h"
#include "ui/help.h"

namespace pstorian {

namespace {

std::string file_system_path(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString from_file_system(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

// True when both paths name one existing file (a link, say), which a new output must never
// replace.
bool same_file(const QString& a, const QString& b) {
  return pstorian::same_file(file_system_path(a), file_system_path(b));
}

}  // namespace

RepairPaths RecoverySelection::paths() const {
  return {file_system_path(source_path), file_system_path(output_path)};
}

// The dialog's progress bar and status line as the scan sees them. Each call is served on the
// GUI thread while the scan waits, like the control messages of the original design.
class CSelectFileDialog::Progress final : public ProgressSink {
 public:
  Progress(CSelectFileDialog& dialog, QProgressBar& bar, QLabel& status)
      : dialog_(dialog), bar_(bar), status_(status) {}

  void set_range(int low, int high) override {
    run_on_gui(&dialog_, [&] { bar_.setRange(low, high); });
  }
  void set_position(int position) override {
    run_on_gui(&dialog_, [&] { bar_.setValue(position); });
  }
  void set_step(int step) override {
    run_on_gui(&dialog_, [&] { step_ = step; });
  }
  void step() override {
    // A large file steps more often than the bar has room for: the bar then stays full
    // rather than starting again from empty, which would look like a second scan.
    run_on_gui(&dialog_, [&] { bar_.setValue(std::min(bar_.value() + step_, bar_.maximum())); });
  }
  void set_status(std::string_view text) override {
    const QString qtext = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    run_on_gui(&dialog_, [&] { status_.setText(qtext); });
  }

 private:
  CSelectFileDialog& dialog_;
  QProgressBar& bar_;
  QLabel& status_;
  int step_ = 10;
};

CSelectFileDialog::CSelectFileDialog(RecoverySelection& selection, RecoveryTables& tables,
                                     const UiServices& services, QWidget* parent)
    : QDialog(parent), selection_(selection), tables_(tables), services_(services) {
  setWindowTitle(tr("Select file to repair"));
  setModal(true);

  // Laid out rather than placed, so that longer translations and larger fonts still fit.
  auto* source_group = new QGroupBox(tr("Select PST file to repair"), this);
  source_edit_ = new QLineEdit(source_group);
  source_edit_->setObjectName(QStringLiteral("sourceEdit"));
  source_edit_->setReadOnly(true);
  browse_button_ = new QPushButton(tr("&Browse..."), source_group);
  browse_button_->setObjectName(QStringLiteral("browseButton"));
  auto* source_row = new QHBoxLayout(source_group);
  source_row->addWidget(source_edit_, 1);
  source_row->addWidget(browse_button_);

  auto* output_group = new QGroupBox(tr("Repaired PST file's output folder"), this);
  output_edit_ = new QLineEdit(output_group);
  output_edit_->setObjectName(QStringLiteral("outputEdit"));
  output_edit_->setReadOnly(true);
  change_button_ = new QPushButton(tr("C&hange..."), output_group);
  change_button_->setObjectName(QStringLiteral("changeButton"));
  auto* output_row = new QHBoxLayout(output_group);
  output_row->addWidget(output_edit_, 1);
  output_row->addWidget(change_button_);

  auto* start_group = new QGroupBox(tr("Click start to repair"), this);
  status_line_ = new QLabel(start_group);
  status_line_->setObjectName(QStringLiteral("statusLine"));
  progress_bar_ = new QProgressBar(start_group);
  progress_bar_->setObjectName(QStringLiteral("progressBar"));
  progress_bar_->setRange(0, 500);
  progress_bar_->setValue(0);
  progress_bar_->setTextVisible(false);
  start_button_ = new QPushButton(tr("&Start"), start_group);
  start_button_->setObjectName(QStringLiteral("startButton"));
  start_button_->setEnabled(false);
  auto* start_grid = new QGridLayout(start_group);
  start_grid->addWidget(status_line_, 0, 0);
  start_grid->addWidget(progress_bar_, 1, 0);
  start_grid->addWidget(start_button_, 1, 1);
  start_grid->setColumnStretch(0, 1);

  auto* notice = new QLabel(tr("Pstorian by Corvane: repairs damaged .pst files"), this);
  notice->setEnabled(false);
  cancel_button_ = new QPushButton(tr("Cancel"), this);
  cancel_button_->setObjectName(QStringLiteral("cancelButton"));
  auto* bottom_row = new QHBoxLayout;
  bottom_row->addWidget(notice, 1);
  bottom_row->addWidget(cancel_button_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(source_group);
  layout->addWidget(output_group);
  layout->addWidget(start_group);
  layout->addLayout(bottom_row);
  // Room for a path of some length: the edits scroll for longer ones.
  const int edit_width = QFontMetrics(font()).averageCharWidth() * 56;
  source_edit_->setMinimumWidth(edit_width);
  output_edit_->setMinimumWidth(edit_width);
  status_line_->setMinimumHeight(status_line_->fontMetrics().height());
  setFixedSize(sizeHint());

  // No button is a default button, so Return can never press one.
  for (QPushButton* button : {browse_button_, change_button_, start_button_, cancel_button_}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(browse_button_, &QPushButton::clicked, this, &CSelectFileDialog::browse);
  connect(change_button_, &QPushButton::clicked, this, &CSelectFileDialog::change);
  connect(start_button_, &QPushButton::clicked, this, &CSelectFileDialog::start);
  connect(cancel_button_, &QPushButton::clicked, this, &CSelectFileDialog::close);

  progress_sink_ = std::make_unique<Progress>(*this, *progress_bar_, *status_line_);
  selection_.scan_started = false;
}

CSelectFileDialog::~CSelectFileDialog() {
  // A scan still running here (the dialog destroyed from outside) is cancelled; its calls
  // into the dialog must be served while it unwinds.
  if (scan_thread_ && !scan_thread_->worker().done()) {
    scan_thread_->control().cancel();
    wait_processing_events([this] { return scan_thread_->worker().done(); },
                           std::chrono::hours(1));
  }
}

void CSelectFileDialog::browse() {
  const QString start_folder = selection_.source_path.isEmpty()
                                   ? QDir::homePath()
                                   : QFileInfo(selection_.source_path).absolutePath();
  const QString path = services_.dialogs->choose_source_file(this, start_folder);
  if (path.isEmpty()) return;
  choose_source(path);
}

void CSelectFileDialog::choose_source(const QString& path) {
  if (scan_thread_) return;
  ask_before_closing_ = true;
  selection_.output_label = QString::fromUtf8(kOutputLabel.data(),
                                              static_cast<qsizetype>(kOutputLabel.size()));
  selection_.source_path = path;
  selection_.output_path = path;
  const auto naming = name_output_beside(file_system_path(path));
  if (!naming) {
    // Not a personal folder file: Start must not run with this choice, whose output path
    // would be the source itself.
    source_chosen_ = false;
    start_button_->setEnabled(false);
    source_edit_->clear();
    output_edit_->clear();
    return;
  }
  source_chosen_ = true;
  source_edit_->setText(path);
  selection_.base_name = from_file_system(naming->base_name);
  selection_.output_folder = from_file_system(naming->output_folder);
  selection_.output_path = from_file_system(naming->output_path);
  output_edit_->setText(selection_.output_folder);
  start_button_->setEnabled(true);
}

void CSelectFileDialog::change() {
  if (!source_chosen_) {
    services_.dialogs->show_message(this, tr("Please select a source PST file"), kAppTitle,
                                    MessageIcon::Warning);
    return;
  }
  ask_before_closing_ = true;
  const QString folder = services_.dialogs->choose_folder(this, tr("Select Output Folder"),
                                                          selection_.output_folder);
  if (folder.isEmpty()) return;
  selection_.output_folder = folder;
  selection_.output_path = from_file_system(output_path_in(
      file_system_path(folder), file_system_path(selection_.base_name),
      file_system_path(selection_.output_label)));
  output_edit_->setText(folder);
}

void CSelectFileDialog::start() {
  if (!source_chosen_ || scan_thread_) return;
  if (same_file(selection_.source_path, selection_.output_path)) {
    services_.dialogs->show_message(
        this, tr("The output file must not be the file being repaired."), kAppTitle,
        MessageIcon::Error);
    return;
  }
  selection_.scan_started = true;
  start_button_->setEnabled(false);
  browse_button_->setEnabled(false);
  change_button_->setEnabled(false);
  scan_stopped_ = false;

  ScanFunction scan = services_.scan;
  if (!scan) scan = [](const std::string&, RecoveryTables&, ProgressSink&, JobGate&) {
    return ScanOutcome::kCompleted;
  };
  scan_thread_ = std::make_unique<CProgressThread>(tables_);
  scan_thread_->set_scan(file_system_path(selection_.source_path), std::move(scan),
                         *progress_sink_);
  scan_thread_->set_finished([this] {
    run_on_gui(this, [this] { scan_ended(); });
  });
  scan_thread_->start();
  scan_running_ = true;
}

void CSelectFileDialog::scan_ended() {
  // The scan closes the dialog without the question; while the question is on screen the
  // close waits for its answer.
  ask_before_closing_ = false;
  scan_ended_ = true;
  // Read here, on the scan's own way out: the scan has returned, the thread may not have ended.
  source_unreadable_ = scan_thread_->scan_outcome() == ScanOutcome::kNotOpened;
  if (!asking_) close();
}

bool CSelectFileDialog::may_close() {
  if (!ask_before_closing_ || !selection_.scan_started || !scan_thread_ || scan_ended_) {
    return true;
  }
  scan_thread_->control().pause();
  asking_ = true;
  const bool stop = services_.dialogs->ask_yes_no(this, tr("Do you want to stop current process?"));
  asking_ = false;
  if (!stop) {
    scan_thread_->control().resume();
    return scan_ended_;  // the scan may have ended by itself meanwhile
  }
  scan_thread_->control().cancel();
  scan_stopped_ = true;
  // The scan unwinds at its next gate and then closes the dialog; the tables are not handed
  // on while it still writes them.
  return scan_ended_;
}

void CSelectFileDialog::closeEvent(QCloseEvent* event) {
  if (closing_) {
    QDialog::closeEvent(event);
    return;
  }
  if (!may_close()) {
    event->ignore();
    return;
  }
  closing_ = true;
  QDialog::closeEvent(event);
  closing_ = false;
}

void CSelectFileDialog::reject() {
  // Escape and the window's close both come here: route them through the close question.
  if (closing_) {
    QDialog::reject();
  } else {
    close();
  }
}

void CSelectFileDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_F1:
      open_help(*services_.dialogs);
      event->accept();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();  // the dialog has no default action
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

}  // namespace pstorian
