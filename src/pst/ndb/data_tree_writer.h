// Node data larger than one block, and the subnodes of a node, as blocks:
//
//   data tree:   the data in leaf data blocks of at most 8,180 bytes, listed by an XBLOCK
//                (btype 0x01, cLevel 1, cEnt (2), lcbTotal (4), cEnt leaf bids (4 each):
//                up to 2,043 leaves) and, beyond that, by an XXBLOCK (cLevel 2) of XBLOCKs.
//   subnodes:    an SLBLOCK (btype 0x02, cLevel 0, cEnt (2), then cEnt entries of
//                nid (4), bidData (4), bidSub (4): up to 681) and, beyond that, an SIBLOCK
//                (cLevel 1, entries of nid (4) and the SLBLOCK's bid (4)).
//
// The 64-bit form keeps the shapes with 8-byte ids: leaves of at most 8,176 bytes, XBLOCKs
// of up to 1,021 ids, SLBLOCKs with 4 bytes of padding after cEnt and entries of nid (8),
// bidData (8), bidSub (8) (up to 340), SIBLOCKs with entries of nid (8) and bid (8).
//
// XBLOCKs, XXBLOCKs, SLBLOCKs and SIBLOCKs are internal blocks (bit 1 of the id set) and are
// never encoded; the leaves are data blocks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/ndb/form_layout.h"

namespace pstorian {

// Hands out block ids, internal or data; a store takes them from the header's bidNextB.
class BlockIdSource {
 public:
  virtual ~BlockIdSource() = default;
  virtual std::uint64_t next_bid(bool internal) = 0;
  // The form of the file the blocks are for: it sets their size and layout.
  virtual FileForm form() const { return FileForm::kAnsi; }
};

// A block made but not yet placed in the file.
struct PendingBlock {
  std::uint64_t bid = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t references = 0;  // from other pending blocks (data trees, subnode blocks)
};

// Splits `data` into leaf blocks of as many whole `unit`s as fit in one block (a table's
// row matrix must not split a row; plain values use unit 1). With a unit above 1 every leaf
// but the last is padded with zeros to the full block size. Each leaf has room for the trailer of its block, which is then built in place.
std::vector<std::vector<std::uint8_t>> split_into_blocks(std::span<const std::uint8_t> data,
                                                         std::size_t unit = 1,
                                                         FileForm form = FileForm::kAnsi);

// Stores the leaves (each at most one block) as a single data block or a data tree; appends
// the blocks to `out` and returns the id that a node's bidData (or a subnode entry) names.
// Returns 0 for no leaves.
std::uint64_t write_data_tree(std::span<const std::vector<std::uint8_t>> leaves, BlockIdSource& ids,
                              std::vector<PendingBlock>& out);
// The same, taking the leaves' buffers over instead of copying them.
std::uint64_t move_into_data_tree(std::vector<std::vector<std::uint8_t>>&& leaves, BlockIdSource& ids,
                                  std::vector<PendingBlock>& out);

struct SubnodeEntry {
  std::uint32_t nid = 0;
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
};

// Stores the subnode entries (any order; nids must be unique) as SLBLOCKs, under an
// SIBLOCK when one is not enough; returns the id for the node's bidSub, 0 when empty.
std::uint64_t write_subnode_blocks(std::vector<SubnodeEntry> entries, BlockIdSource& ids,
                                   std::vector<PendingBlock>& out);

}  // namespace pstorian
