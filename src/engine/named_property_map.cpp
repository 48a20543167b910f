#include "engine/named_property_map.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "engine/content_reader.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

constexpr std::uint32_t kGuidStreamTag = 0x00020102;
constexpr std::uint32_t kEntryStreamTag = 0x00030102;
constexpr std::uint32_t kStringStreamTag = 0x00040102;
constexpr std::size_t kEntrySize = 8;
constexpr std::size_t kGuidSize = 16;
constexpr std::uint16_t kFirstStreamGuid = 3;

// The two property sets every map knows without storing them, as stored (the GUID
// structure's byte order): PS_MAPI {00020328-0000-0000-C000-000000000046} and
// PS_PUBLIC_STRINGS {00020329-0000-0000-C000-000000000046}.
constexpr std::array<std::uint8_t, kGuidSize> kPsMapi{0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::array<std::uint8_t, kGuidSize> kPsPublicStrings{
    0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// The UTF-16 units of the string name at `offset`: a u32 byte length, then the text.
// Whatever the length claims, the name ends with the stream, and at a zero unit.
std::u16string wide_string_name(std::span<const std::uint8_t> strings, std::uint32_t offset) {
  std::u16string name;
  if (std::uint64_t{offset} + 4 > strings.size()) return name;
  const std::size_t first = std::size_t{offset} + 4;
  const std::size_t last =
      first + std::min<std::size_t>(pst::load_le32(strings, offset), strings.size() - first);
  for (std::size_t at = first; at + 2 <= last; at += 2) {
    const std::uint16_t unit = pst::load_le16(strings, at);
    if (unit == 0) break;
    name.push_back(static_cast<char16_t>(unit));
  }
  return name;
}

// The same name in single-byte form as the field extraction has always matched it: the low
// bytes of the characters up to the first whose low byte is zero, and a length beyond the
// stream cut to its low 8 bits.
std::string string_name(std::span<const std::uint8_t> strings, std::uint32_t offset) {
  std::string name;
  if (std::uint64_t{offset} + 4 > strings.size()) return name;
  std::uint32_t length = pst::load_le32(strings, offset);
  if (strings.size() < 5 || length > strings.size() - 5) length &= 0xFF;
  const std::size_t first = std::size_t{offset} + 4;
  const std::size_t last = std::min<std::size_t>(first + length, strings.size());
  for (std::size_t at = first; at + 2 <= last; at += 2) {
    const std::uint8_t low = strings[at];
    if (low == 0) break;
    name.push_back(static_cast<char>(low));
  }
  return name;
}

// The property set of GUID index `index`; std::nullopt when the GUID stream does not hold it.
std::optional<std::array<std::uint8_t, kGuidSize>> property_set(std::span<const std::uint8_t> guids,
                                                                std::uint16_t index) {
  if (index == 1) return kPsMapi;
  if (index == 2) return kPsPublicStrings;
  if (index < kFirstStreamGuid) return std::nullopt;
  const std::size_t at = (std::size_t{index} - kFirstStreamGuid) * kGuidSize;
  if (at + kGuidSize > guids.size()) return std::nullopt;
  std::array<std::uint8_t, kGuidSize> guid{};
  std::copy_n(guids.begin() + static_cast<std::ptrdiff_t>(at), kGuidSize, guid.begin());
  return guid;
}

const ContentProperty* find_tag(const ContentProperties& properties, std::uint32_t tag) {
  for (const ContentProperty& p : properties)
    if (p.tag == tag) return &p;
  return nullptr;
}

}  // namespace

std::vector<NamedPropEntry> parse_named_property_streams(std::span<const std::uint8_t> entries,
                                                         std::span<const std::uint8_t> strings,
                                                         std::span<const std::uint8_t> guids) {
  std::vector<NamedPropEntry> found;
  found.reserve(entries.size() / kEntrySize);
  for (std::size_t at = 0; at + kEntrySize <= entries.size(); at += kEntrySize) {
    NamedPropEntry e;
    const std::uint32_t name_id = pst::load_le32(entries, at);
    e.guid_word = pst::load_le16(entries, at + 4);
    if (e.guid_word == 0) break;
    e.mapped_id = 0x8000u + pst::load_le16(entries, at + 6);
    const auto guid = property_set(guids, static_cast<std::uint16_t>(e.guid_word >> 1));
    if (guid) e.full_name.emplace().guid = *guid;
    if ((e.guid_word & 1) == 0) {
      e.kind = 1;
      e.numeric_name = name_id & 0xFFFF;
      if (e.full_name) e.full_name->lid = name_id;
    } else {
      e.kind = 2;
      e.name = string_name(strings, name_id);
      if (e.full_name) e.full_name->name = wide_string_name(strings, name_id);
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

const NamedPropEntry* find_named_property(const std::vector<NamedPropEntry>& map,
                                          std::uint32_t mapped_id) {
  const auto it = std::lower_bound(
      map.begin(), map.end(), mapped_id,
      [](const NamedPropEntry& e, std::uint32_t id) { return e.mapped_id < id; });
  return it != map.end() && it->mapped_id == mapped_id ? &*it : nullptr;
}

NamedMapResult build_named_property_map(const NodeReader& reader, RecoveryTables& tables) {
  const auto claimed = tables.claim_object(pst::kNidNameToIdMap);
  if (!claimed) return NamedMapResult::kNoCandidate;
  const ObjectNode& node = tables.objects[*claimed];
  if (node.data_block == nullptr) return NamedMapResult::kNotBuilt;
  const SubnodeList subnodes = reader.read_subnodes(node.subnode_block);
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const ContentReader content(reader, budget);
  const auto heap = content.open_heap(*node.data_block);
  if (!heap) return NamedMapResult::kNotBuilt;
  const auto properties = content.properties(*heap, {SubnodeScope(subnodes), {}});
  if (!properties) return NamedMapResult::kNotBuilt;
  const ContentProperty* entries = find_tag(*properties, kEntryStreamTag);
  if (entries == nullptr || entries->value.empty()) return NamedMapResult::kNotBuilt;
  const ContentProperty* strings = find_tag(*properties, kStringStreamTag);
  const ContentProperty* guids = find_tag(*properties, kGuidStreamTag);
  const std::vector<std::uint8_t> none;
  tables.named_props = parse_named_property_streams(entries->value, strings ? strings->value : none,
                                                    guids ? guids->value : none);
  tables.named_props_built = true;
  return NamedMapResult::kBuilt;
}

void ensure_named_property_map(const NodeReader& reader, RecoveryTables& tables) {
  // A map only ever gains names, and no tree of the file says which of its versions is
  // current here: the version that names the most is the newest. The first version found
  // may be an early one that names only the store's own properties.
  std::vector<NamedPropEntry> largest;
  bool built = false;
  for (;;) {
    tables.named_props_built = false;
    const NamedMapResult r = build_named_property_map(reader, tables);
    if (r == NamedMapResult::kNoCandidate) break;
    if (r == NamedMapResult::kBuilt && (!built || tables.named_props.size() > largest.size())) {
      largest = std::move(tables.named_props);
      built = true;
    }
  }
  tables.named_props = std::move(largest);
  tables.named_props_built = built;
}

}  // namespace pstorian
