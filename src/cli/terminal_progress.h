// A progress bar on a terminal: one line on standard error, redrawn in place.
#pragma once

#include <cstdio>
#include <string>

#include "engine/progress.h"

namespace pstorian::cli {

class TerminalProgress final : public ProgressSink {
 public:
  explicit TerminalProgress(std::FILE* out) : out_(out) {}
  ~TerminalProgress() override { finish(); }
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  void set_range(int low, int high) override;
  void set_position(int position) override;
  void set_step(int step) override { step_ = step; }
  void step() override { set_position(position_ + step_); }
  void set_status(std::string_view text) override;
  // Ends the line if one was drawn.
  void finish();

 private:
  void draw();

  std::FILE* out_;
  int low_ = 0, high_ = 100, position_ = 0, step_ = 1;
  int drawn_percent_ = -1;
  std::string status_;
  bool drawn_ = false;
};

}  // namespace pstorian::cli
