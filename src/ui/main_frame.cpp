#include "ui/main_frame.h"

#include <QAction>
#include <cerrno>
#include <cstring>
#include <utility>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QUrl>

#include "engine/byte_source.h"
#include "export/pst_exporter.h"
#include "job/output_naming.h"
#include "ui/about_dialog.h"
#include "ui/gui_call.h"
#include "ui/help.h"
#include "ui/item_view.h"
#include "ui/left_view.h"
#include "ui/pstorian_view.h"
#include "ui/worker_texts.h"

// The pictures are compiled into this static library; a library's resources must be
// registered by hand (outside any namespace) before first use.
static void register_resources() { Q_INIT_RESOURCE(pstorian); }

namespace pstorian {

namespace {

using namespace std::chrono_literals;

QString from_utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A toolbar picture in its three looks: normal, hot (under the mouse) and disabled.
QIcon toolbar_icon(const QString& name) {
  QIcon icon;
  const QString base = QStringLiteral(":/icons/toolbar/%1").arg(name);
  icon.addFile(base + QStringLiteral(".svg"), QSize(32, 32), QIcon::Normal);
  icon.addFile(base + QStringLiteral("-hot.svg"), QSize(32, 32), QIcon::Active);
  icon.addFile(base + QStringLiteral("-disabled.svg"), QSize(32, 32), QIcon::Disabled);
  return icon;
}

// Where the maker's support pages are.
const QString kSupportSection = QStringLiteral("https://www.corvane.example/pstorian/support");
const QString kKnowledgeBase = QStringLiteral("https://www.corvane.example/pstorian/kb");
const QString kSubmitTicket = QStringLiteral("https://www.corvane.example/pstorian/ticket");

// How long Exit and a confirmed close let workers unwind before the program ends.
constexpr auto kUnwindWait = 5000ms;

// The window's size before the user chose one, and the share of the screen it may take.
constexpr QSize kPreferredSize(1000, 600);
constexpr double kScreenShare = 0.9;

const QString kGeometryKey = QStringLiteral("window/geometry");
const QString kSplitterKey = QStringLiteral("window/splitter");

}  // namespace

QSettings user_settings() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Corvane"),
                   QStringLiteral("Pstorian"));
}

// What a listing may ask of the window: its Stop wish is its own, kept apart from the
// export's, and it has no say over the tree or the output store.
class CMainFrame::ListingHost final : public JobHost {
 public:
  explicit ListingHost(CMainFrame& frame) : frame_(frame) {}
  void show_message(std::string_view text, std::string_view caption) override {
    frame_.show_message(text, caption);
  }
  bool ask_yes_no(std::string_view text, std::string_view caption) override {
    return frame_.ask_yes_no(text, caption);
  }
  void set_stop_enabled(bool enabled) override {
    run_on_gui(&frame_, [&] {
      frame_.listing_stop_ = enabled;
      frame_.update_stop();
    });
  }
  void set_tree_ready(bool) override {}
  void set_output_store_index(int) override {}

 private:
  CMainFrame& frame_;
};

CMainFrame::CMainFrame(UiServices services, QWidget* parent)
    : QMainWindow(parent),
      services_(std::move(services)),
      listing_host_(std::make_unique<ListingHost>(*this)) {
  static const bool registered = (register_resources(), true);
  (void)registered;
  if (!services_.dialogs) services_.dialogs = std::make_shared<QtUserDialogs>();
  if (!services_.end_process) services_.end_process = [](int) {};
  setWindowTitle(kAppTitle);
  setWindowIcon(QIcon(QStringLiteral(":/icons/pstorian.svg")));
  setAcceptDrops(true);

  create_actions();
  create_menu();
  create_toolbar();
  create_status_bar();

  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setObjectName(QStringLiteral("splitter"));
  left_view_ = new CLeftView(splitter_);
  list_view_ = new CPstorianView(splitter_);
  splitter_->addWidget(left_view_);
  splitter_->addWidget(list_view_);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({250, 750});
  setCentralWidget(splitter_);
  restore_window();

  connect(left_view_, &CLeftView::folder_selected, this, [this](TreeItemId item) {
    if (tree_ready_) folder_selected(item);
  });
  connect(list_view_, &CPstorianView::row_activated, this, &CMainFrame::open_item);

  selection_.scan_started = false;
  set_stop_enabled(false);
  set_open_enabled(true);
  qApp->installEventFilter(this);
}

