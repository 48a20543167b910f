// Data trees, subnode blocks and the copy-on-write B-tree that a growing store writes.
#include "pst/ndb/node_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"
#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/paged_btree.h"

namespace pstorian {
namespace {

using Bytes = std::vector<std::uint8_t>;

class CountingIds final : public BlockIdSource {
 public:
  std::uint64_t next_bid(bool internal) override {
    next_ += 4;
    return internal ? next_ | 2 : next_;
  }

 private:
  std::uint32_t next_ = 0x100;
};

const PendingBlock& block(const std::vector<PendingBlock>& blocks, std::uint32_t bid) {
  for (const auto& b : blocks)
    if (b.bid == bid) return b;
  throw std::out_of_range("no such block");
}

TEST(DataTreeWriter, SplitsDataAndListsLeavesUnderTreeBlocks) {
  const Bytes data(20000, 7);
  const auto leaves = split_into_blocks(data);
  ASSERT_EQ(leaves.size(), 3u);
  EXPECT_EQ(leaves[0].size(), 8180u);
  EXPECT_EQ(leaves[2].size(), 20000u - 2 * 8180);
  // Rows never straddle two blocks: 314 rows of 26 bytes fit one block, which is padded to
  // the full size; the last block holds the other 86 rows alone.
  const auto rows = split_into_blocks(Bytes(26 * 400, 1), 26);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].size(), 8180u);
  EXPECT_EQ(std::count(rows[0].begin(), rows[0].end(), 1), 314 * 26);
  EXPECT_EQ(rows[1].size(), 86u * 26);

  CountingIds ids;
  std::vector<PendingBlock> out;
  const std::uint32_t single = write_data_tree(std::span(leaves).first(1), ids, out);
  EXPECT_FALSE(pst::is_internal_block(single));
  EXPECT_EQ(out.size(), 1u);

  out.clear();
  const std::uint32_t root = write_data_tree(leaves, ids, out);
  ASSERT_TRUE(pst::is_internal_block(root));
  const auto& x = block(out, root).data;
  EXPECT_EQ(x[0], 0x01);
  EXPECT_EQ(x[1], 1);
  EXPECT_EQ(pst::load_le16(x, 2), 3);
  EXPECT_EQ(pst::load_le32(x, 4), 20000u);
  EXPECT_EQ(block(out, pst::load_le32(x, 8)).data, leaves[0]);
  EXPECT_EQ(block(out, pst::load_le32(x, 8)).references, 1u);
  EXPECT_EQ(block(out, root).references, 0u);  // the node will refer to it

  // More leaves than one XBLOCK lists: an XXBLOCK over two XBLOCKs.
  out.clear();
  const std::vector<Bytes> many(2044, Bytes(1, 1));
  const std::uint32_t top = write_data_tree(many, ids, out);
  const auto& xx = block(out, top).data;
  EXPECT_EQ(xx[1], 2);
  EXPECT_EQ(pst::load_le16(xx, 2), 2);
  EXPECT_EQ(pst::load_le32(xx, 4), 2044u);
  EXPECT_EQ(pst::load_le16(block(out, pst::load_le32(xx, 8)).data, 2), 2043);
  EXPECT_EQ(write_data_tree({}, ids, out), 0u);
}

TEST(DataTreeWriter, SubnodesGoUnderAnIndexWhenOneBlockIsNotEnough) {
  CountingIds ids;
  std::vector<PendingBlock> out;
  const std::uint32_t one = write_subnode_blocks({{0x3F, 0x104, 0}, {0x1F, 0x108, 0}}, ids, out);
  const auto& sl = block(out, one).data;
  EXPECT_EQ(sl[0], 0x02);
  EXPECT_EQ(sl[1], 0);
  EXPECT_EQ(pst::load_le16(sl, 2), 2);
  EXPECT_EQ(sl.size(), 4u + 2 * 12);
  EXPECT_EQ(pst::load_le32(sl, 4), 0x1Fu);  // sorted by node id

  out.clear();
  std::vector<SubnodeEntry> entries;
  for (std::uint32_t i = 0; i < 700; ++i) entries.push_back({(i << 5) | 0x1F, 4 * i + 4, 0});
  const std::uint32_t index = write_subnode_blocks(entries, ids, out);
  const auto& si = block(out, index).data;
  EXPECT_EQ(si[1], 1);
  EXPECT_EQ(pst::load_le16(si, 2), 2);
  EXPECT_EQ(pst::load_le16(block(out, pst::load_le32(si, 8)).data, 2), 681);
  EXPECT_EQ(pst::load_le32(si, 12), (681u << 5) | 0x1F);  // first node id of the second leaf

  EXPECT_THROW(write_subnode_blocks({{0x3F, 4, 0}, {0x3F, 8, 0}}, ids, out), std::invalid_argument);
  EXPECT_EQ(write_subnode_blocks({}, ids, out), 0u);
}

