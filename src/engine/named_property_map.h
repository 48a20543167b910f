// Builds the named-property map from the name-to-id map node (0x61): for every named
// property of the file, the id it is stored under (0x8000 + its index) and its name, a
// property set (GUID) with a number or a string. The item decoding consults the map for
// ids of 0x8000 and above.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/node_reader.h"
#include "engine/object_tables.h"

namespace pstorian {

enum class NamedMapResult {
  kBuilt,        // tables.named_props holds the map of the claimed candidate
  kNotBuilt,     // the claimed candidate could not be read; another may follow
  kNoCandidate,  // no unclaimed object 0x61 is left
};

// The entries of an entry stream (8 bytes each: u32 name id, u16 guid word, u16 property
// index, ending at the first guid word 0) with their names, in map order: ascending mapped
// id, a later entry ahead of an earlier one with the same mapped id, so that lookups find
// the later one.
//
// The guid word holds the GUID index above a string flag (bit 0): index 1 is PS_MAPI, 2
// PS_PUBLIC_STRINGS, 3 and above the 16-byte GUIDs of `guids` from the first on. A string
// name lies in `strings` at the name id, as a u32 byte length and UTF-16 text (`name` keeps
// the low bytes of its characters); a numeric name is the name id itself.
std::vector<NamedPropEntry> parse_named_property_streams(std::span<const std::uint8_t> entries,
                                                         std::span<const std::uint8_t> strings,
                                                         std::span<const std::uint8_t> guids = {});

// The entry a map in map order gives for `mapped_id`; null when it has none.
const NamedPropEntry* find_named_property(const std::vector<NamedPropEntry>& map,
                                          std::uint32_t mapped_id);

// Claims the next unclaimed version of node 0x61 and builds the map from it. `reader` must
// read through `tables`.
NamedMapResult build_named_property_map(const NodeReader& reader, RecoveryTables& tables);

// Builds the map from every candidate and keeps the one that names the most (a map only
// gains names); a file without a readable map keeps an empty map and its named ids
// unchanged.
void ensure_named_property_map(const NodeReader& reader, RecoveryTables& tables);

}  // namespace pstorian
