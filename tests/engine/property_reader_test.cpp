#include "engine/property_reader.h"

#include <gtest/gtest.h>

#include "engine/named_property_map.h"
#include "engine/synthetic_file.h"
#include "format/endian.h"
#include "format/permute.h"

namespace pstorian {
namespace {

using testing::bytes_of;
using testing::hid;
using testing::PcProp;
using testing::SyntheticFile;

// Reads the properties of block 0x20 holding `heap`.
std::optional<PropRows> read_heap(SyntheticFile& f, const Bytes& heap,
                                  const SubnodeList& subnodes = {}) {
  f.add_block(0x20, heap, f.tables.encoded);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  return read_properties(reader, f.tables.find_block(0x20), subnodes);
}

const PropValue* find(const PropRow& row, std::uint32_t id) {
  for (const PropValue& v : row.values)
    if (v.id == id) return &v;
  return nullptr;
}

TEST(PropertyReaderTest, PropertyContextKeepsLoadedAndUnloadedTypesAndDropsEmptyHeapValues) {
  for (const bool encoded : {false, true}) {
    SCOPED_TRACE(encoded ? "encoded" : "plain");
    SyntheticFile f;
    f.tables.encoded = encoded;
    const auto rows = read_heap(f, testing::property_context({
                                       {0x0017, 0x0003, 2},
                                       {0x0037, 0x001E, 0, bytes_of("Hello")},
                                       {0x0038, 0x001E, 0, Bytes{}},  // empty allocation: dropped
                                       {0x0039, 0x0040, 0},           // heap id 0: dropped
                                       {0x003A, 0x0005, 0x1234},      // floating point: not loaded
                                       {0x003B, 0x001F, hid(3)},      // Unicode string: not loaded
                                       {0x003C, 0x0102, 0x7FE0},      // heap id past the page map
                                   }));
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 1u);
    const PropRow& row = rows->front();
    EXPECT_EQ(row.row_total, 1u);
    ASSERT_EQ(row.values.size(), 4u);
    EXPECT_EQ(row.values[0].id, 0x0017u);
    EXPECT_EQ(row.values[0].type, 0x0003);
    EXPECT_EQ(row.values[0].data, Bytes({2, 0, 0, 0}));
    EXPECT_EQ(row.values[1].data, bytes_of("Hello"));
    EXPECT_EQ(row.values[1].type, 0x001E);
    for (const PropValue* v : {&row.values[2], &row.values[3]}) {
      EXPECT_FALSE(v->data.has_value());
      EXPECT_EQ(v->type, 0);
      EXPECT_EQ(v->size(), 0u);
    }
    EXPECT_EQ(row.values[2].id, 0x003Au);
    EXPECT_EQ(row.values[3].id, 0x003Bu);
  }
}

TEST(PropertyReaderTest, UnicodeStringsCarryTheirBytesInFilesOfThe64BitForm) {
  const Bytes utf16{'H', 0, 'i', 0};
  const Bytes multi{1, 0, 0, 0, 8, 0, 0, 0, 'x', 0};
  const std::vector<PcProp> props{{0x0037, 0x001F, 0, utf16}, {0x0038, 0x101F, 0, multi}};
  for (const pst::FileForm form : {pst::FileForm::kAnsi, pst::FileForm::kUnicode}) {
    SyntheticFile f;
    f.tables.form = form;
    const auto rows = read_heap(f, testing::property_context(props));
    ASSERT_TRUE(rows.has_value());
    const PropValue* single = find(rows->front(), 0x0037);
    const PropValue* several = find(rows->front(), 0x0038);
    ASSERT_NE(single, nullptr);
    ASSERT_NE(several, nullptr);
    if (form == pst::FileForm::kUnicode) {
      EXPECT_EQ(single->type, 0x001F);
      EXPECT_EQ(single->data, utf16);
      EXPECT_EQ(several->type, 0x101F);
      EXPECT_EQ(several->data, multi);
    } else {  // the 32-bit form's rule: not loaded
      EXPECT_EQ(single->type, 0);
      EXPECT_FALSE(several->data.has_value());
    }
  }
}

TEST(PropertyReaderTest, SubnodeValuesAreReadAndDecodedOrKeptEmptyWhenMissing) {
  SyntheticFile f;
  f.tables.encoded = true;
  const Bytes body(40, 'x');
  f.add_block(0x40, body, true);
  const SubnodeList subs{{0x2F, f.tables.find_block(0x40)}};
  const auto rows = read_heap(f,
                              testing::property_context({{0x1000, 0x001E, 0x2F},    // found
                                                         {0x1001, 0x0102, 0x4F}}),  // not found
                              subs);
  ASSERT_TRUE(rows.has_value());
  const PropRow& row = rows->front();
  ASSERT_EQ(row.values.size(), 2u);
  EXPECT_EQ(row.values[0].data, body);
  EXPECT_FALSE(row.values[1].data.has_value());
  EXPECT_EQ(row.values[1].type, 0x0102);
}

TEST(PropertyReaderTest, ValuesOfOneReadStayWithinTheFileSize) {
  // Three properties naming the same subnode: a hostile table could repeat such a
  // reference in every cell. Only as much as the file holds is copied.
  SyntheticFile f;
  const Bytes big(3000, 'b');
  f.add_block(0x40, big);
  const SubnodeList subs{{0x2F, f.tables.find_block(0x40)}};
  const auto rows =
      read_heap(f,
                testing::property_context(
                    {{0x1000, 0x001E, 0x2F}, {0x1001, 0x001E, 0x2F}, {0x1002, 0x001E, 0x2F}}),
                subs);
  ASSERT_TRUE(rows.has_value());
  const PropRow& row = rows->front();
  ASSERT_EQ(row.values.size(), 3u);
  EXPECT_EQ(row.values[0].data, big);
  EXPECT_FALSE(row.values[1].data.has_value());
  EXPECT_FALSE(row.values[2].data.has_value());
}

TEST(PropertyReaderTest, MalformedHeapsReadAsNothing) {
  const Bytes good = testing::property_context({{0x0017, 0x0003, 1}});
  auto read = [](const Bytes& heap) {
    SyntheticFile f;
    return read_heap(f, heap);
  };
  ASSERT_TRUE(read(good).has_value());

  Bytes wrong_client = good;
  wrong_client[3] = 0x6C;
  EXPECT_FALSE(read(wrong_client).has_value());

  Bytes wrong_tree = good;
  wrong_tree[12] = 0xB6;  // the tree header is the first allocation, right after the header
  EXPECT_FALSE(read(wrong_tree).has_value());

  // The records' allocation claimed to run past the page map.
  Bytes past_map = good;
  const std::uint16_t map = pst::load_le16(past_map, 0);
  pst::store_le16(past_map, map + 8, static_cast<std::uint16_t>(map + 2));
  EXPECT_FALSE(read(past_map).has_value());

  // A page map offset far beyond the block.
  Bytes far_map = good;
  pst::store_le16(far_map, 0, 0xFFF0);
  EXPECT_FALSE(read(far_map).has_value());

  SyntheticFile f;
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  EXPECT_FALSE(read_properties(reader, nullptr, {}).has_value());
}

TEST(PropertyReaderTest, TableContextGivesOneRowPerTableRow) {
  SyntheticFile f;
  const auto rows =
      read_heap(f, testing::table_context(0x0E070003, 0x0037001E, {{5, "first"}, {6, "second"}}));
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 2u);
  for (std::size_t r = 0; r < 2; ++r) {
    const PropRow& row = (*rows)[r];
    EXPECT_EQ(row.row_total, 2u);
    ASSERT_EQ(row.values.size(), 3u);
    EXPECT_EQ(row.values[0].id, 0x67F2u);
    EXPECT_EQ(row.values[1].data, Bytes({static_cast<std::uint8_t>(5 + r), 0, 0, 0}));
    EXPECT_EQ(row.values[2].data, bytes_of(r == 0 ? "first" : "second"));
  }

