// Decodes one node of the source file into an ItemRecord: reads its subnodes and property
// context and walks the first row once, storing each property by its id.
#pragma once

#include <optional>

#include "engine/item_record.h"
#include "engine/node_reader.h"
#include "engine/property_reader.h"

namespace pstorian {

// The record of `object`; std::nullopt when it has no data block or its properties cannot
// be read. A table context gives the record of its first row; one without rows an empty
// record.
std::optional<ItemRecord> decode_item(const NodeReader& reader, const ObjectNode& object);

// Stores the values of `row` into `item` in row order. Ids that no field lists are ignored.
void extract(const PropRow& row, ItemRecord& item);

// The contact, appointment, task, journal and sticky note fields of one value (the
// kind-specific part of the extraction); false when none of them lists its id.
bool extract_kind_property(const PropValue& value, ItemRecord& item);

}  // namespace pstorian
