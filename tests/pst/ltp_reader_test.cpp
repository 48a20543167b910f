// Reading property and table contexts back: from what the writers made (through a store,
// with values in subnodes) and from files written by the mail client.
#include "pst/ltp/ltp_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ndb/node_writer.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/ndb/store_file.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Reads a node's context through the store, its subnodes included.
struct NodeReader {
  const StoreFile& store;
  const NbtEntry& node;

  HeapView heap() const { return HeapView(store.read_data(node.bid_data)); }
  SubnodeReader subnodes() const {
    auto entries =
        std::make_shared<std::map<std::uint32_t, SubnodeEntry>>(store.read_subnodes(node.bid_sub));
    return
        [this, entries](std::uint32_t nid) { return store.read_bytes(entries->at(nid).bid_data); };
  }
};

bool same(const StoredProperty& a, const StoredProperty& b) {
  return a.tag == b.tag && a.value == b.value;
}

TEST(LtpReader, ReadsBackWhatTheWritersStored) {
  test::TempDir dir;
  const fs::path file = dir.path() / "s.pst";
  test::write_file(file, EmptyStoreImage());
  StoreFile store(file);

  std::vector<StoredProperty> props = {
      StoredProperty::string8(0x0037001E, "Subject"),
      StoredProperty::int32(0x0E070003, 9),
      StoredProperty::boolean(0x0E1F000B, true),
      StoredProperty::int64(0x0E060040, 0x01D9ABCDEF012345),
      StoredProperty::binary(0x10130102, Bytes(20000, 0x5A)),  // a body-sized value: a subnode
      StoredProperty::string8(0x0E1D001E, ""),
  };
  const TableColumn columns[] = {{kTagLtpRowId, 0, 4, 0},
                                 {kTagLtpRowVer, 4, 4, 1},
                                 {0x0037001E, 8, 4, 2},
                                 {0x0E060040, 12, 8, 3},
                                 {0x0E1F000B, 20, 1, 4}};
  std::vector<TableRow> rows;
  for (std::uint32_t i = 0; i < 300; ++i)  // 300 rows of 22 bytes: the matrix goes to a subnode
    rows.push_back({StoredProperty::int32(kTagLtpRowId, 0x200024 + 32 * i),
                    StoredProperty::int32(kTagLtpRowVer, i),
                    StoredProperty::string8(0x0037001E, "row " + std::to_string(i))});

  NodeWriter pc_writer(store);
  WrittenNode pc = pc_writer.finish(build_property_context(props, &pc_writer));
  NodeWriter tc_writer(store);
  WrittenNode tc = tc_writer.finish(build_table_context(columns, rows, 2, &tc_writer));
  const NbtEntry pc_node{store.next_nid(pst::kNodeInternal), pc.bid_data, pc.bid_sub, 0};
  const NbtEntry tc_node{store.next_nid(pst::kNodeInternal), tc.bid_data, tc.bid_sub, 0};
  store.add_blocks(std::move(pc.blocks));
  store.add_blocks(std::move(tc.blocks));
  store.put_node(pc_node);
  store.put_node(tc_node);
  store.commit();

  const NodeReader pr{store, *store.find_node(pc_node.nid)};
  const auto back = read_property_context(pr.heap(), pr.subnodes());
  std::sort(props.begin(), props.end(),
            [](const auto& a, const auto& b) { return a.tag >> 16 < b.tag >> 16; });
  ASSERT_EQ(back.size(), props.size());
  EXPECT_TRUE(std::equal(back.begin(), back.end(), props.begin(), same));

  const NodeReader tr{store, *store.find_node(tc_node.nid)};
  const TableContents table = read_table_context(tr.heap(), tr.subnodes());
  ASSERT_EQ(table.columns.size(), 5u);
  EXPECT_EQ(table.columns.front().tag, 0x0037001Eu);  // sorted by tag
  ASSERT_EQ(table.rows.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); i += 37) {
    ASSERT_EQ(table.rows[i].size(), 3u);  // only cells that have a value
    for (const auto& p : rows[i])
      EXPECT_TRUE(std::any_of(table.rows[i].begin(), table.rows[i].end(),
                              [&](const auto& q) { return same(p, q); }));
  }
}

