#include "job/job_control.h"

namespace pstorian {

bool JobControl::pass() {
  std::unique_lock lock(mutex_);
  if (paused_ && !cancelled_) {
    ++parked_;
    wake_.wait(lock, [this] { return !paused_ || cancelled_; });
    --parked_;
  }
  return !cancelled_;
}

void JobControl::pause() {
  std::lock_guard lock(mutex_);
  if (!cancelled_) paused_ = true;
}

void JobControl::resume() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
  }
  wake_.notify_all();
}

void JobControl::cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    paused_ = false;
  }
  wake_.notify_all();
}

bool JobControl::paused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

bool JobControl::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool JobControl::parked() const {
  std::lock_guard lock(mutex_);
  return parked_ > 0;
}

}  // namespace pstorian
