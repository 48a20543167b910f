// How a worker (export or folder listing) reports to whatever shows the repair: the desktop
// main window, the command-line tool or a test.
//
// The nine calls of Reporter stand for the nine private messages that the workers once sent
// to the main window; their numbers stay as named constants because logs, tests and the
// order rules below speak of them. Every call is synchronous: the implementation has done its
// work when the call returns, so the records passed by reference only need to live for the
// call, and what the receiver writes into a record (the tree item of a folder) can be read by
// the worker right afterwards. Calls are made on the worker's thread.
//
// Order of calls made by an export: tree_reset, list_setup_columns; per recreated folder
// tree_add_folder; per change of output folder status_populating, tree_show_folder,
// list_clear_items; per mail item written list_add_fields; at the end status_clear.
// A folder listing: list_clear_items, then one list_add_item per item.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pstorian {

// Message numbers: the application message base plus 1 to 9.
inline constexpr std::uint32_t kWmApp = 0x8000;
inline constexpr std::uint32_t kWmListAddFields = kWmApp + 1;     // 0x8001
inline constexpr std::uint32_t kWmListSetupColumns = kWmApp + 2;  // 0x8002
inline constexpr std::uint32_t kWmListClearItems = kWmApp + 3;    // 0x8003
inline constexpr std::uint32_t kWmTreeAddFolder = kWmApp + 4;     // 0x8004
inline constexpr std::uint32_t kWmTreeShowFolder = kWmApp + 5;    // 0x8005
inline constexpr std::uint32_t kWmTreeReset = kWmApp + 6;         // 0x8006
inline constexpr std::uint32_t kWmListAddItem = kWmApp + 7;       // 0x8007
inline constexpr std::uint32_t kWmStatusPopulating = kWmApp + 8;  // 0x8008
inline constexpr std::uint32_t kWmStatusClear = kWmApp + 9;       // 0x8009

// An item of the folder tree as the receiver names it. 0 means "none"; the receiver hands
// out other values and understands only its own.
using TreeItemId = std::uint64_t;
inline constexpr TreeItemId kNoTreeItem = 0;

// The node id of the top of the personal folders when the file does not name its own:
// well-known folder names are recognised only directly below it.
inline constexpr std::uint32_t kTopOfPersonalFoldersNid = 0x8022;

// One named folder met by the export.
struct FolderNodeRecord {
  std::uint32_t node_id = 0;
  std::uint32_t parent_node_id = 0;  // 0 for a top-level folder
  std::string name;                  // display name, UTF-8 (converted from the file's code page)
  TreeItemId tree_item = kNoTreeItem;  // written by the receiver of tree_add_folder
  std::uint32_t kind = 0;              // ItemKind code of the folder's content
};

// Where a folder goes in the tree.
struct FolderPlacement {
  std::uint32_t parent_node_id = 0;         // 0: directly under "Root Folder"
  TreeItemId parent_tree_item = kNoTreeItem;  // the root item when directly under it
  // The top of the personal folders of this file (its message store names it).
  std::uint32_t top_node_id = kTopOfPersonalFoldersNid;
};

// The four texts of a row of the item list written by the export (UTF-8). An absent text
// is an empty view.
struct ListRowFields {
  std::string_view sender;
  std::string_view receiver;
  std::string_view subject;
  std::string_view date;
};

// One row of a folder listing read back from the output store (UTF-8).
struct ItemRowRecord {
  std::string sender;
  std::string receiver;
  std::string subject;
  std::string date;
};

class Reporter {
 public:
  virtual ~Reporter() = default;

  // 0x8001: the item list appends one row.
  virtual void list_add_fields(const ListRowFields& row) = 0;
  // 0x8002: the item list inserts its four columns.
  virtual void list_setup_columns() = 0;
  // 0x8003: the item list removes all rows and restarts counting them.
  virtual void list_clear_items() = 0;
  // 0x8004: the tree inserts the folder under the placement's parent and writes the new
  // item into folder.tree_item.
  virtual void tree_add_folder(FolderNodeRecord& folder, const FolderPlacement& placement) = 0;
  // 0x8005: the tree expands every ancestor of the item and selects it.
  virtual void tree_show_folder(TreeItemId item) = 0;
  // 0x8006: the tree is emptied and "Root Folder" inserted; returns that new root item.
  virtual TreeItemId tree_reset() = 0;
  // 0x8007: the item list appends one row of a listing.
  virtual void list_add_item(const ItemRowRecord& row) = 0;
  // 0x8008: the status shows "Populating folder <name>", or "populating folder Lost&Found"
  // when there is no name (the folder of unplaced items).
  virtual void status_populating(std::optional<std::string_view> folder_name) = 0;
  // 0x8009: the status is emptied.
  virtual void status_clear() = 0;
};

// The status texts of status_populating, shared by every implementation.
std::string populating_text(std::optional<std::string_view> folder_name);

// What a worker may ask of the program around it besides reporting: the message boxes of a
// repair and the few flags that the export and the listing keep up to date. Calls are
// synchronous and made on the worker's thread, like those of Reporter.
class JobHost {
 public:
  virtual ~JobHost() = default;
  // A message the user must acknowledge ("Processing of selected PST file is complete").
  virtual void show_message(std::string_view text, std::string_view caption) = 0;
  // A yes/no question (replacing an existing output file); true for yes.
  virtual bool ask_yes_no(std::string_view text, std::string_view caption) = 0;
  // Enables or disables the Stop command.
  virtual void set_stop_enabled(bool enabled) = 0;
  // Allows a folder selection to start a listing (set at the end of an export).
  virtual void set_tree_ready(bool ready) = 0;
  // Position of the output store among the mail client's stores (1-based; 0: none).
  virtual void set_output_store_index(int index) = 0;
};

}  // namespace pstorian
