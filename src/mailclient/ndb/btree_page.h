// Pages of the two B-trees of the 32-bit file. Each page holds 496 bytes of entries, then
// cEnt, cEntMax, cbEnt and cLevel (one byte each), then the page trailer.
//
//   BBT leaf entry (12 bytes):     bid (4), ib (4), cb (2), cRef (2)      41 per page
//   NBT leaf entry (16 bytes):     nid (4), bidData (4), bidSub (4), nidParent (4)   31
//   intermediate entry (12 bytes): key (4), child page bid (4), child page ib (4)    41
#pragma once

#include <cstdint>
#include <span>

#include "mailclient/ndb/page.h"

namespace pstorian {

struct BbtEntry {
  std::uint32_t bid = 0;
  std::uint32_t ib = 0;
  std::uint16_t cb = 0;
  std::uint16_t cref = 0;
  std::uint32_t key() const { return bid; }
};

struct NbtEntry {
  std::uint32_t nid = 0;
  std::uint32_t bid_data = 0;
  std::uint32_t bid_sub = 0;
  std::uint32_t nid_parent = 0;
  std::uint32_t key() const { return nid; }
};

// Where a page lies: its id and file offset, as a parent entry or the header refers to it.
struct Bref {
  std::uint32_t bid = 0;
  std::uint32_t ib = 0;
  friend bool operator==(const Bref&, const Bref&) = default;
};

struct BTreeChild {
  std::uint32_t key = 0;  // the first key of the child page
  Bref page;
};

// The pages below throw std::invalid_argument when given more entries than a page holds.
// Entries must already be in ascending key order.
Page build_bbt_leaf(std::span<const BbtEntry> entries, Bref at);
Page build_nbt_leaf(std::span<const NbtEntry> entries, Bref at);
Page build_intermediate_page(std::uint8_t ptype, std::span<const BTreeChild> children,
                             std::uint8_t level, Bref at);

}  // namespace pstorian
