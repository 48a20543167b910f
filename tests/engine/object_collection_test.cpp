// The entry lists, the object collection and the encoding test on hand-made entries.
#include <gtest/gtest.h>

#include "engine/object_collection.h"
#include "stop_after.h"
#include "synthetic_pst.h"

namespace pstorian {
namespace {

struct Collected {
  RecoveryTables tables;
  NodeEntryList parentless{NodeEntryList::Kind::kParentless};
  NodeEntryList children{NodeEntryList::Kind::kChild};
  testing_pst::Image file;  // what copies of blocks hold, where the test puts them

  // A copy of block `id` holding `data` at `offset`, found in this order.
  void block(std::uint32_t id, std::uint32_t offset, const std::vector<std::uint8_t>& data,
             std::uint32_t crc_xor = 0) {
    file.put_block(offset, id, data, 0, crc_xor);
    tables.blocks.add(id, offset, static_cast<std::uint32_t>(data.size()));
  }
  void add(std::uint32_t nid, std::uint32_t data, std::uint32_t sub, std::uint32_t parent) {
    (parent == 0 ? parentless : children).insert(nid, data, sub, parent);
  }
  void collect() {
    NullProgress progress;
    OpenGate gate;
    const MemorySource source(file.view());
    ASSERT_TRUE(collect_objects(parentless, children, source, tables, progress, gate));
  }
  const ObjectNode& obj(ObjectIndex i) const { return tables.objects[i]; }
};

TEST(NodeEntries, KeepVersionsBehindTheFirstAndDropIdenticalCopies) {
  NodeEntryList list(NodeEntryList::Kind::kParentless);
  list.insert(0x40, 0x100, 0, 0);
  list.insert(0x21, 0x104, 0, 0);
  list.insert(0x40, 0x100, 0, 0);  // identical copy: dropped
  list.insert(0x40, 0x108, 0, 0);  // a version
  list.insert(0x40, 0x100, 0x2, 0);  // another subnode block: a version too
  list.insert(0x40, 0x108, 0, 0);  // same as a version but not as the first: kept
  const std::vector<NodeEntry> expect{{0x21, 0x104, 0, 0, true},
                                      {0x40, 0x100, 0, 0, true},
                                      {0x40, 0x108, 0, 0, false},
                                      {0x40, 0x100, 0x2, 0, false},
                                      {0x40, 0x108, 0, 0, false}};
  EXPECT_EQ(list.entries(), expect);
}

TEST(NodeEntries, ChildEntriesAreKeyedByParentAndMayNameThemselves) {
  NodeEntryList list(NodeEntryList::Kind::kChild);
  list.insert(0x122, 0x100, 0, 0x122);  // its own parent: stored with parent 0
  list.insert(0x8024, 0x104, 0, 0x122);
  list.insert(0x8024, 0x108, 0, 0x8022);  // another parent: in front, primary
  list.insert(0x8024, 0x10C, 0, 0x8022);  // same parent as the front one: a version
  // Compared with the front entry only, whose parent differs: a copy of the second entry
  // becomes a new front entry rather than being dropped.
  list.insert(0x8024, 0x104, 0, 0x122);
  const std::vector<NodeEntry> expect{{0x122, 0x100, 0, 0, true},
                                      {0x8024, 0x104, 0, 0x122, true},
                                      {0x8024, 0x108, 0, 0x8022, true},
                                      {0x8024, 0x104, 0, 0x122, true},
                                      {0x8024, 0x10C, 0, 0x8022, false}};
  EXPECT_EQ(list.entries(), expect);
}

using testing::StopAfter;

// Putting a list of millions of entries in order is a phase of its own that a stop must
// reach; stopped anywhere, the list is put in order whole when next read.
TEST(NodeEntries, AStoppedBuildLeavesTheListToBeBuiltWhenRead) {
  NodeEntryList list(NodeEntryList::Kind::kChild);
  NodeEntryList whole(NodeEntryList::Kind::kChild);
  for (std::uint32_t i = 0; i < 200'000; ++i) {
    const std::uint32_t nid = 0x20 + 32 * (i % 5000), data = 4 * (i % 7), parent = 0x40 + i % 3;
    list.insert(nid, data, 0, parent);
    whole.insert(nid, data, 0, parent);
  }
  int passes = 0;
  for (int allowed = 0; allowed < 8; ++allowed) {
    StopAfter gate(allowed);
    if (list.build(gate)) break;
    EXPECT_EQ(gate.left_, -1);
    ++passes;
  }
  EXPECT_GE(passes, 3);  // before the sort, after it, and within the replay
  EXPECT_EQ(list.entries(), whole.entries());
}

TEST(ObjectCollection, ABlockFoundTwiceGivesOneObjectPerCopyUnderTheSameParent) {
  Collected c;
  c.block(0x100, 0x5000, std::vector<std::uint8_t>(10, 1));
  c.block(0x100, 0x6000, std::vector<std::uint8_t>(10, 2));
  c.block(0x100, 0x7000, std::vector<std::uint8_t>(10, 3));
  c.add(0x122, 0, 0, 0);
  c.add(0x8024, 0x101, 0, 0x122);  // bit 0 of the block id is ignored
  c.collect();
  const ObjectIndex folder = c.tables.find_object(0x122);
  ASSERT_EQ(c.obj(folder).child_count, 3u);
  std::vector<std::pair<std::uint32_t, bool>> seen;
  for (ObjectIndex x = c.obj(folder).first_child; x != kNoObject; x = c.obj(x).next_sibling)
    seen.emplace_back(c.obj(x).data_block->offset, c.obj(x).primary);
  // The first copy found, then the later copies newest first.
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, bool>>{{0x5000, true}, {0x7000, false}, {0x6000, false}}));

