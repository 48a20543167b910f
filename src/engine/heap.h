// Heap ids inside one heap-on-node block.
//
// A heap block starts with its header; the first 32-bit value holds the offset of the page
// map (low 16 bits) and the heap and client signatures (high 16 bits). The page map is
//   m+0  u16 number of allocations       m+2  u16 number of freed allocations
//   m+4  u16 offsets: start of allocation 1, start of allocation 2, ..., end of the last
// so allocation i (1-based) runs from the offset at m + 2i to the one at m + 2i + 2.
// A heap id carries the allocation index in bits 5-15 and a block index in bits 16-31.
// Only one-block heaps are read: a heap id naming a later block points past the page map
// and does not resolve.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace pstorian {

struct HeapAllocation {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t size() const { return end > start ? end - start : 0; }
};

// The page map offset of a heap block, or 0 when the block is too short to have one.
std::uint32_t heap_page_map_offset(std::span<const std::uint8_t> block);

// Start and end of heap id `hid`, read from the page map at `page_map`: the 16-bit values
// at page_map + (hid >> 4) + 2 and + 4. std::nullopt for hid 0, an empty block, or table
// entries that lie outside the block. The offsets themselves are not checked here.
std::optional<HeapAllocation> resolve_heap_id(std::span<const std::uint8_t> block,
                                              std::uint32_t page_map, std::uint32_t hid);

}  // namespace pstorian
