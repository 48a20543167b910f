// The heap-on-node and its clients: BTHs, property contexts and table contexts, read back
// with an independent minimal reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"
#include "heap_reader.h"
#include "pst/ltp/bth_writer.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/ltp/table_context_writer.h"

namespace pstorian {
namespace {

using test::HeapReader;
using Bytes = std::vector<std::uint8_t>;

Bytes text(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(HeapWriter, NamesAllocationsAndKeepsThePageMapEven) {
  HeapWriter heap(pst::kClientPropertyContext);
  EXPECT_EQ(heap.allocate(text("abc")), 0x20u);
  EXPECT_EQ(heap.allocate(text("de")), 0x40u);
  heap.set_user_root(0x40);
  const auto blocks = heap.finish();
  ASSERT_EQ(blocks.size(), 1u);
  // 12-byte header, 5 bytes of allocations, one pad byte, then cAlloc, cFree, 3 offsets.
  EXPECT_EQ(blocks[0].size(), 12u + 5 + 1 + 4 + 6);
  EXPECT_EQ(blocks[0][2], 0xEC);
  HeapReader r(blocks);
  EXPECT_EQ(r.user_root(), 0x40u);
  EXPECT_EQ(r.client_signature(), 0xBC);
  EXPECT_EQ(Bytes(r.get(0x40).begin(), r.get(0x40).end()), text("de"));

  EXPECT_THROW(heap.allocate(Bytes{}), std::invalid_argument);
  EXPECT_THROW(heap.allocate(Bytes(3581, 1)), std::invalid_argument);
  EXPECT_THROW(heap.at(0x60), std::out_of_range);
}

TEST(HeapWriter, SpillsIntoFurtherBlocksWithTheirOwnHeaders) {
  HeapWriter heap(pst::kClientTableContext);
  std::vector<std::uint32_t> hids;
  for (int i = 0; i < 40; ++i)
    hids.push_back(heap.allocate(Bytes(3000, static_cast<std::uint8_t>(i))));
  // Two 3,000-byte allocations fit a block of 8,180 bytes; a third does not.
  EXPECT_EQ(hids[1], 0x40u);
  EXPECT_EQ(hids[2], 0x10020u);
  EXPECT_EQ(hids[39], (19u << 16) | 0x40);
  const auto blocks = heap.finish();
  ASSERT_EQ(blocks.size(), 20u);
  for (const auto& b : blocks) EXPECT_LE(b.size(), pst::kMaxBlockData);
  HeapReader r(blocks);
  EXPECT_EQ(r.page_map(1).front(), 2u);   // HNPAGEHDR
  EXPECT_EQ(r.page_map(8).front(), 66u);  // HNBITMAPHDR
  EXPECT_EQ(r.get(hids[17])[0], 17);
  // Fill levels: every block has about 2,100 bytes left, level 2, block 0 in the low nibble.
  EXPECT_EQ(blocks[0][8], 0x22);
  EXPECT_EQ(blocks[8][2], 0x22);
}

Bytes records(std::uint32_t count, std::uint32_t step) {
  Bytes out(count * 8);
  for (std::uint32_t i = 0; i < count; ++i) {
    pst::store_le32(out, 8 * i, i * step + 1);
    pst::store_le32(out, 8 * i + 4, i);
  }
  return out;
}

TEST(BthWriter, AddsIndexLevelsWhenRecordsOutgrowOneAllocation) {
  for (const std::uint32_t count : {0u, 3u, 447u, 448u, 2000u}) {
    HeapWriter heap(0xB5);
    const auto header = reserve_bth_header(heap);
    heap.set_user_root(header);
    write_bth(heap, header, 4, 4, records(count, 3));
    HeapReader r(heap.finish());
    std::uint8_t levels = 0xFF;
    const auto got = r.bth(header, &levels);
    EXPECT_EQ(levels, count > 447 ? 1 : 0) << count;  // 447 records of 8 bytes fill 3,576
    ASSERT_EQ(got.size(), count);
    if (count > 0) {
      EXPECT_EQ(pst::load_le32(got.at((count - 1) * 3 + 1), 0), count - 1);
    }
  }
  HeapWriter heap(0xB5);
  const auto header = reserve_bth_header(heap);
  Bytes unsorted = records(3, 3);
  std::swap_ranges(unsorted.begin(), unsorted.begin() + 8, unsorted.begin() + 8);
  EXPECT_THROW(write_bth(heap, header, 4, 4, unsorted), std::invalid_argument);
}

class RecordingSink final : public SubnodeSink {
 public:
  std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) override {
    sizes.push_back(data.size());
    units.push_back(unit);
    return 0x3F + 0x20 * static_cast<std::uint32_t>(sizes.size());
  }
  std::vector<std::size_t> sizes, units;
};

TEST(PropertyContextWriter, StoresSmallValuesInlineAndTheRestInTheHeap) {
  const Bytes key(16, 0xAB);
  const std::vector<StoredProperty> props = {
      StoredProperty::string8(0x3001001E, "Inbox"),
      StoredProperty::int32(0x36020003, 7),
      StoredProperty::boolean(0x360A000B, true),
      StoredProperty::string8(0x3004001E, ""),
      StoredProperty::binary(0x0FF90102, key),
      StoredProperty::int64(0x00390040, 0x01D0000012345678ull),
  };
  HeapReader r(build_property_context(props));
  EXPECT_EQ(r.client_signature(), 0xBC);
  ASSERT_EQ(r.user_root(), 0x20u);  // the BTH header comes first, its records second
  const auto bth = r.bth(0x20);
  ASSERT_EQ(bth.size(), props.size());
  auto entry = [&](std::uint16_t id) { return bth.at(id); };
  auto value = [&](std::uint16_t id) { return pst::load_le32(entry(id), 2); };
  EXPECT_EQ(pst::load_le16(entry(0x3001), 0), 0x001E);
  EXPECT_EQ(value(0x3602), 7u);
  EXPECT_EQ(value(0x360A), 1u);
  EXPECT_EQ(value(0x3004), 0u);  // the empty string takes no allocation
  const auto name = r.get(value(0x3001));
  EXPECT_EQ(std::string(name.begin(), name.end()), "Inbox");  // no terminating zero
  const auto k = r.get(value(0x0FF9));
  EXPECT_EQ(Bytes(k.begin(), k.end()), key);
  EXPECT_EQ(pst::load_le64(r.get(value(0x0039)), 0), 0x01D0000012345678ull);  // 8 bytes: heap

  const std::vector<StoredProperty> twice = {StoredProperty::int32(0x36020003, 1),
                                             StoredProperty::boolean(0x3602000B, false)};
  EXPECT_THROW(build_property_context(twice), std::invalid_argument);
  const std::vector<StoredProperty> wrong_size = {{0x36020003, {1, 2}}};
  EXPECT_THROW(build_property_context(wrong_size), std::invalid_argument);

  const std::vector<StoredProperty> large = {StoredProperty::binary(0x10000102, Bytes(5000, 1))};
  EXPECT_THROW(build_property_context(large), std::invalid_argument);
  RecordingSink sink;
  HeapReader with_sink(build_property_context(large, &sink));
  EXPECT_EQ(pst::load_le32(with_sink.bth(0x20).at(0x1000), 2), 0x5Fu);
  EXPECT_EQ(sink.sizes, std::vector<std::size_t>{5000});
}

// Columns given out of tag order, with an 8-byte, 4-byte, 1-byte cell and a binary.
const TableColumn kColumns[] = {
    {0x3001001E, 8, 4, 2},  {0x67F20003, 0, 4, 0},  {0x67F30003, 4, 4, 1},
    {0x360A000B, 24, 1, 3}, {0x0E060040, 12, 8, 4}, {0x0FF90102, 20, 4, 5},
};

TEST(TableContextWriter, WritesSortedColumnsRowIndexAndRowMatrix) {
  const std::vector<TableRow> rows = {
      {StoredProperty::int32(kTagLtpRowId, 0x8082), StoredProperty::int32(kTagLtpRowVer, 0xF),
       StoredProperty::string8(0x3001001E, "Inbox"), StoredProperty::boolean(0x360A000B, true),
       StoredProperty::int64(0x0E060040, 0x0102030405060708ull)},
      {StoredProperty::int32(kTagLtpRowId, 0x8042), StoredProperty::string8(0x3001001E, "")},
  };
  HeapReader r(build_table_context(kColumns, rows));
  EXPECT_EQ(r.client_signature(), 0x7C);
  ASSERT_EQ(r.user_root(), 0x40u);  // row index header at 0x20, TCINFO at 0x40
  const auto info = r.get(0x40);
  ASSERT_EQ(info.size(), 22u + 6 * 8);
  EXPECT_EQ(info[0], 0x7C);
  EXPECT_EQ(info[1], 6);
  EXPECT_EQ(pst::load_le16(info, 2), 24);  // 8- and 4-byte cells
  EXPECT_EQ(pst::load_le16(info, 4), 24);  // no 2-byte cells
  EXPECT_EQ(pst::load_le16(info, 6), 25);  // one 1-byte cell
  EXPECT_EQ(pst::load_le16(info, 8), 26);  // one byte of existence bits
  std::uint32_t previous = 0;
  for (std::size_t c = 0; c < 6; ++c) {
    const std::uint32_t tag = pst::load_le32(info, 22 + 8 * c);
    EXPECT_GT(tag, previous);
    previous = tag;
  }

  // Row index: 4-byte row ids to 2-byte row numbers, by id.
  const auto index = r.bth(pst::load_le32(info, 10));
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index.at(0x8082).size(), 2u);
  EXPECT_EQ(pst::load_le16(index.at(0x8082), 0), 0);
  EXPECT_EQ(pst::load_le16(index.at(0x8042), 0), 1);