  SyntheticFile empty;
  const auto none = read_heap(empty, testing::table_context(0x0E070003, 0x0037001E, {}));
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());

  // Rows kept in a subnode are not in the heap: no row is made up from heap bytes.
  SyntheticFile in_subnode;
  const auto sub =
      read_heap(in_subnode, testing::table_context(0x0E070003, 0x0037001E, {{5, "a"}}, 0x0000803F));
  ASSERT_TRUE(sub.has_value());
  EXPECT_TRUE(sub->empty());
}

TEST(PropertyReaderTest, NamedIdsAreMappedByTheLaterEntry) {
  // Entry stream: u32 name id, u16 guid word (bit 0: string name), u16 property index.
  auto entry = [](std::uint32_t name_id, std::uint16_t guid_word, std::uint16_t index) {
    Bytes e(8);
    pst::store_le32(e, 0, name_id);
    pst::store_le16(e, 4, guid_word);
    pst::store_le16(e, 6, index);
    return e;
  };
  Bytes entries;
  for (const Bytes& e :
       {entry(0x8005, 0x0006, 0x000A), entry(0x8100, 0x0006, 0x000B), entry(0x0000, 0x0007, 0x000C),
        entry(0x8200, 0x0006, 0x000B), entry(0, 0, 0x000D), entry(0x8300, 0x0006, 0x000E)})
    entries.insert(entries.end(), e.begin(), e.end());
  Bytes strings(4, 0);
  pst::store_le32(strings, 0, 8);
  for (char c : std::string("Keys")) {
    strings.push_back(static_cast<std::uint8_t>(c));
    strings.push_back(0);
  }

  const auto map = parse_named_property_streams(entries, strings);
  ASSERT_EQ(map.size(), 4u);  // the entry with guid word 0 ends the stream
  EXPECT_EQ(map[0].mapped_id, 0x800Au);
  EXPECT_EQ(map[1].mapped_id, 0x800Bu);
  EXPECT_EQ(map[1].numeric_name, 0x8200u);  // the later of the two entries for 0x800B
  EXPECT_EQ(map[2].numeric_name, 0x8100u);
  EXPECT_EQ(map[3].kind, 2u);
  EXPECT_EQ(map[3].name, "Keys");

  SyntheticFile f;
  f.tables.named_props = map;
  const auto rows = read_heap(f, testing::property_context({{0x0017, 0x0003, 1},
                                                            {0x800A, 0x0003, 2},
                                                            {0x800B, 0x0003, 3},
                                                            {0x800C, 0x001E, 0, bytes_of("a, b")},
                                                            {0x8010, 0x0003, 4}}));
  ASSERT_TRUE(rows.has_value());
  const PropRow& row = rows->front();
  ASSERT_NE(find(row, 0x8005), nullptr);
  EXPECT_EQ(find(row, 0x8005)->data, Bytes({2, 0, 0, 0}));
  EXPECT_EQ(find(row, 0x8200)->data, Bytes({3, 0, 0, 0}));
  ASSERT_NE(find(row, 0x800C), nullptr);
  EXPECT_EQ(find(row, 0x800C)->name, "Keys");
  EXPECT_NE(find(row, 0x8010), nullptr);  // no entry: passed on unchanged
  EXPECT_NE(find(row, 0x0017), nullptr);
}

