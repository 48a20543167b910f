// What the scan of a 64-bit (Unicode) file recognises at the end of each 64-byte unit. Every
// block and page of that form ends on a 64-byte boundary with a 16-byte trailer, so the
// place of a trailer is known exactly and the scan looks at each boundary once:
//
//   block trailer (16 bytes before the boundary)   node B-tree leaf page (512-byte boundary)
//   bytes 0-1   cb, data bytes in the block        24 bytes before it: cEnt, cEntMax 0x0F (15),
//   bytes 2-3   wSig                                 cbEnt 0x20 (32), cLevel 0, 4 bytes padding
//   bytes 4-7   dwCRC                              16 bytes before it: ptype, ptypeRepeat 0x81
//   bytes 8-15  bid                                  0x81, wSig, dwCRC, bid
//
// The page's 15 entry slots of 32 bytes (nid, bidData, bidSub, nidParent, padding) begin
// at the page's first byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "engine/object_tables.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/layout_unicode.h"
#include "format/signature.h"

namespace pstorian::unicode_probe {

// Bytes looked at before each boundary: a whole page, for the leaf page test.
constexpr std::size_t kWindow = pst::unicode::kPageSize;
// Nothing that begins before the first allocation map page is a block or a node page.
constexpr std::uint64_t kFirstBlockOffset = pst::unicode::kFirstAMapOffset;

// The block whose trailer ends at `end` (a multiple of 64), if the trailer's signature fits
// the place; `trailer` holds its 16 bytes. Signature 0 is common in any data, so a block
// that has it comes with needs_crc_check: whoever records it compares its check value with
// its data first.
struct TrailerFind {
  BlockRef block;
  bool needs_crc_check = false;
  std::uint32_t crc = 0;
};

inline std::optional<TrailerFind> block_trailer(std::uint64_t end,
                                                std::span<const std::uint8_t, 16> trailer) {
  const std::uint32_t cb = pst::load_le16(trailer, 0);
  const std::uint32_t sig = pst::load_le16(trailer, 2);
  const std::uint64_t id = pst::load_le64(trailer, 8);
  if (id == 0 || cb == 0 || cb > pst::unicode::kMaxBlockData) return std::nullopt;
  const std::uint64_t span = (cb + pst::unicode::kBlockTrailerSize + pst::unicode::kBlockAlignment -
                              1) / pst::unicode::kBlockAlignment * pst::unicode::kBlockAlignment;
  if (end < kFirstBlockOffset + span) return std::nullopt;
  const std::uint64_t offset = end - span;
  // The signature ties the low 32 bits of offset and id, as in the 32-bit form.
  if (pst::block_signature(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(id)) !=
      sig)
    return std::nullopt;
  return TrailerFind{BlockRef{id, offset, cb}, sig == 0, pst::load_le32(trailer, 4)};
}

// Whether the 24 bytes before a 512-byte boundary close a node B-tree leaf page.
inline bool is_leaf_page_tail(std::span<const std::uint8_t, 24> tail) {
  return tail[1] == pst::unicode::kNbtLeafMaxEntries &&
         tail[2] == pst::unicode::kNbtLeafEntrySize && tail[3] == 0 && tail[0] <= tail[1] &&
         tail[8] == pst::kPageNbt && tail[9] == pst::kPageNbt;
}

struct LeafEntry {
  std::uint32_t node_id;
  std::uint64_t data_block_id, subnode_block_id;
  std::uint32_t parent_id;
};

// The entries in the slots of a leaf page (its first 480 bytes), by the same rules as the
// 32-bit form: the first slot with node id and data block id 0 ends them, and a slot that
// repeats one value in every field is filler. A node id whose high half is set is no node
// id (they are 32 bits wide, stored in 8 bytes), so its slot is left out too.
template <typename F>
void for_each_leaf_entry(std::span<const std::uint8_t> page, F&& f) {
  for (std::uint32_t i = 0; i < pst::unicode::kNbtLeafMaxEntries; ++i) {
    const std::size_t at = i * std::size_t{pst::unicode::kNbtLeafEntrySize};
    const std::uint64_t nid = pst::load_le64(page, at);
    const LeafEntry e{static_cast<std::uint32_t>(nid), pst::load_le64(page, at + 8),
                      pst::load_le64(page, at + 16), pst::load_le32(page, at + 24)};
    if (nid == 0 && e.data_block_id == 0) break;
    if (nid >> 32 != 0) continue;
    if (nid != 0 && e.data_block_id == nid && e.subnode_block_id == nid && e.parent_id == nid)
      continue;
    f(e);
  }
}

}  // namespace pstorian::unicode_probe
