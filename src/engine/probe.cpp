#include "engine/probe.h"

#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"

namespace pstorian {

ProbeShape probe_shape(std::span<const std::uint8_t, kProbeSize> probe) {
  if (probe[1] != pst::kNbtLeafMaxEntries || probe[2] != pst::kNbtLeafEntrySize || probe[3] != 0)
    return ProbeShape::kOther;
  if (pst::load_le16(probe, 4) != (pst::kPageNbt | (pst::kPageNbt << 8)) || probe[0] > probe[1])
    return ProbeShape::kRejectedPage;
  return ProbeShape::kLeafPage;
}

namespace {

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

}  // namespace

TrailerProbe probe_block_trailer(std::uint32_t probe_offset,
                                 std::span<const std::uint8_t, kProbeSize> probe) {
  TrailerProbe result;
  const std::uint32_t cb = pst::load_le16(probe, 4);
  const std::uint32_t sig = pst::load_le16(probe, 6);
  const std::uint32_t id = pst::load_le32(probe, 8);
  if (id == 0 || sig == 0 || cb == 0 || cb > pst::kMaxBlockData) return result;

  // The trailer begins 4 bytes after the probe and the block's data cb bytes before the
  // trailer's 64-byte-rounded end, so the estimate is near the block's first byte.
  const std::uint32_t estimate = probe_offset - cb;
  auto try_segment = [&](std::uint32_t segment) {
    const std::uint32_t offset = offset_in_segment(segment, id, sig);
    if (!in_window(estimate, offset)) return false;
    result.windowed = true;
    if (pst::block_signature(offset, id) != sig) return false;
    result.block = BlockRef{id, offset, cb};
    return true;
  };
  if (try_segment(hi16(estimate))) return result;
  // A block that starts exactly on a 64 KiB boundary with 49 to 52 data bytes modulo 64
  // has its estimate up to 4 bytes below the boundary, in the previous segment.
  if (lo16(estimate) >= 0xFFFC) try_segment(hi16(estimate) + 1);
  return result;
}

}  // namespace pstorian
