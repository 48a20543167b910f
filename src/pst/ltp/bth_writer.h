// A B-tree-on-heap (BTH): sorted fixed-size records kept in heap allocations.
//
//   BTHHEADER (8 bytes): bType 0xB5, cbKey, cbEnt, bIdxLevels, hidRoot (0 when empty)
//   leaf allocation:     records of cbKey + cbEnt bytes in ascending key order
//   index allocation:    (key, heap id of the child allocation) pairs, one level per
//                        bIdxLevels, the key being the child's first key
//
// Records that fit in one allocation need no index level. Property contexts use 2-byte keys
// with 6-byte entries; the row index of a table uses 4-byte keys with 2-byte row numbers
// (4-byte ones in the wide-character form).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/ltp/heap_writer.h"

namespace pstorian {

// Allocates the 8-byte header, so that it can take the heap id its owner expects (property
// contexts and table contexts put it first); fill it later with write_bth.
std::uint32_t reserve_bth_header(HeapWriter& heap);

// Where the leaf records went, so that an owner can fill in entries (heap ids of values)
// that it allocates after the records.
struct BthLeaves {
  std::vector<std::uint32_t> hids;  // leaf allocations in key order
  std::size_t per_allocation = 0;   // records in each but the last
  std::size_t record_size = 0;

  std::span<std::uint8_t> record(HeapWriter& heap, std::size_t i) const {
    return heap.at(hids.at(i / per_allocation))
        .subspan(i % per_allocation * record_size, record_size);
  }
};

// Stores `records` (sorted by key, each key_size + entry_size bytes) and completes the header
// at `header_hid`. Throws std::invalid_argument for unsorted or ragged records.
BthLeaves write_bth(HeapWriter& heap, std::uint32_t header_hid, std::uint8_t key_size,
                    std::uint8_t entry_size, std::span<const std::uint8_t> records);

}  // namespace pstorian