TEST(LtpReader, RejectsMalformedHeaps) {
  EXPECT_THROW(HeapView({Bytes(12, 0)}), LtpError);
  Bytes block = {14, 0, 0xEC, 0xBC, 0x20, 0, 0, 0, 0, 0, 0, 0, 1, 2, 1, 0, 0, 0, 12, 0, 40, 0};
  EXPECT_THROW(HeapView({block}), LtpError);  // the allocation ends past the page map
  block[20] = 14;
  const HeapView heap({block});
  EXPECT_EQ(heap.get(0x20).size(), 2u);
  EXPECT_THROW(heap.get(0x40), LtpError);
  EXPECT_THROW(heap.get(0x21), LtpError);
  EXPECT_THROW(read_bth(heap, 0x20), LtpError);  // two bytes are no BTH header
}

// One heap block holding `allocations` back to back, empty ones too, and its page map.
Bytes heap_block(std::uint8_t client, std::uint32_t user_root, const std::vector<Bytes>& allocations) {
  Bytes b(12, 0);
  b[2] = pst::kHeapSignature;
  b[3] = client;
  pst::store_le32(b, 4, user_root);
  std::vector<std::uint16_t> starts{12};
  for (const Bytes& a : allocations) {
    b.insert(b.end(), a.begin(), a.end());
    starts.push_back(static_cast<std::uint16_t>(b.size()));
  }
  const std::size_t map_at = (b.size() + 1) / 2 * 2;
  b.resize(map_at + 4 + 2 * starts.size(), 0);
  pst::store_le16(b, 0, static_cast<std::uint16_t>(map_at));
  pst::store_le16(b, map_at, static_cast<std::uint16_t>(allocations.size()));
  for (std::size_t i = 0; i < starts.size(); ++i) pst::store_le16(b, map_at + 4 + 2 * i, starts[i]);
  return b;
}

TEST(LtpReader, RefusesBthIndexesThatNameAnAllocationTwice) {
  // Two index levels of 100 records each over one empty leaf: walked as they stand, 10,000
  // visits that find nothing; 1000 records on each of eight levels would never finish.
  auto index = [](std::uint32_t child) {
    Bytes level;
    for (std::uint16_t k = 0; k < 100; ++k) {
      const Bytes record = {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8),
                            static_cast<std::uint8_t>(child), static_cast<std::uint8_t>(child >> 8),
                            0, 0};
      level.insert(level.end(), record.begin(), record.end());
    }
    return level;
  };
  const Bytes header = {pst::kClientBTreeOnHeap, 2, 4, 2, 0x40, 0, 0, 0};
  const HeapView heap({heap_block(pst::kClientPropertyContext, 0x20,
                                  {header, index(0x60), index(0x80), Bytes{}})});
  EXPECT_THROW(read_bth(heap, 0x20), LtpError);
}