  // Claims hand the three versions out one after another, then nothing.
  EXPECT_EQ(c.obj(*c.tables.claim_object(0x8024)).data_block->offset, 0x5000u);
  EXPECT_EQ(c.obj(*c.tables.claim_object(0x8024)).data_block->offset, 0x7000u);
  EXPECT_EQ(c.obj(*c.tables.claim_object(0x8024)).data_block->offset, 0x6000u);
  EXPECT_EQ(c.tables.claim_object(0x8024), std::nullopt);
  EXPECT_EQ(c.tables.find_object(0x8024), c.obj(folder).first_child);
}

TEST(ObjectCollection, IdenticalCopiesOfABlockGiveOneObject) {
  Collected c;
  const std::vector<std::uint8_t> a(40, 0xA1), b(40, 0xB2);
  c.block(0x100, 0x5000, a);
  c.block(0x100, 0x6000, a);  // the same as the first copy
  c.block(0x100, 0x7000, b);
  c.block(0x100, 0x8000, b);     // the same as the copy before it
  c.block(0x100, 0x9000, a, 1);  // the bytes of the first, but another check value
  c.add(0x122, 0, 0, 0);
  c.add(0x8024, 0x100, 0, 0x122);
  c.add(0x8044, 0x100, 0, 0x122);
  c.collect();
  // In version order (0x5000, 0x9000, 0x8000, 0x7000, 0x6000) every copy that repeats an
  // earlier one is left out.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
  const ObjectIndex folder = c.tables.find_object(0x122);
  for (ObjectIndex x = c.obj(folder).first_child; x != kNoObject; x = c.obj(x).next_sibling)
    seen.emplace_back(c.obj(x).node_id, c.obj(x).data_block->offset);
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                      {0x8024, 0x5000}, {0x8024, 0x9000}, {0x8024, 0x8000},
                      {0x8044, 0x5000}, {0x8044, 0x9000}, {0x8044, 0x8000}}));
  EXPECT_EQ(c.tables.objects.size(), 7u);
}

TEST(ObjectCollection, AChildBeforeItsParentStaysAtTopLevel) {
  Collected c;
  c.add(0x8042, 0, 0, 0x8062);  // its parent has the greater id: not in the tree yet
  c.add(0x8062, 0, 0, 0x122);
  c.add(0x122, 0, 0, 0);
  c.collect();
  EXPECT_EQ(c.obj(c.tables.find_object(0x8042)).parent, kNoObject);
  EXPECT_EQ(c.obj(c.tables.find_object(0x8062)).parent, c.tables.find_object(0x122));
  EXPECT_EQ(c.tables.objects.top_level_count(), 2u);
}

