// Lays a whole B-tree out as pages: the sorted leaf entries fill leaf pages, and as long as
// a level has more than one page, a level of intermediate pages above it points to them.
// The single page of the top level is the root that the file header refers to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "pst/ndb/btree_page.h"

namespace pstorian {

struct WrittenPage {
  Bref at;
  Page bytes;
};

struct WrittenTree {
  Bref root;
  std::uint8_t levels = 0;  // cLevel of the root: 0 when the root is a leaf
  std::vector<WrittenPage> pages;
};

// Gives the id and offset of the next page to write. Pages are requested leaves first, left
// to right, then each level above, so a caller holding a fixed plan can hand it out in order.
using PageSlotSource = std::function<Bref()>;

// `leaf_sizes` says how many entries go into each leaf; empty means "fill each leaf". Sizes
// must add up to the number of entries and none may exceed a page (std::invalid_argument).
WrittenTree write_bbt(std::span<const BbtEntry> entries, std::span<const std::size_t> leaf_sizes,
                      const PageSlotSource& next_slot, FileForm form = FileForm::kAnsi);
WrittenTree write_nbt(std::span<const NbtEntry> entries, std::span<const std::size_t> leaf_sizes,
                      const PageSlotSource& next_slot, FileForm form = FileForm::kAnsi);

}  // namespace pstorian
