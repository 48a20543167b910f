// The command-line face of the reporting interfaces: status texts go to a stream as lines,
// a progress bar is drawn on a terminal, and what the export reports is counted for the
// closing summary of a repair.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "engine/progress.h"
#include "job/reporter.h"

namespace pstorian {

// What a repair's export reported, for its summary.
struct RepairCounts {
  int folders_recreated = 0;
  int mail_items_written = 0;
  int items_in_lost_and_found = 0;
};

class ConsoleReporter final : public Reporter, public JobHost {
 public:
  // `answer` decides yes/no questions; without one every question is answered no.
  explicit ConsoleReporter(std::ostream& out, std::function<bool(std::string_view)> answer = {})
      : out_(out), answer_(std::move(answer)) {}

  void list_add_fields(const ListRowFields& row) override;
  void list_setup_columns() override {}
  void list_clear_items() override {}
  void tree_add_folder(FolderNodeRecord& folder, const FolderPlacement& placement) override;
  void tree_show_folder(TreeItemId) override {}
  TreeItemId tree_reset() override;
  void list_add_item(const ItemRowRecord& row) override;
  void status_populating(std::optional<std::string_view> folder_name) override;
  void status_clear() override {}

  void show_message(std::string_view text, std::string_view caption) override;
  bool ask_yes_no(std::string_view text, std::string_view caption) override;
  void set_stop_enabled(bool) override {}
  void set_tree_ready(bool) override {}
  void set_output_store_index(int index) override { output_store_index_ = index; }

  const RepairCounts& counts() const { return counts_; }
  int output_store_index() const { return output_store_index_; }

 private:
  std::ostream& out_;
  std::function<bool(std::string_view)> answer_;
  RepairCounts counts_;
  TreeItemId next_item_ = 1;
  bool filling_lost_and_found_ = false;
  int output_store_index_ = 0;
};

// Progress of a scan on a stream: each status text on its own line and, when the stream is
// a terminal, a bar redrawn in place.
class ConsoleProgress final : public ProgressSink {
 public:
  ConsoleProgress(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}
  ~ConsoleProgress() override;

  void set_range(int low, int high) override;
  void set_position(int position) override;
  void set_step(int step) override { step_ = step; }
  void step() override { set_position(position_ + step_); }
  void set_status(std::string_view text) override;

 private:
  void draw();
  void end_bar();

  std::ostream& out_;
  bool terminal_;
  int low_ = 0;
  int high_ = 100;
  int position_ = 0;
  int step_ = 10;
  int drawn_ = -1;  // percentage last drawn; -1: no bar on the line
};

}  // namespace pstorian
