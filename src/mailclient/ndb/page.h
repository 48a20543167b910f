// A 512-byte page of the 32-bit file and its 12-byte trailer:
//
//   0    500  data (B-tree entries and counts, or map bits)
//   500  1    ptype
//   501  1    ptypeRepeat (= ptype)
//   502  2    wSig: signature of offset and bid for B-tree pages, 0 for map pages
//   504  4    bid: the page's id; map pages carry their own file offset here
//   508  4    dwCRC over bytes 0..499
#pragma once

#include <array>
#include <cstdint>

namespace pstorian {

using Page = std::array<std::uint8_t, 512>;

constexpr std::size_t kPageCrcBytes = 500;

// Writes the trailer of `page` as the page lying at file offset `ib` with id `bid`. The
// data part must be complete: the check value covers it.
void seal_page(Page& page, std::uint8_t ptype, std::uint32_t bid, std::uint32_t ib);

// Whether the trailer of `page` is what seal_page writes for a page of `ptype` with id `bid`
// at file offset `ib`: a page read from a damaged file is used only when this holds.
bool page_trailer_holds(const Page& page, std::uint8_t ptype, std::uint32_t bid,
                        std::uint32_t ib);

}  // namespace pstorian
