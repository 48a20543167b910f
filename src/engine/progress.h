// How long-running engine work reports progress and learns that it must stop.
//
// The engine knows neither windows nor terminals: a file dialog, a terminal progress bar or
// a test implements these interfaces. Both are called on the worker's own thread.
#pragma once

#include <string_view>

namespace pstorian {

// Progress in the manner of a progress bar control: a range, a position, a step size and
// single steps, plus one line of status text (UTF-8).
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void set_range(int low, int high) = 0;
  virtual void set_position(int position) = 0;
  virtual void set_step(int step) = 0;
  virtual void step() = 0;
  virtual void set_status(std::string_view text) = 0;
};

// A sink that ignores everything, for callers that do not show progress.
class NullProgress final : public ProgressSink {
 public:
  void set_range(int, int) override {}
  void set_position(int) override {}
  void set_step(int) override {}
  void step() override {}
  void set_status(std::string_view) override {}
};

// The job-control gate that a worker passes at every safe point (each probe page, each
// object, each item). pass() blocks while the job is paused and returns false once the
// job has been cancelled; the worker then unwinds normally, closing what it holds.
class JobGate {
 public:
  virtual ~JobGate() = default;
  virtual bool pass() = 0;
};

// A gate that never stops anything.
class OpenGate final : public JobGate {
 public:
  bool pass() override { return true; }
};

}  // namespace pstorian