TEST(ObjectCollection, TheParentCacheKeepsHandingOutTheFirstParentFound) {
  Collected c;
  // Two objects of node 0x8022: a top-level one (its parent 0x9000 is never found), and a
  // later child of 0x42 that comes earlier in pre-order. Children of 0x8022 that are
  // collected after the cache learnt the first stay with it.
  c.add(0x42, 0, 0, 0);
  c.add(0x7000, 0, 0, 0x8022);  // 0x8022 is not in the tree yet: top level
  c.add(0x8022, 0x100, 0, 0x9000);
  c.add(0x8022, 0x104, 0, 0x42);  // another parent: sorted in front, under 0x42
  c.add(0x8044, 0, 0, 0x8022);
  c.add(0x8064, 0, 0, 0x8022);
  c.collect();
  const ObjectIndex under_42 = c.obj(c.tables.find_object(0x42)).first_child;
  ASSERT_NE(under_42, kNoObject);
  EXPECT_EQ(c.tables.find_object(0x8022), under_42);
  EXPECT_EQ(c.obj(c.tables.find_object(0x8044)).parent, under_42);
  EXPECT_EQ(c.obj(c.tables.find_object(0x8064)).parent, under_42);
  EXPECT_EQ(c.obj(c.tables.find_object(0x7000)).parent, kNoObject);
}

RecoveryTables tables_with_heaps(const std::vector<std::vector<std::uint8_t>>& heaps,
                                 testing_pst::Image& img) {
  RecoveryTables t;
  std::uint32_t at = 0x4800;
  std::uint32_t id = 0x100;
  for (const auto& h : heaps) {
    img.put_block(at, id, h);
    t.blocks.add(id, at, static_cast<std::uint32_t>(h.size()));
    const ObjectIndex o = t.objects.create(0x8004 + id, nullptr, t.find_block(id), true);
    t.objects.append_top_level(o);
    at += 128;
    id += 4;
  }
  return t;
}

TEST(EncodingTest, VotesOverTheFirstThreeHeapsAndATieMeansEncoded) {
  using testing_pst::heap_header;
  struct Case {
    std::vector<std::vector<std::uint8_t>> heaps;
    bool encoded;
  };
  const std::vector<std::uint8_t> junk(64, 0x33);
  const std::vector<Case> cases{
      {{heap_header(false, false), heap_header(true, false)}, false},
      {{heap_header(false, false), heap_header(true, true)}, true},  // a tie
      {{heap_header(false, true), junk, heap_header(true, true)}, true},
      {{heap_header(false, true), heap_header(false, false), heap_header(true, false)}, false},
      // only the first three matches count
      {{heap_header(false, true), heap_header(true, true), heap_header(false, true), heap_header(false, false),
        heap_header(false, false), heap_header(false, false)},
       true},
      {{junk}, true},
      {{}, true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    testing_pst::Image img;
    RecoveryTables t = tables_with_heaps(cases[i].heaps, img);
    detect_encoding(t, MemorySource(img.view()));
    EXPECT_EQ(t.encoded, cases[i].encoded);
  }
}

TEST(EncodingTest, WalksIntoObjectsWithoutDataButNotBelowObjectsWithData) {
  testing_pst::Image img;
  RecoveryTables t;
  img.put_block(0x4800, 0x100, testing_pst::heap_header(false, false));
  img.put_block(0x4880, 0x104, testing_pst::heap_header(false, true));
  t.blocks.add(0x100, 0x4800, 64);
  t.blocks.add(0x104, 0x4880, 64);
  ObjectTree& tree = t.objects;
  // top: A (no data, no children), B (no data) { C (plain) { D (plain, not visited) } },
  // E (encoded)
  const ObjectIndex a = tree.create(1, nullptr, nullptr, true);
  const ObjectIndex b = tree.create(2, nullptr, nullptr, true);
  const ObjectIndex c = tree.create(3, nullptr, t.find_block(0x100), true);
  const ObjectIndex d = tree.create(4, nullptr, t.find_block(0x100), true);
  const ObjectIndex e = tree.create(5, nullptr, t.find_block(0x104), true);
  tree.append_top_level(a);
  tree.append_top_level(b);
  tree.append_child(b, c);
  tree.append_child(c, d);
  tree.append_top_level(e);
  detect_encoding(t, MemorySource(img.view()));
  EXPECT_TRUE(t.encoded);  // one plain (C), one encoded (E): a tie
}

}  // namespace
}  // namespace pstorian
