// Pages of the two B-trees. A page of the 32-bit form holds 496 bytes of entries, then
// cEnt, cEntMax, cbEnt and cLevel (one byte each), then the page trailer:
//
//   BBT leaf entry (12 bytes):     bid (4), ib (4), cb (2), cRef (2)      41 per page
//   NBT leaf entry (16 bytes):     nid (4), bidData (4), bidSub (4), nidParent (4)   31
//   intermediate entry (12 bytes): key (4), child page bid (4), child page ib (4)    41
//
// One of the 64-bit form holds 488 bytes of entries, the four counts and 4 bytes of padding:
//
//   BBT leaf entry (24 bytes):     bid (8), ib (8), cb (2), cRef (2), padding (4)    20
//   NBT leaf entry (32 bytes):     nid (8, high half 0), bidData (8), bidSub (8),
//                                  nidParent (4), padding (4)                        15
//   intermediate entry (24 bytes): key (8), child page bid (8), child page ib (8)    20
#pragma once

#include <cstdint>
#include <span>

#include "pst/ndb/page.h"

namespace pstorian {

struct BbtEntry {
  std::uint64_t bid = 0;
  std::uint64_t ib = 0;
  std::uint16_t cb = 0;
  std::uint16_t cref = 0;
  std::uint64_t key() const { return bid; }
};

struct NbtEntry {
  std::uint32_t nid = 0;
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
  std::uint32_t nid_parent = 0;
  std::uint64_t key() const { return nid; }
};

// Where a page lies: its id and file offset, as a parent entry or the header refers to it.
struct Bref {
  std::uint64_t bid = 0;
  std::uint64_t ib = 0;
  friend bool operator==(const Bref&, const Bref&) = default;
};

struct BTreeChild {
  std::uint64_t key = 0;  // the first key of the child page
  Bref page;
};

// The pages below throw std::invalid_argument when given more entries than a page holds.
// Entries must already be in ascending key order.
Page build_bbt_leaf(std::span<const BbtEntry> entries, Bref at, FileForm form = FileForm::kAnsi);
Page build_nbt_leaf(std::span<const NbtEntry> entries, Bref at, FileForm form = FileForm::kAnsi);
Page build_intermediate_page(std::uint8_t ptype, std::span<const BTreeChild> children,
                             std::uint8_t level, Bref at, FileForm form = FileForm::kAnsi);

// The entries a leaf page of the tree of `ptype` holds, and an intermediate page.
std::size_t leaf_capacity(std::uint8_t ptype, FileForm form);
std::size_t intermediate_capacity(FileForm form);

}  // namespace pstorian
