// Reads the heap-on-node of a node's data block as a property context (one row of
// properties) or a table context (one row per table row) into PropRow / PropValue.
//
// Only one-block heaps are understood. Ids of 0x8000 and above are passed through the
// named-property map held by the tables: a numeric name replaces the id, a string name is
// attached to the value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/bytes.h"
#include "engine/node_reader.h"

namespace pstorian {

struct PropValue {
  std::uint32_t id = 0;    // tag id, or the numeric name of a mapped named property
  std::uint16_t type = 0;  // the stored property type; 0 for a type that is not loaded
  // The value's bytes (4 bytes for inline 16-bit, 32-bit and boolean values); absent when
  // the value could not be read or its type is not loaded.
  std::optional<Bytes> data;
  std::optional<std::string> name;  // the name of a string-named property

  std::uint32_t size() const { return data ? static_cast<std::uint32_t>(data->size()) : 0; }
};

struct PropRow {
  std::uint32_t row_total = 0;    // property context: 1; table context: rows announced
  std::vector<PropValue> values;  // the kept values, in stored order
};

using PropRows = std::vector<PropRow>;

// Reads the properties of `data_block` (decoded, not expanded as a data tree), taking
// subnode references from `subnodes`. std::nullopt when the block is missing or unreadable,
// is no property or table context heap, or one of its structures does not resolve inside
// the heap; a table context without rows gives an empty chain. Single values that cannot
// be read are dropped from their row.
std::optional<PropRows> read_properties(const NodeReader& reader, const BlockRef* data_block,
                                        const SubnodeList& subnodes);

}  // namespace pstorian
