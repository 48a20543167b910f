#include "store/empty_store_description.h"

namespace pstorian::empty_store {
namespace {

// clang-format off
constexpr FolderDescription kFolders[] = {
  // nid      parent   name                       comment?  comment                 sub   class                row    PC     hier   cont   assoc  ids
  {0x122,   0x122,   "",                        false, "",                     true,  "",                   0,    0x19C, 0x118, 0x8,   0xC,   true},
  {0x8022,  0x122,   "Top of Personal Folders", true,  "",                     true,  "",                   0xB,  0x50,  0x1B8, 0xA0,  0xC,   false},
  {0x8042,  0x8022,  "Deleted Items",           true,  "Deleted Items folder", false, "",                   0xA,  0x48,  0x4,   0x8,   0xC,   false},
  {0x8062,  0x122,   "Search Root",             true,  "",                     false, "",                   0xD,  0x58,  0x4,   0x8,   0xC,   false},
  {0x8082,  0x8022,  "Inbox",                   true,  "Inbox folder",         false, "",                   0xF,  0x198, 0x4,   0x1B4, 0xC,   true},
  {0x80A2,  0x8022,  "Outbox",                  true,  "Outbox folder",        false, "",                   0x14, 0x74,  0x4,   0x8,   0xC,   false},
  {0x80C2,  0x8022,  "Sent Items",              true,  "Sent Items folder",    false, "",                   0x16, 0x7C,  0x4,   0x8,   0xC,   false},
  {0x80E2,  0x122,   "IPM_VIEWS",               true,  "",                     false, "",                   0x19, 0x88,  0x4,   0x8,   0xC,   false},
  {0x8102,  0x122,   "IPM_COMMON_VIEWS",        true,  "",                     false, "",                   0x1B, 0x90,  0x4,   0x8,   0x1AC, false},
  {0x8122,  0x8022,  "Calendar",                true,  "Calendar Comment",     false, "IPF.Appointment",    0x32, 0xAC,  0x4,   0x8,   0xC,   false},
  {0x8142,  0x8022,  "Contacts",                true,  "Contacts Comment",     false, "IPF.Contact",        0x33, 0xC0,  0x4,   0x8,   0xC,   false},
  {0x8162,  0x8022,  "Journal",                 true,  "Journal Comment",      false, "IPF.Journal",        0x34, 0xD4,  0x4,   0x8,   0xC,   false},
  {0x8182,  0x8022,  "Notes",                   true,  "Notes Comment",        false, "IPF.StickyNote",     0x35, 0xE8,  0x4,   0x8,   0xC,   false},
  {0x81A2,  0x8022,  "Tasks",                   true,  "Tasks Comment",        false, "IPF.Task",           0x36, 0xFC,  0x4,   0x8,   0xC,   false},
  {0x81C2,  0x8022,  "Drafts",                  true,  "Drafts folder",        false, "IPF.Note",           0x37, 0x194, 0x4,   0x8,   0xC,   false},
  {0x80023, 0x122,   "Reminders",               true,  "",                     false, "Outlook.Reminder",   0x2F, 0x11C, 0,     0,     0,     false},
};

constexpr NodeDescription kOtherNodes[] = {
  {0x21, kMessageStoreBlock},   // message store
  {0x61, kNameToIdMapBlock},    // name-to-id map
  {0x1E1, 0},                   // search management queue
  {0x201, kSearchActivityBlock},// search activity list
  {0x261, kSearchDomainBlock},  // search domain object
  {0x60D, 0x4},                 // hierarchy table template
  {0x60E, 0x8},                 // contents table template
  {0x60F, 0xC},                 // associated contents table template
  {0x610, 0x10},                // search contents table template
  {0x62B, 0x84},                // receive folder table
  {0x64C, 0x1C},                // outgoing queue table
  {0x671, 0x18},                // attachment table template
  {0x692, 0x14},                // recipient table template
  {0x80026, 0},                 // "Reminders": search update queue
  {0x80027, kSearchCriteriaBlock}, // "Reminders": search criteria object
  {0x80030, 0x10},              // "Reminders": search contents table
};

// Columns: tag, ibData, cbData, iBit.
constexpr TableColumn kHierarchy[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x3001001E, 8, 4, 2}, {0x36020003, 12, 4, 3},
  {0x36030003, 16, 4, 4}, {0x360A000B, 20, 1, 5},
};
constexpr TableColumn kIpmHierarchy[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x3001001E, 8, 4, 2}, {0x36020003, 12, 4, 3},
  {0x36030003, 16, 4, 4}, {0x360A000B, 24, 1, 5}, {0x3613001E, 20, 4, 6},
};
constexpr TableColumn kContents[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x0E170003, 8, 4, 2}, {0x001A001E, 12, 4, 3},
  {0x0E070003, 16, 4, 4}, {0x00170003, 20, 4, 5}, {0x0042001E, 24, 4, 6}, {0x0037001E, 28, 4, 7},
  {0x0E060040, 32, 8, 8}, {0x0E080003, 40, 4, 9}, {0x0E04001E, 44, 4, 10}, {0x0E03001E, 48, 4, 11},
  {0x0057000B, 56, 1, 12}, {0x0058000B, 57, 1, 13}, {0x00360003, 52, 4, 14},
};
constexpr TableColumn kMailContents[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x0E170003, 8, 4, 2}, {0x001A001E, 12, 4, 3},
  {0x0E070003, 16, 4, 4}, {0x00170003, 20, 4, 5}, {0x0042001E, 24, 4, 6}, {0x0037001E, 28, 4, 7},
  {0x0E060040, 32, 8, 8}, {0x0E080003, 40, 4, 9}, {0x0E04001E, 44, 4, 10}, {0x0E03001E, 48, 4, 11},
  {0x0057000B, 88, 1, 12}, {0x0058000B, 89, 1, 13}, {0x00360003, 52, 4, 14},
  {0x80010003, 56, 4, 15}, {0x10800003, 60, 4, 16}, {0x300B0102, 64, 4, 17}, {0x10900003, 68, 4, 18},
  {0x8002000B, 90, 1, 19}, {0x8003000B, 91, 1, 20}, {0x00300040, 72, 8, 21}, {0x00150040, 80, 8, 22},
};
constexpr TableColumn kAssociated[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x0E170003, 8, 4, 2}, {0x001A001E, 12, 4, 3},
  {0x0E070003, 16, 4, 4}, {0x3001001E, 20, 4, 5}, {0x70030003, 24, 4, 6}, {0x70040102, 28, 4, 7},
  {0x70050102, 32, 4, 8}, {0x7006001E, 36, 4, 9}, {0x70070003, 40, 4, 10}, {0x6800001E, 44, 4, 11},
  {0x6803000B, 56, 1, 12}, {0x68051003, 48, 4, 13}, {0x682F001E, 52, 4, 14},
};
constexpr TableColumn kViewsAssociated[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x0E170003, 8, 4, 2}, {0x001A001E, 12, 4, 3},
  {0x0E070003, 16, 4, 4}, {0x3001001E, 20, 4, 5}, {0x70030003, 24, 4, 6}, {0x70040102, 28, 4, 7},
  {0x70050102, 32, 4, 8}, {0x7006001E, 36, 4, 9}, {0x70070003, 40, 4, 10}, {0x6800001E, 44, 4, 11},
  {0x6803000B, 72, 1, 12}, {0x68051003, 48, 4, 13}, {0x682F001E, 52, 4, 14},
  {0x0037001E, 56, 4, 15}, {0x68340003, 60, 4, 16}, {0x68330048, 64, 4, 17}, {0x683A0003, 68, 4, 18},
};
constexpr TableColumn kSearchContents[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x67F10003, 8, 4, 2}, {0x0E05001E, 12, 4, 3},
  {0x0E170003, 16, 4, 4}, {0x001A001E, 20, 4, 5}, {0x0E070003, 24, 4, 6}, {0x00170003, 28, 4, 7},
  {0x0042001E, 32, 4, 8}, {0x0037001E, 36, 4, 9}, {0x0E060040, 40, 8, 10}, {0x0E080003, 48, 4, 11},
  {0x0E04001E, 52, 4, 12}, {0x0E03001E, 56, 4, 13}, {0x0057000B, 64, 1, 14}, {0x0058000B, 65, 1, 15},
  {0x00360003, 60, 4, 16},
};
constexpr TableColumn kRecipients[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x0E0F000B, 48, 1, 2}, {0x3002001E, 8, 4, 3},
  {0x3003001E, 12, 4, 4}, {0x0FFF0102, 16, 4, 5}, {0x3001001E, 20, 4, 6}, {0x0C150003, 24, 4, 7},
  {0x300B0102, 28, 4, 8}, {0x0FF90102, 32, 4, 9}, {0x0FFE0003, 36, 4, 10}, {0x39000003, 40, 4, 11},
  {0x3A40000B, 49, 1, 12}, {0x39FF001E, 44, 4, 13},
};
constexpr TableColumn kAttachments[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x370B0003, 8, 4, 2}, {0x0E200003, 12, 4, 3},
  {0x37050003, 16, 4, 4}, {0x3704001E, 20, 4, 5},
};
constexpr TableColumn kOutgoingQueue[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x0E140003, 8, 4, 2}, {0x0E100003, 12, 4, 3},
  {0x00390040, 16, 8, 4},
};
constexpr TableColumn kReceiveFolders[] = {
  {0x67F20003, 0, 4, 0}, {0x67F30003, 4, 4, 1}, {0x66050003, 8, 4, 2}, {0x001A001E, 12, 4, 3},
};

