// Tables written again at each checkpoint take over their unchanged blocks: the rows read
// back whole, the blocks taken over keep their references, and a checkpoint writes what the
// new rows need rather than the whole table again.
#include "mailclient/table_node_writer.h"

#include <gtest/gtest.h>

#include "mailclient/ltp_reader.h"
#include "mail_client_support.h"

namespace pstorian {
namespace {

const std::vector<TableColumn> kColumns = {
    {kTagLtpRowId, 0, 4, 0}, {kTagLtpRowVer, 4, 4, 1}, {0x0037001E, 8, 4, 2}};

TableRow row(std::uint32_t id) {
  return {StoredProperty::int32(kTagLtpRowId, id), StoredProperty::int32(kTagLtpRowVer, 1),
          StoredProperty::string8(0x0037001E, "subject of row " + std::to_string(id))};
}

std::string cell(const TableRow& r, std::uint32_t tag) {
  for (const auto& p : r)
    if (p.tag == tag) return std::string(p.value.begin(), p.value.end());
  return "";
}

std::vector<TableRow> read_rows(const StoreFile& file, std::uint32_t nid) {
  const NbtEntry node = *file.find_node(nid);
  const auto subnodes = file.read_subnodes(node.bid_sub);
  return read_table_context(HeapView(file.read_data(node.bid_data)), [&](std::uint32_t sub) {
           std::vector<std::uint8_t> rows;
           for (const auto& leaf : file.read_data(subnodes.at(sub).bid_data))
             rows.insert(rows.end(), leaf.begin(), leaf.end() - static_cast<std::ptrdiff_t>(leaf.size() % 13));
           return rows;
         }).rows;
}

TEST(TableNodeWriter, TakesOverUnchangedBlocksAcrossCheckpoints) {
  test::TempDir dir;
  const auto path = test::empty_store(dir, "t.pst");
  constexpr std::uint32_t kTable = 0x200E;  // a contents table no folder lists
  std::vector<TableRow> rows;  // rows of 13 bytes: id, version, subject, existence bits
  std::size_t leaves = 0;
  std::size_t new_blocks = 0;
  {
    StoreFile file(path);
    TableNodeWriter writer(file);
    for (std::uint32_t checkpoint = 0; checkpoint < 6; ++checkpoint) {
      for (std::uint32_t i = 0; i < 3000; ++i) rows.push_back(row(0x10000 + checkpoint * 3000 + i));
      // A change to an early row too: its blocks are written again.
      if (checkpoint == 4) rows[5][2] = StoredProperty::string8(0x0037001E, "changed");
      const std::uint32_t next_bid = file.header().bid_next_b;
      writer.write(kTable, kColumns, rows);
      file.commit();
      new_blocks = (file.header().bid_next_b - next_bid) / 4;
      const NbtEntry node = *file.find_node(kTable);
      leaves = file.read_data(node.bid_data).size();
      for (const auto& [nid, sub] : file.read_subnodes(node.bid_sub))
        leaves += file.read_data(sub.bid_data).size();
      const auto back = read_rows(file, kTable);
      ASSERT_EQ(back.size(), rows.size());
      EXPECT_EQ(cell(back.back(), 0x0037001E), "subject of row " + std::to_string(0x10000 + checkpoint * 3000 + 2999));
    }
  }
  // The last checkpoint wrote the new rows' blocks, the row index and the trees above.
  EXPECT_GT(leaves, 60u);
  EXPECT_LT(new_blocks, leaves / 2);
  const std::string report = test::pstcheck(path);
  EXPECT_TRUE(report == "skipped" || report.starts_with("pstcheck: 0 errors, 0 warnings")) << report;
  StoreFile reopened(path);
  const auto back = read_rows(reopened, kTable);
  ASSERT_EQ(back.size(), rows.size());
  EXPECT_EQ(cell(back[5], 0x0037001E), "changed");
  EXPECT_EQ(cell(back[6], 0x0037001E), "subject of row " + std::to_string(0x10006));
}

}  // namespace
}  // namespace pstorian
