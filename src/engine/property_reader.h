// The field extraction's view of a node's properties: PropValue / PropRow, read through the
// content reader (content_reader.h) and shaped by the rules the extraction has always
// worked by, which differ from the whole content in a few ways:
//
//   - 16-bit, 32-bit and boolean values are the record's (or cell's) 4 bytes;
//   - strings, binaries, 64-bit numbers, times, GUIDs, objects and the multi-valued 32-bit,
//     string and binary types carry their bytes; a value in a subnode that cannot be read
//     stays without data, one in the heap that is empty or cannot be read is dropped;
//     Unicode strings (single and multi-valued) count among those strings in files of the
//     64-bit form, where all text is Unicode;
//   - values of any other type stay in the row with type 0 and no data;
//   - ids of 0x8000 and above are passed through the named-property map held by the
//     tables: a numeric name replaces the id, a string name is attached to the value;
//   - a table's rows are those its heap holds (a row matrix in a subnode gives none).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/bytes.h"
#include "engine/content_reader.h"
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
  std::uint32_t row_total = 0;    // property context: 1; table context: rows read
  std::vector<PropValue> values;  // the kept values, in stored order
};

using PropRows = std::vector<PropRow>;

// A PropValue whose bytes live elsewhere: how the decoding hands values to the extraction
// without copying them first.
struct PropView {
  std::uint32_t id = 0;
  std::uint16_t type = 0;
  std::optional<std::span<const std::uint8_t>> data;
  const std::string* name = nullptr;

  static PropView of(const PropValue& v) {
    PropView view{v.id, v.type, std::nullopt, v.name ? &*v.name : nullptr};
    if (v.data) view.data = std::span<const std::uint8_t>(*v.data);
    return view;
  }
};

// The view the extraction takes of `slot` by the rules above; std::nullopt when the value is
// dropped. Inline values are put in `inline_bytes`, which must outlive the view.
std::optional<PropView> field_view(const PropertySlot& slot,
                                   const std::vector<NamedPropEntry>& named_props,
                                   std::array<std::uint8_t, 4>& inline_bytes,
                                   pst::FileForm form = pst::FileForm::kAnsi);

// Reads the properties of `data_block` (a heap block, or a data tree of heap blocks), taking
// subnode references from `subnodes`. std::nullopt when the block is missing or unreadable,
// or is no property or table context; a table context without rows gives an empty chain.
std::optional<PropRows> read_properties(const NodeReader& reader, const BlockRef* data_block,
                                        const SubnodeList& subnodes);

}  // namespace pstorian
