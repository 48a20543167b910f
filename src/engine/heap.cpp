#include "engine/heap.h"

#include "format/endian.h"

namespace pstorian {

std::uint32_t heap_page_map_offset(std::span<const std::uint8_t> block) {
  return pst::load_le16(block, 0);
}

std::optional<HeapAllocation> resolve_heap_id(std::span<const std::uint8_t> block,
                                              std::uint32_t page_map, std::uint32_t hid) {
  if (hid == 0 || block.empty()) return std::nullopt;
  const std::uint64_t entry = std::uint64_t{page_map} + (hid >> 4);
  if (entry + 6 > block.size()) return std::nullopt;
  const auto at = static_cast<std::size_t>(entry);
  return HeapAllocation{pst::load_le16(block, at + 2), pst::load_le16(block, at + 4)};
}

}  // namespace pstorian