  const auto matrix = r.get(pst::load_le32(info, 14));
  ASSERT_EQ(matrix.size(), 2u * 26);
  EXPECT_EQ(pst::load_le32(matrix, 0), 0x8082u);
  const auto name = r.get(pst::load_le32(matrix, 8));
  EXPECT_EQ(std::string(name.begin(), name.end()), "Inbox");
  EXPECT_EQ(pst::load_le64(matrix, 12), 0x0102030405060708ull);
  EXPECT_EQ(matrix[24], 1);
  EXPECT_EQ(matrix[25], 0xF8);  // bits 0..4 set, no binary
  // Second row: id and an empty name (heap id 0, but present); no version, flag or time.
  EXPECT_EQ(pst::load_le32(matrix, 26 + 8), 0u);
  EXPECT_EQ(matrix[26 + 25], 0xA0);
}

TEST(TableContextWriter, EmptyTablesAndLargeOnesAndBadLayouts) {
  HeapReader empty(build_table_context(kColumns, {}));
  const auto info = empty.get(0x40);
  EXPECT_EQ(pst::load_le32(info, 14), 0u);  // no row matrix
  EXPECT_TRUE(empty.bth(0x20).empty());
  EXPECT_EQ(empty.page_map(0).size(), 3u);  // two allocations

  std::vector<TableRow> many;
  for (std::uint32_t i = 0; i < 200; ++i) many.push_back({StoredProperty::int32(kTagLtpRowId, i)});
  EXPECT_THROW(build_table_context(kColumns, many), std::invalid_argument);  // 5,200 bytes
  RecordingSink sink;
  HeapReader big(build_table_context(kColumns, many, 2, &sink));
  EXPECT_EQ(pst::load_le32(big.get(0x40), 14), 0x5Fu);
  EXPECT_EQ(sink.sizes, std::vector<std::size_t>{200 * 26});
  EXPECT_EQ(sink.units, std::vector<std::size_t>{26});
  EXPECT_EQ(big.bth(0x20).size(), 200u);

  const TableColumn overlapping[] = {{0x67F20003, 0, 4, 0}, {0x67F30003, 2, 4, 1}};
  EXPECT_THROW(build_table_context(overlapping, {}), std::invalid_argument);
  const std::vector<TableRow> no_id = {{StoredProperty::int32(kTagLtpRowVer, 1)}};
  EXPECT_THROW(build_table_context(kColumns, no_id), std::invalid_argument);
  const std::vector<TableRow> same_id = {{StoredProperty::int32(kTagLtpRowId, 1)},
                                         {StoredProperty::int32(kTagLtpRowId, 1)}};
  EXPECT_THROW(build_table_context(kColumns, same_id), std::invalid_argument);
}

}  // namespace
}  // namespace pstorian
