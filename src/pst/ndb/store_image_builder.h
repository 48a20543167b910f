// Assembles a whole file of either form in memory: blocks and pages go where the caller places them,
// the B-trees are laid out from the blocks and nodes added, and the allocation maps and the
// header are written last, from what the image then holds.
//
// Placement is the caller's: a fixed image gives every offset itself, a growing store asks
// the allocation map for free space. The builder refuses anything that would make the file
// inconsistent: overlapping structures, structures outside allocated space, B-tree pages on
// pages the PMap calls free.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "pst/ndb/allocation_map.h"
#include "pst/ndb/btree_page.h"
#include "pst/ndb/btree_writer.h"
#include "pst/ndb/file_header.h"

namespace pstorian {

class StoreImageBuilder {
 public:
  explicit StoreImageBuilder(std::uint32_t file_size, FileForm form = FileForm::kAnsi);

  FileForm form() const { return form_; }

  AllocationMap& allocation_map() { return map_; }

  // Writes block `bid` at `ib` and records it for the BBT. Throws std::logic_error when the
  // block overlaps something placed before or lies outside the file.
  void add_block(std::uint64_t bid, std::uint64_t ib, std::span<const std::uint8_t> data,
                 pst::CryptMethod crypt = pst::kCryptNone);
  // Counts a reference to a block from somewhere other than a node's bidData or bidSub
  // (a data tree or subnode block); cRef is the number of references plus one.
  void add_block_reference(std::uint64_t bid) { ++extra_refs_[bid]; }
  void add_node(const NbtEntry& node);
  // Writes a page that no B-tree reaches (a free page with content, for instance).
  void put_page(std::uint64_t ib, const Page& page);

  // Lay out the BBT and NBT from the blocks and nodes added so far, on pages handed out by
  // `next_slot`; see write_bbt / write_nbt for `leaf_sizes`.
  void write_bbt(std::span<const std::size_t> leaf_sizes, const PageSlotSource& next_slot);
  void write_nbt(std::span<const std::size_t> leaf_sizes, const PageSlotSource& next_slot);

  // Writes the allocation map pages and the header (with the end of file, the map fields and
  // the B-tree roots filled in) and returns the image. Throws std::logic_error when a block
  // or page lies in space the AMap calls free, or a B-tree page on a page the PMap calls free.
  std::vector<std::uint8_t> finish(FileHeader header);

  const std::vector<BbtEntry>& bbt_entries() const { return bbt_; }
  const std::map<std::uint32_t, NbtEntry>& nodes() const { return nodes_; }

 private:
  void claim(std::uint64_t ib, std::size_t size);
  void place_tree(const WrittenTree& tree);

  FileForm form_;
  std::vector<std::uint8_t> image_;
  AllocationMap map_;
  std::map<std::uint64_t, std::uint64_t> extents_;  // start -> end of everything placed
  std::map<std::uint64_t, BbtEntry> blocks_;
  std::map<std::uint32_t, NbtEntry> nodes_;
  std::map<std::uint64_t, std::uint32_t> extra_refs_;
  std::vector<BbtEntry> bbt_;
  std::vector<std::uint64_t> btree_pages_;
  Bref bbt_root_;
  Bref nbt_root_;
};

}  // namespace pstorian
