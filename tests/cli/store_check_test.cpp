// The reader-side check on a sound store and on stores damaged one structure at a time: each
// damage must make the file unsound and be named in the area a reader meets it.
#include "cli/store_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/pst_scanner.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/sample_mailbox.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes empty_store() {
  const auto image = EmptyStoreImage();
  return Bytes(image.begin(), image.end());
}

StoreCheck check(const Bytes& file) {
  return check_store(MemorySource(file));
}

// Whether some finding of `area` says `words`.
bool names(const StoreCheck& c, CheckArea area, const std::string& words) {
  for (const CheckFinding& f : c.findings)
    if (f.error && f.area == area && f.text.find(words) != std::string::npos) return true;
  return false;
}

std::string listed(const StoreCheck& c) {
  std::string out;
  for (const CheckFinding& f : c.findings)
    out += std::string(check_area_name(f.area)) + ": " + f.text + "\n";
  return out;
}

// A page's check value after a test changed it, so that only the change itself is wrong.
void reseal(Bytes& file, std::uint32_t page) {
  pst::store_le32(file, page + 508, pst::crc32(std::span(file).subspan(page, 500)));
}

struct LeafEntry {
  std::uint32_t page = 0;
  std::uint32_t at = 0;  // file offset of the entry
};

// Every leaf entry of the B-tree whose root the header names at `root_at` (188: nodes,
// 196: blocks), walking the intact tree.
std::vector<LeafEntry> leaf_entries(const Bytes& file, std::size_t root_at) {
  std::vector<LeafEntry> out;
  std::vector<std::uint32_t> todo{pst::load_le32(file, root_at)};
  while (!todo.empty()) {
    const std::uint32_t page = todo.back();
    todo.pop_back();
    const unsigned count = file[page + 496], size = file[page + 498], level = file[page + 499];
    for (unsigned i = 0; i < count; ++i) {
      const std::uint32_t e = page + i * size;
      if (level == 0)
        out.push_back({page, e});
      else
        todo.push_back(pst::load_le32(file, e + 8));
    }
  }
  return out;
}

LeafEntry node_entry(const Bytes& file, std::uint32_t nid) {
  for (const LeafEntry& e : leaf_entries(file, 188))
    if (pst::load_le32(file, e.at) == nid) return e;
  ADD_FAILURE() << "no node " << nid;
  return {};
}

TEST(StoreCheck, FindsNothingWrongWithAFreshStoreAndCountsWhatAReaderReaches) {
  const StoreCheck c = check(empty_store());
  EXPECT_TRUE(c.sound()) << listed(c);
  EXPECT_EQ(c.warnings, 0u) << listed(c);
  EXPECT_EQ(c.form, StoreForm::kAnsi);
  EXPECT_GT(c.nodes, 20u);
  EXPECT_GT(c.blocks, 10u);
  // The root folder, "Top of Personal Folders" and the standard folders below it.
  EXPECT_GE(c.folders_reached, 8u);
  EXPECT_EQ(c.items_reached, 0u);
}

TEST(StoreCheck, NamesHeaderDamage) {
  {
    Bytes f = empty_store();
    std::fill(f.begin(), f.begin() + 512, 0);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kHeader, "zeroed")) << listed(c);
    EXPECT_EQ(c.form, StoreForm::kUnknown);
  }
  {
    Bytes f = empty_store();
    f[20] ^= 0x10;  // a reserved field: only the check value tells
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kHeader, "check value does not match")) << listed(c);
    EXPECT_EQ(c.errors, 1u) << listed(c);
  }
  {
    Bytes f = empty_store();
    f.resize(f.size() - 1024);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kHeader, "cut short")) << listed(c);
  }
  {
    Bytes f = empty_store();
    pst::store_le16(f, 10, 99);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kHeader, "no known file version")) << listed(c);
  }
}

