#include "job/worker_thread.h"

#include <exception>

namespace pstorian {

WorkerThread::~WorkerThread() {
  control_.cancel();
  join();
}

void WorkerThread::start(std::function<void()> body, std::function<void()> finished) {
  if (started()) return;
  thread_ = std::thread([this, body = std::move(body), finished = std::move(finished)] {
    auto guarded = [this](const std::function<void()>& step) {
      if (!step) return;
      try {
        step();
      } catch (const std::exception& e) {
        std::lock_guard lock(mutex_);
        if (error_.empty()) error_ = e.what();
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (error_.empty()) error_ = "unknown error";
      }
    };
    guarded(body);
    guarded(finished);
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
  });
}

bool WorkerThread::wait_for(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  std::unique_lock lock(mutex_);
  return ended_.wait_for(lock, timeout, [this] { return done_.load(); });
}

void WorkerThread::join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string WorkerThread::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

}  // namespace pstorian
