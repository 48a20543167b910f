// Builds the named-property map from the name-to-id map node (0x61): for every named
// property of the file, the id it is stored under (0x8000 + its index) and its name, a
// number or a string. The property reader consults the map for ids of 0x8000 and above.
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
// index, ending at the first guid word 0) with their names from the string stream (at the
// name id's low 16 bits: u32 byte length, then UTF-16 text of which the low bytes are
// kept), in map order: ascending mapped id, a later entry ahead of an earlier one with the
// same mapped id, so that lookups find the later one.
std::vector<NamedPropEntry> parse_named_property_streams(std::span<const std::uint8_t> entries,
                                                         std::span<const std::uint8_t> strings);

// Claims the next unclaimed version of node 0x61 and builds the map from it. `reader` must
// read through `tables`.
NamedMapResult build_named_property_map(const NodeReader& reader, RecoveryTables& tables);

// Tries the candidates one after another until a map is built or none is left; a file
// without a readable map keeps an empty map and its named ids unchanged.
void ensure_named_property_map(const NodeReader& reader, RecoveryTables& tables);

}  // namespace pstorian