TEST(StoreCheck, NamesBTreePagesAReaderCannotUse) {
  {
    Bytes f = empty_store();
    const std::uint32_t root = pst::load_le32(f, 188);
    std::fill(f.begin() + root, f.begin() + root + 512, 0);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kNodeBTree, "root page at")) << listed(c);
    EXPECT_TRUE(names(c, CheckArea::kNodeTree, "no node at all")) << listed(c);
    EXPECT_EQ(c.folders_reached, 0u);
  }
  {
    Bytes f = empty_store();
    const std::uint32_t root = pst::load_le32(f, 196);
    f[root + 3] ^= 0x01;  // an entry changed after the page was sealed
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kBlockBTree, "wrong check value")) << listed(c);
  }
  {
    Bytes f = empty_store();
    const std::uint32_t root = pst::load_le32(f, 188);
    f[root + 498] = 13;  // an entry size no page of this tree has
    reseal(f, root);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kNodeBTree, "impossible entry counts")) << listed(c);
  }
}

TEST(StoreCheck, NamesBlocksWhoseContentOrTrailerChanged) {
  Bytes f = empty_store();
  const std::vector<LeafEntry> blocks = leaf_entries(f, 196);
  ASSERT_GE(blocks.size(), 2u);
  const std::uint32_t first = pst::load_le32(f, blocks[0].at + 4);
  f[first] ^= 0xFF;
  const std::uint32_t second = pst::load_le32(f, blocks[1].at + 4);
  const std::uint16_t size = pst::load_le16(f, blocks[1].at + 8);
  const std::uint32_t trailer = second + ((size + 12 + 63) / 64 * 64) - 12;
  pst::store_le32(f, trailer + 4, 0x7FFFFFF0);  // the trailer names another block
  const StoreCheck c = check(f);
  EXPECT_TRUE(names(c, CheckArea::kBlocks, "wrong check value")) << listed(c);
  EXPECT_TRUE(names(c, CheckArea::kBlocks, "trailer that does not name it")) << listed(c);
}

TEST(StoreCheck, NamesDamagedAllocationMapsAndSpaceTheyCallFree) {
  {
    Bytes f = empty_store();
    std::fill(f.begin() + pst::kFirstAMapOffset, f.begin() + pst::kFirstAMapOffset + 512, 0);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kAllocationMaps, "allocation map page at 0x4400 is zeroed"))
        << listed(c);
  }
  {
    Bytes f = empty_store();
    const LeafEntry block = leaf_entries(f, 196).back();
    const std::uint32_t offset = pst::load_le32(f, block.at + 4);
    const std::uint32_t unit = (offset - pst::kFirstAMapOffset) / 64;
    f[pst::kFirstAMapOffset + 4 + unit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (unit % 8)));
    reseal(f, pst::kFirstAMapOffset);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kAllocationMaps, "calls free")) << listed(c);
    EXPECT_EQ(c.errors, 1u) << listed(c);
  }
  {
    Bytes f = empty_store();
    std::fill(f.begin() + pst::kFirstPMapOffset, f.begin() + pst::kFirstPMapOffset + 512, 0);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kAllocationMaps, "page map page at 0x4600 is zeroed"))
        << listed(c);
  }
}

