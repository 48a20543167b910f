// The scan's entry lists, block index and object tree against the literal model in
// literal_tables.h, over many random sequences of block copies and node entries: same
// list order, same block copies and chains, same tree, same lookups and claim sequence.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "engine/node_entries.h"
#include "engine/object_collection.h"
#include "engine/object_tables.h"
#include "literal_tables.h"

namespace pstorian {
namespace {

struct Fixture {
  RecoveryTables tables;
  NodeEntryList parentless{NodeEntryList::Kind::kParentless};
  NodeEntryList children{NodeEntryList::Kind::kChild};
  literal::BlockTrees lit_blocks;
  literal::EntryList lit_parentless{false};
  literal::EntryList lit_children{true};
  literal::ObjectTree lit_tree;
};

// Block ids spread over all six id ranges, some with bit 0 set.
std::uint32_t random_block_id(std::mt19937& rng, std::uint32_t pool) {
  static constexpr std::uint32_t kBases[] = {0x40, 0x10000, 0x600000, 0xB00000, 0x1000000, 0x1500000};
  const std::uint32_t k = rng() % pool;
  return kBases[k % 6] + (k / 6) * 4 + ((rng() % 17 == 0) ? 1 : 0);
}

void fill(Fixture& f, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::uint32_t nid_range = 3 + rng() % 60;
  const std::uint32_t block_pool = 4 + rng() % 80;
  const int block_count = static_cast<int>(rng() % 150);
  const int entry_count = static_cast<int>(rng() % 400);

  std::uint32_t offset = 0x4600;
  for (int i = 0; i < block_count; ++i) {
    const std::uint32_t id = random_block_id(rng, block_pool);
    const std::uint32_t size = 1 + rng() % 8180;
    f.tables.blocks.add(id, offset, size);
    f.lit_blocks.add(id, offset, size);
    offset += 64;
  }

  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> seen;
  for (int i = 0; i < entry_count; ++i) {
    std::uint32_t nid, data, sub, parent;
    if (!seen.empty() && rng() % 4 == 0) {
      std::tie(nid, data, sub, parent) = seen[rng() % seen.size()];  // a copy
    } else {
      nid = rng() % nid_range;  // node id 0 too: it ends no page when its data id is set
      data = rng() % 8 == 0 ? 0 : random_block_id(rng, block_pool + 4);
      sub = rng() % 3 == 0 ? random_block_id(rng, block_pool + 4) : 0;
      switch (rng() % 4) {
        case 0: parent = 0; break;
        case 1: parent = nid; break;  // its own parent
        default: parent = rng() % (nid_range + 3); break;  // sometimes never found
      }
      seen.emplace_back(nid, data, sub, parent);
    }
    (parent == 0 ? f.parentless : f.children).insert(nid, data, sub, parent);
    (parent == 0 ? f.lit_parentless : f.lit_children).insert(nid, data, sub, parent);
  }
  // Every copy lies at its own offset of random bytes, so that no two are identical: the
  // literal model knows nothing of identical copies.
  std::vector<std::uint8_t> image(offset + 8192 + 64);
  for (std::uint8_t& byte : image) byte = static_cast<std::uint8_t>(rng());
  const MemorySource source(image);
  OpenGate gate;
  NullProgress progress;
  ASSERT_TRUE(collect_objects(f.parentless, f.children, source, f.tables, progress, gate));
  literal::collect(f.lit_parentless, f.lit_children, f.lit_blocks, f.lit_tree);
}

using BlockKey = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;
BlockKey key_of(const BlockRef* b) { return b ? BlockKey{b->id, b->offset, b->size} : BlockKey{}; }
BlockKey key_of(const literal::BlockTrees& t, int b) {
  return b == literal::kNil ? BlockKey{} : BlockKey{t[b].id, t[b].offset, t[b].size};
}

void expect_same_lists(const NodeEntryList& fast, const literal::EntryList& lit) {
  const auto& a = fast.entries();
  const auto b = lit.in_order();
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(std::tie(a[i].node_id, a[i].data_block_id, a[i].subnode_block_id, a[i].parent_id, a[i].primary),
              std::tie(b[i].nid, b[i].data, b[i].sub, b[i].parent, b[i].primary))
        << "entry " << i;
  }
}

// Entries recorded after the list was read land as if all had been recorded first.
TEST(TablesMatchLiteralModel, WhenEntriesArriveAfterTheListWasRead) {
  for (std::uint32_t seed = 1; seed <= 100; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    NodeEntryList fast(NodeEntryList::Kind::kChild);
    literal::EntryList lit(true);
    for (int round = 0; round < 4; ++round) {
      for (int i = static_cast<int>(rng() % 80); i > 0; --i) {
        const std::uint32_t nid = 1 + rng() % 12;
        const std::uint32_t data = 4 * (1 + rng() % 3);
        const std::uint32_t parent = rng() % 3 == 0 ? nid : 1 + rng() % 3;
        fast.insert(nid, data, 0, parent);
        lit.insert(nid, data, 0, parent);
      }
      expect_same_lists(fast, lit);
      if (HasFatalFailure()) return;
    }
  }
}

// Long runs of one node id whose entries name many parents, as a crafted file holds
// them: most go in front of their run, the rest behind it.
TEST(TablesMatchLiteralModel, OnLongRunsOfOneNodeIdWithManyParents) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    for (const bool child_list : {false, true}) {
      NodeEntryList fast(child_list ? NodeEntryList::Kind::kChild : NodeEntryList::Kind::kParentless);
      literal::EntryList lit(child_list);
      const std::uint32_t parents = 1 + rng() % 400;
      for (int i = static_cast<int>(rng() % 3000); i > 0; --i) {
        const std::uint32_t nid = 0x20 + rng() % 4;
        const std::uint32_t data = 4 * (1 + rng() % 3);
        const std::uint32_t sub = rng() % 4 == 0 ? 0x42 : 0;
        std::uint32_t parent = 0;
        if (child_list) parent = rng() % 9 == 0 ? nid : 0x100 + rng() % parents;
        fast.insert(nid, data, sub, parent);
        lit.insert(nid, data, sub, parent);
        if (rng() % 1000 == 0) expect_same_lists(fast, lit);
      }
      expect_same_lists(fast, lit);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(TablesMatchLiteralModel, OnRandomEntrySequences) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    Fixture f;
    fill(f, seed);
    if (HasFatalFailure()) return;
    expect_same_lists(f.parentless, f.lit_parentless);
    expect_same_lists(f.children, f.lit_children);

    // Every id, with bit 0 set or not: the same first copy and the same chain.
    for (std::uint32_t k = 0; k < 90; ++k) {
      for (std::uint32_t low : {0u, 1u}) {
        std::mt19937 id_rng(k);
        const std::uint32_t id = random_block_id(id_rng, 90) | low;
        const BlockRef* a = f.tables.find_block(id);
        int b = f.lit_blocks.find(id);
        ASSERT_EQ(key_of(a), key_of(f.lit_blocks, b));
        while (a != nullptr) {
          a = f.tables.blocks.next_version(*a);
          b = f.lit_blocks[b].next_version;
          ASSERT_EQ(key_of(a), key_of(f.lit_blocks, b));
        }
      }
    }

    // The same tree: pre-order with depth, blocks, flags and child counts.
    const std::vector<ObjectIndex> fast_order = f.tables.objects.pre_order();
    const std::vector<int> lit_order = f.lit_tree.pre_order();
    ASSERT_EQ(fast_order.size(), f.tables.objects.size());
    ASSERT_EQ(fast_order.size(), lit_order.size());
    std::vector<std::size_t> fast_rank(fast_order.size()), lit_rank(lit_order.size());
    for (std::size_t i = 0; i < fast_order.size(); ++i) {
      fast_rank[fast_order[i]] = i;
      lit_rank[static_cast<std::size_t>(lit_order[i])] = i;
    }
    auto fast_parent_rank = [&](ObjectIndex x) {
      const ObjectIndex p = f.tables.objects[x].parent;
      return p == kNoObject ? SIZE_MAX : fast_rank[p];
    };
    auto lit_parent_rank = [&](int x) {
      const int p = f.lit_tree.pool[static_cast<std::size_t>(x)].parent;
      return p == literal::kNil ? SIZE_MAX : lit_rank[static_cast<std::size_t>(p)];
    };
    for (std::size_t i = 0; i < fast_order.size(); ++i) {
      const ObjectNode& a = f.tables.objects[fast_order[i]];
      const literal::Object& b = f.lit_tree.pool[static_cast<std::size_t>(lit_order[i])];
      ASSERT_EQ(a.node_id, b.nid) << "object " << i;
      ASSERT_EQ(key_of(a.data_block), key_of(f.lit_blocks, b.data)) << "object " << i;
      ASSERT_EQ(key_of(a.subnode_block), key_of(f.lit_blocks, b.sub)) << "object " << i;
      ASSERT_EQ(a.primary, b.primary) << "object " << i;
      ASSERT_EQ(a.child_count, b.child_count) << "object " << i;
      ASSERT_EQ(fast_parent_rank(fast_order[i]), lit_parent_rank(lit_order[i])) << "object " << i;
    }

    // The same find results, then the same objects claimed one call after another.
    std::mt19937 rng(seed * 7919);
    for (int i = 0; i < 200; ++i) {
      const std::uint32_t nid = rng() % 70;
      const ObjectIndex fa = f.tables.find_object(nid);
      const int la = f.lit_tree.find(nid);
      ASSERT_EQ(fa == kNoObject, la == literal::kNil);
      if (fa != kNoObject) {
        ASSERT_EQ(fast_rank[fa], lit_rank[static_cast<std::size_t>(la)]);
      }
      const auto fc = f.tables.claim_object(nid);
      const int lc = f.lit_tree.claim(nid);
      ASSERT_EQ(fc.has_value(), lc != literal::kNil) << "claim " << i << " of " << nid;
      if (fc) {
        ASSERT_EQ(fast_rank[*fc], lit_rank[static_cast<std::size_t>(lc)]);
      }
    }
  }
}

}  // namespace
}  // namespace pstorian
