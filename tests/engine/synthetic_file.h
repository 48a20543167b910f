// Test support: a small personal-folder-like file made of hand-built blocks, with the
// RecoveryTables that a scan of it would give, and builders for the heap structures that
// the node data reader parses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/byte_source.h"
#include "engine/bytes.h"
#include "engine/object_tables.h"

namespace pstorian::testing {

// Blocks are laid out 64-byte aligned, each followed by room for its trailer.
class SyntheticFile {
 public:
  SyntheticFile();
  SyntheticFile(const SyntheticFile&) = delete;
  SyntheticFile& operator=(const SyntheticFile&) = delete;

  // Appends a block with `id` holding `data` (permutatively encoded first when `encode`).
  // Returns the block's file offset.
  std::uint32_t add_block(std::uint32_t id, const Bytes& data, bool encode = false);
  // Registers block `id` at `offset` / `size` without writing anything.
  void index_block(std::uint32_t id, std::uint32_t offset, std::uint32_t size) {
    tables.blocks.add(id, offset, size);
  }
  // A block id no block of the file has yet, beyond the small ones tests pick by hand;
  // `internal` for data trees and subnode blocks.
  std::uint32_t new_block_id(bool internal) {
    next_block_id_ += 4;
    return next_block_id_ | (internal ? 2u : 0u);
  }
  // The file's bytes, with `tail` more after the last block; valid until the next call.
  MemorySource source(std::uint32_t tail = 64);
  std::uint32_t end() const { return static_cast<std::uint32_t>(image_.size()); }

  RecoveryTables tables;

 private:
  Bytes image_;
  Bytes final_;
  std::uint32_t next_block_id_ = 0x100000;
};

// A heap-on-node block: allocations 1..n hold the given byte strings, in order (the heap id
// of allocation i is i << 5). `client` is 0xBC (property context) or 0x7C (table context).
Bytes heap_block(std::uint8_t client, std::uint32_t user_root,
                 const std::vector<Bytes>& allocations);
constexpr std::uint32_t hid(std::uint32_t allocation) {
  return allocation << 5;
}

// One property of a property context: an inline value, or a value held in the heap.
struct PcProp {
  std::uint16_t id;
  std::uint16_t type;
  std::uint32_t stored = 0;           // inline value, or heap / subnode id if no heap_value
  std::optional<Bytes> heap_value{};  // stored as a heap allocation referenced by the record
};
// A property context heap with the records in the given order.
Bytes property_context(const std::vector<PcProp>& props);

// A table context heap with columns 0x67F20003 (row id), a 32-bit column and a string
// column, and one row per (number, text); `rows_ref` overrides the rows reference.
Bytes table_context(std::uint32_t long_tag, std::uint32_t text_tag,
                    const std::vector<std::pair<std::uint32_t, std::string>>& rows,
                    std::optional<std::uint32_t> rows_ref = std::nullopt);

// A leaf subnode block with entries (subnode id, data block id, nested subnode block id).
Bytes subnode_block(const std::vector<std::array<std::uint32_t, 3>>& entries);

Bytes bytes_of(const std::string& s);
Bytes le32_bytes(std::uint32_t v);

}  // namespace pstorian::testing
