// Tables written again at each checkpoint take over their unchanged blocks: the rows read
// back whole, the blocks taken over keep their references, and a checkpoint writes what the
// new rows need rather than the whole table again.
#include "pst/ltp/table_node_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "format/layout.h"
#include "pst/messaging/folder_table.h"
#include "pst/ltp/ltp_reader.h"
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
           // Row matrix blocks end in unused space shorter than a row.
           const std::size_t row_size = sub == 0x3F ? 13 : 1;
           for (const auto& leaf : file.read_data(subnodes.at(sub).bid_data))
             rows.insert(rows.end(), leaf.begin(),
                         leaf.end() - static_cast<std::ptrdiff_t>(leaf.size() % row_size));
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

// Catches the row matrix as the whole build hands it over.
class MatrixCatcher final : public SubnodeSink {
 public:
  std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) override {
    if (unit == 1) throw std::invalid_argument("no large values expected");
    matrix.assign(data.begin(), data.end());
    return 0x21;
  }
  std::vector<std::uint8_t> matrix;
};

std::vector<std::vector<std::uint8_t>> bytes_of(const std::vector<SharedBytes>& blocks) {
  std::vector<std::vector<std::uint8_t>> out;
  for (const auto& b : blocks) out.push_back(*b);
  return out;
}

TEST(GrowingTableContext, MatchesTheWholeBuildAfterAppendsAndTruncations) {
  std::mt19937 random(7);
  std::vector<TableRow> rows;
  GrowingTableContext grown(kColumns, 0x21);
  std::uint32_t next_id = 0x10000;
  std::uint32_t low_id = 0x8000;
  for (int round = 0; round < 40; ++round) {
    // Rows change from a random point on (an early row saved again, a row moved out), and
    // new ones come at the end, some with ids below the last one.
    std::size_t keep = rows.size();
    if (!rows.empty() && round % 3 == 0) {
      keep = random() % rows.size();
      if (round % 2 == 0)
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(keep));
      else
        rows[keep][2] = StoredProperty::string8(0x0037001E, std::string(random() % 300, 'x'));
    }
    // Some rounds end on a block's last row, so that the next one adds after a full block.
    const std::size_t per_block = layout_of(FileForm::kAnsi).max_block_data / grown.row_size();
    const std::size_t add = round % 5 == 4 ? per_block - rows.size() % per_block : random() % 400;
    for (std::size_t i = 0; i < add; ++i)
      rows.push_back(row(i % 7 == 3 ? low_id-- : next_id++));
    grown.truncate(keep);
    for (std::size_t r = grown.rows(); r < rows.size(); ++r) grown.append(rows[r]);
    if (rows.size() * grown.row_size() <= HeapWriter::kMaxAllocation) continue;

    MatrixCatcher whole;
    ASSERT_EQ(bytes_of(grown.heap_blocks()), build_table_context(kColumns, rows, 2, &whole, true))
        << "round " << round;
    ASSERT_TRUE(std::ranges::equal(grown.matrix(), whole.matrix)) << "round " << round;
    ASSERT_EQ(bytes_of(grown.matrix_blocks()), split_into_blocks(whole.matrix, grown.row_size()))
        << "round " << round;
  }
  // A refused row leaves the table as it was.
  const auto before = bytes_of(grown.heap_blocks());
  TableRow duplicate = rows.back();
  EXPECT_THROW(grown.append(duplicate), std::invalid_argument);
  TableRow oversized = row(0x7FFFFF);
  oversized[2] = StoredProperty::string8(0x0037001E, std::string(5000, 'y'));
  EXPECT_THROW(grown.append(oversized), std::invalid_argument);
  EXPECT_EQ(grown.rows(), rows.size());
  EXPECT_EQ(bytes_of(grown.heap_blocks()), before);
}

TEST(GrowingTableContext, HandsOutUnchangedBlocksAsTheSameObjects) {
  GrowingTableContext grown(kColumns, 0x21);
  std::uint32_t id = 0x10000;
  for (int i = 0; i < 3000; ++i) grown.append(row(id++));
  const auto heap = grown.heap_blocks();
  const auto matrix = grown.matrix_blocks();
  ASSERT_GT(matrix.size(), 4u);
  ASSERT_GT(heap.size(), 4u);

  // Rows added at the end: the earlier full blocks are handed out again as they are.
  for (int i = 0; i < 100; ++i) grown.append(row(id++));
  const auto heap2 = grown.heap_blocks();
  const auto matrix2 = grown.matrix_blocks();
  EXPECT_EQ(matrix2[1], matrix[1]);
  EXPECT_EQ(heap2[2], heap[2]);
  EXPECT_NE(heap2[0], heap[0]);  // the row index header and fill levels live there

  // Rows redone from the middle: the blocks from there on are new, the ones before kept.
  grown.truncate(1000);
  for (int i = 0; i < 100; ++i) grown.append(row(id++));
  const auto matrix3 = grown.matrix_blocks();
  const std::size_t per_block = pst::kMaxBlockData / grown.row_size();
  EXPECT_EQ(matrix3[1000 / per_block - 1], matrix2[1000 / per_block - 1]);
  EXPECT_NE(matrix3[1000 / per_block], matrix2[1000 / per_block]);
  EXPECT_EQ(bytes_of(matrix3), split_into_blocks(grown.matrix(), grown.row_size()));
}

