#include "engine/store_facts.h"

#include <algorithm>
#include <map>

#include "engine/codepage.h"
#include "engine/content_reader.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

constexpr std::uint16_t kIpmSubtreeEntryId = 0x35E0;
constexpr std::uint16_t kWastebasketEntryId = 0x35E3;
constexpr std::uint16_t kViewsEntryId = 0x35E5;
constexpr std::uint16_t kCommonViewsEntryId = 0x35E6;
constexpr std::uint16_t kFinderEntryId = 0x35E7;
constexpr std::uint16_t kInternetCodepage = 0x3FDE;
constexpr std::uint16_t kMessageLocaleId = 0x3FF1;
constexpr std::uint16_t kMessageCodepage = 0x3FFD;
constexpr std::uint16_t kLocaleId = 0x66A1;
constexpr std::uint16_t kTypeLong = 0x0003;
constexpr std::uint16_t kTypeBinary = 0x0102;
constexpr std::uint32_t kDefaultIpmSubtree = 0x8022;
// Messages of one file are written in one code page as a rule; a few dozen settle the vote
// and keep its cost small beside the scan on a file of many thousands, and so does a bound
// on the messages read when most of them do not say.
constexpr int kVotingMessages = 64;
constexpr int kReadMessages = 256;

// The properties the heap of `object` holds: what the store says of its folders are entry
// ids of a few bytes, never kept in subnodes, so none is read.
std::optional<ContentProperties> heap_properties(const NodeReader& reader,
                                                 const ObjectNode& object) {
  if (object.data_block == nullptr) return std::nullopt;
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const ContentReader content(reader, budget);
  const auto heap = content.open_heap(*object.data_block);
  if (!heap) return std::nullopt;
  return content.properties(*heap, {});
}

// The 4-byte values a property context holds for `ids` in its records: values of that size
// are kept in the record itself, so only the heap holding the records is read, no value is
// looked up in it and none of the node's subnodes is read (a body of any size costs nothing).
std::map<std::uint16_t, std::uint32_t> long_records(const NodeReader& reader,
                                                    const ObjectNode& object,
                                                    std::initializer_list<std::uint16_t> ids) {
  std::map<std::uint16_t, std::uint32_t> out;
  if (object.data_block == nullptr) return out;
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const auto heap = ContentReader(reader, budget).open_heap(*object.data_block);
  if (!heap) return out;
  try {
    for (const PropertyRecord& r : property_records(*heap, Broken::kLeaveOut)) {
      const auto id = static_cast<std::uint16_t>(r.tag >> 16);
      if ((r.tag & 0xFFFF) == kTypeLong && std::find(ids.begin(), ids.end(), id) != ids.end())
        out.emplace(id, pst::load_le32(r.slot, 0));
    }
  } catch (const LtpError&) {
    // No property context: it says nothing.
  }
  return out;
}

const ContentProperty* find_property(const ContentProperties& properties, std::uint16_t id,
                                     std::uint16_t type) {
  const auto it = std::find_if(properties.begin(), properties.end(), [&](const auto& p) {
    return p.id() == id && p.type() == type;
  });
  return it == properties.end() ? nullptr : &*it;
}

std::optional<std::uint32_t> named_node(const ContentProperties& properties, std::uint16_t id) {
  const ContentProperty* p = find_property(properties, id, kTypeBinary);
  return p ? entry_id_node(p->value) : std::nullopt;
}

// The code page one message's texts are in, when it says.
std::optional<std::string> message_codepage(const NodeReader& reader, const ObjectNode& object) {
  const auto values =
      long_records(reader, object, {kMessageCodepage, kInternetCodepage, kMessageLocaleId});
  for (const std::uint16_t id : {kMessageCodepage, kInternetCodepage}) {
    if (const auto it = values.find(id); it != values.end())
      if (auto name = codepage_name(it->second)) return name;
  }
  if (const auto it = values.find(kMessageLocaleId); it != values.end())
    return codepage_name(locale_codepage(it->second));
  return std::nullopt;
}

// Every version of the message store node, newest first (block ids are handed out in
// increasing order). The store's node is rewritten as the store grows, and pages of its
// earlier states survive: the first version the scan found may be one written before the
// folders it names existed.
std::vector<ObjectIndex> store_versions(const RecoveryTables& tables) {
  std::vector<ObjectIndex> versions;
  for (ObjectIndex x = 0; x < tables.objects.size(); ++x)
    if (tables.objects[x].node_id == pst::kNidMessageStore && tables.objects[x].data_block)
      versions.push_back(x);
  std::stable_sort(versions.begin(), versions.end(), [&](ObjectIndex a, ObjectIndex b) {
    return tables.objects[a].data_block->id > tables.objects[b].data_block->id;
  });
  return versions;
}

}  // namespace

std::optional<std::uint32_t> entry_id_node(std::span<const std::uint8_t> entry_id) {
  if (entry_id.size() != 24) return std::nullopt;
  return pst::load_le32(entry_id, 20);
}

