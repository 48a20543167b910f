#include "engine/file_btrees.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "format/layout.h"
#include "pst/ndb/file_header.h"
#include "pst/ndb/form_layout.h"
#include "pst/ndb/page.h"

namespace pstorian {
namespace {

// Deeper than any real B-tree of a file (four levels of the 64-bit form hold over 10 million
// entries, of the 32-bit form over 80 million); a deeper one is damaged or crafted.
constexpr int kMaxLevels = 8;

// What tells the pages of one tree: their type and the shape of their leaf entries.
struct TreeShape {
  std::uint8_t page_type;
  std::uint32_t leaf_entry_size, leaf_max;
};

TreeShape shape_of(FileBTree which, const FormLayout& f) {
  return which == FileBTree::kNodes
             ? TreeShape{pst::kPageNbt, f.nbt_leaf_entry_size, f.nbt_leaf_max}
             : TreeShape{pst::kPageBbt, f.bbt_leaf_entry_size, f.bbt_leaf_max};
}

struct PageWalk {
  const ByteSource& source;
  const FormLayout& form;
  TreeShape shape;
  const LeafEntryVisitor& visit;
  std::set<std::uint64_t> seen;  // page offsets, so that a cycle of pages ends
};

// The counts follow the entries: cEnt, cEntMax, cbEnt, cLevel.
struct PageCounts {
  std::uint8_t count, max, size, level;
};
PageCounts counts_of(const Page& page, const FormLayout& f) {
  const std::size_t at = f.btree_entry_bytes;
  return {page[at], page[at + 1], page[at + 2], page[at + 3]};
}

// Reads the page that `bid` and `ib` name if it is a sound page of the tree of `shape` at
// `level` (any level for the root, -1); nullopt otherwise.
std::optional<Page> read_page(const ByteSource& source, const FormLayout& f, TreeShape shape,
                              std::uint64_t bid, std::uint64_t ib, int level) {
  if (ib < f.header_size || ib > source.size() || source.size() - ib < pst::kPageSize)
    return std::nullopt;
  Page page{};
  source.read_at(ib, page);
  if (!page_trailer_holds(page, shape.page_type, bid, ib, f.form)) return std::nullopt;
  const PageCounts c = counts_of(page, f);
  const bool leaf_shape = c.max == shape.leaf_max && c.size == shape.leaf_entry_size;
  const bool inner_shape = c.max == f.intermediate_max && c.size == f.intermediate_entry_size;
  if (c.count > c.max || c.level >= kMaxLevels || (level >= 0 && c.level != level) ||
      (c.level == 0 ? !leaf_shape : !inner_shape))
    return std::nullopt;
  return page;
}

// Walks the subtree of the page at `bid`/`ib`; false if a page of it did not check out.
bool walk_page(PageWalk& walk, std::uint64_t bid, std::uint64_t ib, int level) {
  if (!walk.seen.insert(ib).second) return false;
  const FormLayout& f = walk.form;
  const auto page = read_page(walk.source, f, walk.shape, bid, ib, level);
  if (!page) return false;
  const PageCounts c = counts_of(*page, f);
  const std::size_t w = f.id_size;
  if (c.level == 0) {
    for (std::size_t i = 0; walk.visit && i < c.count; ++i)
      walk.visit(std::span<const std::uint8_t>(*page).subspan(i * walk.shape.leaf_entry_size,
                                                              walk.shape.leaf_entry_size),
                 f.form);
    return true;
  }
  bool whole = true;
  for (std::size_t i = 0; i < c.count; ++i) {
    const std::size_t at = i * f.intermediate_entry_size;
    whole &= walk_page(walk, load_id(f, *page, at + w), load_id(f, *page, at + 2 * w),
                       c.level - 1);
  }
  return whole;
}

}  // namespace

BTreeWalk walk_file_btree(const ByteSource& source, FileBTree which,
                          const LeafEntryVisitor& visit) {
  BTreeWalk result;
  // The header of the larger form, or as much of it as the file holds: parse_file_header
  // tells the form by the version and wants the bytes of that form's header.
  std::array<std::uint8_t, kUnicodeLayout.header_size> head{};
  const auto held = std::span(head).first(
      static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), source.size())));
  source.read_at(0, held);
  const std::optional<FileHeader> header = parse_file_header(held);
  if (!header) return result;
  const FormLayout& form = layout_of(header->form);
  const TreeShape shape = shape_of(which, form);
  const Bref root = which == FileBTree::kNodes ? header->nbt : header->bbt;
  result.form = header->form;
  if (!read_page(source, form, shape, root.bid, root.ib, -1)) return result;
  result.root_sound = true;
  PageWalk walk{source, form, shape, visit, {}};
  result.complete = walk_page(walk, root.bid, root.ib, -1);
  return result;
}

}  // namespace pstorian
