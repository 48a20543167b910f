// Which version of a node is the current one. The scan reads every node B-tree leaf page
// and every copy of a block, so a node may come back several times: from pages the file's
// own earlier states left behind (a message before it was edited, or in the folder it was
// later moved out of), from stale copies of its data block, and after it was deleted. One
// version is current, decided in this order:
//
//   1. the version the file's own node B-tree names, when the header and the B-tree root
//      check out (header check value; each page's type, id, signature and check value);
//      when that version's data block was not found, the newest version below the parent
//      the tree names. A node the tree does not hold, when every page of it could be read,
//      has no current version at all: it was deleted;
//   2. otherwise a version below a folder whose newest contents table lists the node (a
//      message moved to another folder keeps its blocks, so only the folders' tables tell
//      where it is now);
//   3. among those, or when no table lists it, the version with the newest data block id,
//      since block ids are handed out in increasing order (among copies of one id, the copy
//      the block index prefers).
//
// Versions that are not current are either identical to a version already decided on (same
// data and subnode blocks: one node seen in two places) or differ from it.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/byte_source.h"
#include "engine/contents_tables.h"
#include "engine/object_tables.h"

namespace pstorian {

// What the file's node B-tree holds for one node: its data block, subnode block and parent.
struct LiveNode {
  std::uint64_t data_block_id = 0;
  std::uint64_t subnode_block_id = 0;
  std::uint32_t parent_id = 0;
};

// The node B-tree as a reader that trusts the header would see it.
struct LiveNodeIndex {
  // The header and the root page checked out: the entries below are the file's own.
  bool root_sound = false;
  // Every page below the root checked out too: a node missing from `nodes` was deleted.
  bool complete = false;
  std::unordered_map<std::uint32_t, LiveNode> nodes;
};

// Reads the header of `source` and walks its node B-tree, page by page, each page verified
// before its entries are used. Either form of the file: the header tells which. Bounded: at most kMaxLevels levels, no page twice.
LiveNodeIndex read_live_nodes(const ByteSource& source);
// Whether read_live_nodes would find the tree complete, without keeping its entries.
bool node_btree_reads_whole(const ByteSource& source);

enum class VersionRole : std::uint8_t {
  kCurrent,    // the version of its node to write in its place
  kIdentical,  // same blocks as the current version or an earlier kept one
  kEarlier,    // another version is current, and this one differs from it
  kUnlisted,   // the node has no current version: the file's tree no longer holds it
};

// The role of every object of `tables`, indexed by ObjectIndex. Identical versions are
// those after the first of their blocks in pre-order, the current one counting first.
std::vector<VersionRole> decide_versions(const RecoveryTables& tables, const LiveNodeIndex& live,
                                         const ContentsListings& listings = {});

}  // namespace pstorian