StoreRoles read_store_roles(const NodeReader& reader) {
  // Each role from the newest version that names it: a damaged newest version must not
  // hide what an earlier one still says.
  StoreRoles roles;
  for (const ObjectIndex store : store_versions(reader.tables())) {
    const auto properties = heap_properties(reader, reader.tables().objects[store]);
    if (!properties) continue;
    const auto fill = [&](std::optional<std::uint32_t>& role, std::uint16_t id) {
      if (!role) role = named_node(*properties, id);
    };
    fill(roles.ipm_subtree, kIpmSubtreeEntryId);
    fill(roles.wastebasket, kWastebasketEntryId);
    fill(roles.views, kViewsEntryId);
    fill(roles.common_views, kCommonViewsEntryId);
    fill(roles.finder, kFinderEntryId);
  }
  return roles;
}

std::vector<std::uint32_t> structural_folder_nodes(const StoreRoles& roles) {
  std::vector<std::uint32_t> nodes{pst::kNidRootFolder,
                                   roles.ipm_subtree.value_or(kDefaultIpmSubtree)};
  for (const auto& named : {roles.views, roles.common_views, roles.finder})
    if (named) nodes.push_back(*named);
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  return nodes;
}

std::optional<std::string> codepage_name(std::uint32_t codepage) {
  // Internet code pages stored as 8-bit text are kept in their Windows family's code page.
  static const std::map<std::uint32_t, std::uint32_t> kFamily = {
      {20932, 932}, {50220, 932}, {50221, 932}, {50222, 932}, {51932, 932},  // Japanese
      {20936, 936}, {52936, 936}, {54936, 936},                              // Simplified Chinese
      {50225, 949}, {51949, 949},                                            // Korean
      {20000, 950}, {51950, 950},                                            // Traditional Chinese
      {28592, 1250},                                                         // Central European
      {20866, 1251}, {21866, 1251}, {28595, 1251},                           // Cyrillic
      {20127, 1252}, {28591, 1252}, {28605, 1252},                           // Western
      {28597, 1253}, {28599, 1254}, {28598, 1255}, {38598, 1255},
      {28596, 1256}, {28594, 1257}, {28603, 1257}, {28601, 874}};
  if (const auto it = kFamily.find(codepage); it != kFamily.end()) codepage = it->second;
  if (codepage >= 1250 && codepage <= 1258) return "WINDOWS-" + std::to_string(codepage);
  switch (codepage) {
    case 874:
    case 932:
    case 936:
    case 949:
    case 950:
      return "CP" + std::to_string(codepage);
    default:
      return std::nullopt;
  }
}

std::uint32_t locale_codepage(std::uint32_t locale_id) {
  const std::uint32_t language = locale_id & 0x3FF;
  switch (language) {
    case 0x11:
      return 932;
    case 0x12:
      return 949;
    case 0x04:  // Chinese: Taiwan, Hong Kong and Macao write the traditional characters
      return (locale_id == 0x0404 || locale_id == 0x0C04 || locale_id == 0x1404) ? 950 : 936;
    case 0x02:
    case 0x19:
    case 0x22:
    case 0x23:
    case 0x2F:
      return 1251;
    case 0x1A:  // Croatian and Latin Serbian, Cyrillic Serbian
      return locale_id == 0x0C1A ? 1251 : 1250;
    case 0x05:
    case 0x0E:
    case 0x15:
    case 0x18:
    case 0x1B:
    case 0x1C:
    case 0x24:
      return 1250;
    case 0x08:
      return 1253;
    case 0x1F:
      return 1254;
    case 0x0D:
      return 1255;
    case 0x01:
    case 0x20:
    case 0x29:
      return 1256;
    case 0x25:
    case 0x26:
    case 0x27:
      return 1257;
    case 0x2A:
      return 1258;
    case 0x1E:
      return 874;
    default:
      return 1252;
  }
}

std::optional<std::string> file_codepage(const NodeReader& reader) {
  // The text of a Unicode file fills the fields narrowed to Windows-1252, whatever code page
  // its messages were written in.
  if (reader.tables().form == pst::FileForm::kUnicode) return std::string(kDefaultCodepage);
  const auto& objects = reader.tables().objects;
  std::map<std::string, int> votes;
  int voters = 0;
  int read = 0;
  for (ObjectIndex i = 0;
       i < objects.size() && voters < kVotingMessages && read < kReadMessages; ++i) {
    const ObjectNode& object = objects[i];
    if (pst::node_type(object.node_id) != pst::kNodeNormalMessage) continue;
    ++read;
    if (auto name = message_codepage(reader, object)) {
      ++votes[*name];
      ++voters;
    }
  }
  if (!votes.empty()) {
    return std::max_element(votes.begin(), votes.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->first;
  }
  for (const ObjectIndex store : store_versions(reader.tables())) {
    const auto values = long_records(reader, objects[store], {kMessageLocaleId, kLocaleId});
    for (const std::uint16_t id : {kMessageLocaleId, kLocaleId})
      if (const auto it = values.find(id); it != values.end())
        return codepage_name(locale_codepage(it->second));
  }
  return std::nullopt;
}

}  // namespace pstorian