const TableDescription kTables[] = {
  {0x4, kHierarchy, TableRows::kNone},
  {0x118, kHierarchy, TableRows::kRootHierarchy},
  {0x1B8, kIpmHierarchy, TableRows::kIpmHierarchy},
  {0x8, kContents, TableRows::kNone},
  {0xA0, kMailContents, TableRows::kNone},
  {0x1B4, kMailContents, TableRows::kNone},
  {0xC, kAssociated, TableRows::kNone},
  {0x1AC, kViewsAssociated, TableRows::kNone},
  {0x10, kSearchContents, TableRows::kNone},
  {0x14, kRecipients, TableRows::kNone},
  {0x18, kAttachments, TableRows::kNone},
  {0x1C, kOutgoingQueue, TableRows::kNone},
  {0x84, kReceiveFolders, TableRows::kReceiveFolders},
};

constexpr ReceiveFolderRow kReceiveFolderRows[] = {
  {1, 0x12, "", kInbox}, {2, 0x10, "IPM", kInbox}, {3, 0x11, "Report.IPM", kInbox}, {4, 0x17, "IPC", 0x122},
};

constexpr Bref kBlockPlaces[] = {
  {0x4, 0x5800},   {0x8, 0x5880},   {0xC, 0x5940},   {0x10, 0x5A00},  {0x14, 0x5B00},
  {0x18, 0x5BC0},  {0x1C, 0x5C40},  {0x48, 0x63C0},  {0x50, 0x6280},  {0x58, 0x6440},
  {0x74, 0x7700},  {0x7C, 0x7780},  {0x84, 0x7600},  {0x88, 0x6300},  {0x90, 0x7900},
  {0x98, 0x7980},  {0xA0, 0x7B00},  {0xAC, 0x5E80},  {0xC0, 0x5CC0},  {0xD4, 0x7C00},
  {0xE8, 0x7D80},  {0xFC, 0x7CC0},  {0x118, 0x8380}, {0x11C, 0x6100}, {0x174, 0x5E00},
  {0x194, 0x7E80}, {0x198, 0x8180}, {0x19C, 0x8600}, {0x1A0, 0x5D80}, {0x1A8, 0x7F00},
  {0x1AC, 0x8500}, {0x1B0, 0x8940}, {0x1B4, 0x8000}, {0x1B8, 0x8AC0},
};

