#include "engine/node_reader.h"

#include <gtest/gtest.h>

#include <array>

#include "engine/synthetic_file.h"
#include "engine/synthetic_node.h"
#include "format/endian.h"
#include "format/permute.h"

namespace pstorian {
namespace {

using testing::SyntheticFile;
using testing::subnode_block;

Bytes filled(std::size_t n, std::uint8_t first) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
  return b;
}

// A data tree block of `level` listing `ids`.
Bytes data_tree(std::uint8_t level, const std::vector<std::uint32_t>& ids) {
  Bytes b(8 + 4 * ids.size(), 0);
  b[0] = 0x01;
  b[1] = level;
  pst::store_le16(b, 2, static_cast<std::uint16_t>(ids.size()));
  for (std::size_t i = 0; i < ids.size(); ++i) pst::store_le32(b, 8 + 4 * i, ids[i]);
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(NodeReaderTest, BlocksUnderSixteenBytesOrReachingEndOfFileReadAsNothing) {
  SyntheticFile f;
  const std::uint32_t short_at = f.add_block(0x10, filled(15, 1));
  const std::uint32_t exact_at = f.add_block(0x14, filled(16, 1));
  const MemorySource file = f.source(0);
  NodeReader reader(file, f.tables);
  EXPECT_TRUE(reader.read_block(short_at, 15, false, 0).empty());
  EXPECT_EQ(reader.read_block(exact_at, 16, false, 0), filled(16, 1));
  // A block whose data ends exactly at the end of the file has lost its trailer.
  EXPECT_TRUE(reader.read_block(f.end() - 16, 16, false, 0).empty());
  EXPECT_EQ(reader.read_block(f.end() - 17, 16, false, 0).size(), 16u);
  // Offsets and sizes far beyond the file.
  EXPECT_TRUE(reader.read_block(0xFFFFFFF0u, 0x100, false, 0).empty());
  EXPECT_TRUE(reader.read_block(exact_at, 0xFFFFFFFFu, false, 0).empty());
}

TEST(NodeReaderTest, DataTreesConcatenateChildrenUpToTheFirstMissingOne) {
  SyntheticFile f;
  f.add_block(0x20, filled(40, 0));
  f.add_block(0x24, filled(30, 100));
  f.add_block(0x28, filled(5, 200));  // the last piece of a stream may be tiny
  const std::uint32_t full = f.add_block(0x2E, data_tree(1, {0x20, 0x24, 0x28}));
  const std::uint32_t broken = f.add_block(0x32, data_tree(1, {0x20, 0x24, 0x99, 0x28}));
  const std::uint32_t nothing = f.add_block(0x36, data_tree(1, {0x99, 0x20, 0x24, 0x28}));
  f.add_block(0x40, filled(20, 50));
  f.add_block(0x44, filled(10, 150));
  f.add_block(0x3E, data_tree(1, {0x40, 0x99, 0x44}));
  const std::uint32_t two_level = f.add_block(0x3A, data_tree(2, {0x2E, 0x3E}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);

  const Bytes all = concat({filled(40, 0), filled(30, 100), filled(5, 200)});
  EXPECT_EQ(reader.read_block(full, 20, false, 1), all);
  EXPECT_EQ(reader.read_block(broken, 24, false, 1), concat({filled(40, 0), filled(30, 100)}));
  EXPECT_TRUE(reader.read_block(nothing, 24, false, 1).empty());
  EXPECT_EQ(reader.read_block(two_level, 16, false, 1), concat({all, filled(20, 50)}));
  // Not asked to expand: the tree block itself.
  EXPECT_EQ(reader.read_block(full, 20, false, 0), data_tree(1, {0x20, 0x24, 0x28}));
}

TEST(NodeReaderTest, DataTreeChildrenLieExactlyOneLevelBelowTheirParent) {
  SyntheticFile f;
  f.add_block(0x20, filled(20, 0));
  // A 16-byte level-2 tree naming itself: read as its own level-1 child, it would be
  // expanded again and again.
  f.add_block(0x2E, data_tree(2, {0x2E, 0x2E}));
  // A level-2 tree naming a level-1 tree that names another level-2 tree: its child is data.
  f.add_block(0x32, data_tree(1, {0x4A}));
  f.add_block(0x36, data_tree(2, {0x32, 0x99}));
  f.add_block(0x4A, data_tree(2, {0x32}));
  // A level-2 tree whose second child is a data block rather than a level-1 tree.
  f.add_block(0x3A, data_tree(1, {0x20}));
  f.add_block(0x46, data_tree(1, {0x20}));
  f.add_block(0x3E, data_tree(2, {0x3A, 0x20, 0x46}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);

  EXPECT_TRUE(reader.read_block(*f.tables.find_block(0x2E), false, 1).empty());
  EXPECT_EQ(reader.read_block(*f.tables.find_block(0x36), false, 1), data_tree(2, {0x32}));
  EXPECT_EQ(reader.read_block(*f.tables.find_block(0x3E), false, 1), filled(20, 0));
}

TEST(NodeReaderTest, BlocksNamedAgainInOneDataTreeAreDataOnce) {
  // One block named over and over claims far more than the file holds: each name after the
  // first is left out, at either level of the tree, and counted.
  SyntheticFile f;
  f.add_block(0x20, filled(20, 0));
  f.add_block(0x24, filled(30, 100));
  f.add_block(0x2E, data_tree(1, {0x20, 0x20, 0x24, 0x20}));
  f.add_block(0x32, data_tree(1, {0x24, 0x20}));
  f.add_block(0x36, data_tree(2, {0x2E, 0x2E, 0x32, 0x2E}));  // 0x32 names nothing new
  f.add_block(0x3A, data_tree(1, {0x3A, 0x20}));              // a tree naming itself
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  struct Case {
    std::uint32_t tree;
    Bytes data;
    std::uint64_t dropped;
  };
  for (const Case& c : {Case{0x2E, concat({filled(20, 0), filled(30, 100)}), 2},
                        Case{0x36, concat({filled(20, 0), filled(30, 100)}), 6},
                        Case{0x3A, filled(20, 0), 1}}) {
    SCOPED_TRACE(c.tree);
    const std::uint64_t before = reader.repeats().dropped;
    EXPECT_EQ(reader.read_block(*f.tables.find_block(c.tree), false, 1), c.data);
    EXPECT_EQ(reader.repeats().dropped - before, c.dropped);
  }
  // Read again, the same tree gives the same.
  EXPECT_EQ(reader.read_block(*f.tables.find_block(0x2E), false, 1),
            concat({filled(20, 0), filled(30, 100)}));
}

TEST(NodeReaderTest, ReadingBlocksAgainIsBoundedByTheFile) {
  // Many nodes naming one large tree: each reading costs the tree again, and once what the
  // file could hold (its size and the slack) has been read again, its blocks read as missing.
  SyntheticFile f;
  std::vector<std::uint32_t> pieces;
  for (std::uint32_t i = 0; i < 200; ++i) {
    pieces.push_back(0x1000 + 4 * i);
    f.add_block(pieces.back(), filled(8000, static_cast<std::uint8_t>(i)));
  }
  f.add_block(0x2E, data_tree(1, pieces));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const std::uint64_t tree_size = 200 * 8000;
  const std::uint64_t allowance = file.size() + NodeReader::kRereadSlack;
  std::uint64_t read = 0;
  int whole = 0;
  for (int i = 0; i < 1000; ++i) {
    const Bytes data = reader.read_block(*f.tables.find_block(0x2E), false, 1);
    read += data.size();
    whole += data.size() == tree_size ? 1 : 0;
  }
  // The first reading and what the allowance pays for, which is used up before any block
  // is refused.
  EXPECT_LE(read, tree_size + allowance);
  EXPECT_GT(read, allowance - tree_size);
  EXPECT_GT(whole, 1);
  EXPECT_LT(whole, 1000);
  EXPECT_LE(reader.repeats().reread_bytes, allowance);
  EXPECT_GT(reader.repeats().dropped, 0u);
}

TEST(NodeReaderTest, DataBlocksThatStartLikeDataTreesAreReadAsData) {
  SyntheticFile f;
  f.add_block(0x20, filled(16, 0));
  // Compressed RTF of 513 bytes starts with its size: 01 02 00 00, like a level-2 data tree.
  Bytes rtf = filled(40, 0);
  pst::store_le32(rtf, 0, 0x0201);
  pst::store_le32(rtf, 8, 0x20);
  const std::uint32_t at = f.add_block(0x24, rtf);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  EXPECT_EQ(reader.read_block(*f.tables.find_block(0x24), false, 1), rtf);
  // Known only by its offset, such a block still reads as a data tree.
  EXPECT_TRUE(reader.read_block(at, 40, false, 1).empty());
}

TEST(NodeReaderTest, DataTreeCountsAreBoundedByTheBlock) {
  SyntheticFile f;
  f.add_block(0x20, filled(16, 7));
  f.add_block(0x24, filled(16, 9));
  Bytes tree = data_tree(1, {0x20, 0x24});
  pst::store_le16(tree, 2, 0xFFFF);  // claims far more ids than the block holds
  const std::uint32_t at = f.add_block(0x2E, tree);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  EXPECT_EQ(reader.read_block(at, static_cast<std::uint32_t>(tree.size()), false, 1),
            concat({filled(16, 7), filled(16, 9)}));
}

TEST(NodeReaderTest, OnlyDataBlocksOfEncodedFilesAreDecoded) {
  const Bytes plain = filled(32, 0x30);
  for (const bool encoded : {false, true}) {
    SCOPED_TRACE(encoded ? "encoded file" : "plain file");
    SyntheticFile f;
    f.tables.encoded = encoded;
    const std::uint32_t data = f.add_block(0x20, plain, encoded);
    f.add_block(0x24, plain, encoded);
    // Data tree and subnode blocks are stored plain in either kind of file.
    const std::uint32_t tree = f.add_block(0x2E, data_tree(1, {0x20, 0x24}));
    f.add_block(0x42, subnode_block({{{0x1F, 0x20, 0}}, {{0x3F, 0x24, 0}}}));
    const MemorySource file = f.source();
    NodeReader reader(file, f.tables);
    EXPECT_EQ(reader.read_block(data, 32, true, 0), plain);
    EXPECT_EQ(reader.read_block(tree, 16, true, 1), concat({plain, plain}));
    // Without the decode flag the stored bytes come back.
    Bytes stored = plain;
    if (encoded) pst::permute_encode(stored);
    EXPECT_EQ(reader.read_block(data, 32, false, 0), stored);
    const SubnodeList subs = reader.read_subnodes(f.tables.find_block(0x42));
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_EQ(subs[1].subnode_id, 0x3Fu);
  }
}

TEST(NodeReaderTest, SubnodesFlattenDepthFirstAndSkipMissingBlocks) {
  SyntheticFile f;
  for (std::uint32_t id : {0x20u, 0x24u, 0x28u, 0x2Cu}) f.add_block(id, filled(16, 0));
  f.add_block(0x42, subnode_block({{{0xA1, 0x28, 0}}, {{0xA2, 0x2C, 0}}}));
  // Entry 2 names a data block that is not there; entry 1 has the nested subnode tree.
  f.add_block(0x46, subnode_block({{{0x01, 0x20, 0x42}}, {{0x02, 0x99, 0}}, {{0x03, 0x24, 0}}}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const SubnodeList subs = reader.read_subnodes(f.tables.find_block(0x46));
  std::vector<std::uint32_t> ids;
  for (const SubnodeRef& s : subs) ids.push_back(s.subnode_id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x01, 0xA1, 0xA2, 0x03}));
  EXPECT_EQ(find_subnode(subs, 0xA2), f.tables.find_block(0x2C));
  EXPECT_EQ(find_subnode(subs, 0x02), nullptr);
  EXPECT_TRUE(reader.read_subnodes(nullptr).empty());
}

TEST(NodeReaderTest, SubnodeBlocksThatAreNotLeavesOrLoopAreContained) {
  SyntheticFile f;
  f.add_block(0x20, filled(16, 0));
  Bytes intermediate = subnode_block({{{0x01, 0x20, 0}}});
  intermediate[1] = 1;
  f.add_block(0x42, intermediate);
  // A subnode block naming itself as its own nested tree, with a count it cannot hold.
  Bytes looping = subnode_block({{{0x01, 0x20, 0x46}}, {{0x02, 0x20, 0x46}}});
  pst::store_le16(looping, 2, 0xFFFF);
  f.add_block(0x46, looping);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  EXPECT_TRUE(reader.read_subnodes(f.tables.find_block(0x42)).empty());
  EXPECT_EQ(reader.read_subnodes(f.tables.find_block(0x46)).size(), 2u);
}

TEST(NodeReaderTest, LongChainsOfNestedSubnodeTreesEndAtTheDepthBound) {
  SyntheticFile f;
  f.add_block(0x20, filled(16, 0));
  // Each subnode block nests the next one: far deeper than a thread's stack would allow
  // if every level took a frame of its own.
  constexpr std::uint32_t kChain = 100'000;
  auto block_id = [](std::uint32_t k) { return 0x42 + 4 * k; };
  for (std::uint32_t k = 0; k < kChain; ++k)
    f.add_block(block_id(k), subnode_block({{{k + 1, 0x20, block_id(k + 1)}}}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const SubnodeList subs = reader.read_subnodes(f.tables.find_block(block_id(0)));
  ASSERT_EQ(subs.size(), NodeReader::kMaxSubnodeDepth);
  for (std::size_t i = 0; i < subs.size(); ++i) EXPECT_EQ(subs[i].subnode_id, i + 1);
}

TEST(NodeReaderTest, BlocksNamedAgainInOneSubnodeListAreReadOnce) {
  SyntheticFile f;
  f.add_block(0x20, filled(16, 0));
  f.add_block(0x42, subnode_block({{{0xA1, 0x20, 0}}}));
  // Two entries share a nested tree, which the second one no longer brings; a deeper
  // tree names the outer tree again.
  f.add_block(0x4A, subnode_block({{{0xB1, 0x20, 0x46}}}));
  f.add_block(0x46, subnode_block({{{0x01, 0x20, 0x42}}, {{0x02, 0x20, 0x42}}, {{0x03, 0x20, 0x4A}}}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  std::vector<std::uint32_t> ids;
  for (const SubnodeRef& s : reader.read_subnodes(f.tables.find_block(0x46)))
    ids.push_back(s.subnode_id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x01, 0xA1, 0x02, 0x03, 0xB1}));
}

TEST(NodeReaderTest, IntermediateSubnodeBlocksListTheLeafBlocksOfOneTree) {
  // More subnodes than one leaf block holds: the tree is an intermediate block over leaves.
  SyntheticFile f;
  testing::NodeBuilder node(f);
  for (std::uint32_t i = 0; i < 1500; ++i) node.add_subnode((i + 1) << 5 | 0x1F, {filled(16, 1)});
  const std::uint32_t tree = node.write_subnode_tree();
  // An intermediate block listing that intermediate block: not followed.
  Bytes above(12, 0);
  pst::store_le16(above, 0, 0x0102);
  pst::store_le16(above, 2, 1);
  pst::store_le32(above, 4, 0x3F);
  pst::store_le32(above, 8, tree);
  f.add_block(0x4A, above);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const SubnodeList subs = reader.read_subnodes(f.tables.find_block(tree));
  ASSERT_EQ(subs.size(), 1500u);
  const SubnodeScope scope(subs);
  for (std::uint32_t i : {0u, 700u, 1499u}) {
    const SubnodeRef* s = scope.find((i + 1) << 5 | 0x1F);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s, &subs[i]);
  }
  EXPECT_TRUE(reader.read_subnodes(f.tables.find_block(0x4A)).empty());
}

TEST(NodeReaderTest, ScopesFindTheSubnodesOfTheirOwnTree) {
  // A message's recipient table and that of the message embedded in its attachment share
  // a subnode id; each is found in its own tree.
  SyntheticFile f;
  for (std::uint32_t id : {0x20u, 0x24u, 0x28u, 0x2Cu}) f.add_block(id, filled(16, 0));
  f.add_block(0x42, subnode_block({{{0x692, 0x28, 0}}, {{0x6B2, 0x2C, 0}}}));
  f.add_block(0x46, subnode_block({{{0x671, 0x20, 0}}, {{0x692, 0x24, 0}}, {{0x8025, 0x20, 0x42}}}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const SubnodeList subs = reader.read_subnodes(f.tables.find_block(0x46));
  ASSERT_EQ(subs.size(), 5u);
  const SubnodeScope top(subs);
  EXPECT_EQ(top.find(0x692)->data_block, f.tables.find_block(0x24));
  EXPECT_EQ(top.find(0x6B2), nullptr);
  const SubnodeScope nested = top.nested(*top.find(0x8025));
  EXPECT_EQ(nested.find(0x692)->data_block, f.tables.find_block(0x28));
  EXPECT_EQ(nested.find(0x671), nullptr);
  std::vector<std::uint32_t> ids;
  top.for_each([&](const SubnodeRef& s) { ids.push_back(s.subnode_id); });
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x671, 0x692, 0x8025}));
}

TEST(NodeReaderTest, LeavesOfADataTreeComeOneBlockEach) {
  SyntheticFile f;
  f.tables.encoded = true;
  f.add_block(0x20, filled(40, 0), true);
  f.add_block(0x24, filled(30, 100), true);
  f.add_block(0x2E, data_tree(1, {0x20, 0x24, 0x99, 0x20}));
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  std::uint64_t budget = 1000;
  const std::vector<Bytes> leaves = reader.read_leaves(*f.tables.find_block(0x2E), budget);
  EXPECT_EQ(leaves, (std::vector<Bytes>{filled(40, 0), filled(30, 100)}));  // decoded, to the gap
  EXPECT_EQ(budget, 1000u - 70u);
  budget = 1000;
  EXPECT_EQ(reader.read_leaves(*f.tables.find_block(0x24), budget),
            (std::vector<Bytes>{filled(30, 100)}));
}

}  // namespace
}  // namespace pstorian
