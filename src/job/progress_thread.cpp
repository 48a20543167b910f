#include "job/progress_thread.h"

namespace pstorian {

void CProgressThread::set_scan(std::string source_path, ScanFunction scan,
                               ProgressSink& progress) {
  source_path_ = std::move(source_path);
  scan_ = std::move(scan);
  progress_ = &progress;
}

void CProgressThread::set_export(std::unique_ptr<ExportJob> job, Reporter& reporter,
                                 JobHost& host) {
  export_job_ = std::move(job);
  reporter_ = &reporter;
  host_ = &host;
}

void CProgressThread::start() {
  worker_.start([this] { run(); }, finished_);
}

void CProgressThread::run() {
  if (scan_) {
    scan_outcome_ = scan_(source_path_, tables_, *progress_, worker_.control());
  } else if (export_job_) {
    export_job_->run(tables_, *reporter_, *host_, worker_.control());
    // The exporter's strings and helper objects go with the job, on the worker's thread.
    export_job_.reset();
  }
}

}  // namespace pstorian
