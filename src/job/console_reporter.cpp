#include "job/console_reporter.h"

#include <algorithm>
#include <ostream>

namespace pstorian {

void ConsoleReporter::list_add_fields(const ListRowFields&) {
  ++counts_.mail_items_written;
  if (filling_lost_and_found_) ++counts_.items_in_lost_and_found;
}

void ConsoleReporter::tree_add_folder(FolderNodeRecord& folder, const FolderPlacement&) {
  folder.tree_item = next_item_++;
  ++counts_.folders_recreated;
}

TreeItemId ConsoleReporter::tree_reset() { return next_item_++; }

void ConsoleReporter::list_add_item(const ItemRowRecord& row) {
  out_ << row.sender << '\t' << row.receiver << '\t' << row.subject << '\t' << row.date << '\n';
}

void ConsoleReporter::status_populating(std::optional<std::string_view> folder_name) {
  filling_lost_and_found_ = !folder_name.has_value();
  out_ << populating_text(folder_name) << '\n';
}

void ConsoleReporter::show_message(std::string_view text, std::string_view) {
  out_ << text << '\n';
}

bool ConsoleReporter::ask_yes_no(std::string_view text, std::string_view) {
  return answer_ ? answer_(text) : false;
}

ConsoleProgress::~ConsoleProgress() { end_bar(); }

void ConsoleProgress::set_range(int low, int high) {
  low_ = low;
  high_ = std::max(high, low + 1);
}

void ConsoleProgress::set_position(int position) {
  position_ = std::clamp(position, low_, high_);
  draw();
}

void ConsoleProgress::set_status(std::string_view text) {
  end_bar();
  out_ << text << '\n';
}

void ConsoleProgress::draw() {
  if (!terminal_) return;
  const int percent = (position_ - low_) * 100 / (high_ - low_);
  if (percent == drawn_) return;
  drawn_ = percent;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  out_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
       << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << percent << '%'
       << std::flush;
}

void ConsoleProgress::end_bar() {
  if (drawn_ < 0) return;
  out_ << '\n';
  drawn_ = -1;
}

}  // namespace pstorian
