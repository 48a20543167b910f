#include "engine/current_versions.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "format/endian.h"
#include "format/layout.h"
#include "mailclient/ndb/file_header.h"
#include "mailclient/ndb/page.h"

namespace pstorian {
namespace {

// Deeper than any real node B-tree (four levels of the 64-bit form hold over 10 million
// entries, of the 32-bit form over 80 million); a deeper one is damaged or crafted.
constexpr int kMaxLevels = 8;

struct PageWalk {
  const ByteSource& source;
  const FormLayout& form;
  LiveNodeIndex& index;
  bool keep_entries;
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

// Reads the page that `bid` and `ib` name if it is a sound node B-tree page of `level` (any
// level for the root, -1); nullopt otherwise.
std::optional<Page> read_page(const ByteSource& source, const FormLayout& f, std::uint64_t bid,
                              std::uint64_t ib, int level) {
  if (ib < f.header_size || ib > source.size() || source.size() - ib < pst::kPageSize)
    return std::nullopt;
  Page page{};
  source.read_at(ib, page);
  if (!page_trailer_holds(page, pst::kPageNbt, bid, ib, f.form)) return std::nullopt;
  const PageCounts c = counts_of(page, f);
  const bool leaf_shape = c.max == f.nbt_leaf_max && c.size == f.nbt_leaf_entry_size;
  const bool inner_shape = c.max == f.intermediate_max && c.size == f.intermediate_entry_size;
  if (c.count > c.max || c.level >= kMaxLevels || (level >= 0 && c.level != level) ||
      (c.level == 0 ? !leaf_shape : !inner_shape))
    return std::nullopt;
  return page;
}

// Walks the subtree of the page at `bid`/`ib`; false if a page of it did not check out.
// Entries of both forms are a node id, two block ids and a parent id, at widths of the form
// (a node id of the 64-bit form is the low half of its 8 bytes).
bool walk_page(PageWalk& walk, std::uint64_t bid, std::uint64_t ib, int level) {
  if (!walk.seen.insert(ib).second) return false;
  const FormLayout& f = walk.form;
  const auto page = read_page(walk.source, f, bid, ib, level);
  if (!page) return false;
  const PageCounts c = counts_of(*page, f);
  const std::size_t w = f.id_size;
  if (c.level == 0) {
    for (std::size_t i = 0; walk.keep_entries && i < c.count; ++i) {
      const std::size_t at = i * f.nbt_leaf_entry_size;
      walk.index.nodes.insert_or_assign(
          pst::load_le32(*page, at), LiveNode{load_id(f, *page, at + w),
                                              load_id(f, *page, at + 2 * w),
                                              pst::load_le32(*page, at + 3 * w)});
    }
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

// What one object is as a version: its blocks, for telling identical versions apart.
using VersionKey = std::pair<const BlockRef*, const BlockRef*>;
VersionKey key_of(const ObjectNode& o) { return {o.data_block, o.subnode_block}; }

// How well object `o` fits the node B-tree's entry: its data block is required; the parent,
// the subnode block and the block index's own choice of copy break ties.
int fit(const RecoveryTables& tables, const ObjectNode& o, const LiveNode& live) {
  // The block index keeps ids with the low bit clear, as the block trailers hold them.
  constexpr std::uint64_t kIdBits = ~std::uint64_t{1};
  if (o.data_block == nullptr || o.data_block->id != (live.data_block_id & kIdBits)) return -1;
  const std::uint32_t parent = o.parent == kNoObject ? 0 : tables.objects[o.parent].node_id;
  const std::uint64_t sub = o.subnode_block ? o.subnode_block->id : 0;
  return (parent == live.parent_id ? 4 : 0) + (sub == (live.subnode_block_id & kIdBits) ? 2 : 0) +
         (tables.find_block(o.data_block->id) == o.data_block ? 1 : 0);
}

// The newest version: highest data block id, the block index's choice of copy first. With
// `parent_id`, a version below that parent comes before any other that can be read; then
// one below a folder whose contents table lists the node.
ObjectIndex newest(const RecoveryTables& tables, const std::vector<ObjectIndex>& versions,
                   const ContentsListings& listings,
                   std::optional<std::uint32_t> parent_id = std::nullopt) {
  ObjectIndex best = kNoObject;
  auto rank = [&](ObjectIndex x) {
    const ObjectNode& o = tables.objects[x];
    if (o.data_block == nullptr) return std::tuple<bool, bool, bool, std::int64_t, bool>{};
    const std::uint32_t parent = o.parent == kNoObject ? 0 : tables.objects[o.parent].node_id;
    const auto listing = listings.find(parent);
    const bool listed = listing != listings.end() && listing->second.contains(o.node_id);
    return std::tuple<bool, bool, bool, std::int64_t, bool>{
        true, parent_id && parent == *parent_id, listed, o.data_block->id,
        tables.find_block(o.data_block->id) == o.data_block};
  };
  for (const ObjectIndex x : versions)
    if (best == kNoObject || rank(x) > rank(best)) best = x;
  return best;
}

LiveNodeIndex walk_live_nodes(const ByteSource& source, bool keep_entries) {
  LiveNodeIndex index;
  // The header of the larger form, or as much of it as the file holds: parse_file_header
  // tells the form by the version and wants the bytes of that form's header.
  std::array<std::uint8_t, kUnicodeLayout.header_size> head{};
  const auto held = std::span(head).first(
      static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), source.size())));
  source.read_at(0, held);
  const std::optional<FileHeader> header = parse_file_header(held);
  if (!header) return index;
  const FormLayout& form = layout_of(header->form);
  if (!read_page(source, form, header->nbt.bid, header->nbt.ib, -1)) return index;
  index.root_sound = true;
  PageWalk walk{source, form, index, keep_entries, {}};
  index.complete = walk_page(walk, header->nbt.bid, header->nbt.ib, -1);
  return index;
}

}  // namespace

LiveNodeIndex read_live_nodes(const ByteSource& source) { return walk_live_nodes(source, true); }

bool node_btree_reads_whole(const ByteSource& source) {
  return walk_live_nodes(source, false).complete;
}

std::vector<VersionRole> decide_versions(const RecoveryTables& tables, const LiveNodeIndex& live,
                                         const ContentsListings& listings) {
  const ObjectTree& tree = tables.objects;
  std::vector<VersionRole> roles(tree.size(), VersionRole::kEarlier);
  std::map<std::uint32_t, std::vector<ObjectIndex>> by_node;  // each in pre-order
  const std::vector<ObjectIndex> order = tree.pre_order();
  for (const ObjectIndex x : order) by_node[tree[x].node_id].push_back(x);

  std::set<std::pair<std::uint32_t, VersionKey>> kept;
  for (const auto& [node_id, versions] : by_node) {
    ObjectIndex current = kNoObject;
    const auto listed = live.root_sound ? live.nodes.find(node_id) : live.nodes.end();
    if (listed != live.nodes.end()) {
      int best = -1;
      for (const ObjectIndex x : versions)
        if (const int f = fit(tables, tree[x], listed->second); f > best) {
          best = f;
          current = x;
        }
    }
    const bool deleted = live.complete && listed == live.nodes.end();
    // The version the tree names may be lost with its data block: the newest one in the
    // folder the tree names stands for it.
    if (current == kNoObject && listed != live.nodes.end())
      current = newest(tables, versions, listings, listed->second.parent_id);
    if (current == kNoObject && !deleted) current = newest(tables, versions, listings);
    if (current != kNoObject) {
      roles[current] = VersionRole::kCurrent;
      kept.emplace(node_id, key_of(tree[current]));
    }
    for (const ObjectIndex x : versions) {
      if (x == current) continue;
      if (!kept.emplace(node_id, key_of(tree[x])).second)
        roles[x] = VersionRole::kIdentical;
      else
        roles[x] = deleted ? VersionRole::kUnlisted : VersionRole::kEarlier;
    }
  }
  return roles;
}

}  // namespace pstorian
