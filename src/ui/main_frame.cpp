#include "ui/main_frame.h"

#include <QAction>
#include <utility>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QUrl>

#include "ui/about_dialog.h"
#include "ui/gui_call.h"
#include "ui/help.h"
#include "ui/left_view.h"
#include "ui/pstorian_view.h"

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

}  // namespace

CMainFrame::CMainFrame(UiServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  static const bool registered = (register_resources(), true);
  (void)registered;
  if (!services_.dialogs) services_.dialogs = std::make_shared<QtUserDialogs>();
  if (!services_.end_process) services_.end_process = [](int) {};
  setWindowTitle(kAppTitle);
  setWindowIcon(QIcon(QStringLiteral(":/icons/pstorian.svg")));

  create_actions();
  create_menu();
  create_toolbar();
  create_status_bar();

  splitter_ = new QSplitter(Qt::Horizontal, this);
  left_view_ = new CLeftView(splitter_);
  list_view_ = new CPstorianView(splitter_);
  splitter_->addWidget(left_view_);
  splitter_->addWidget(list_view_);
  splitter_->setSizes({200, 600});
  setCentralWidget(splitter_);
  resize(1000, 600);

  connect(left_view_, &CLeftView::folder_selected, this, [this](TreeItemId item) {
    if (tree_ready_) folder_selected(item);
  });

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
  open_action_ = make(QStringLiteral("Open PST"), QStringLiteral("Select file to recover"),
                      QStringLiteral("Start Recovery"));
  open_action_->setIcon(toolbar_icon(QStringLiteral("open")));
  connect(open_action_, &QAction::triggered, this, &CMainFrame::open_pst);

  exit_action_ = make(QStringLiteral("Exit"), QStringLiteral("Exit from Application"),
                      QStringLiteral("Exit"));
  connect(exit_action_, &QAction::triggered, this, &CMainFrame::exit_program);

  stop_action_ = make(QStringLiteral("Stop"), QStringLiteral("Click to stop the current process"),
                      QStringLiteral("Stop"));
  stop_action_->setIcon(toolbar_icon(QStringLiteral("stop")));
  connect(stop_action_, &QAction::triggered, this, &CMainFrame::stop);

  help_action_ = make(QStringLiteral("&Help Topic"), QStringLiteral("List help topics"),
                      QStringLiteral("Help topics"));
  help_action_->setIcon(toolbar_icon(QStringLiteral("help")));
  connect(help_action_, &QAction::triggered, this, &CMainFrame::help_topics);

  about_action_ = make(QStringLiteral("&About Pstorian"),
                       QStringLiteral("Display program information, version & copyright"),
                       QStringLiteral("About"));
  connect(about_action_, &QAction::triggered, this, &CMainFrame::about);

  const struct {
    QString text, prompt, url;
  } support[] = {
      {QStringLiteral("&View our support section"), QStringLiteral("View our support section"),
       kSupportSection},
      {QStringLiteral("View our &knowledge base articles section"),
       QStringLiteral("View our knowledge base articles section"), kKnowledgeBase},
      {QStringLiteral("&Submit a ticket"), QStringLiteral("Submit a ticket"), kSubmitTicket},
  };
  for (const auto& entry : support) {
    QAction* action = make(entry.text, entry.prompt, entry.prompt);
    const QUrl url(entry.url);
    connect(action, &QAction::triggered, this, [this, url] { services_.dialogs->open_url(url); });
    support_actions_.push_back(action);
  }
}

void CMainFrame::create_menu() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->addAction(open_action_);
  file->addAction(exit_action_);
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(help_action_);
  help->addSeparator();
  help->addAction(about_action_);
  help->addSeparator();
  for (QAction* action : support_actions_) help->addAction(action);
}

