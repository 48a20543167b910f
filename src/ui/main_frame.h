// CMainFrame, the main window: menu, toolbar, status bar, and a splitter with the folder tree
// (CLeftView) and the item list (CPstorianView). It owns the state of a recovery (the paths,
// the RecoveryTables, the worker threads and their flags), runs the Open PST flow from the
// file selection dialog to the export, starts the listing of a selected folder, and receives
// the workers' reports: each Reporter and JobHost call is served on the GUI thread while the
// calling worker waits.
//
// Stopping is cooperative: Stop and the close questions pause the worker at its job-control
// gate while the question is shown, then resume or cancel it; a cancelled worker unwinds and
// closes what it holds.
#pragma once

#include <QMainWindow>
#include <deque>
#include <memory>
#include <vector>

#include "engine/object_tables.h"
#include "job/progress_thread.h"
#include "job/reporter.h"
#include "job/second_thread.h"
#include "ui/select_file_dialog.h"
#include "ui/ui_services.h"

class QAction;
class QLabel;
class QSplitter;

namespace pstorian {

class CLeftView;
class CPstorianView;

// One folder inserted into the tree: which item stands for which name under which parent.
struct TreeEntry {
  TreeItemId item = kNoTreeItem;
  TreeItemId parent_item = kNoTreeItem;
  QString name;
};

// Command ids of the menu and toolbar, kept for reference by tests and help.
inline constexpr int kIdOpenPst = 32771;
inline constexpr int kIdExit = 32772;
inline constexpr int kIdStop = 32774;
inline constexpr int kIdHelpTopics = 57667;
inline constexpr int kIdAbout = 57664;

class CMainFrame final : public QMainWindow, public Reporter, public JobHost {
  Q_OBJECT

 public:
  explicit CMainFrame(UiServices services, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // Commands.
  void open_pst();
  // Open with `path` already chosen in the file selection dialog.
  void open_file(const QString& path);
  void stop();
  void exit_program();
  void help_topics();
  void about();
  // Called by the tree with the newly selected item.
  void folder_selected(TreeItemId item);

  // Reporter: the nine worker-to-window calls.
  void list_add_fields(const ListRowFields& row) override;
  void list_setup_columns() override;
  void list_clear_items() override;
  void tree_add_folder(FolderNodeRecord& folder, const FolderPlacement& placement) override;
  void tree_show_folder(TreeItemId item) override;
  TreeItemId tree_reset() override;
  void list_add_item(const ItemRowRecord& row) override;
  void status_populating(std::optional<std::string_view> folder_name) override;
  void status_clear() override;

  // JobHost.
  void show_message(std::string_view text, std::string_view caption) override;
  bool ask_yes_no(std::string_view text, std::string_view caption) override;
  void set_stop_enabled(bool enabled) override;
  void set_tree_ready(bool ready) override;
  void set_output_store_index(int index) override;

  // State, for the views and for inspection.
  CLeftView* left_view() const { return left_view_; }
  CPstorianView* list_view() const { return list_view_; }
  QString status_pane_text(int pane) const;
  const RecoverySelection& selection() const { return selection_; }
  const std::vector<TreeEntry>& tree_entries() const { return tree_entries_; }
  const std::deque<PathEntry>& path_list() const { return path_list_; }
  bool stop_enabled() const { return stop_enabled_; }
  bool open_enabled() const { return open_enabled_; }
  bool tree_ready() const { return tree_ready_; }
  bool job_running() const { return job_running_; }
  bool listing_running() const { return listing_running_; }
  TreeItemId root_item() const { return root_item_; }
  int output_store_index() const { return output_store_index_; }
  CProgressThread* job_thread() const { return job_thread_.get(); }
  CSecondThread* listing_thread() const { return listing_thread_.get(); }
  QAction* action(int command_id) const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void create_actions();
  void create_menu();
  void create_toolbar();
  void create_status_bar();
  void set_open_enabled(bool enabled);
  void start_export();
  void start_listing();
  void cancel_workers();
  // Waits, serving events, up to `timeout` for the workers to end; true if they did.
  bool wait_for_workers(std::chrono::milliseconds timeout);

  UiServices services_;
  QSplitter* splitter_ = nullptr;
  CLeftView* left_view_ = nullptr;
  CPstorianView* list_view_ = nullptr;
  QLabel* prompt_pane_ = nullptr;  // pane 0: command prompts, 300 pixels
  QLabel* job_pane_ = nullptr;     // pane 1: the job's texts, stretching
  QAction* open_action_ = nullptr;
  QAction* exit_action_ = nullptr;
  QAction* stop_action_ = nullptr;
  QAction* help_action_ = nullptr;
  QAction* about_action_ = nullptr;
  std::vector<QAction*> support_actions_;

  bool stop_enabled_ = false;
  int output_store_index_ = 0;
  RecoverySelection selection_;
  TreeItemId root_item_ = kNoTreeItem;
  RecoveryTables tables_;
  bool tree_ready_ = false;
  bool open_enabled_ = true;
  QString preselected_;  // the file the next file selection dialog starts with
  std::vector<TreeEntry> tree_entries_;
  std::deque<PathEntry> path_list_;
  bool job_running_ = false;
  bool listing_running_ = false;
  std::unique_ptr<CProgressThread> job_thread_;
  std::unique_ptr<CSecondThread> listing_thread_;
  // Listing threads replaced while still unwinding; joined at the end.
  std::vector<std::unique_ptr<CSecondThread>> retired_listings_;
};

}  // namespace pstorian
