// The job-control gate of one worker: the user-interface side pauses, resumes or cancels the
// job, the worker passes the gate at every safe point (each probe page, each object, each
// item). Stopping is cooperative: a paused worker waits inside pass(), a cancelled one gets
// false from pass() and unwinds normally, closing what it holds.
#pragma once

#include <condition_variable>
#include <mutex>

#include "engine/progress.h"

namespace pstorian {

class JobControl final : public JobGate {
 public:
  JobControl() = default;
  JobControl(const JobControl&) = delete;
  JobControl& operator=(const JobControl&) = delete;

  // Worker side: blocks while paused; false once cancelled (also when cancelled while
  // waiting here), true otherwise.
  bool pass() override;

  // Controller side. pause() takes effect at the worker's next pass(); resume() and
  // cancel() wake a waiting worker. Cancelling is final and also ends a pause.
  void pause();
  void resume();
  void cancel();

  bool paused() const;
  bool cancelled() const;
  // True while a worker waits inside pass() because of a pause.
  bool parked() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool paused_ = false;
  bool cancelled_ = false;
  int parked_ = 0;
};

}  // namespace pstorian