TEST(TableNodeWriter, RedoesRowsFromTheFirstChangedOneAndBuildsWholeForLargeValues) {
  test::TempDir dir;
  const auto path = test::empty_store(dir, "t.pst");
  constexpr std::uint32_t kTable = 0x200E;
  FolderTable table(kColumns, {});
  auto subject = [](std::uint32_t id, const std::string& text) {
    PropertyBag bag;
    bag.set_string(0x0037001E, text + std::to_string(id));
    return bag;
  };
  StoreFile file(path);
  TableNodeWriter writer(file);
  // Rows are converted for the file (as a Unicode store's texts are) only as they are redone.
  std::size_t converted = 0;
  const auto count = [&](const TableRow& r) {
    ++converted;
    return r;
  };
  auto checkpoint = [&] {
    converted = 0;
    writer.write(kTable, table.columns(), table.rows(), table.unchanged_rows(), count);
    table.mark_written();
    file.commit();
    return read_rows(file, kTable);
  };
  for (std::uint32_t id = 1; id <= 2000; ++id) table.put(id, 1, subject(id, "first "));
  EXPECT_EQ(table.unchanged_rows(), 0u);
  ASSERT_EQ(checkpoint().size(), 2000u);
  EXPECT_EQ(table.unchanged_rows(), 2000u);
  EXPECT_EQ(converted, 2000u);

  // Saving row 10 again and moving row 20 out: the rows from row 10 on are redone.
  table.put(11, 2, subject(11, "again "));
  table.erase(21);
  for (std::uint32_t id = 2001; id <= 2500; ++id) table.put(id, 1, subject(id, "second "));
  EXPECT_EQ(table.unchanged_rows(), 10u);
  auto back = checkpoint();
  ASSERT_EQ(back.size(), 2499u);
  EXPECT_EQ(cell(back[10], 0x0037001E), "again 11");
  EXPECT_EQ(cell(back[20], 0x0037001E), "first 22");
  EXPECT_EQ(cell(back.back(), 0x0037001E), "second 2500");
  EXPECT_EQ(converted, 2499u - 10);

  // A subject too large for the heap needs a subnode: from then on the table is built
  // whole, and still reads back.
  table.put(2501, 1, subject(2501, std::string(5000, 'z')));
  table.put(2502, 1, subject(2502, "third "));
  back = checkpoint();
  ASSERT_EQ(back.size(), 2501u);
  EXPECT_EQ(cell(back[2499], 0x0037001E).size(), 5004u);
  EXPECT_EQ(cell(back.back(), 0x0037001E), "third 2502");
  EXPECT_EQ(converted, 1u + 2501);  // the row the kept build refused, then the whole table
  const std::string report = test::pstcheck(path);
  EXPECT_TRUE(report == "skipped" || report.starts_with("pstcheck: 0 errors, 0 warnings")) << report;
}

TEST(FolderTable, CountsRowsWithTheBitClearThroughPutsAndErases) {
  constexpr std::uint32_t kFlags = 0x0E070003;
  FolderTable table({{kTagLtpRowId, 0, 4, 0}, {kFlags, 4, 4, 1}}, {});
  table.count_clear_bit(kFlags, 1);
  auto flags = [](std::uint32_t value) {
    PropertyBag bag;
    bag.set_int32(kFlags, value);
    return bag;
  };
  table.put(1, 1, flags(0));   // unread
  table.put(2, 1, flags(1));   // read
  table.put(3, 1, PropertyBag());  // no flags: not counted
  table.put(4, 1, flags(8));   // unread
  EXPECT_EQ(table.rows_with_bit_clear(), 2u);
  table.put(1, 2, flags(1));   // read now
  table.put(2, 2, flags(0));   // unread now
  table.put(3, 2, flags(2));   // unread now
  EXPECT_EQ(table.rows_with_bit_clear(), 3u);
  table.erase(4);
  table.erase(4);
  EXPECT_EQ(table.rows_with_bit_clear(), 2u);
}

}  // namespace
}  // namespace pstorian