constexpr std::string_view kNamedPropertyGuids[] = {
  "29F3AB56-554D-11D0-A97C-00A0C911F50A",
  "00062008-0000-0000-C000-000000000046",  // PSETID_Common
  "00062014-0000-0000-C000-000000000046",
  "00062002-0000-0000-C000-000000000046",  // PSETID_Appointment
};
constexpr NamedProperty kNamedProperties[] = {
  {0xA000, 3}, {0x8510, 4}, {0x8514, 4}, {0x8F07, 5}, {0x8503, 4}, {0x8223, 6}, {0x851A, 4},
  {0, 2, "Keywords"},
};

constexpr std::uint8_t kReminderRestriction[] = {
  0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x91, 0x81, 0xF9, 0x77,
  0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x04, 0x80, 0x0B, 0x00, 0x05, 0x80,
  0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x7C, 0x91, 0x00, 0x45,
  0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x05, 0x80, 0x00, 0x00, 0x00, 0x00,
  0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x05, 0x80, 0x0B, 0x00, 0x05, 0x80,
};

// The BBT is one leaf; the NBT three leaves under one root, each on its own page.
constexpr Bref kBbtSlots[] = {{0x120, 0x4800}};
constexpr std::size_t kBbtLeaves[] = {34};
constexpr Bref kNbtSlots[] = {{0x11C, 0x5200}, {0x118, 0x6800}, {0x10A, 0x5600}, {0x11D, 0x6E00}};
constexpr std::size_t kNbtLeaves[] = {28, 28, 21};

