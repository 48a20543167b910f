// Decodes one node of the source file into an ItemRecord: reads its subnodes and its heap
// once and stores each property of the first row by its id into the record's fields; for
// message and folder nodes the record also keeps what the node holds whole (its content,
// read as content_reader.h describes).
#pragma once

#include <optional>

#include "engine/item_record.h"
#include "engine/node_reader.h"
#include "engine/property_reader.h"

namespace pstorian {

// The record of `object`; std::nullopt when it has no data block or its properties cannot
// be read. A table context gives the record of its first row; one without rows an empty
// record. Message nodes (normal and associated) get their content whole, with recipients
// and attachments; folder nodes their properties as content.
std::optional<ItemRecord> decode_item(const NodeReader& reader, const ObjectNode& object);

// Stores the values of `row` into `item` in row order. Ids that no field lists are ignored.
void extract(const PropRow& row, ItemRecord& item);

// Stores one value of a row into `item`; `class_seen` carries over from the values before
// it in the same row (only the first message class of a row counts).
void extract_value(const PropView& value, ItemRecord& item, bool& class_seen);

// The contact, appointment, task, journal and sticky note fields of one value (the
// kind-specific part of the extraction); false when none of them lists its id.
bool extract_kind_property(const PropView& value, ItemRecord& item);

}  // namespace pstorian
