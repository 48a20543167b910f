// What the empty store holds and where each part of it lies, as data: the folders and their
// properties, the other nodes, the table layouts and rows, the place of every block and
// page, the allocation map bits and the header counters. empty_store_image.cpp turns this
// into bytes with the file layer writers; nothing in here is computed from anything else.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "pst/ndb/btree_page.h"
#include "pst/ltp/table_context_writer.h"

namespace pstorian::empty_store {

constexpr std::uint32_t kFileSize = 0xC000;

// Identifies the store in every entry id; the same in every empty store written.
constexpr std::array<std::uint8_t, 16> kRecordKey = {
    0x81, 0x61, 0x34, 0xE5, 0xF5, 0x8F, 0x67, 0x45, 0x8D, 0x0A, 0x88, 0xDA, 0xED, 0xA6, 0x6F, 0x6B};

struct FolderDescription {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::string_view name;
  bool has_comment = false;
  std::string_view comment;
  bool subfolders = false;
  std::string_view container_class;  // empty: no PidTagContainerClass
  std::uint32_t row_version = 0;     // of the folder's row in its parent's hierarchy table
  std::uint32_t property_block = 0;
  // Blocks of the companion nodes nid+0xB, +0xC, +0xD; 0 for the search folder, whose search
  // nodes are listed with the other nodes.
  std::uint32_t hierarchy_block = 0;
  std::uint32_t contents_block = 0;
  std::uint32_t associated_block = 0;
  bool special_folder_ids = false;  // carries the entry ids of the calendar, contacts, ...
};

// A node that is not a folder or a folder's table: the store, the name map, the templates,
// the search bookkeeping. Block 0 means the node has no data.
struct NodeDescription {
  std::uint32_t nid = 0;
  std::uint32_t block = 0;
};

enum class TableRows { kNone, kRootHierarchy, kIpmHierarchy, kReceiveFolders };

struct TableDescription {
  std::uint32_t block = 0;
  std::span<const TableColumn> columns;
  TableRows rows = TableRows::kNone;
};

struct Range {
  std::uint32_t first = 0;
  std::uint32_t last = 0;  // inclusive
};

struct BTreePlan {
  std::span<const Bref> slots;          // leaves first, then the levels above
  std::span<const std::size_t> leaves;  // entries per leaf
};

std::span<const FolderDescription> folders();
std::span<const NodeDescription> other_nodes();
std::span<const TableDescription> tables();
std::span<const Bref> block_places();  // every block's id and offset

// Blocks holding something other than a heap: their bytes as they are.
constexpr std::uint32_t kSearchActivityBlock = 0x1A0;  // one node id
constexpr std::uint32_t kSearchDomainBlock = 0x174;    // four 32-bit values
constexpr std::uint32_t kMessageStoreBlock = 0x98;
constexpr std::uint32_t kNameToIdMapBlock = 0x1B0;
constexpr std::uint32_t kSearchCriteriaBlock = 0x1A8;
constexpr std::uint32_t kSearchActivity[] = {0x80023};
constexpr std::uint32_t kSearchDomain[] = {0x8080, 0x8120, 0x8140, 0x81A0};

constexpr std::string_view kStoreDisplayName = "Personal Folders";

// The receive folder table: which folder receives which message class.
struct ReceiveFolderRow {
  std::uint32_t row_id = 0;
  std::uint32_t row_version = 0;
  std::string_view message_class;
  std::uint32_t folder = 0;
};
std::span<const ReceiveFolderRow> receive_folders();

// Special folders named by the store and by the root folder and Inbox.
constexpr std::uint32_t kIpmSubtree = 0x8022;
constexpr std::uint32_t kDeletedItems = 0x8042;
constexpr std::uint32_t kSearchRoot = 0x8062;
constexpr std::uint32_t kInbox = 0x8082;
constexpr std::uint32_t kOutbox = 0x80A2;
constexpr std::uint32_t kSentItems = 0x80C2;
constexpr std::uint32_t kViews = 0x80E2;
constexpr std::uint32_t kCommonViews = 0x8102;
constexpr std::uint32_t kCalendar = 0x8122;
constexpr std::uint32_t kContacts = 0x8142;
constexpr std::uint32_t kJournal = 0x8162;
constexpr std::uint32_t kNotes = 0x8182;
constexpr std::uint32_t kTasks = 0x81A2;
constexpr std::uint32_t kDrafts = 0x81C2;
constexpr std::uint32_t kReminders = 0x80023;

// Name-to-id map: the property sets and the named properties, in property index order
// (index i maps to property id 0x8000 + i). Every new store names a property by string
// ("Keywords", the categories), as the stores mail programs write do: readers take an empty
// string stream for one kept in a subnode and fail.
struct NamedProperty {
  std::uint32_t id = 0;          // the number of a numeric name
  std::uint16_t guid_index = 0;  // 2 = PS_PUBLIC_STRINGS, 3 = the first GUID of the stream
  std::string_view name = {};    // a string name (ASCII) in place of the number
};
std::span<const std::string_view> named_property_guids();
std::span<const NamedProperty> named_properties();

// The criteria of the "Reminders" search folder.
std::span<const std::uint8_t> reminder_restriction();
constexpr std::uint32_t kReminderFolders[] = {kCalendar, kTasks, kInbox, kContacts};

// Pages and allocation.
constexpr Bref kFreeBbtPage = {0x2, 0x4A00};  // an empty BBT leaf on a free page
BTreePlan bbt_plan();
BTreePlan nbt_plan();
std::span<const Range> amap_allocated();
std::span<const std::uint32_t> pmap_free_pages();

// Header counters.
constexpr std::uint32_t kBidNextB = 0x1BC;
constexpr std::uint32_t kBidNextP = 0x122;
constexpr std::uint32_t kUnique = 0x39;
std::array<std::uint32_t, 32> last_node_indexes();

}  // namespace pstorian::empty_store