constexpr Range kAMapAllocated[] = {
  {0x4400, 0x5DBF}, {0x5E00, 0x5E3F}, {0x5E80, 0x5F3F}, {0x6100, 0x617F}, {0x6280, 0x637F},
  {0x63C0, 0x64BF}, {0x6600, 0x77FF}, {0x7900, 0x7D3F}, {0x7D80, 0x7DFF}, {0x7E80, 0x80FF},
  {0x8180, 0x82FF}, {0x8380, 0x873F}, {0x8940, 0x8D3F},
};
constexpr std::uint32_t kPMapFreePages[] = {0x4A00, 0x4C00, 0x4E00, 0x5000, 0x5400, 0x6600,
                                            0x6A00, 0x6C00, 0x7000, 0x7200, 0x7400};
// clang-format on

}  // namespace

std::span<const FolderDescription> folders() {
  return kFolders;
}
std::span<const NodeDescription> other_nodes() {
  return kOtherNodes;
}
std::span<const TableDescription> tables() {
  return kTables;
}
std::span<const Bref> block_places() {
  return kBlockPlaces;
}
std::span<const ReceiveFolderRow> receive_folders() {
  return kReceiveFolderRows;
}
std::span<const std::string_view> named_property_guids() {
  return kNamedPropertyGuids;
}
std::span<const NamedProperty> named_properties() {
  return kNamedProperties;
}
std::span<const std::uint8_t> reminder_restriction() {
  return kReminderRestriction;
}
BTreePlan bbt_plan() {
  return {kBbtSlots, kBbtLeaves};
}
BTreePlan nbt_plan() {
  return {kNbtSlots, kNbtLeaves};
}
std::span<const Range> amap_allocated() {
  return kAMapAllocated;
}
std::span<const std::uint32_t> pmap_free_pages() {
  return kPMapFreePages;
}

std::array<std::uint32_t, 32> last_node_indexes() {
  std::array<std::uint32_t, 32> rgnid{};
  rgnid.fill(0x400);
  rgnid[0x02] = 0x40E;    // normal folders
  rgnid[0x03] = 0x4001;   // search folders
  rgnid[0x04] = 0x10000;  // normal messages
  rgnid[0x06] = 0x4001;   // search update queues
  rgnid[0x07] = 0x4001;   // search criteria objects
  rgnid[0x08] = 0x8000;   // associated messages
  rgnid[0x0D] = 0x40E;    // hierarchy tables
  rgnid[0x0E] = 0x40E;    // contents tables
  rgnid[0x0F] = 0x40E;    // associated contents tables
  rgnid[0x10] = 0x4001;   // search contents tables
  return rgnid;
}

}  // namespace pstorian::empty_store
