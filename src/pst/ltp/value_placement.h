// The one rule that property and table contexts share for where a value goes: fixed-size
// values that fit their slot are stored in it, anything else in the heap (heap id), in a
// subnode when larger than a heap allocation (subnode id), or as 0 when empty.
#pragma once

#include <cstdint>

#include "pst/ltp/heap_writer.h"
#include "pst/ltp/stored_property.h"
#include "pst/ndb/subnode_sink.h"

namespace pstorian {

// Returns the 4-byte slot content for slot sizes of 4 (a PC entry, a table's 4-byte cell of
// a variable-size column). Values of fixed size at most `slot_size` come back as their
// little-endian number; callers with larger cells store those themselves.
std::uint32_t place_value(HeapWriter& heap, const PropertyView& property, std::size_t slot_size,
                          SubnodeSink* large_values);

}  // namespace pstorian
