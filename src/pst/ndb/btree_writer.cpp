#include "pst/ndb/btree_writer.h"

#include <numeric>
#include <stdexcept>

#include "format/layout.h"

namespace pstorian {
namespace {

std::vector<std::size_t> chunk_sizes(std::size_t count, std::size_t capacity,
                                     std::span<const std::size_t> requested) {
  if (!requested.empty()) {
    if (std::accumulate(requested.begin(), requested.end(), std::size_t{0}) != count)
      throw std::invalid_argument("leaf sizes do not add up to the entries");
    return {requested.begin(), requested.end()};
  }
  std::vector<std::size_t> sizes;
  for (std::size_t left = count; left > 0; left -= std::min(left, capacity))
    sizes.push_back(std::min(left, capacity));
  if (sizes.empty()) sizes.push_back(0);  // an empty tree is one empty leaf
  return sizes;
}

template <typename Entry, typename LeafBuilder>
WrittenTree write_tree(std::span<const Entry> entries, std::span<const std::size_t> leaf_sizes,
                       std::uint8_t ptype, LeafBuilder build_leaf,
                       const PageSlotSource& next_slot, FileForm form) {
  const std::size_t leaf_capacity = pstorian::leaf_capacity(ptype, form);
  const std::size_t inner_capacity = intermediate_capacity(form);
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i - 1].key() >= entries[i].key())
      throw std::invalid_argument("B-tree entries not in ascending key order");
  WrittenTree tree;
  std::vector<BTreeChild> level;
  std::size_t at = 0;
  for (const std::size_t n : chunk_sizes(entries.size(), leaf_capacity, leaf_sizes)) {
    const Bref slot = next_slot();
    const auto part = entries.subspan(at, n);
    tree.pages.push_back({slot, build_leaf(part, slot, form)});
    level.push_back({part.empty() ? 0 : part.front().key(), slot});
    at += n;
  }
  std::uint8_t height = 0;
  while (level.size() > 1) {
    ++height;
    std::vector<BTreeChild> above;
    const std::span<const BTreeChild> children(level);
    for (std::size_t i = 0; i < children.size(); i += inner_capacity) {
      const auto part = children.subspan(
          i, std::min<std::size_t>(inner_capacity, children.size() - i));
      const Bref slot = next_slot();
      tree.pages.push_back({slot, build_intermediate_page(ptype, part, height, slot, form)});
      above.push_back({part.front().key, slot});
    }
    level = std::move(above);
  }
  tree.root = level.front().page;
  tree.levels = height;
  return tree;
}

}  // namespace

WrittenTree write_bbt(std::span<const BbtEntry> entries, std::span<const std::size_t> leaf_sizes,
                      const PageSlotSource& next_slot, FileForm form) {
  return write_tree(entries, leaf_sizes, pst::kPageBbt, build_bbt_leaf, next_slot, form);
}

WrittenTree write_nbt(std::span<const NbtEntry> entries, std::span<const std::size_t> leaf_sizes,
                      const PageSlotSource& next_slot, FileForm form) {
  return write_tree(entries, leaf_sizes, pst::kPageNbt, build_nbt_leaf, next_slot, form);
}

}  // namespace pstorian