CMainFrame::~CMainFrame() {
  qApp->removeEventFilter(this);
  // Workers still running report into this window while they unwind: serve them until done.
  cancel_workers();
  if (job_thread_) job_thread_->control().cancel();
  if (listing_thread_) listing_thread_->control().cancel();
  for (auto& retired : retired_listings_) retired->control().cancel();
  wait_for_workers(std::chrono::hours(1));
}

void CMainFrame::create_actions() {
  auto make = [this](const QString& text, const QString& prompt, const QString& tip) {
    auto* action = new QAction(text, this);
    action->setStatusTip(prompt);
    action->setToolTip(tip);
    return action;
  };
  open_action_ = make(tr("&Open PST..."), tr("Select file to recover"), tr("Start Recovery"));
  open_action_->setIcon(toolbar_icon(QStringLiteral("open")));
  // Spelled out: the standard keys follow the platform theme, and some themes bind no Quit.
  open_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  connect(open_action_, &QAction::triggered, this, [this] { open_pst(); });

  exit_action_ = make(tr("E&xit"), tr("Exit from Application"), tr("Exit"));
  exit_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  exit_action_->setMenuRole(QAction::QuitRole);
  connect(exit_action_, &QAction::triggered, this, &CMainFrame::exit_program);

  stop_action_ = make(tr("&Stop"), tr("Click to stop the current process"), tr("Stop"));
  stop_action_->setIcon(toolbar_icon(QStringLiteral("stop")));
  // Escape stops while there is something to stop; otherwise the window ignores it.
  stop_action_->setShortcut(QKeySequence(Qt::Key_Escape));
  connect(stop_action_, &QAction::triggered, this, &CMainFrame::stop);

  help_action_ = make(tr("&Help Topic"), tr("List help topics"), tr("Help topics"));
  help_action_->setIcon(toolbar_icon(QStringLiteral("help")));
  help_action_->setShortcut(QKeySequence(Qt::Key_F1));
  connect(help_action_, &QAction::triggered, this, &CMainFrame::help_topics);

  about_action_ = make(tr("&About Pstorian"), tr("Display program information, version & copyright"),
                       tr("About"));
  about_action_->setMenuRole(QAction::AboutRole);
  connect(about_action_, &QAction::triggered, this, &CMainFrame::about);

  const struct {
    QString text, prompt, url;
  } support[] = {
      {tr("&View our support section"), tr("View our support section"), kSupportSection},
      {tr("View our &knowledge base articles section"),
       tr("View our knowledge base articles section"), kKnowledgeBase},
      {tr("&Submit a ticket"), tr("Submit a ticket"), kSubmitTicket},
  };
  for (const auto& entry : support) {
    QAction* action = make(entry.text, entry.prompt, entry.prompt);
    const QUrl url(entry.url);
    connect(action, &QAction::triggered, this, [this, url] { services_.dialogs->open_url(url); });
    support_actions_.push_back(action);
  }
}

void CMainFrame::create_menu() {
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(open_action_);
  file->addAction(stop_action_);
  file->addSeparator();
  file->addAction(exit_action_);
  QMenu* help = menuBar()->addMenu(tr("&Help"));
  help->addAction(help_action_);
  help->addSeparator();
  help->addAction(about_action_);
  help->addSeparator();
  for (QAction* action : support_actions_) help->addAction(action);
}

void CMainFrame::create_toolbar() {
  QToolBar* toolbar = addToolBar(tr("Toolbar"));
  toolbar->setObjectName(QStringLiteral("mainToolbar"));
  toolbar->setIconSize(QSize(32, 32));
  toolbar->setAllowedAreas(Qt::AllToolBarAreas);
  toolbar->addAction(open_action_);
  toolbar->addSeparator();
  toolbar->addAction(stop_action_);
  toolbar->addSeparator();
  toolbar->addAction(help_action_);
}