TEST(NodeWriter, LargeValuesBecomeSubnodesWithTheirReferencesCounted) {
  CountingIds ids;
  NodeWriter writer(ids);
  const std::uint32_t nid = writer.store(Bytes(9000, 3), 1);
  EXPECT_EQ(nid & 0x1F, 0x1Fu);
  NodeWriter child_writer(ids);
  writer.add_subnode(0x692, child_writer.finish(std::vector<Bytes>{Bytes(10, 1)}));
  const WrittenNode node = writer.finish(std::vector<Bytes>{Bytes(100, 2)});
  ASSERT_NE(node.bid_sub, 0u);
  const auto& sl = block(node.blocks, node.bid_sub).data;
  EXPECT_EQ(pst::load_le16(sl, 2), 2);
  // The value's data tree and the child's block are each referred to by the subnode block.
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_EQ(block(node.blocks, pst::load_le32(sl, 4 + 12 * i + 4)).references, 1u);
  EXPECT_EQ(block(node.blocks, node.bid_data).data, Bytes(100, 2));
}

std::vector<NbtEntry> written_leaf(const Page& p) {
  std::vector<NbtEntry> out;
  for (std::size_t i = 0; i < p[496]; ++i)
    out.push_back({pst::load_le32(p, 16 * i), pst::load_le32(p, 16 * i + 4), 0, 0});
  return out;
}

TEST(PagedBTree, RewritesOnlyWhatChangedAndSplitsFullLeaves) {
  PagedBTree<NbtEntry> tree(pst::kPageNbt, build_nbt_leaf);
  std::uint32_t next_ib = 0x10000;
  const PageSlotSource slot = [&] {
    next_ib += 512;
    return Bref{next_ib / 512, next_ib};
  };
  std::map<std::uint32_t, Page> disk;
  std::vector<Bref> freed;
  const auto emit = [&](Bref at, const Page& p) { disk[at.ib] = p; };
  const auto replaced = [&](Bref at) { freed.push_back(at); };

  for (std::uint32_t i = 1; i <= 2000; ++i) tree.put({i << 5, i, 0, 0});
  tree.write(slot, emit, replaced);
  // Appending in key order fills leaves completely: 65 leaves, 2 intermediate pages, a root.
  EXPECT_EQ(disk.size(), 65u + 2 + 1);
  EXPECT_EQ(tree.levels(), 2u);
  EXPECT_TRUE(freed.empty());

  // One changed entry: its leaf, its parent and the root are written anew, and the old
  // copies are handed back.
  disk.clear();
  tree.put({1000u << 5, 77, 0, 0});
  tree.write(slot, emit, replaced);
  EXPECT_EQ(disk.size(), 3u);
  EXPECT_EQ(freed.size(), 3u);
  ASSERT_NE(tree.find(1000u << 5), nullptr);
  EXPECT_EQ(tree.find(1000u << 5)->bid_data, 77u);

  // Inserting into a full leaf in the middle splits it in half.
  disk.clear();
  tree.put({(500u << 5) | 1, 5, 0, 0});
  tree.write(slot, emit, replaced);
  std::size_t leaves = 0;
  for (const auto& [ib, page] : disk)
    if (page[499] == 0) {
      ++leaves;
      EXPECT_EQ(written_leaf(page).size(), 16u);
    }
  EXPECT_EQ(leaves, 2u);
  EXPECT_EQ(tree.size(), 2001u);

  EXPECT_TRUE(tree.remove(1u << 5));
  EXPECT_FALSE(tree.remove(1u << 5));
  EXPECT_EQ(tree.find(1u << 5), nullptr);
}

// A node B-tree written page by page into memory, as a store writes it at its checkpoints:
// the pages it holds, the ones handed back freed, and a walk from its root.
struct TreeOnDisk {
  std::map<std::uint64_t, Page> pages;  // by offset
  std::uint64_t next_ib = 0x10000;
  std::size_t written = 0;  // by the last write
  std::size_t freed_missing = 0;

  Bref write(PagedBTree<NbtEntry>& tree) {
    written = 0;
    return tree.write(
        [&] {
          next_ib += 512;
          return Bref{next_ib / 512, next_ib};
        },
        [&](Bref at, const Page& p) {
          pages[at.ib] = p;
          ++written;
        },
        [&](Bref at) { freed_missing += pages.erase(at.ib) == 1 ? 0 : 1; });
  }