void CMainFrame::create_toolbar() {
  QToolBar* toolbar = addToolBar(QStringLiteral("Toolbar"));
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
  prompt_pane_->setFixedWidth(300);
  job_pane_ = new QLabel(this);
  statusBar()->addWidget(prompt_pane_, 0);
  statusBar()->addWidget(job_pane_, 1);
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

// ---------------------------------------------------------------------------------------
// Commands

void CMainFrame::open_pst() {
  if (!open_enabled_) return;
  set_stop_enabled(false);
  output_store_index_ = 0;
  tables_.clear();

  {
    CSelectFileDialog dialog(selection_, tables_, services_, this);
    if (!preselected_.isEmpty()) dialog.choose_source(std::exchange(preselected_, QString()));
    dialog.exec();
  }  // the dialog waits for its scan to end before it goes

  if (tables_.objects.first_top_level() != kNoObject) {
    start_export();
  } else if (selection_.scan_started) {
    services_.dialogs->show_message(this, QStringLiteral("No records found"), kAppTitle,
                                    MessageIcon::Error);
  }
}

void CMainFrame::open_file(const QString& path) {
  preselected_ = path;
  open_pst();
  preselected_.clear();
}

void CMainFrame::start_export() {
  if (!services_.make_export) {
    services_.dialogs->show_message(
        this, QStringLiteral("This build of Pstorian cannot write the recovered file."),
        kAppTitle, MessageIcon::Error);
    return;
  }
  tree_entries_.clear();
  path_list_.clear();
  set_tree_ready(false);
  set_open_enabled(false);
  job_running_ = false;
  std::unique_ptr<ExportJob> job = services_.make_export(selection_.paths());
  if (!job) {
    set_open_enabled(true);
    return;
  }
  job_thread_ = std::make_unique<CProgressThread>(tables_);
  job_thread_->set_export(std::move(job), *this, *this);
  CProgressThread* thread = job_thread_.get();
  job_thread_->set_finished([this, thread] {
    // An export that failed outright says so rather than leaving the window waiting; what
    // it wrote so far can still be browsed.
    const std::string error = thread->worker().error();
    if (error.empty()) return;
    run_on_gui(this, [this, &error] {
      set_stop_enabled(false);
      job_pane_->clear();
      services_.dialogs->show_message(
          this, QStringLiteral("The repair stopped: %1").arg(QString::fromStdString(error)),
          kAppTitle, MessageIcon::Error);
      set_tree_ready(true);
    });
  });
  job_thread_->start();
  job_running_ = true;
  set_stop_enabled(true);
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
  if (services_.dialogs->ask_yes_no(this, QStringLiteral("Do you want to stop?"))) {
    set_stop_enabled(false);
    job_pane_->clear();
    cancel_workers();
  } else if (paused) {
    paused->resume();
  }
  set_tree_ready(true);
}

void CMainFrame::cancel_workers() {
  if (job_running_) {
    if (job_thread_) job_thread_->control().cancel();
    job_running_ = false;
  }
  if (listing_running_) {
    if (listing_thread_) listing_thread_->control().cancel();
    listing_running_ = false;
  }
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
  services_.end_process(0);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (!job_thread_) {
    // Nothing was ever started: the program ends without a question.
    event->ignore();
    services_.end_process(18);
    return;
  }
  job_thread_->control().pause();
  if (!services_.dialogs->ask_yes_no(this, QStringLiteral("Do you want to exit?"))) {
    job_thread_->control().resume();
    event->ignore();
    return;
  }
  set_stop_enabled(false);
  job_pane_->clear();
  cancel_workers();
  job_thread_->control().cancel();  // also ends the pause of a job that had finished
  wait_for_workers(kUnwindWait);
  services_.end_process(0);
  event->accept();
}

void CMainFrame::help_topics() { open_help(*services_.dialogs); }

void CMainFrame::about() {
  CAboutDialog dialog(*services_.dialogs, this);
  dialog.exec();
}

void CMainFrame::folder_selected(TreeItemId item) {
  // Walk up from the selected folder, putting each name in front: the list then runs from
  // the folder under "Root Folder" down to the selected one.
  TreeItemId current = item;
  while (current != kNoTreeItem) {
    const auto entry = std::find_if(tree_entries_.begin(), tree_entries_.end(),
                                    [current](const TreeEntry& e) { return e.item == current; });
    if (entry == tree_entries_.end()) break;
    path_list_.push_front(PathEntry{entry->name.toStdString()});
    current = entry->parent_item;
  }
  if (!listing_running_) start_listing();
}

void CMainFrame::start_listing() {
  if (!services_.make_lister) {
    path_list_.clear();
    return;
  }
  set_stop_enabled(false);
  if (listing_thread_ && !listing_thread_->worker().done()) {
    retired_listings_.push_back(std::move(listing_thread_));
  }
  listing_thread_ = std::make_unique<CSecondThread>();
  CSecondThread* thread = listing_thread_.get();
  thread->set_listing(services_.make_lister(selection_.paths(), output_store_index_),
                      {path_list_.begin(), path_list_.end()}, *this, *this);
  thread->set_finished([this, thread] {
    run_on_gui(this, [this, thread] {
      // A listing replaced after Stop must not touch its successor's state.
      if (listing_thread_.get() != thread) return;
      listing_running_ = false;
      path_list_.clear();
    });
  });
  thread->start();
  listing_running_ = true;
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
      switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_N:
          return true;
        case Qt::Key_F1:
          help_topics();
          return true;
        default:
          break;
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
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
  });
}

void CMainFrame::tree_show_folder(TreeItemId item) {
  run_on_gui(this, [&] { left_view_->show_folder(item); });
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
  const QString text = QString::fromStdString(populating_text(folder_name));
  run_on_gui(this, [&] { job_pane_->setText(text); });
}

void CMainFrame::status_clear() {
  run_on_gui(this, [&] { job_pane_->clear(); });
}

// ---------------------------------------------------------------------------------------
// JobHost

void CMainFrame::show_message(std::string_view text, std::string_view caption) {
  run_on_gui(this, [&] {
    services_.dialogs->show_message(this, from_utf8(text), from_utf8(caption),
                                    MessageIcon::Information);
  });
}

bool CMainFrame::ask_yes_no(std::string_view text, std::string_view caption) {
  bool yes = false;
  run_on_gui(this, [&] {
    yes = services_.dialogs->ask_yes_no(this, from_utf8(text), from_utf8(caption));
  });
  return yes;
}

void CMainFrame::set_stop_enabled(bool enabled) {
  run_on_gui(this, [&] {
    stop_enabled_ = enabled;
    stop_action_->setEnabled(enabled);
  });
}

void CMainFrame::set_tree_ready(bool ready) {
  run_on_gui(this, [&] { tree_ready_ = ready; });
}

void CMainFrame::set_output_store_index(int index) {
  run_on_gui(this, [&] { output_store_index_ = index; });
}

}  // namespace pstorian