void CMainFrame::create_status_bar() {
  prompt_pane_ = new QLabel(this);
  prompt_pane_->setMinimumWidth(fontMetrics().averageCharWidth() * 40);
  job_pane_ = new QLabel(this);
  statusBar()->addWidget(prompt_pane_, 0);
  statusBar()->addWidget(job_pane_, 1);
}

void CMainFrame::restore_window() {
  const QSettings settings = user_settings();
  const QByteArray geometry = settings.value(kGeometryKey).toByteArray();
  // restoreGeometry moves a window that would be off every screen back onto one.
  if (geometry.isEmpty() || !restoreGeometry(geometry)) {
    QSize size = kPreferredSize;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect available = screen->availableGeometry();
      size = size.boundedTo(QSize(static_cast<int>(available.width() * kScreenShare),
                                  static_cast<int>(available.height() * kScreenShare)));
      resize(size);
      move(available.center() - rect().center());
    } else {
      resize(size);
    }
  }
  const QByteArray splitter = settings.value(kSplitterKey).toByteArray();
  if (!splitter.isEmpty()) splitter_->restoreState(splitter);
}

void CMainFrame::save_window() {
  QSettings settings = user_settings();
  settings.setValue(kGeometryKey, saveGeometry());
  settings.setValue(kSplitterKey, splitter_->saveState());
  window_saved_ = true;
}

QString CMainFrame::status_pane_text(int pane) const {
  return pane == 0 ? prompt_pane_->text() : job_pane_->text();
}

QAction* CMainFrame::action(int command_id) const {
  switch (command_id) {
    case kIdOpenPst: return open_action_;
    case kIdExit: return exit_action_;
    case kIdStop: return stop_action_;
    case kIdHelpTopics: return help_action_;
    case kIdAbout: return about_action_;
    default: return nullptr;
  }
}

void CMainFrame::set_open_enabled(bool enabled) {
  open_enabled_ = enabled;
  open_action_->setEnabled(enabled);
}

void CMainFrame::update_stop() {
  stop_enabled_ = export_stop_ || listing_stop_;
  stop_action_->setEnabled(stop_enabled_);
}

// ---------------------------------------------------------------------------------------
// Commands

void CMainFrame::open_pst(const QString& source) {
  if (!open_enabled_) return;
  // A listing of the previous output would go on reporting into the list the new repair
  // fills: it ends first.
  if (listing_running_) {
    end_listing();
    wait_for_workers(kUnwindWait);
  }
  export_stop_ = listing_stop_ = false;
  update_stop();
  tables_.clear();

  bool stopped = false;
  bool unreadable = false;
  {
    CSelectFileDialog dialog(selection_, tables_, services_, this);
    if (!source.isEmpty()) dialog.choose_source(source);
    dialog.exec();
    stopped = dialog.scan_stopped();
    unreadable = dialog.source_unreadable();
  }  // the dialog waits for its scan to end before it goes

  if (stopped) {
    tables_.clear();
    services_.dialogs->show_message(this, tr("The scan was stopped. Nothing was written."),
                                    kAppTitle, MessageIcon::Information);
  } else if (tables_.objects.first_top_level() != kNoObject) {
    start_export();
  } else if (selection_.scan_started) {
    services_.dialogs->show_message(this, nothing_found_text(unreadable), kAppTitle,
                                    MessageIcon::Error);
  }
}

QString CMainFrame::nothing_found_text(bool unreadable) const {
  // A file that could not be read at all is no file without records: say why.
  const std::string path = QFile::encodeName(selection_.source_path).toStdString();
  if (unreadable && !SourceFile::open(path)) {
    const int reason = errno;
    return tr("The selected file %1 cannot be read: %2. Nothing was recovered.")
        .arg(QDir::toNativeSeparators(selection_.source_path),
             reason != 0 ? QString::fromLocal8Bit(std::strerror(reason))
                         : tr("it is not a regular file"));
  }
  return tr("No records found");
}

