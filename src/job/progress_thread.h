// CProgressThread runs one recovery job on its own thread, in one of two modes chosen by what
// the creator sets before start():
//   - scan mode: a scan of the source file fills the RecoveryTables while driving a progress
//     sink (the file selection dialog's bar and status line); when it returns, the finished
//     step closes the dialog;
//   - export mode: an export job writes what the tables hold into the output store, reporting
//     to the main window.
// Neither set: start() runs nothing. The tables belong to the creator and must outlive the
// thread; they are used by one job at a time.
//
// The scan and the export are given as a callable and an interface, so that this layer does
// not depend on how they are built.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/object_tables.h"
#include "engine/pst_scanner.h"
#include "engine/progress.h"
#include "job/reporter.h"
#include "job/worker_thread.h"

namespace pstorian {

// A scan of `source_path` into `tables`; it must pass `gate` at every probe page and stop
// early when the gate says so. It tells whether the file could be opened at all.
using ScanFunction =
    std::function<ScanOutcome(const std::string& source_path, RecoveryTables& tables,
                              ProgressSink& progress, JobGate& gate)>;

// The export of a repair. It passes `gate` at every object and, when cancelled, unwinds so
// that the output store is left closed and valid.
class ExportJob {
 public:
  virtual ~ExportJob() = default;
  virtual void run(RecoveryTables& tables, Reporter& reporter, JobHost& host, JobGate& gate) = 0;
};

class CProgressThread {
 public:
  explicit CProgressThread(RecoveryTables& tables) : tables_(tables) {}
  CProgressThread(const CProgressThread&) = delete;
  CProgressThread& operator=(const CProgressThread&) = delete;
  ~CProgressThread() = default;

  // Scan mode. `progress` must outlive the thread.
  void set_scan(std::string source_path, ScanFunction scan, ProgressSink& progress);
  // Export mode; used only when no scan was set. `reporter` and `host` must outlive the thread.
  void set_export(std::unique_ptr<ExportJob> job, Reporter& reporter, JobHost& host);
  // Runs on the worker after the job, also when the job threw (the scan's end closes the
  // dialog this way).
  void set_finished(std::function<void()> finished) { finished_ = std::move(finished); }

  void start();

  bool scan_mode() const { return static_cast<bool>(scan_); }
  // What the scan said of itself, once the thread has ended.
  ScanOutcome scan_outcome() const { return scan_outcome_; }
  bool export_mode() const { return !scan_ && export_job_ != nullptr; }
  JobControl& control() { return worker_.control(); }
  // The thread itself: whether it has ended, waiting for it, what it threw.
  WorkerThread& worker() { return worker_; }
  const WorkerThread& worker() const { return worker_; }

 private:
  void run();

  RecoveryTables& tables_;
  std::string source_path_;
  ScanFunction scan_;
  ScanOutcome scan_outcome_ = ScanOutcome::kCompleted;
  ProgressSink* progress_ = nullptr;
  std::unique_ptr<ExportJob> export_job_;
  Reporter* reporter_ = nullptr;
  JobHost* host_ = nullptr;
  std::function<void()> finished_;
  WorkerThread worker_;  // last: joined before the job parameters go away
};

}  // namespace pstorian
