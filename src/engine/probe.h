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

#include "engine/object_tables.h"

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
ProbeShape probe_shape(std::span<const std::uint8_t, kProbeSize> probe);

// The outcome of the block trailer test at probe offset `probe_offset`.
struct TrailerProbe {
  bool windowed = false;          // a reconstructed offset passed the window test
  std::optional<BlockRef> block;  // the block to record, if its signature matched
};
TrailerProbe probe_block_trailer(std::uint32_t probe_offset,
                                 std::span<const std::uint8_t, kProbeSize> probe);

}  // namespace pstorian