void CMainFrame::start_export() {
  if (!services_.make_export) {
    services_.dialogs->show_message(this, tr("This build of Pstorian cannot write the recovered file."),
                                    kAppTitle, MessageIcon::Error);
    return;
  }
  std::unique_ptr<ExportJob> job = services_.make_export(selection_.paths());
  if (!job) return;
  tree_entries_.clear();
  tree_entry_of_.clear();
  path_list_.clear();
  listed_path_.clear();
  output_store_index_ = 0;
  shown_output_path_ = selection_.output_path;
  set_tree_ready(false);
  set_open_enabled(false);
  job_thread_ = std::make_unique<CProgressThread>(tables_);
  job_thread_->set_export(std::move(job), *this, *this);
  CProgressThread* thread = job_thread_.get();
  job_thread_->set_finished([this, thread] {
    const std::string error = thread->worker().error();
    run_on_gui(this, [this, &error] {
      if (!error.empty()) {
        // An export that failed outright says so rather than leaving the window waiting;
        // what it wrote so far can still be browsed.
        job_pane_->clear();
        services_.dialogs->show_message(
            this, tr("The repair stopped: %1").arg(QString::fromStdString(error)), kAppTitle,
            MessageIcon::Error);
      }
      export_ended();
    });
  });
  job_running_ = true;
  export_stop_ = true;
  update_stop();
  job_thread_->start();
}

void CMainFrame::export_ended() {
  job_running_ = false;
  export_stop_ = false;
  update_stop();
  tree_ready_ = true;
  set_open_enabled(true);
}

void CMainFrame::stop() {
  if (!stop_enabled_) return;
  JobControl* paused = nullptr;
  if (job_running_ && job_thread_) {
    paused = &job_thread_->control();
  } else if (listing_running_ && listing_thread_) {
    paused = &listing_thread_->control();
  }
  if (paused) paused->pause();
  if (services_.dialogs->ask_yes_no(this, tr("Do you want to stop?"))) {
    export_stop_ = listing_stop_ = false;
    update_stop();
    job_pane_->clear();
    cancel_workers();
  } else if (paused) {
    paused->resume();
  }
  set_tree_ready(true);
}

void CMainFrame::cancel_workers() {
  // Open PST stays disabled until the export's thread has ended (export_ended): a new repair
  // waits for a cancelled export to close its store.
  if (job_running_) {
    if (job_thread_) job_thread_->control().cancel();
    job_running_ = false;
  }
  end_listing();
}

void CMainFrame::end_listing() {
  if (!listing_running_) return;
  if (listing_thread_) listing_thread_->control().cancel();
  listing_running_ = false;
  listing_stop_ = false;
  update_stop();
  path_list_.clear();
}

bool CMainFrame::wait_for_workers(std::chrono::milliseconds timeout) {
  return wait_processing_events(
      [this] {
        auto ended = [](const WorkerThread& worker) { return !worker.started() || worker.done(); };
        if (job_thread_ && !ended(job_thread_->worker())) return false;
        if (listing_thread_ && !ended(listing_thread_->worker())) return false;
        for (const auto& retired : retired_listings_) {
          if (!ended(retired->worker())) return false;
        }
        return true;
      },
      timeout);
}

void CMainFrame::exit_program() {
  cancel_workers();
  wait_for_workers(kUnwindWait);
  save_window();
  services_.end_process(0);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (job_running_ && job_thread_) {
    job_thread_->control().pause();
    if (!services_.dialogs->ask_yes_no(this, tr("Do you want to exit?"))) {
      job_thread_->control().resume();
      event->ignore();
      return;
    }
    export_stop_ = listing_stop_ = false;
    update_stop();
    job_pane_->clear();
  }
  cancel_workers();
  if (job_thread_) job_thread_->control().cancel();  // also ends the pause of a finished job
  wait_for_workers(kUnwindWait);
  save_window();
  services_.end_process(0);
  event->accept();
}

void CMainFrame::help_topics() { open_help(*services_.dialogs); }

void CMainFrame::about() {
  CAboutDialog dialog(*services_.dialogs, this);
  dialog.exec();
}

