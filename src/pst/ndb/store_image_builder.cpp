#include "pst/ndb/store_image_builder.h"

#include <algorithm>
#include <stdexcept>

#include "pst/ndb/block_writer.h"

namespace pstorian {

StoreImageBuilder::StoreImageBuilder(std::uint32_t file_size, FileForm form)
    : form_(form), image_(file_size, 0), map_(file_size, form) {}

void StoreImageBuilder::claim(std::uint64_t ib, std::size_t size) {
  const std::uint64_t end = ib + size;
  if (ib < pst::kFirstAMapOffset || end > image_.size())
    throw std::logic_error("structure outside the file");
  auto next = extents_.lower_bound(ib);
  if (next != extents_.end() && next->first < end) throw std::logic_error("structures overlap");
  if (next != extents_.begin() && std::prev(next)->second > ib)
    throw std::logic_error("structures overlap");
  extents_.emplace(ib, end);
}

void StoreImageBuilder::add_block(std::uint64_t bid, std::uint64_t ib,
                                  std::span<const std::uint8_t> data, pst::CryptMethod crypt) {
  if (ib % pst::kBlockAlignment != 0) throw std::logic_error("block not on a 64-byte boundary");
  if (blocks_.contains(bid)) throw std::logic_error("block id used twice");
  const auto bytes = build_block(data, bid, ib, crypt, form_);
  claim(ib, bytes.size());
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(ib));
  blocks_[bid] = {bid, ib, static_cast<std::uint16_t>(data.size()), 0};
}

void StoreImageBuilder::add_node(const NbtEntry& node) {
  if (!nodes_.emplace(node.nid, node).second) throw std::logic_error("node id used twice");
}

void StoreImageBuilder::put_page(std::uint64_t ib, const Page& page) {
  if (ib % pst::kPageSize != 0) throw std::logic_error("page not on a page boundary");
  claim(ib, page.size());
  std::copy(page.begin(), page.end(), image_.begin() + static_cast<std::ptrdiff_t>(ib));
}

void StoreImageBuilder::place_tree(const WrittenTree& tree) {
  for (const auto& p : tree.pages) {
    put_page(p.at.ib, p.bytes);
    btree_pages_.push_back(p.at.ib);
  }
}

void StoreImageBuilder::write_bbt(std::span<const std::size_t> leaf_sizes,
                                  const PageSlotSource& next_slot) {
  std::map<std::uint64_t, std::uint32_t> refs = extra_refs_;
  for (const auto& [nid, n] : nodes_) {
    if (n.bid_data != 0) ++refs[n.bid_data];
    if (n.bid_sub != 0) ++refs[n.bid_sub];
  }
  bbt_.clear();
  for (auto [bid, e] : blocks_) {
    e.cref = static_cast<std::uint16_t>(refs[bid] + 1);
    bbt_.push_back(e);
  }
  const WrittenTree tree = pstorian::write_bbt(bbt_, leaf_sizes, next_slot, form_);
  place_tree(tree);
  bbt_root_ = tree.root;
}

void StoreImageBuilder::write_nbt(std::span<const std::size_t> leaf_sizes,
                                  const PageSlotSource& next_slot) {
  std::vector<NbtEntry> entries;
  for (const auto& [nid, n] : nodes_) {
    if ((n.bid_data != 0 && !blocks_.contains(n.bid_data)) ||
        (n.bid_sub != 0 && !blocks_.contains(n.bid_sub)))
      throw std::logic_error("node refers to a block that is not there");
    entries.push_back(n);
  }
  const WrittenTree tree = pstorian::write_nbt(entries, leaf_sizes, next_slot, form_);
  place_tree(tree);
  nbt_root_ = tree.root;
}

std::vector<std::uint8_t> StoreImageBuilder::finish(FileHeader header) {
  for (std::size_t n = 0; n < map_.amap_page_count(); ++n)
    put_page(AllocationMap::amap_page_offset(n),
             map_.build_amap_page(n));
  for (std::size_t n = 0; n < map_.pmap_page_count(); ++n)
    put_page(AllocationMap::pmap_page_offset(n),
             map_.build_pmap_page(n));
  for (const auto& [start, end] : extents_)
    if (!map_.is_allocated(start, end - start))
      throw std::logic_error("structure in space the allocation map calls free");
  // A B-tree page on a page the PMap calls free could be handed out again by an older writer.
  for (const std::uint64_t ib : btree_pages_)
    if (map_.is_page_free(ib)) throw std::logic_error("B-tree page on a page the PMap calls free");
  header.form = form_;
  header.file_eof = image_.size();
  header.amap_last = AllocationMap::amap_page_offset(map_.amap_page_count() - 1);
  header.amap_free = map_.free_bytes();
  header.pmap_free = map_.free_page_bytes();
  header.nbt = nbt_root_;
  header.bbt = bbt_root_;
  const auto bytes = build_file_header(header);
  std::copy(bytes.begin(), bytes.end(), image_.begin());
  return std::move(image_);
}

}  // namespace pstorian
