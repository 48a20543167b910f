#include "pst/ndb/data_tree_writer.h"

#include <algorithm>
#include <stdexcept>
#include <type_traits>

#include "format/endian.h"
#include "format/layout.h"
#include "pst/ndb/block_writer.h"

namespace pstorian {
namespace {

struct Child {
  std::uint64_t bid;
  std::uint64_t size;  // bytes of data below it
};

std::size_t max_tree_entries(const FormLayout& f) {
  return (f.max_block_data - f.tree_header_size) / f.id_size;  // 2,043 or 1,021
}

// One level of XBLOCKs (level 1) or XXBLOCKs (level 2) over `children`.
std::vector<Child> tree_level(const std::vector<Child>& children, std::uint8_t level,
                              BlockIdSource& ids, std::vector<PendingBlock>& out) {
  const FormLayout& f = layout_of(ids.form());
  const std::size_t per_block = max_tree_entries(f);
  std::vector<Child> above;
  for (std::size_t i = 0; i < children.size(); i += per_block) {
    const std::size_t n = std::min(per_block, children.size() - i);
    std::uint64_t total = 0;
    for (std::size_t k = i; k < i + n; ++k) total += children[k].size;
    if (total > 0xFFFFFFFFu) throw std::invalid_argument("node data too large");
    PendingBlock b{ids.next_bid(true), std::vector<std::uint8_t>(f.tree_header_size + f.id_size * n),
                   0};
    b.data[0] = 0x01;
    b.data[1] = level;
    pst::store_le16(b.data, 2, static_cast<std::uint16_t>(n));
    pst::store_le32(b.data, 4, static_cast<std::uint32_t>(total));
    for (std::size_t k = 0; k < n; ++k)
      store_id(f, b.data, f.tree_header_size + f.id_size * k, children[i + k].bid);
    above.push_back({b.bid, total});
    out.push_back(std::move(b));
  }
  return above;
}

void count_reference(std::vector<PendingBlock>& out, std::uint64_t bid) {
  for (auto& b : out)
    if (b.bid == bid) ++b.references;
}

}  // namespace

std::vector<std::vector<std::uint8_t>> split_into_blocks(std::span<const std::uint8_t> data,
                                                         std::size_t unit, FileForm form) {
  const std::size_t max_data = layout_of(form).max_block_data;
  if (unit == 0 || unit > max_data) throw std::invalid_argument("bad block unit");
  const std::size_t per_block = max_data / unit * unit;
  std::vector<std::vector<std::uint8_t>> out;
  for (std::size_t at = 0; at < data.size(); at += per_block) {
    const auto part = data.subspan(at, std::min(per_block, data.size() - at));
    // Rows never straddle blocks, and every block but the last is padded to the full size:
    // mail programs write row matrices so, and some readers find row N at
    // (N / rows per block) * max + (N % rows per block) * row size.
    const bool padded = unit > 1 && at + per_block < data.size();
    const std::size_t size = padded ? max_data : part.size();
    out.emplace_back().reserve(block_disk_size(static_cast<std::uint32_t>(size)));
    out.back().assign(part.begin(), part.end());
    out.back().resize(size, 0);
  }
  return out;
}

namespace {

// The tree over the leaves: each copied into its block, or moved when they are not const.
template <typename Leaves>
std::uint64_t write_tree(Leaves& leaves, BlockIdSource& ids, std::vector<PendingBlock>& out) {
  const FormLayout& f = layout_of(ids.form());
  std::vector<Child> level;
  for (auto& leaf : leaves) {
    if (leaf.size() > f.max_block_data) throw std::invalid_argument("leaf larger than a block");
    PendingBlock b{ids.next_bid(false), {}, 0};
    level.push_back({b.bid, leaf.size()});
    if constexpr (std::is_const_v<std::remove_reference_t<decltype(leaf)>>)
      b.data = leaf;
    else
      b.data = std::move(leaf);
    out.push_back(std::move(b));
  }
  if (level.empty()) return 0;
  if (level.size() == 1) return level.front().bid;
  const std::size_t first_parent = out.size();
  level = tree_level(level, 1, ids, out);
  if (level.size() > 1) level = tree_level(level, 2, ids, out);
  if (level.size() > 1) throw std::invalid_argument("node data too large");
  // Every block but the root is referred to by the tree block above it.
  for (std::size_t i = first_parent; i < out.size(); ++i)
    for (std::size_t k = 0; k < pst::load_le16(out[i].data, 2); ++k)
      count_reference(out, load_id(f, out[i].data, f.tree_header_size + f.id_size * k));
  return level.front().bid;
}

}  // namespace

std::uint64_t write_data_tree(std::span<const std::vector<std::uint8_t>> leaves, BlockIdSource& ids,
                              std::vector<PendingBlock>& out) {
  return write_tree(leaves, ids, out);
}

std::uint64_t move_into_data_tree(std::vector<std::vector<std::uint8_t>>&& leaves, BlockIdSource& ids,
                                  std::vector<PendingBlock>& out) {
  return write_tree(leaves, ids, out);
}

std::uint64_t write_subnode_blocks(std::vector<SubnodeEntry> entries, BlockIdSource& ids,
                                   std::vector<PendingBlock>& out) {
  if (entries.empty()) return 0;
  const FormLayout& f = layout_of(ids.form());
  const std::size_t header = f.subnode_header_size;
  const std::size_t leaf_entry = f.subnode_leaf_entry_size;
  const std::size_t index_entry = f.subnode_index_entry_size;
  const std::size_t w = f.id_size;
  const std::size_t max_leaf = (f.max_block_data - header) / leaf_entry;    // 681 or 340
  const std::size_t max_index = (f.max_block_data - header) / index_entry;  // 1,022 or 510
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.nid < b.nid; });
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i - 1].nid == entries[i].nid) throw std::invalid_argument("subnode id given twice");
  std::vector<std::pair<std::uint32_t, std::uint64_t>> leaves;  // first nid, SLBLOCK bid
  for (std::size_t i = 0; i < entries.size(); i += max_leaf) {
    const std::size_t n = std::min(max_leaf, entries.size() - i);
    PendingBlock b{ids.next_bid(true), std::vector<std::uint8_t>(header + leaf_entry * n), 0};
    b.data[0] = 0x02;
    b.data[1] = 0;
    pst::store_le16(b.data, 2, static_cast<std::uint16_t>(n));
    for (std::size_t k = 0; k < n; ++k) {
      const auto& e = entries[i + k];
      store_id(f, b.data, header + leaf_entry * k, e.nid);
      store_id(f, b.data, header + leaf_entry * k + w, e.bid_data);
      store_id(f, b.data, header + leaf_entry * k + 2 * w, e.bid_sub);
      count_reference(out, e.bid_data);
      if (e.bid_sub != 0) count_reference(out, e.bid_sub);
    }
    leaves.emplace_back(entries[i].nid, b.bid);
    out.push_back(std::move(b));
  }
  if (leaves.size() == 1) return leaves.front().second;
  if (leaves.size() > max_index) throw std::invalid_argument("too many subnodes");
  PendingBlock index{ids.next_bid(true),
                     std::vector<std::uint8_t>(header + index_entry * leaves.size()), 0};
  index.data[0] = 0x02;
  index.data[1] = 1;
  pst::store_le16(index.data, 2, static_cast<std::uint16_t>(leaves.size()));
  for (std::size_t k = 0; k < leaves.size(); ++k) {
    store_id(f, index.data, header + index_entry * k, leaves[k].first);
    store_id(f, index.data, header + index_entry * k + w, leaves[k].second);
    count_reference(out, leaves[k].second);
  }
  const std::uint64_t root = index.bid;
  out.push_back(std::move(index));
  return root;
}

}  // namespace pstorian
