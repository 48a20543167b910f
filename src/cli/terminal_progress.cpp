#include "cli/terminal_progress.h"

#include <algorithm>

namespace pstorian::cli {

void TerminalProgress::set_range(int low, int high) {
  low_ = low;
  high_ = std::max(high, low + 1);
  draw();
}

void TerminalProgress::set_position(int position) {
  position_ = position;
  const int percent = std::clamp((position_ - low_) * 100 / (high_ - low_), 0, 100);
  // Redraw only when the bar visibly moves; steps come thousands of times.
  if (percent != drawn_percent_) draw();
}

void TerminalProgress::set_status(std::string_view text) {
  status_ = text;
  draw();
}

void TerminalProgress::draw() {
  constexpr int kWidth = 40;
  const int percent = std::clamp((position_ - low_) * 100 / (high_ - low_), 0, 100);
  drawn_percent_ = percent;
  const int filled = percent * kWidth / 100;
  std::fprintf(out_, "\r[%s%s] %3d%% %-24s", std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(), percent,
               status_.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void TerminalProgress::finish() {
  if (!drawn_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace pstorian::cli
