// CSelectFileDialog, "Select file to repair": the user picks the damaged source file, may
// change the output folder, and presses Start; the scan then runs on a CProgressThread and
// drives the dialog's progress bar (0 to 500) and status line. When the scan ends it closes
// the dialog by itself. The dialog keeps no paths of its own: it writes them into the main
// window's RecoverySelection.
//
// Rules beyond the original design: Start never runs while the chosen file was not accepted
// (so the output can never be the source); the dialog never ends while the scan runs except
// through the question "Do you want to stop current process?" (Cancel, Escape and the close
// box all ask; Return does nothing); a scan stopped that way counts as stopped, so nothing is
// written from what it had found; the choosers start in the folder of the current source or
// output; and the progress bar stays full once the scan has stepped past its end.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "engine/object_tables.h"
#include "job/progress_thread.h"
#include "ui/ui_services.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace pstorian {

// The paths and flags of one recovery, members of the main window.
struct RecoverySelection {
  bool scan_started = false;  // Start was pressed in the last file selection dialog
  QString output_label;       // "Recovered"
  QString base_name;
  QString source_path;
  QString output_folder;
  QString output_path;

  RepairPaths paths() const;
};

class CSelectFileDialog final : public QDialog {
  Q_OBJECT

 public:
  CSelectFileDialog(RecoverySelection& selection, RecoveryTables& tables,
                    const UiServices& services, QWidget* parent = nullptr);
  ~CSelectFileDialog() override;

  bool source_chosen() const { return source_chosen_; }
  bool ask_before_closing() const { return ask_before_closing_; }
  bool scan_running() const { return scan_running_; }
  // The user stopped the scan (Yes to the stop question): what it found is not to be used.
  bool scan_stopped() const { return scan_stopped_; }
  // The scan ended without being able to open the source (gone, unreadable, no file).
  bool source_unreadable() const { return source_unreadable_; }
  // The scan thread, once Start was pressed.
  CProgressThread* scan_thread() const { return scan_thread_.get(); }

  void browse();
  // Takes `path` as the chosen source, as if Browse had returned it (a file dropped on the
  // main window comes in this way).
  void choose_source(const QString& path);
  void change();
  void start();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  class Progress;

  bool may_close();
  void scan_ended();

  RecoverySelection& selection_;
  RecoveryTables& tables_;
  const UiServices& services_;
  std::unique_ptr<Progress> progress_sink_;

  QLineEdit* source_edit_ = nullptr;
  QPushButton* browse_button_ = nullptr;
  QLineEdit* output_edit_ = nullptr;
  QPushButton* change_button_ = nullptr;
  QLabel* status_line_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QPushButton* start_button_ = nullptr;
  QPushButton* cancel_button_ = nullptr;

  bool source_chosen_ = false;
  bool ask_before_closing_ = true;
  bool scan_running_ = false;
  bool scan_ended_ = false;
  bool scan_stopped_ = false;
  bool source_unreadable_ = false;
  bool asking_ = false;
  bool closing_ = false;
  std::unique_ptr<CProgressThread> scan_thread_;
};

}  // namespace pstorian