std::vector<std::string> CMainFrame::path_of(TreeItemId item) const {
  // Walk up from the folder, putting each name in front: the path then runs from the folder
  // under "Root Folder" down to this one.
  std::deque<std::string> names;
  TreeItemId current = item;
  // A parent is always added before its children, so the walk ends; the bound holds even so.
  for (std::size_t steps = 0; current != kNoTreeItem && steps < tree_entries_.size(); ++steps) {
    const auto at = tree_entry_of_.find(current);
    if (at == tree_entry_of_.end()) break;
    const TreeEntry& entry = tree_entries_[at->second];
    names.push_front(entry.name.toStdString());
    current = entry.parent_item;
  }
  return {names.begin(), names.end()};
}

void CMainFrame::folder_selected(TreeItemId item) {
  const std::vector<std::string> path = path_of(item);
  for (auto name = path.rbegin(); name != path.rend(); ++name) path_list_.push_front(PathEntry{*name});
  listed_path_ = path;
  // The rows of the folder shown before are not this folder's, whatever the listing finds.
  list_view_->clear_rows();
  if (!listing_running_) start_listing();
}

void CMainFrame::start_listing() {
  if (!services_.make_lister) {
    path_list_.clear();
    return;
  }
  if (listing_thread_ && !listing_thread_->worker().done()) {
    retired_listings_.push_back(std::move(listing_thread_));
  }
  listing_thread_ = std::make_unique<CSecondThread>();
  CSecondThread* thread = listing_thread_.get();
  thread->set_listing(services_.make_lister(selection_.paths(), output_store_index_),
                      {path_list_.begin(), path_list_.end()}, *this, *listing_host_);
  thread->set_finished([this, thread] {
    run_on_gui(this, [this, thread] {
      // A listing replaced after Stop must not touch its successor's state.
      if (listing_thread_.get() != thread) return;
      listing_running_ = false;
      listing_stop_ = false;
      update_stop();
      path_list_.clear();
    });
  });
  listing_running_ = true;
  thread->start();
}

bool CMainFrame::open_item(int row) {
  if (row < 0 || row >= list_view_->topLevelItemCount() || job_running_) return false;
  if (!services_.make_item_reader || output_store_index_ <= 0) return false;
  ItemLocation location;
  location.folder_path = listed_path_;
  location.row = row;
  location.subject = list_view_->topLevelItem(row)->text(2);
  for (int i = 0; i < row; ++i) {
    if (list_view_->topLevelItem(i)->text(2) == location.subject) ++location.subject_occurrence;
  }
  QString error;
  std::optional<StoredItem> item;
  {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto reader = services_.make_item_reader(output_store_index_);
    if (reader) item = reader->read(location, error);
    QApplication::restoreOverrideCursor();
  }
  if (!item) {
    services_.dialogs->show_message(
        this, tr("The item could not be read from the recovered file: %1").arg(error), kAppTitle,
        MessageIcon::Error);
    return false;
  }
  auto* view = new CItemView(std::move(*item), *services_.dialogs, this);
  view->setAttribute(Qt::WA_DeleteOnClose);
  view->show();
  return true;
}

// ---------------------------------------------------------------------------------------
// Events

