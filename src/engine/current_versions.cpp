#include "engine/current_versions.h"

#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "engine/file_btrees.h"
#include "format/endian.h"
#include "format/layout.h"
#include "pst/ndb/form_layout.h"

namespace pstorian {
namespace {

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

}  // namespace

LiveNodeIndex read_live_nodes(const ByteSource& source) {
  LiveNodeIndex index;
  // An entry is a node id, two block ids and a parent id, at the widths of the form (a node
  // id of the 64-bit form is the low half of its 8 bytes).
  const BTreeWalk walk =
      walk_file_btree(source, FileBTree::kNodes, [&](std::span<const std::uint8_t> entry,
                                                      pst::FileForm form) {
        const FormLayout& f = layout_of(form);
        const std::size_t w = f.id_size;
        index.nodes.insert_or_assign(
            pst::load_le32(entry, 0),
            LiveNode{load_id(f, entry, w), load_id(f, entry, 2 * w), pst::load_le32(entry, 3 * w)});
      });
  index.root_sound = walk.root_sound;
  index.complete = walk.complete;
  return index;
}

bool node_btree_reads_whole(const ByteSource& source) {
  return walk_file_btree(source, FileBTree::kNodes).complete;
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
