// Builds a heap-on-node: the allocation layer that property and table contexts live in.
//
// A heap is one or more data blocks. Each block starts with a header, holds its allocations
// back to back, and ends with a page map at an even offset:
//
//   block 0 (HNHDR, 12 bytes):   ibHnpm (2), bSig 0xEC (1), bClientSig (1), hidUserRoot (4),
//                                rgbFillLevel (4: one nibble per block 0..7)
//   blocks 8, 136, 264 ...:      ibHnpm (2), rgbFillLevel (64: blocks i..i+127) (HNBITMAPHDR)
//   other blocks (HNPAGEHDR):    ibHnpm (2)
//   page map at ibHnpm:          cAlloc (2), cFree (2), rgibAlloc[cAlloc + 1] (2 each): the
//                                start of each allocation and, last, the end of the last one
//
// An allocation is named by its heap id: block index << 16 | allocation number (from 1) << 5.
// Heap id 0 names nothing; writers store empty values as 0 rather than allocate them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pstorian {

// A finished block shared between whoever holds it, so that handing out a block that did
// not change costs neither a copy nor a comparison.
using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

class HeapWriter {
 public:
  // The largest single allocation; larger values belong in a subnode.
  static constexpr std::size_t kMaxAllocation = 3580;

  explicit HeapWriter(std::uint8_t client_signature);

  // Adds an allocation holding `bytes` (or `size` zero bytes) and returns its heap id. A new
  // block is started when the current one is full. Throws std::invalid_argument for an empty
  // or too large allocation.
  std::uint32_t allocate(std::span<const std::uint8_t> bytes);
  std::uint32_t allocate(std::size_t size);

  // The bytes of an allocation, to fill in after other allocations were made; valid until
  // the next allocation.
  std::span<std::uint8_t> at(std::uint32_t hid);

  void set_user_root(std::uint32_t hid) { user_root_ = hid; }

  // A point in the heap's growth, to go back to: truncate(mark()) drops every allocation
  // made after the mark, so that a heap can be finished with allocations of the moment (a
  // table's row index) and then grow on from where it was.
  struct Mark {
    std::size_t blocks = 0;
    std::size_t allocations = 0;  // in the last block
    std::size_t used = 0;         // of the last block
  };
  Mark mark() const;
  void truncate(const Mark& mark);

  // The data blocks of the heap, in order. A block that did not change since the last call
  // is the same object as then (blocks holding fill levels are made anew every time).
  std::vector<SharedBytes> finish_shared() const;
  std::vector<std::vector<std::uint8_t>> finish() const;

 private:
  struct Block {
    // The allocations back to back, and where each ends; one buffer a block rather than one
    // a value keeps large heaps cheap to build and to copy.
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint16_t> ends;
    std::size_t used = 0;  // header plus allocations
    // The block as finish_shared() made it last, while set; never kept for blocks whose
    // header holds the fill levels of other blocks.
    mutable SharedBytes finished;
  };
  static bool holds_fill_levels(std::size_t block_index);
  static std::size_t header_size(std::size_t block_index);
  static std::size_t page_map_size(std::size_t allocations);
  std::vector<std::uint8_t> finish_block(std::size_t index) const;

  std::uint8_t client_signature_;
  std::uint32_t user_root_ = 0;
  std::vector<Block> blocks_;
};

}  // namespace pstorian
