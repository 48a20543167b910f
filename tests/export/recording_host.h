// A Reporter and JobHost that write every call into one log, in order, for the export and
// listing tests; questions are answered by a preset answer.
#pragma once

#include <string>
#include <vector>

#include "job/reporter.h"

namespace pstorian::fake {

class RecordingHost final : public Reporter, public JobHost {
 public:
  void list_add_fields(const ListRowFields& row) override {
    note("row " + std::string(row.sender) + "|" + std::string(row.receiver) + "|" +
         std::string(row.subject) + "|" + std::string(row.date));
  }
  void list_setup_columns() override { note("columns"); }
  void list_clear_items() override { note("clear"); }
  void tree_add_folder(FolderNodeRecord& folder, const FolderPlacement& placement) override {
    folder.tree_item = next_item_++;
    added_folders.push_back({folder.name, folder.tree_item, placement.parent_tree_item});
    note("tree " + folder.name + " under " + std::to_string(placement.parent_tree_item));
  }
  void tree_show_folder(TreeItemId item) override { note("show " + std::to_string(item)); }
  TreeItemId tree_reset() override {
    note("reset");
    return next_item_++;
  }
  void list_add_item(const ItemRowRecord& row) override {
    rows.push_back(row);
    note("item " + row.subject);
  }
  void status_populating(std::optional<std::string_view> folder_name) override {
    note(populating_text(folder_name));
  }
  void status_clear() override { note("status clear"); }

  void show_message(std::string_view text, std::string_view) override {
    note("message " + std::string(text));
  }
  bool ask_yes_no(std::string_view text, std::string_view) override {
    note("ask " + std::string(text));
    return answer_yes;
  }
  void set_stop_enabled(bool enabled) override { note(enabled ? "stop on" : "stop off"); }
  void set_tree_ready(bool ready) override { note(ready ? "tree ready" : "tree not ready"); }
  void set_output_store_index(int index) override {
    output_store_index = index;
    note("store index " + std::to_string(index));
  }

  struct AddedFolder {
    std::string name;
    TreeItemId item = kNoTreeItem;
    TreeItemId parent = kNoTreeItem;
  };
  std::vector<AddedFolder> added_folders;
  // The tree item given to the folder added last under `parent` with this name.
  TreeItemId added(std::string_view name, TreeItemId parent) const {
    TreeItemId found = kNoTreeItem;
    for (const AddedFolder& f : added_folders)
      if (f.name == name && f.parent == parent) found = f.item;
    return found;
  }

  bool saw(std::string_view entry) const {
    for (const auto& e : log) {
      if (e == entry) return true;
    }
    return false;
  }
  int count_prefix(std::string_view prefix) const {
    int n = 0;
    for (const auto& e : log) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  std::vector<std::string> log;
  std::vector<ItemRowRecord> rows;
  bool answer_yes = false;
  int output_store_index = 0;

 private:
  void note(std::string entry) { log.push_back(std::move(entry)); }
  TreeItemId next_item_ = 1;
};

}  // namespace pstorian::fake
