// The scan and the block reads of files of the 64-bit (Unicode) form, on hand-built images:
// trailers at every 64-byte boundary, wide ids in leaf pages, data trees and subnode trees,
// the cyclic encoding, and which form a file is taken to be in.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/form_detection.h"
#include "engine/node_reader.h"
#include "engine/pst_scanner.h"
#include "format/endian.h"
#include "format/layout_unicode.h"
#include "format/permute.h"
#include "synthetic_pst.h"

namespace pstorian {
namespace {

using testing_pst::UnicodeImage;
using testing_pst::WideLeafSlot;

struct Scanned {
  RecoveryTables tables;
  ScanCounts counts;
};

std::unique_ptr<Scanned> scan_bytes(std::span<const std::uint8_t> bytes) {
  auto out = std::make_unique<Scanned>();
  NullProgress progress;
  OpenGate gate;
  CPstScanner scanner(out->tables, progress, gate);
  EXPECT_EQ(scanner.scan(MemorySource(bytes)), ScanOutcome::kCompleted);
  out->counts = scanner.counts();
  return out;
}

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

void set_version(std::vector<std::uint8_t>& file, std::uint16_t version) {
  pst::store_le16(file, 10, version);
}

TEST(UnicodeScan, FindsBlocksOfWideIdsAndLeafPagesAndBuildsTheTree) {
  UnicodeImage img(0x20000);
  const std::uint64_t wide = 0x100000004;
  img.put_block(0x4800, wide, 100);
  img.put_block(0x4A00, 0x8, pst::unicode::kMaxBlockData);
  img.put_block(0x10000, 0x24, 52);       // starts on a 64 KiB boundary
  img.put_block(0x10000 - 64, 0x28, 30);  // its trailer ends on one
  const std::vector<WideLeafSlot> slots{
      {0x21, wide, 0, 0}, {0x122, 0x8, 0, 0}, {0x8022, 0x24, 0x28, 0x122}};
  img.put_leaf_page(0x8000, slots);

  const auto s = scan_bytes(img.view());
  EXPECT_EQ(s->tables.form, pst::FileForm::kUnicode);
  EXPECT_EQ(s->counts.leaf_pages, 1u);
  EXPECT_EQ(s->counts.node_entries(), 3u);
  const BlockRef* b = s->tables.find_block(wide);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->offset, 0x4800u);
  EXPECT_EQ(b->size, 100u);
  EXPECT_EQ(s->tables.find_block(wide & 0xFFFFFFFF), nullptr);  // the high half counts
  ASSERT_NE(s->tables.find_block(0x8), nullptr);
  EXPECT_EQ(s->tables.find_block(0x8)->size, pst::unicode::kMaxBlockData);
  ASSERT_NE(s->tables.find_block(0x24), nullptr);
  EXPECT_EQ(s->tables.find_block(0x24)->offset, 0x10000u);
  ASSERT_NE(s->tables.find_block(0x28), nullptr);
  EXPECT_EQ(s->tables.find_block(0x28)->offset, 0x10000u - 64);