TEST(LtpReader, DamagedStructuresAreRefusedWholeOrLeftOutInPart) {
  // A heap whose third allocation claims to end far beyond the page map.
  const Bytes header = {pst::kClientBTreeOnHeap, 2, 6, 0, 0x40, 0, 0, 0};
  const Bytes records = {0x37, 0x00, 0x1E, 0x00, 0x60, 0x00, 0x00, 0x00,   // subject: hid 0x60
                         0x38, 0x00, 0x1E, 0x00, 0x80, 0x00, 0x00, 0x00};  // another: hid 0x80
  Bytes block = heap_block(pst::kClientPropertyContext, 0x20,
                           {header, records, Bytes{'o', 'k'}, Bytes{'l', 'o', 's', 't'}});
  const std::size_t map_at = pst::load_le16(block, 0);
  pst::store_le16(block, map_at + 4 + 2 * 4, 0xFFF0);  // the end of allocation 4
  EXPECT_THROW(HeapView({block}), LtpError);
  const HeapView damaged({block}, Broken::kLeaveOut);
  EXPECT_EQ(damaged.get(0x60).size(), 2u);
  EXPECT_THROW(damaged.get(0x80), LtpError);
  const auto found = property_records(damaged, Broken::kLeaveOut);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(locate_value(damaged, pst::kPtString8, found[0].slot).bytes.size(), 2u);
  EXPECT_THROW(locate_value(damaged, pst::kPtString8, found[1].slot), LtpError);

  // A BTH claiming far more index levels than any tree has: its root read as records.
  Bytes deep = header;
  deep[3] = 0xC0;
  const HeapView too_deep({heap_block(pst::kClientPropertyContext, 0x20, {deep, records})});
  EXPECT_THROW(read_bth(too_deep, 0x20), LtpError);
  EXPECT_EQ(read_bth(too_deep, 0x20, Broken::kLeaveOut).size(), 2u);

  // Records of uneven size: the whole ones are kept.
  Bytes ragged = records;
  ragged.push_back(0x39);
  const HeapView uneven({heap_block(pst::kClientPropertyContext, 0x20, {header, ragged})});
  EXPECT_THROW(read_bth(uneven, 0x20), LtpError);
  EXPECT_EQ(read_bth(uneven, 0x20, Broken::kLeaveOut).size(), 2u);

  // A table column whose cell lies beyond the row: that column is left out.
  Bytes info(22 + 16, 0);
  info[0] = pst::kClientTableContext;
  info[1] = 2;
  pst::store_le16(info, 6, 8);   // cells end, existence bits start
  pst::store_le16(info, 8, 9);   // row size
  pst::store_le32(info, 22, kTagLtpRowId);
  pst::store_le32(info, 30, 0x0E070003);
  pst::store_le16(info, 34, 0x4000);  // far beyond the row
  info[36] = 4;
  info[37] = 1;
  const HeapView table({heap_block(pst::kClientTableContext, 0x20, {info})});
  EXPECT_THROW(read_table_info(table), LtpError);
  const TableInfo kept = read_table_info(table, Broken::kLeaveOut);
  ASSERT_EQ(kept.columns.size(), 1u);
  EXPECT_EQ(kept.columns[0].tag, kTagLtpRowId);
}

TEST(LtpReaderCorpus, ReadsFoldersAndHierarchyTablesWrittenByTheMailClient) {
  test::TempDir dir;
  const auto copies = test::corpus_copies(dir);
  if (copies.empty()) GTEST_SKIP() << "corpus not found";
  for (const auto& copy : copies) {
    const StoreFile store(copy);

    // Each folder's display name, and the rows of the root folder's hierarchy table.
    std::map<std::uint32_t, std::string> names;
    std::size_t root_children = 0;
    store.for_each_node([&](const NbtEntry& n) {
      const auto type = pst::node_type(n.nid);
      if ((type != pst::kNodeNormalFolder && type != pst::kNodeSearchFolder) || n.bid_data == 0)
        return;
      if (n.nid_parent == 0x122 && n.nid != 0x122) ++root_children;
      const NodeReader r{store, n};
      for (const auto& p : read_property_context(r.heap(), r.subnodes()))
        if (p.tag == 0x3001001E) names[n.nid] = std::string(p.value.begin(), p.value.end());
    });
    EXPECT_EQ(names.count(0x8022), 1u) << copy;
    const NodeReader h{store, *store.find_node(0x12D)};
    const auto table = read_table_context(h.heap(), h.subnodes());
    EXPECT_GE(table.rows.size(), root_children) << copy;
    for (const auto& row : table.rows) {
      std::uint32_t id = 0;
      std::string name;
      for (const auto& p : row) {
        if (p.tag == kTagLtpRowId) id = pst::load_le32(p.value, 0);
        if (p.tag == 0x3001001E) name.assign(p.value.begin(), p.value.end());
      }
      EXPECT_EQ(name, names[id]) << copy;
    }
  }
}

}  // namespace
}  // namespace pstorian
