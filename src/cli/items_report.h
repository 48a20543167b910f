// The folders and items report of `scan --items`: decodes every object of the tables and
// lists the named folders and, under them, the messages, as text or as JSON.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codepage.h"
#include "engine/item_record.h"
#include "engine/object_tables.h"

namespace pstorian {

struct ReportedFolder {
  std::uint32_t node_id = 0;
  std::uint32_t parent_id = 0;  // 0 for a folder without a parent object
  std::string name;             // UTF-8
  ItemKind kind = ItemKind::kNone;
};

struct ReportedItem {
  std::uint32_t node_id = 0;
  std::uint32_t parent_id = 0;
  ItemKind kind = ItemKind::kNone;
  std::optional<std::string> item_class, subject, sender_name, display_to;  // UTF-8
  std::optional<std::string> submit_time, delivery_time;                    // ISO 8601 UTC
  std::uint64_t body_size = 0;
};

struct ItemsReport {
  std::vector<ReportedFolder> folders;  // primary versions of named folders, in pre-order
  std::vector<ReportedItem> items;      // every decodable message object, in pre-order
};

// Decodes the objects of `tables` from the file at `path` (building the named-property map
// first). std::nullopt when the file cannot be opened.
std::optional<ItemsReport> collect_items(RecoveryTables& tables, const std::string& path,
                                         const CodepageConverter& codepage);

// "2003-04-05T06:07:08Z" for an 8-byte FILETIME; std::nullopt for 0 or a short value.
std::optional<std::string> filetime_to_iso8601(const std::optional<Bytes>& filetime);

// Folders, each followed by its items; items whose parent is no listed folder come last.
void print_items_text(const ItemsReport& report, std::ostream& out);
// Adds "folders" and "items" arrays to `out`.
void add_items_json(const ItemsReport& report, nlohmann::json& out);

// The whole of `--items` after the scan: with `as_json` adds the folders and items to
// `scan_json`, otherwise prints them to `out`. False, with a message on `err`, when the code
// page is unknown or the file cannot be opened. An empty `codepage` is the one the file
// names, else the default.
bool run_items_report(RecoveryTables& tables, const std::string& path, std::string_view codepage,
                      bool as_json, nlohmann::json& scan_json, std::ostream& out,
                      std::ostream& err);

}  // namespace pstorian