  const ObjectTree& tree = s->tables.objects;
  const ObjectIndex parent = tree.find(0x122);
  const ObjectIndex child = tree.find(0x8022);
  ASSERT_NE(parent, kNoObject);
  ASSERT_NE(child, kNoObject);
  EXPECT_EQ(tree[child].parent, parent);
  EXPECT_EQ(tree[child].subnode_block, s->tables.find_block(0x28));
  ASSERT_NE(tree[tree.find(0x21)].data_block, nullptr);
  EXPECT_EQ(tree[tree.find(0x21)].data_block->id, wide);
}

TEST(UnicodeScan, KeepsOnlyTrailersThatFitTheirPlaceAndPagesOfTheRightShape) {
  UnicodeImage img(0x10000);
  img.put_block(0x4800, 0x40, bytes_of("good"));
  img.put_block(0x4840, 0x44, bytes_of("bad signature"), 0x0101);
  // Offset ^ id = 0: signature 0, recorded only when the check value fits.
  img.put_block(0x4880, 0x4880, bytes_of("zero signature, sound"));
  img.put_block(0x48C0, 0x48C0, bytes_of("zero signature, spoilt"), 0, 1);
  const std::vector<WideLeafSlot> slots{{0x21, 0x40, 0, 0}};
  img.put_leaf_page(0x8000, slots);
  img.put_leaf_page(0x8200, slots, 16);                 // more entries than fit
  img.put_leaf_page(0x8400, slots, -1, pst::kPageBbt);  // a block B-tree page
  // A slot with a node id wider than 32 bits is no entry.
  const std::vector<WideLeafSlot> wide{{0x42, 0x40, 0, 0}};
  img.put_leaf_page(0x8600, wide);
  pst::store_le32(img.bytes(), 0x8600 + 4, 1);

  const auto s = scan_bytes(img.view());
  EXPECT_NE(s->tables.find_block(0x40), nullptr);
  EXPECT_EQ(s->tables.find_block(0x44), nullptr);
  EXPECT_NE(s->tables.find_block(0x4880), nullptr);
  EXPECT_EQ(s->tables.find_block(0x48C0), nullptr);
  EXPECT_EQ(s->counts.leaf_pages, 2u);
  EXPECT_EQ(s->counts.node_entries(), 1u);
  EXPECT_EQ(s->tables.find_object(0x42), kNoObject);
}

TEST(UnicodeScan, TheFormComesFromTheBlocksAndTheHeaderOnlyBreaksATie) {
  UnicodeImage wide(0x10000);
  for (std::uint64_t k = 0; k < 4; ++k) wide.put_block(0x4800 + 64 * k, 0x40 + 4 * k, 20);
  set_version(wide.bytes(), pst::kVersionAnsi);
  EXPECT_EQ(detect_form(MemorySource(wide.view())), pst::FileForm::kUnicode);

  testing_pst::Image narrow(0x10000);
  for (std::uint32_t k = 0; k < 4; ++k) narrow.put_block(0x4800 + 64 * k, 0x40 + 4 * k, 20);
  set_version(narrow.bytes(), pst::kVersionUnicode);
  EXPECT_EQ(detect_form(MemorySource(narrow.view())), pst::FileForm::kAnsi);

  // Leaf pages alone decide too.
  UnicodeImage wide_page(0x10000);
  const std::vector<WideLeafSlot> wide_slots{{0x21, 0x40, 0, 0}};
  wide_page.put_leaf_page(0x8000, wide_slots);
  set_version(wide_page.bytes(), pst::kVersionAnsi);
  EXPECT_EQ(detect_form(MemorySource(wide_page.view())), pst::FileForm::kUnicode);
  testing_pst::Image narrow_page(0x10000);
  const std::vector<testing_pst::LeafSlot> narrow_slots{{0x21, 0x40, 0, 0}};
  narrow_page.put_leaf_page(0x8000, narrow_slots);
  set_version(narrow_page.bytes(), pst::kVersionUnicode);
  EXPECT_EQ(detect_form(MemorySource(narrow_page.view())), pst::FileForm::kAnsi);

  std::vector<std::uint8_t> nothing(0x10000, 0);
  EXPECT_EQ(detect_form(MemorySource(nothing)), pst::FileForm::kAnsi);
  set_version(nothing, pst::kVersionUnicode);
  EXPECT_EQ(detect_form(MemorySource(nothing)), pst::FileForm::kUnicode);

  // A large file is sampled: blocks in the samples far from the start still decide.
  UnicodeImage large(8 << 20);
  for (std::uint64_t at = 0x10000; at + 0x1000 < large.bytes().size(); at += 0x10000)
    large.put_block(at, at | 4, 100);
  EXPECT_EQ(detect_form(MemorySource(large.view())), pst::FileForm::kUnicode);
}

TEST(UnicodeScan, ReadsDataTreesAndSubnodeTreesOfEightByteIds) {
  UnicodeImage img(0x10000);
  const std::uint64_t first = 0x100000008, second = 0x20000000C;
  const std::uint64_t tree = 0x100000012, leaf = 0x100000016, top = 0x10000001A;
  img.put_block(0x4800, first, bytes_of("hello "));
  img.put_block(0x4840, second, bytes_of("world"));
  std::vector<std::uint8_t> xblock(8 + 16, 0);
  xblock[0] = 0x01;
  xblock[1] = 1;
  pst::store_le16(xblock, 2, 2);
  pst::store_le32(xblock, 4, 11);
  pst::store_le64(xblock, 8, first);
  pst::store_le64(xblock, 16, second);
  img.put_block(0x4880, tree, xblock);
  std::vector<std::uint8_t> slblock(8 + 48, 0);
  slblock[0] = 0x02;
  pst::store_le16(slblock, 2, 2);
  pst::store_le64(slblock, 8, 0x41);
  pst::store_le64(slblock, 16, first);
  pst::store_le64(slblock, 32, 0x61);
  pst::store_le64(slblock, 40, tree);
  img.put_block(0x4900, leaf, slblock);
  std::vector<std::uint8_t> siblock(8 + 16, 0);
  siblock[0] = 0x02;
  siblock[1] = 1;
  pst::store_le16(siblock, 2, 1);
  pst::store_le64(siblock, 8, 0x41);
  pst::store_le64(siblock, 16, leaf);
  img.put_block(0x4980, top, siblock);
  const std::vector<WideLeafSlot> slots{{0x21, tree, top, 0}};
  img.put_leaf_page(0x8000, slots);

  const auto s = scan_bytes(img.view());
  ASSERT_EQ(s->tables.form, pst::FileForm::kUnicode);
  const MemorySource source(img.view());
  const NodeReader reader(source, s->tables);
  const Bytes joined = reader.read_block(*s->tables.find_block(tree), false, 1);
  EXPECT_EQ(std::string(joined.begin(), joined.end()), "hello world");
  // What the orphan search takes as used: the tree's children by their whole ids.
  EXPECT_EQ(reader.read_tree_children(*s->tables.find_block(tree)),
            (std::vector<std::uint64_t>{first, second}));
  EXPECT_TRUE(reader.read_tree_children(*s->tables.find_block(first)).empty());

  const SubnodeList subnodes = reader.read_subnodes(s->tables.find_block(top));
  ASSERT_EQ(subnodes.size(), 2u);
  EXPECT_EQ(subnodes[0].subnode_id, 0x41u);
  EXPECT_EQ(subnodes[0].data_block->id, first);
  EXPECT_EQ(subnodes[1].subnode_id, 0x61u);
  EXPECT_EQ(subnodes[1].data_block->id, tree);
}

TEST(UnicodeScan, DecodesTheCyclicEncodingKeyedByTheLowHalfOfTheBlockId) {
  UnicodeImage img(0x10000);
  std::vector<WideLeafSlot> slots;
  const std::vector<std::uint8_t> plain = testing_pst::heap_header(false, false);
  for (std::uint32_t k = 0; k < 3; ++k) {
    const std::uint64_t id = (std::uint64_t{k + 1} << 32) | (0x12345670u + 8 * k);
    std::vector<std::uint8_t> data = plain;
    pst::cyclic_crypt(data, static_cast<std::uint32_t>(id));
    img.put_block(0x4800 + 128 * k, id, data);
    slots.push_back({0x22 + 32 * k, id, 0, 0});
  }
  img.put_leaf_page(0x8000, slots);

  const auto s = scan_bytes(img.view());
  EXPECT_TRUE(s->tables.cyclic);
  EXPECT_FALSE(s->tables.encoded);
  const MemorySource source(img.view());
  const NodeReader reader(source, s->tables);
  const ObjectIndex o = s->tables.find_object(0x42);
  ASSERT_NE(o, kNoObject);
  EXPECT_EQ(reader.read_block(*s->tables.objects[o].data_block, true, 0), plain);
}

TEST(UnicodeScan, BlockIndexFindsIdsSpreadOverTheWhole64BitRange) {
  BlockIndex index;
  index.add(0x4, 0x4800, 10);
  index.add(0xFFFFFFFFFFFFFFF8u, 0x4840, 20);
  index.add(0x8000000000000000u, 0x4880, 30);
  ASSERT_NE(index.find(0xFFFFFFFFFFFFFFF8u), nullptr);
  EXPECT_EQ(index.find(0xFFFFFFFFFFFFFFF9u)->size, 20u);  // bit 0 is ignored
  EXPECT_EQ(index.find(0x8000000000000000u)->size, 30u);
  EXPECT_EQ(index.find(0x4)->size, 10u);
  EXPECT_EQ(index.find(0x8), nullptr);
}

}  // namespace
}  // namespace pstorian
