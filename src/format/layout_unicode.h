// Sizes of the 64-bit (Unicode) personal folder file layout, beside those of the 32-bit form
// in layout.h. Block ids and file offsets are 8 bytes; node ids and heap ids stay 4 bytes
// (a node id is stored in an 8-byte field of which the high half is 0). Pages are still 512
// bytes and blocks still 64-byte aligned, so the allocation maps cover the same spans; what
// changes is every structure that holds a block id or an offset.
//
//   block trailer (16): cb (2), wSig (2), dwCRC (4), bid (8)
//   page trailer  (16): ptype, ptypeRepeat, wSig (2), dwCRC (4), bid (8)
//   B-tree page:  488 bytes of entries, cEnt, cEntMax, cbEnt, cLevel, 4 bytes of padding,
//                 the trailer
//   node B-tree leaf entry (32):     nid (8), bidData (8), bidSub (8), nidParent (4), pad (4)
//   block B-tree leaf entry (24):    bid (8), ib (8), cb (2), cRef (2), pad (4)
//   intermediate entry (24):         key (8), bid (8), ib (8)
//   data tree block: btype, cLevel, cEnt (2), lcbTotal (4), then 8-byte block ids
//   subnode leaf block: btype, cLevel, cEnt (2), 4 bytes of padding, then 24-byte entries
//                 nid (8), bidData (8), bidSub (8)
//   subnode intermediate block: the same header, then 16-byte entries nid (8), bid (8)
//   table context row index: 4-byte row numbers (2 bytes in the 32-bit form)
#pragma once

#include <cstdint>

namespace pst::unicode {

constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kPageTrailerSize = 16;
constexpr std::uint32_t kBlockTrailerSize = 16;
constexpr std::uint32_t kBlockAlignment = 64;
constexpr std::uint32_t kMaxBlockData = 8176;  // 8192 minus the trailer
constexpr std::uint32_t kHeaderSize = 564;     // bytes the header's fields and checks cover

constexpr std::uint32_t kBTreeEntryBytes = 488;
constexpr std::uint32_t kNbtLeafEntrySize = 32;
constexpr std::uint32_t kNbtLeafMaxEntries = 15;
constexpr std::uint32_t kBbtLeafEntrySize = 24;
constexpr std::uint32_t kBbtLeafMaxEntries = 20;
constexpr std::uint32_t kIntermediateEntrySize = 24;
constexpr std::uint32_t kIntermediateMaxEntries = 20;

constexpr std::uint32_t kDataTreeHeaderSize = 8;
constexpr std::uint32_t kDataTreeEntrySize = 8;
constexpr std::uint32_t kSubnodeHeaderSize = 8;
constexpr std::uint32_t kSubnodeLeafEntrySize = 24;
constexpr std::uint32_t kSubnodeIntermediateEntrySize = 16;

// The allocation maps keep the spans of the 32-bit form (496 bytes of bits per page).
constexpr std::uint64_t kFirstAMapOffset = 0x4400;
constexpr std::uint64_t kAMapSpan = 496 * 8 * 64;

// The density list page follows the first allocation map page.
constexpr std::uint64_t kDListOffset = 0x4200;

// Header version numbers of the 64-bit form with 512-byte pages (23) and the rarer 4 KB-page
// variant (36, 37).
constexpr std::uint16_t kVersionUnicode = 23;
constexpr std::uint16_t kVersionUnicode4k = 36;

constexpr bool is_internal_block(std::uint64_t bid) { return (bid & 0x2) != 0; }

}  // namespace pst::unicode