TEST(PropertyReaderTest, NameStringsStayInsideTheirStream) {
  Bytes entries(8, 0);
  pst::store_le32(entries, 0, 0);  // name at string offset 0
  pst::store_le16(entries, 4, 0x0003);
  // A length beyond the stream is cut to its low 8 bits (0x30 here), still past the end.
  Bytes strings(4, 0);
  pst::store_le32(strings, 0, 0x7FFFFF30);
  strings.insert(strings.end(), {'A', 0, 'B', 0, 'C'});
  const auto map = parse_named_property_streams(entries, strings);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].name, "AB");

  Bytes outside = entries;
  pst::store_le32(outside, 0, 0xFFFF);  // offset outside the stream
  EXPECT_EQ(parse_named_property_streams(outside, strings).at(0).name, "");
}

TEST(PropertyReaderTest, NamedPropertyMapIsBuiltFromTheFirstReadableCandidate) {
  SyntheticFile f;
  Bytes entries(8, 0);
  pst::store_le32(entries, 0, 0x8005);
  pst::store_le16(entries, 4, 0x0006);
  pst::store_le16(entries, 6, 0x000A);
  f.add_block(0x20, testing::property_context({{0x0003, 0x0102, 0, entries}}));
  f.add_block(0x24, Bytes(32, 0));  // not a heap
  // Two versions of node 0x61: the first unreadable, the second good.
  const ObjectIndex bad = f.tables.objects.create(0x61, nullptr, f.tables.find_block(0x24), true);
  const ObjectIndex good = f.tables.objects.create(0x61, nullptr, f.tables.find_block(0x20), false);
  f.tables.objects.append_top_level(bad);
  f.tables.objects.append_top_level(good);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  EXPECT_EQ(build_named_property_map(reader, f.tables), NamedMapResult::kNotBuilt);
  EXPECT_EQ(build_named_property_map(reader, f.tables), NamedMapResult::kBuilt);
  ASSERT_EQ(f.tables.named_props.size(), 1u);
  EXPECT_EQ(f.tables.named_props[0].numeric_name, 0x8005u);
  EXPECT_EQ(build_named_property_map(reader, f.tables), NamedMapResult::kNoCandidate);

  SyntheticFile no_map;
  const MemorySource no_map_file = no_map.source();
  NodeReader no_map_reader(no_map_file, no_map.tables);
  ensure_named_property_map(no_map_reader, no_map.tables);
  EXPECT_TRUE(no_map.tables.named_props.empty());
}

}  // namespace
}  // namespace pstorian
