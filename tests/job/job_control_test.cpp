#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "job/job_control.h"

namespace pstorian {
namespace {

using namespace std::chrono_literals;

// Waits until `condition` holds, at most two seconds.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

// A worker that passes the gate in a loop, counting its passes, until the gate says stop.
struct LoopingWorker {
  explicit LoopingWorker(JobControl& gate)
      : thread([this, &gate] {
          while (gate.pass()) {
            ++passes;
            std::this_thread::sleep_for(100us);
          }
          stopped = true;
        }) {}
  ~LoopingWorker() { thread.join(); }
  std::atomic<int> passes = 0;
  std::atomic<bool> stopped = false;
  std::thread thread;
};

TEST(JobControl, PausedWorkerParksUntilResumedThenContinues) {
  JobControl gate;
  LoopingWorker worker(gate);
  ASSERT_TRUE(eventually([&] { return worker.passes > 0; }));

  gate.pause();
  ASSERT_TRUE(eventually([&] { return gate.parked(); }));
  const int held = worker.passes;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(worker.passes, held) << "a paused worker must not get past the gate";
  EXPECT_FALSE(worker.stopped);

  gate.resume();
  EXPECT_TRUE(eventually([&] { return worker.passes > held; }));
  EXPECT_FALSE(gate.parked());
  gate.cancel();
  EXPECT_TRUE(eventually([&] { return worker.stopped.load(); }));
}

TEST(JobControl, CancelWakesAParkedWorkerAndEveryLaterPassFails) {
  JobControl gate;
  LoopingWorker worker(gate);
  gate.pause();
  ASSERT_TRUE(eventually([&] { return gate.parked(); }));
  gate.cancel();
  EXPECT_TRUE(eventually([&] { return worker.stopped.load(); }));
  EXPECT_TRUE(gate.cancelled());
  EXPECT_FALSE(gate.paused()) << "cancelling ends the pause";

  // Cancelling is final: a later pause or resume changes nothing and never blocks.
  gate.pause();
  gate.resume();
  EXPECT_FALSE(gate.pass());
  EXPECT_FALSE(gate.paused());
}

TEST(JobControl, PauseBeforeTheWorkerArrivesHoldsItAtItsFirstPass) {
  JobControl gate;
  gate.pause();
  std::atomic<bool> through = false;
  std::thread worker([&] {
    through = gate.pass();
  });
  ASSERT_TRUE(eventually([&] { return gate.parked(); }));
  EXPECT_FALSE(through);
  gate.resume();
  worker.join();
  EXPECT_TRUE(through);
}

}  // namespace
}  // namespace pstorian