bool CMainFrame::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    // Command prompts go to pane 0 only; pane 1 keeps the job's text.
    prompt_pane_->setText(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget != nullptr && widget->window() == this) {
      const auto* key = static_cast<QKeyEvent*>(event);
      switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
          // Return opens the current item of the list, and does nothing elsewhere.
          if (widget == list_view_ || list_view_->isAncestorOf(widget)) {
            if (list_view_->currentItem() != nullptr)
              open_item(list_view_->indexOfTopLevelItem(list_view_->currentItem()));
          }
          return true;
        case Qt::Key_Escape:
          // An item view may keep Escape from the Stop shortcut for itself: it stops here.
          if (stop_enabled_) stop();
          return true;
        case Qt::Key_N:
          return true;
        default:
          break;
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

QString CMainFrame::dragged_source(const QMimeData* mime) const {
  if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) return {};
  const QUrl url = mime->urls().constFirst();
  if (!url.isLocalFile()) return {};
  const QString path = url.toLocalFile();
  if (!accepted_pst_extension(QFile::encodeName(path).toStdString())) return {};
  return path;
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
  if (open_enabled_ && !dragged_source(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void CMainFrame::dropEvent(QDropEvent* event) {
  const QString path = dragged_source(event->mimeData());
  if (!open_enabled_ || path.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // The dialog is modal: it opens once the drop has been answered.
  QMetaObject::invokeMethod(this, [this, path] { open_pst(path); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------
// Reporter

void CMainFrame::list_add_fields(const ListRowFields& row) {
  run_on_gui(this, [&] {
    list_view_->add_row(from_utf8(row.sender), from_utf8(row.receiver), from_utf8(row.subject),
                        from_utf8(row.date));
  });
}

void CMainFrame::list_setup_columns() {
  run_on_gui(this, [&] { list_view_->setup_columns(); });
}

void CMainFrame::list_clear_items() {
  run_on_gui(this, [&] { list_view_->clear_rows(); });
}

void CMainFrame::tree_add_folder(FolderNodeRecord& folder, const FolderPlacement& placement) {
  run_on_gui(this, [&] {
    folder.tree_item = left_view_->add_folder(folder, placement);
    tree_entries_.push_back(TreeEntry{folder.tree_item, placement.parent_tree_item,
                                      QString::fromUtf8(folder.name).left(249)});
    tree_entry_of_.try_emplace(folder.tree_item, tree_entries_.size() - 1);
  });
}

void CMainFrame::tree_show_folder(TreeItemId item) {
  run_on_gui(this, [&] {
    left_view_->show_folder(item);
    // The export fills this folder next: its rows are this folder's items.
    listed_path_ = path_of(item);
  });
}

TreeItemId CMainFrame::tree_reset() {
  run_on_gui(this, [&] { root_item_ = left_view_->reset_tree(); });
  return root_item_;
}

void CMainFrame::list_add_item(const ItemRowRecord& row) {
  run_on_gui(this, [&] {
    list_view_->add_row(QString::fromStdString(row.sender), QString::fromStdString(row.receiver),
                        QString::fromStdString(row.subject), QString::fromStdString(row.date));
  });
}

void CMainFrame::status_populating(std::optional<std::string_view> folder_name) {
  run_on_gui(this, [&] {
    if (folder_name) {
      job_pane_->setText(tr("Populating folder %1").arg(from_utf8(*folder_name)));
    } else {
      job_pane_->setText(tr("populating folder Lost&Found"));
      // Items whose folder was not found go to "Lost&Found" at the top of the store.
      listed_path_ = {"Lost&Found"};
    }
  });
}

void CMainFrame::status_clear() {
  run_on_gui(this, [&] { job_pane_->clear(); });
}

// ---------------------------------------------------------------------------------------
// JobHost

void CMainFrame::show_message(std::string_view text, std::string_view caption) {
  run_on_gui(this, [&] {
    const QString shown = WorkerTexts::translated(text);
    const QString shown_caption = WorkerTexts::translated(caption);
    if (WorkerTexts::is_completion(text) && !shown_output_path_.isEmpty()) {
      const QString path = QDir::toNativeSeparators(shown_output_path_);
      if (services_.dialogs->show_message_offering_folder(
              this, tr("%1.\n\nThe recovered file is %2").arg(shown, path), shown_caption)) {
        services_.dialogs->open_url(
            QUrl::fromLocalFile(QFileInfo(shown_output_path_).absolutePath()));
      }
      return;
    }
    services_.dialogs->show_message(this, shown, shown_caption, WorkerTexts::icon_of(text));
  });
}

bool CMainFrame::ask_yes_no(std::string_view text, std::string_view caption) {
  bool yes = false;
  run_on_gui(this, [&] {
    yes = services_.dialogs->ask_yes_no(this, WorkerTexts::translated(text),
                                        WorkerTexts::translated(caption));
  });
  return yes;
}

void CMainFrame::set_stop_enabled(bool enabled) {
  run_on_gui(this, [&] {
    export_stop_ = enabled;
    update_stop();
  });
}

void CMainFrame::set_tree_ready(bool ready) {
  run_on_gui(this, [&] { tree_ready_ = ready; });
}

void CMainFrame::set_output_store_index(int index) {
  run_on_gui(this, [&] { output_store_index_ = index; });
}

}  // namespace pstorian