  // The leaf keys in the order the walk meets them; false when a page is missing, a parent's
  // key is not its child's first key, or a page is met twice.
  bool walk(Bref root, std::vector<std::uint64_t>& keys, std::size_t& reached) const {
    std::vector<std::uint64_t> seen;
    const std::function<bool(std::uint64_t, std::uint64_t*)> visit = [&](std::uint64_t ib,
                                                                       std::uint64_t* first) {
      const auto it = pages.find(ib);
      if (it == pages.end() || std::find(seen.begin(), seen.end(), ib) != seen.end()) return false;
      seen.push_back(ib);
      const Page& p = it->second;
      const std::size_t count = p[496];
      if (p[499] == 0) {
        for (const NbtEntry& e : written_leaf(p)) keys.push_back(e.nid);
        if (first != nullptr && count > 0) *first = pst::load_le32(p, 0);
        return true;
      }
      for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t child_first = 0;
        if (!visit(pst::load_le32(p, 12 * i + 8), &child_first) ||
            child_first != pst::load_le32(p, 12 * i))
          return false;
        if (i == 0 && first != nullptr) *first = child_first;
      }
      return true;
    };
    const bool ok = visit(root.ib, nullptr);
    reached = seen.size();
    return ok;
  }
};

TEST(PagedBTree, AChangeAnywhereInALargeTreeWritesAPageOrTwoALevel) {
  PagedBTree<NbtEntry> tree(pst::kPageNbt, build_nbt_leaf);
  TreeOnDisk disk;
  for (std::uint32_t i = 1; i <= 200000; ++i) tree.put({i << 5, i, 0, 0});
  disk.write(tree);
  ASSERT_EQ(tree.levels(), 3u);
  // Into a full leaf in the middle: two leaves, and the pages above them. Pages laid out
  // by position would have moved, and been written again, from there to the end.
  tree.put({(100000u << 5) | 1, 1, 0, 0});
  disk.write(tree);
  EXPECT_LE(disk.written, 2 * (tree.levels() + 1));
  // A whole leaf emptied in the middle goes from its parent.
  for (std::uint32_t i = 50000; i < 50100; ++i) tree.remove(i << 5);
  disk.write(tree);
  EXPECT_LE(disk.written, 3 * (tree.levels() + 1));
  std::vector<std::uint64_t> keys;
  std::size_t reached = 0;
  ASSERT_TRUE(disk.walk(tree.root(), keys, reached));
  EXPECT_EQ(keys.size(), 200001u - 100);
  EXPECT_EQ(reached, disk.pages.size());
}

TEST(PagedBTree, StaysASoundTreeThroughRandomChangesAndCheckpoints) {
  PagedBTree<NbtEntry> tree(pst::kPageNbt, build_nbt_leaf);
  TreeOnDisk disk;
  std::map<std::uint64_t, std::uint32_t> expected;
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    for (int op = 0; op < 3000; ++op) {
      // Keys from a range that grows, so that the tree also grows at its end.
      const auto key = static_cast<std::uint32_t>(random() % (2000 + round * 1000)) << 5;
      if (random() % 3 == 0) {
        EXPECT_EQ(tree.remove(key), expected.erase(key) == 1);
      } else {
        tree.put({key, static_cast<std::uint64_t>(op), 0, 0});
        expected[key] = static_cast<std::uint32_t>(op);
      }
    }
    disk.write(tree);
    std::vector<std::uint64_t> keys;
    std::size_t reached = 0;
    ASSERT_TRUE(disk.walk(tree.root(), keys, reached)) << "round " << round;
    // Every page kept on disk is part of the tree, and no page was freed twice.
    EXPECT_EQ(reached, disk.pages.size());
    EXPECT_EQ(disk.freed_missing, 0u);
    ASSERT_EQ(keys.size(), expected.size());
    EXPECT_TRUE(std::equal(keys.begin(), keys.end(), expected.begin(),
                           [](std::uint64_t k, const auto& e) { return k == e.first; }));
    EXPECT_EQ(tree.size(), expected.size());
    for (const auto& [key, value] : expected) {
      const NbtEntry* found = tree.find(key);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->bid_data, value);
    }
  }
  // Emptied, it is a single empty leaf again.
  for (const auto& [key, value] : expected) tree.remove(key);
  disk.write(tree);
  EXPECT_EQ(tree.levels(), 0u);
  EXPECT_EQ(tree.size(), 0u);
  EXPECT_EQ(disk.pages.size(), 1u);
}

}  // namespace
}  // namespace pstorian
