// CMainFrame, the main window: menu, toolbar, status bar, and a splitter with the folder tree
// (CLeftView) and the item list (CPstorianView). It owns the state of a recovery (the paths,
// the RecoveryTables, the worker threads and their flags), runs the Open PST flow from the
// file selection dialog to the export, starts the listing of a folder the user selects, opens
// a listed item in a read-only view, and receives the workers' reports: each Reporter and
// JobHost call is served on the GUI thread while the calling worker waits.
//
// Stopping is cooperative: Stop and the close question pause the worker at its job-control
// gate while the question is shown, then resume or cancel it; a cancelled worker unwinds and
// closes what it holds, so the output store is always left valid.
//
// Rules that hold beyond the original design:
//   - Open PST is available whenever no scan or export runs, so one run repairs any number
//     of files; a listing still running is stopped first.
//   - A listing starts only on the user's own selection in the tree, never on the export's
//     showing of the folder it fills; and the export and a listing each say for themselves
//     whether Stop applies, so a listing that ends leaves Stop enabled for an export.
//   - A scan stopped by the user writes nothing, and the user is told so.
//   - Closing asks "Do you want to exit?" only while an export runs, and ends with status 0.
//   - The window keeps its size, position and splitter in the user's settings, and fits the
//     screen it opens on.
#pragma once

#include <QMainWindow>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/object_tables.h"
#include "job/progress_thread.h"
#include "job/reporter.h"
#include "job/second_thread.h"
#include "ui/select_file_dialog.h"
#include "ui/ui_services.h"

class QAction;
class QLabel;
class QMimeData;
class QSettings;
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

// The user's own settings of the program (window size and place, splitter).
QSettings user_settings();

class CMainFrame final : public QMainWindow, public Reporter, public JobHost {
  Q_OBJECT

 public:
  explicit CMainFrame(UiServices services, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // Commands. open_pst with a path starts the file selection dialog with that file chosen.
  void open_pst(const QString& source = {});
  void stop();
  void exit_program();
  void help_topics();
  void about();
  // Called by the tree when the user selected another folder.
  void folder_selected(TreeItemId item);
  // Opens the item of the list's row `row` in a read-only view; false when it could not be
  // read (the user was told why).
  bool open_item(int row);

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

  // JobHost, as the export sees it (a listing has its own, see ListingHost).
  void show_message(std::string_view text, std::string_view caption) override;
  bool ask_yes_no(std::string_view text, std::string_view caption) override;
  void set_stop_enabled(bool enabled) override;
  void set_tree_ready(bool ready) override;
  void set_output_store_index(int index) override;

  // State, for the views and for inspection.
  CLeftView* left_view() const { return left_view_; }
  CPstorianView* list_view() const { return list_view_; }
  QSplitter* splitter() const { return splitter_; }
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
  // The output file whose folders the tree shows.
  const QString& shown_output_path() const { return shown_output_path_; }
  // The folder path (names from under "Root Folder" down) that the list's rows come from.
  const std::vector<std::string>& listed_path() const { return listed_path_; }
  CProgressThread* job_thread() const { return job_thread_.get(); }
  CSecondThread* listing_thread() const { return listing_thread_.get(); }
  QAction* action(int command_id) const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  class ListingHost;

  void create_actions();
  void create_menu();
  void create_toolbar();
  void create_status_bar();
  void restore_window();
  void save_window();
  void set_open_enabled(bool enabled);
  void update_stop();
  void start_export();
  // What to say when the scan found nothing: why the file could not be read, or that it
  // holds no records.
  QString nothing_found_text(bool unreadable) const;
  void export_ended();
  void start_listing();
  void cancel_workers();
  void end_listing();
  // The names from under "Root Folder" down to `item`.
  std::vector<std::string> path_of(TreeItemId item) const;
  // Waits, serving events, up to `timeout` for the workers to end; true if they did.
  bool wait_for_workers(std::chrono::milliseconds timeout);
  // The single .pst file a drag carries, or empty.
  QString dragged_source(const QMimeData* mime) const;

  UiServices services_;
  std::unique_ptr<ListingHost> listing_host_;
  QSplitter* splitter_ = nullptr;
  CLeftView* left_view_ = nullptr;
  CPstorianView* list_view_ = nullptr;
  QLabel* prompt_pane_ = nullptr;  // pane 0: command prompts
  QLabel* job_pane_ = nullptr;     // pane 1: the job's texts, stretching
  QAction* open_action_ = nullptr;
  QAction* exit_action_ = nullptr;
  QAction* stop_action_ = nullptr;
  QAction* help_action_ = nullptr;
  QAction* about_action_ = nullptr;
  std::vector<QAction*> support_actions_;

  bool stop_enabled_ = false;
  bool export_stop_ = false;   // the export asks for Stop
  bool listing_stop_ = false;  // the listing asks for Stop
  int output_store_index_ = 0;
  RecoverySelection selection_;
  QString shown_output_path_;
  TreeItemId root_item_ = kNoTreeItem;
  RecoveryTables tables_;
  bool tree_ready_ = false;
  bool open_enabled_ = true;
  std::vector<TreeEntry> tree_entries_;
  // Where each item's entry is in tree_entries_: a path is found in steps of its depth, not
  // of the whole tree, which the export asks for at every folder it fills.
  std::unordered_map<TreeItemId, std::size_t> tree_entry_of_;
  std::deque<PathEntry> path_list_;
  std::vector<std::string> listed_path_;
  bool job_running_ = false;
  bool listing_running_ = false;
  bool window_saved_ = false;
  std::unique_ptr<CProgressThread> job_thread_;
  std::unique_ptr<CSecondThread> listing_thread_;
  // Listing threads replaced while still unwinding; joined at the end.
  std::vector<std::unique_ptr<CSecondThread>> retired_listings_;
};

}  // namespace pstorian