TEST(StoreCheck, NamesNodesAReaderCannotPlaceOrRead) {
  {
    // A standard folder moved under a folder that does not exist: the reader loses it.
    Bytes f = empty_store();
    const std::size_t before = check(f).folders_reached;
    LeafEntry folder{};
    for (const LeafEntry& e : leaf_entries(f, 188)) {
      const std::uint32_t nid = pst::load_le32(f, e.at);
      if (pst::node_type(nid) == pst::kNodeNormalFolder && nid != pst::kNidRootFolder &&
          pst::load_le32(f, e.at + 12) != pst::kNidRootFolder)
        folder = e;
    }
    ASSERT_NE(folder.at, 0u);
    pst::store_le32(f, folder.at + 12, 0x7FFFFFE2);
    reseal(f, folder.page);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kNodeTree, "belongs to a folder that is missing")) << listed(c);
    EXPECT_LT(c.folders_reached, before);
  }
  {
    Bytes f = empty_store();
    const LeafEntry store = node_entry(f, pst::kNidMessageStore);
    pst::store_le32(f, store.at + 4, 0x7FFFFFF4);
    reseal(f, store.page);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kNodeTree, "is not in the block B-tree")) << listed(c);
  }
  {
    Bytes f = empty_store();
    const LeafEntry root = node_entry(f, pst::kNidRootFolder);
    pst::store_le32(f, root.at, 0x7FFFFFE2);  // the root folder's entry now names another node
    reseal(f, root.page);
    const StoreCheck c = check(f);
    EXPECT_TRUE(names(c, CheckArea::kNodeTree, "the root folder (node 0x122) is missing"))
        << listed(c);
    EXPECT_EQ(c.folders_reached, 0u);
  }
}

TEST(StoreCheck, FollowsATreeBlockOnceHoweverOftenItListsItself) {
  // A subnode tree block that names itself a thousand times: followed each time, the walk
  // would read it a thousand to the fourth power times.
  Bytes f = empty_store();
  constexpr std::uint32_t kSelf = 0x7FFFFFF2;  // internal, above every block id of the store
  constexpr std::uint32_t kEntries = 1000;
  f.resize((f.size() + 63) / 64 * 64);
  const auto at = static_cast<std::uint32_t>(f.size());
  const std::uint32_t cb = 4 + 8 * kEntries;
  f.resize(f.size() + (cb + 12 + 63) / 64 * 64);
  f[at] = 0x02;  // a subnode block of the intermediate level
  f[at + 1] = 1;
  pst::store_le16(f, at + 2, kEntries);
  for (std::uint32_t i = 0; i < kEntries; ++i) {
    pst::store_le32(f, at + 4 + 8 * i, 0x1000 + i);
    pst::store_le32(f, at + 8 + 8 * i, kSelf);
  }
  const std::size_t trailer = f.size() - 12;
  pst::store_le16(f, trailer, static_cast<std::uint16_t>(cb));
  pst::store_le16(f, trailer + 2, pst::block_signature(at, kSelf));
  pst::store_le32(f, trailer + 4, kSelf);
  pst::store_le32(f, trailer + 8, pst::crc32(std::span(f).subspan(at, cb)));
  const LeafEntry last = leaf_entries(f, 196).front();  // the highest ids come last in a page
  const std::uint32_t page = last.page;
  const std::uint32_t slot = page + (f[page + 496] - 1u) * 12u;
  pst::store_le32(f, slot, kSelf);
  pst::store_le32(f, slot + 4, at);
  pst::store_le16(f, slot + 8, static_cast<std::uint16_t>(cb));
  reseal(f, page);
  const LeafEntry store = node_entry(f, pst::kNidMessageStore);
  pst::store_le32(f, store.at + 8, kSelf);
  reseal(f, store.page);

  const StoreCheck c = check(f);
  EXPECT_EQ(c.blocks, leaf_entries(f, 196).size());
  EXPECT_FALSE(c.sound());  // the block it replaced in the block B-tree is gone
}

TEST(StoreCheck, KeepsAtMostAFewFindingsOfOneKindButCountsThemAll) {
  Bytes f = empty_store();
  for (const LeafEntry& e : leaf_entries(f, 196)) f[pst::load_le32(f, e.at + 4)] ^= 0xFF;
  const std::size_t damaged = leaf_entries(f, 196).size();
  StoreCheck c = check(f);
  EXPECT_GE(c.errors, damaged);
  EXPECT_LE(c.findings.size(), c.errors + c.warnings);
  EXPECT_EQ(c.findings.size() + c.dropped, c.errors + c.warnings);
}

