// A 512-byte page and its trailer, in either form of the file:
//
//   32-bit form                              64-bit form
//   0    500  data                           0    496  data
//   500  1    ptype                          496  1    ptype
//   501  1    ptypeRepeat (= ptype)          497  1    ptypeRepeat
//   502  2    wSig                           498  2    wSig
//   504  4    bid                            500  4    dwCRC over bytes 0..495
//   508  4    dwCRC over bytes 0..499        504  8    bid
//
// wSig is the signature of offset and bid for B-tree pages, 0 for map pages; map pages
// carry their own file offset as their bid.
#pragma once

#include <array>
#include <cstdint>

#include "pst/ndb/form_layout.h"

namespace pstorian {

using Page = std::array<std::uint8_t, 512>;

constexpr std::size_t kPageCrcBytes = 500;

// Writes the trailer of `page` as the page lying at file offset `ib` with id `bid`. The
// data part must be complete: the check value covers it.
void seal_page(Page& page, std::uint8_t ptype, std::uint64_t bid, std::uint64_t ib,
               FileForm form = FileForm::kAnsi);

// Whether the trailer of `page` is what seal_page writes for a page of `ptype` with id `bid`
// at file offset `ib`: a page read from a damaged file is used only when this holds.
bool page_trailer_holds(const Page& page, std::uint8_t ptype, std::uint64_t bid,
                        std::uint64_t ib, FileForm form = FileForm::kAnsi);

}  // namespace pstorian
