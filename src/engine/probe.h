// What one probe of the scan recognises. A probe is 12 bytes read 4 bytes ahead of a
// place where a block trailer or a page trailer may begin:
//
//   node B-tree leaf page tail (page offset 496)    block trailer (ANSI), probe bytes 4-15
//   byte 0   cEnt      entries in use               bytes 0-3   last block data bytes
//   byte 1   cEntMax   0x1F (31)                    bytes 4-5   cb, data bytes in the block
//   byte 2   cbEnt     0x10 (16)                    bytes 6-7   wSig
//   byte 3   cLevel    0 for a leaf                 bytes 8-11  bid
//   byte 4-5 ptype, ptypeRepeat: 0x81 0x81
//
// The leaf page's 31 entry slots of 16 bytes (nid, bidData, bidSub, nidParent) are the
// 496 bytes before the probe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "engine/object_tables.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"

namespace pstorian {

constexpr std::size_t kProbeSize = 12;

// The ten passes, in order: pass k probes at probe_start(k) + 512·n.
constexpr std::array<std::uint32_t, 10> kProbePhases{0, 2, 4, 8, 12, 16, 20, 24, 28, 30};
constexpr std::uint32_t probe_start(std::size_t pass) { return (kProbePhases[pass] + 1151) * 16; }
// Bytes a probe needs before its own 12: the leaf page's entry slots.
constexpr std::uint32_t kLeafSlotBytes = 496;
constexpr std::uint32_t kLeafSlots = 31;
constexpr std::uint32_t kLeafSlotSize = 16;

enum class ProbeShape {
  kLeafPage,     // a node B-tree leaf page tail that passed every test
  kRejectedPage, // the shape of a leaf page tail, but a wrong page type or entry count
  kOther,        // not a page tail: may be a block trailer
};

// The outcome of the block trailer test at probe offset `probe_offset`.
struct TrailerProbe {
  bool windowed = false;          // a reconstructed offset passed the window test
  std::optional<BlockRef> block;  // the block to record, if its signature matched
  // The block's signature is 0. One block in 65,536 has that signature by right, but zeros
  // are common in any data, so such a block is recorded only when the check value in its
  // trailer (4 bytes after the probe) matches its data.
  bool needs_crc_check = false;
};

// A cheap first test that most probes fail: false only if the probe can be neither a
// leaf page tail nor a block trailer with a usable byte count.
inline bool may_be_page_or_trailer(std::span<const std::uint8_t, kProbeSize> probe) {
  const std::uint64_t head = pst::load_le64(probe, 0);
  const bool page_shape = (head & 0xFFFFFF00u) ==
                          ((pst::kNbtLeafMaxEntries << 8) | (pst::kNbtLeafEntrySize << 16));
  const auto cb = static_cast<std::uint32_t>((head >> 32) & 0xFFFF);
  return page_shape | (cb - 1u < pst::kMaxBlockData);
}

// The ten probes of one page lie within these bytes, counted from the first one.
constexpr std::size_t kPageProbeSpan = kProbePhases.back() * 16 + kProbeSize;

// The first test for all ten probes of a page at once: bit k is set if the probe of pass k
// (at byte 16·kProbePhases[k] of `probes`) passed. Without a branch per probe, the walk
// costs the same whatever the data holds.
inline unsigned first_test_of_page(std::span<const std::uint8_t, kPageProbeSpan> probes) {
  return [probes]<std::size_t... K>(std::index_sequence<K...>) {
    return ((static_cast<unsigned>(may_be_page_or_trailer(
                 probes.subspan<kProbePhases[K] * 16, kProbeSize>()))
             << K) |
            ...);
  }(std::make_index_sequence<kProbePhases.size()>{});
}

// Both tests run for every probe that passed the first, so they are inline.
inline ProbeShape probe_shape(std::span<const std::uint8_t, kProbeSize> probe) {
  if (probe[1] != pst::kNbtLeafMaxEntries || probe[2] != pst::kNbtLeafEntrySize || probe[3] != 0)
    return ProbeShape::kOther;
  if (pst::load_le16(probe, 4) != (pst::kPageNbt | (pst::kPageNbt << 8)) || probe[0] > probe[1])
    return ProbeShape::kRejectedPage;
  return ProbeShape::kLeafPage;
}

namespace probe_detail {

constexpr std::uint32_t hi16(std::uint32_t v) { return v >> 16; }
constexpr std::uint32_t lo16(std::uint32_t v) { return v & 0xFFFF; }

// The wSig of a block is lo16(ib ^ bid) ^ hi16(ib ^ bid). Knowing the high 16 bits of the
// offset gives all of its low 16 bits but the last four, which 64-byte alignment makes 0.
constexpr std::uint32_t offset_in_segment(std::uint32_t segment, std::uint32_t id,
                                          std::uint32_t sig) {
  return (segment << 16) + ((segment ^ hi16(id) ^ lo16(id) ^ sig) & 0xFFF0);
}

// The estimate lies at most 59 bytes above the block's offset and at most 4 below it.
constexpr bool in_window(std::uint32_t estimate, std::uint32_t offset) {
  return estimate - 160 < offset && offset <= estimate + 4;
}

}  // namespace probe_detail

inline TrailerProbe probe_block_trailer(std::uint32_t probe_offset,
                                 std::span<const std::uint8_t, kProbeSize> probe) {
  TrailerProbe result;
  const std::uint32_t cb = pst::load_le16(probe, 4);
  const std::uint32_t sig = pst::load_le16(probe, 6);
  const std::uint32_t id = pst::load_le32(probe, 8);
  if (id == 0 || cb == 0 || cb > pst::kMaxBlockData) return result;
  result.needs_crc_check = sig == 0;

  // The trailer begins 4 bytes after the probe and the block's data cb bytes before the
  // trailer's 64-byte-rounded end, so the estimate is near the block's first byte.
  const std::uint32_t estimate = probe_offset - cb;
  auto try_segment = [&](std::uint32_t segment) {
    const std::uint32_t offset = probe_detail::offset_in_segment(segment, id, sig);
    if (!probe_detail::in_window(estimate, offset)) return false;
    result.windowed = true;
    if (pst::block_signature(offset, id) != sig) return false;
    result.block = BlockRef{id, offset, cb};
    return true;
  };
  if (try_segment(probe_detail::hi16(estimate))) return result;
  // A block that starts exactly on a 64 KiB boundary with 49 to 52 data bytes modulo 64
  // has its estimate up to 4 bytes below the boundary, in the previous segment.
  if (probe_detail::lo16(estimate) >= 0xFFFC) try_segment(probe_detail::hi16(estimate) + 1);
  return result;
}

}  // namespace pstorian
