#include "engine/named_property_map.h"

#include <algorithm>
#include <numeric>

#include "engine/property_reader.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

constexpr std::uint16_t kEntryStreamId = 0x0003;
constexpr std::uint16_t kStringStreamId = 0x0004;
constexpr std::size_t kEntrySize = 8;

std::string string_name(std::span<const std::uint8_t> strings, std::uint32_t offset) {
  std::string name;
  if (std::uint64_t{offset} + 4 > strings.size()) return name;
  std::uint32_t length = pst::load_le32(strings, offset);
  if (strings.size() < 5 || length > strings.size() - 5) length &= 0xFF;
  // Whatever the length claims, the name ends with the stream.
  const std::size_t first = offset + 4;
  const std::size_t last = std::min<std::size_t>(first + length, strings.size());
  for (std::size_t at = first; at + 2 <= last; at += 2) {
    const std::uint8_t low = strings[at];
    if (low == 0) break;
    name.push_back(static_cast<char>(low));
  }
  return name;
}

const PropValue* find_value(const PropRow& row, std::uint32_t id) {
  for (const PropValue& v : row.values)
    if (v.id == id) return &v;
  return nullptr;
}

}  // namespace

std::vector<NamedPropEntry> parse_named_property_streams(std::span<const std::uint8_t> entries,
                                                         std::span<const std::uint8_t> strings) {
  std::vector<NamedPropEntry> found;
  for (std::size_t at = 0; at + kEntrySize <= entries.size(); at += kEntrySize) {
    NamedPropEntry e;
    const std::uint32_t name_id = pst::load_le32(entries, at);
    e.guid_word = pst::load_le16(entries, at + 4);
    if (e.guid_word == 0) break;
    e.mapped_id = 0x8000u + pst::load_le16(entries, at + 6);
    if ((e.guid_word & 1) == 0) {
      e.kind = 1;
      e.numeric_name = name_id & 0xFFFF;
    } else {
      e.kind = 2;
      e.name = string_name(strings, name_id & 0xFFFF);
    }
    found.push_back(std::move(e));
  }
  // Each entry goes in before the first one whose mapped id is not lower: ascending ids,
  // and among equal ids the later entries first.
  std::vector<std::size_t> order(found.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&found](std::size_t a, std::size_t b) {
    if (found[a].mapped_id != found[b].mapped_id) return found[a].mapped_id < found[b].mapped_id;
    return a > b;
  });
  std::vector<NamedPropEntry> map;
  map.reserve(found.size());
  for (std::size_t i : order) map.push_back(std::move(found[i]));
  return map;
}

NamedMapResult build_named_property_map(const NodeReader& reader, RecoveryTables& tables) {
  const auto claimed = tables.claim_object(pst::kNidNameToIdMap);
  if (!claimed) return NamedMapResult::kNoCandidate;
  const ObjectNode& node = tables.objects[*claimed];
  if (node.data_block == nullptr) return NamedMapResult::kNotBuilt;
  const SubnodeList subnodes = reader.read_subnodes(node.subnode_block);
  const auto rows = read_properties(reader, node.data_block, subnodes);
  if (!rows || rows->empty()) return NamedMapResult::kNotBuilt;
  const PropValue* entries = find_value(rows->front(), kEntryStreamId);
  if (entries == nullptr || !entries->data) return NamedMapResult::kNotBuilt;
  const PropValue* strings = find_value(rows->front(), kStringStreamId);
  const Bytes none;
  tables.named_props = parse_named_property_streams(
      *entries->data, strings && strings->data ? *strings->data : none);
  tables.named_props_built = true;
  return NamedMapResult::kBuilt;
}

void ensure_named_property_map(const NodeReader& reader, RecoveryTables& tables) {
  while (!tables.named_props_built) {
    if (build_named_property_map(reader, tables) == NamedMapResult::kNoCandidate) return;
  }
}

}  // namespace pstorian
