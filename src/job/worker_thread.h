// A worker thread with its job-control gate: the common part of the recovery job thread and
// the listing thread. The body runs once; whatever it throws is caught and kept, so a failing
// job never takes the program down. Destroying the object cancels the job and joins it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "job/job_control.h"

namespace pstorian {

class WorkerThread {
 public:
  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  ~WorkerThread();

  // Starts `body` on a new thread, then `finished` on the same thread (also after a throw).
  // Only the first call starts anything.
  void start(std::function<void()> body, std::function<void()> finished);

  JobControl& control() { return control_; }
  bool started() const { return thread_.joinable() || done_; }
  // True once the body and the finished step have returned.
  bool done() const { return done_; }
  // Waits up to `timeout` for the end of the thread; true when it has ended.
  bool wait_for(std::chrono::milliseconds timeout);
  // Waits for the end of the thread (no-op if it never started).
  void join();
  // What the body threw, empty if nothing.
  std::string error() const;

 private:
  JobControl control_;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  std::atomic<bool> done_ = false;
  std::string error_;
  std::thread thread_;  // last: joined before the members above go away
};

}  // namespace pstorian