TEST(StoreCheck, SurvivesRandomDamageAnywhereInTheFile) {
  // Under the sanitizers this is where a read past a buffer would show: a store with a few
  // bytes changed at random places, the structures included, many times over.
  std::mt19937 random(20251207);
  const Bytes sound = empty_store();
  std::size_t unsound = 0;
  for (int round = 0; round < 400; ++round) {
    Bytes f = sound;
    const int changes = 1 + round % 8;
    for (int i = 0; i < changes; ++i) f[random() % f.size()] = static_cast<std::uint8_t>(random());
    if (round % 50 == 0) f.resize(random() % f.size());
    const StoreCheck c = check(f);
    EXPECT_EQ(c.findings.size() + c.dropped, c.errors + c.warnings);
    if (!c.sound()) ++unsound;
  }
  // Most bytes of a fresh store lie in a structure whose check value covers them.
  EXPECT_GT(unsound, 200u);
}

// A store of rich items (recipients, attachments of every method, attached messages), as the
// mail client writes it.
Bytes rich_store() {
  test::TempDir dir;
  const auto file = dir.path() / "rich.pst";
  {
    const auto image = EmptyStoreImage();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  SampleOptions options;
  options.rich = true;
  options.folders = 3;
  options.messages = 12;
  fill_sample_mailbox(*make_mail_client_factory(), file, options);
  terminate_mail_client();
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Under the sanitizers this is where a read past a buffer in the node contents would show:
// bytes changed at random inside the blocks of a store of rich items, each block's check
// value made right again, so that the damage reaches the heaps, BTHs, tables and trees behind
// them rather than stopping at the block check. Every tenth round the header is wiped too,
// and the nodes the scan found are checked in its place.
TEST(StoreCheck, SurvivesRandomDamageInsideNodeContents) {
  const Bytes sound = rich_store();
  ASSERT_TRUE(check(sound).sound()) << listed(check(sound));
  const std::vector<LeafEntry> blocks = leaf_entries(sound, 196);
  std::mt19937 random(20251208);
  std::size_t contents = 0;
  for (int round = 0; round < 300; ++round) {
    Bytes f = sound;
    for (int b = 0; b < 1 + round % 4; ++b) {
      const LeafEntry& e = blocks[random() % blocks.size()];
      const std::uint32_t at = pst::load_le32(f, e.at + 4);
      const std::uint16_t size = pst::load_le16(f, e.at + 8);
      for (int i = 0; i < 1 + round % 8; ++i)
        f[at + random() % size] = static_cast<std::uint8_t>(random());
      const std::uint32_t trailer = at + (size + 12 + 63) / 64 * 64 - 12;
      pst::store_le32(f, trailer + 8, pst::crc32(std::span(f).subspan(at, size)));
    }
    StoreCheck c;
    if (round % 10 == 0) {
      std::fill(f.begin(), f.begin() + 512, 0);
      const MemorySource source(f);
      RecoveryTables tables;
      NullProgress progress;
      OpenGate gate;
      CPstScanner(tables, progress, gate).scan(source);
      c = check_store(source, &tables);
    } else {
      c = check(f);
    }
    EXPECT_EQ(c.findings.size() + c.dropped, c.errors + c.warnings);
    for (const CheckFinding& f2 : c.findings) contents += f2.area == CheckArea::kNodeContents;
  }
  // Most changes land in heaps and tables, where the contents check meets them.
  EXPECT_GT(contents, 100u);
}

TEST(StoreCheck, ReadsOnlyWhatIsThereWhateverTheBytesSay) {
  // Bytes that claim a header and roots far beyond their end, and a tiny file.
  Bytes f = empty_store();
  f.resize(0x4400 + 100);
  pst::store_le32(f, 188, 0xFFFFFE00);
  pst::store_le32(f, 196, 0x4600);
  EXPECT_FALSE(check(f).sound());
  EXPECT_FALSE(check(Bytes(100, 0x21)).sound());
  EXPECT_FALSE(check(Bytes{}).sound());
}

}  // namespace
}  // namespace pstorian::cli
