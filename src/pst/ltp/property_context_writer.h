// A property context (PC): a heap (client signature 0xBC) whose user root is a BTH of the
// node's properties, keyed by the 2-byte property id with 6-byte entries:
//
//   wPropType (2), dwValueHnid (4): the value itself for types of at most 4 bytes,
//   otherwise the heap id of its bytes, the subnode id of a large value, or 0 when empty.
//
// Allocations in the order a reader finds in files from the mail client: the BTH header
// (heap id 0x20), its records (0x40), then the values in property id order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/ltp/stored_property.h"
#include "pst/ndb/subnode_sink.h"

namespace pstorian {

// Builds the heap blocks of a PC. Throws std::invalid_argument for two properties with the
// same id, a fixed-size value of the wrong size, or a value too large for the heap when
// there is no `large_values` sink.
std::vector<std::vector<std::uint8_t>> build_property_context(
    std::span<const PropertyView> properties, SubnodeSink* large_values = nullptr);
std::vector<std::vector<std::uint8_t>> build_property_context(
    std::span<const StoredProperty> properties, SubnodeSink* large_values = nullptr);

}  // namespace pstorian
