// Adding to an existing file: checkpoints that keep the file valid for other readers, the
// maps growing past their first interval, multi-level B-trees, and block reference counts.
#include "pst/ndb/store_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"
#include "pst/ltp/ltp_reader.h"
#include "pst/ndb/allocation_map.h"
#include "pst/ndb/file_header.h"
#include "pst/ndb/node_writer.h"
#include "pst/ltp/property_context_writer.h"
#include "store/empty_store_image.h"
#include "mailclient/mail_client_support.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using test::add_node;

std::string check(const fs::path& file) {
  const std::string tool = PSTORIAN_SHARED_DIR "/tools/pstcheck.py";
  if (!fs::exists(tool)) return "skipped";
  return test::run("python3 '" + tool + "' '" + file.string() + "' 2>&1");
}

bool clean(const std::string& report) {
  return report == "skipped" || report.find("pstcheck: 0 errors, 0 warnings") != std::string::npos;
}

class StoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.path() / "store.pst";
    test::write_file(file_, EmptyStoreImage());
  }
  test::TempDir dir_;
  fs::path file_;
};

TEST_F(StoreFileTest, GrowsPastTheFirstMapIntervalsAndStaysValid) {
  std::vector<std::uint32_t> nids;
  {
    StoreFile store(file_);
    EXPECT_EQ(store.node_count(), 77u);
    for (int i = 0; i < 1500; ++i)
      nids.push_back(add_node(store, i % 10 == 0 ? 10000 : 2000, static_cast<std::uint8_t>(i)));
    store.commit();
    EXPECT_GE(store.nbt_levels(), 1u);
    EXPECT_GE(store.bbt_levels(), 1u);
  }
  const auto size = fs::file_size(file_);
  EXPECT_GT(size, 0x4600u + 2031616);  // a second PMap and many AMaps
  const std::string report = check(file_);
  EXPECT_TRUE(clean(report)) << report;

  StoreFile reopened(file_);
  EXPECT_EQ(reopened.node_count(), 77u + 1500);
  EXPECT_EQ(reopened.header().file_eof, size);
  // A large value comes back whole through its subnode's data tree.
  const NbtEntry* node = reopened.find_node(nids[10]);
  ASSERT_NE(node, nullptr);
  ASSERT_NE(node->bid_sub, 0u);
  const auto sub = reopened.read_block(node->bid_sub);
  const auto leaves = reopened.read_data(pst::load_le32(sub, 8));
  std::size_t total = 0;
  for (const auto& leaf : leaves) {
    total += leaf.size();
    EXPECT_EQ(leaf.front(), 10);
  }
  EXPECT_EQ(total, 10000u);
}

// Past 32 MB the file needs free map pages as well; readers keep finding everything.
TEST_F(StoreFileTest, LargeStoresGetFreeMapPages) {
  {
    StoreFile store(file_);
    for (int i = 0; i < 36; ++i) add_node(store, 1000000, static_cast<std::uint8_t>(i));
    store.commit();
  }
  const auto size = fs::file_size(file_);
  ASSERT_GT(size, 0x4400u + 129 * 253952);
  const auto image = test::read_file(file_);
  const std::size_t fmap = 0x4400 + 128 * 253952 + 0x400;
  EXPECT_EQ(image[fmap + 500], 0x82);
  EXPECT_EQ(pst::load_le32(image, fmap + 504), fmap);
  const std::string report = check(file_);
  EXPECT_TRUE(clean(report)) << report;
  StoreFile reopened(file_);
  EXPECT_EQ(reopened.node_count(), 77u + 36);
}

TEST_F(StoreFileTest, ReplacedAndRemovedNodesGiveTheirBlocksBack) {
  StoreFile store(file_);
  const std::uint32_t big = add_node(store, 10000, 1);
  const std::uint32_t small = add_node(store, 100, 2);
  store.commit();
  const NbtEntry before = *store.find_node(big);
  const auto sub = store.read_block(before.bid_sub);
  const std::uint32_t tree = pst::load_le32(sub, 8);
  ASSERT_NE(store.find_block(tree), nullptr);

  // The node gets new data: the old blocks, down to the leaves of the value's data tree,
  // leave the block index.
  NodeWriter writer(store);
  const std::vector<StoredProperty> props = {StoredProperty::int32(0x10020003, 9)};
  WrittenNode data = writer.finish(build_property_context(props, &writer));
  store.add_blocks(std::move(data.blocks));
  store.put_node({big, data.bid_data, 0, 0});
  store.remove_node(small);
  EXPECT_EQ(store.find_block(before.bid_data), nullptr);
  EXPECT_EQ(store.find_block(tree), nullptr);
  store.commit();
  const std::string report = check(file_);
  EXPECT_TRUE(clean(report)) << report;

  // A block shared by two nodes stays until the second one lets go.
  const std::uint32_t template_block = store.find_node(0x60D)->bid_data;
  EXPECT_EQ(store.reference_count(template_block), 15u);
  store.remove_node(0x60D);
  EXPECT_EQ(store.reference_count(template_block), 14u);
  store.commit();
  EXPECT_EQ(store.find_block(template_block)->cref, 14);
}

// A writer killed at any moment leaves a file that checks clean and holds exactly the nodes
// of its last completed checkpoint.
// Every node B-tree leaf entry for `nid` anywhere in the file, as (data block id, page
// offset): what a repair probing the whole file would find.
std::vector<std::pair<std::uint32_t, std::size_t>> leaf_entries_anywhere(const fs::path& file,
                                                                         std::uint32_t nid) {
  const Bytes bytes = test::read_file(file);
  std::vector<std::pair<std::uint32_t, std::size_t>> found;
  for (std::size_t at = 0; at + pst::kPageSize <= bytes.size(); at += pst::kPageSize) {
    const std::span<const std::uint8_t> page(bytes.data() + at, pst::kPageSize);
    if (page[500] != 0x81 || page[501] != 0x81 || page[499] != 0) continue;
    for (std::size_t slot = 0; slot < 31; ++slot)  // stale slots behind the count too
      if (pst::load_le32(page, slot * 16) == nid)
        found.emplace_back(pst::load_le32(page, slot * 16 + 4), at);
  }
  return found;
}

TEST_F(StoreFileTest, PagesLeftBehindByACheckpointAreWiped) {
  StoreFile store(file_);
  const std::uint32_t nid = add_node(store, 100, 1);
  store.commit();
  const std::uint32_t first = store.find_node(nid)->bid_data;
  for (std::uint8_t round = 2; round < 5; ++round) {
    NodeWriter writer(store);
    const std::vector<StoredProperty> props = {StoredProperty::int32(0x10020003, round)};
    WrittenNode data = writer.finish(build_property_context(props, &writer));
    store.add_blocks(std::move(data.blocks));
    store.put_node({nid, data.bid_data, 0, 0});
    store.commit();
  }
  const auto found = leaf_entries_anywhere(file_, nid);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].first, store.find_node(nid)->bid_data);
  EXPECT_NE(found[0].first, first);
  const std::string report = check(file_);
  EXPECT_TRUE(clean(report)) << report;
}

TEST_F(StoreFileTest, KilledWriterLeavesTheLastCheckpoint) {
  constexpr int kPerCheckpoint = 25;
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delay_ms(5, 400);
  for (int round = 0; round < 6; ++round) {
    test::write_file(file_, EmptyStoreImage());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        StoreFile store(file_);
        for (int i = 1; i <= 4000; ++i) {
          add_node(store, i % 7 == 0 ? 9000 : 1500, static_cast<std::uint8_t>(i));
          if (i % kPerCheckpoint == 0) store.commit();
        }
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "the writer failed";

    const std::string report = check(file_);
    EXPECT_TRUE(report == "skipped" || report.find("pstcheck: 0 errors") != std::string::npos)
        << "round " << round << "\n"
        << report;
    StoreFile reopened(file_);
    EXPECT_EQ((reopened.node_count() - 77) % kPerCheckpoint, 0u) << reopened.node_count();
  }
}

// A checkpoint cut off right after extending the file leaves it longer than its header
// says; the next checkpoint brings the two together again.
TEST_F(StoreFileTest, CheckpointTrimsSpaceLeftByAnInterruptedGrowth) {
  auto image = test::read_file(file_);
  image.resize(image.size() + 300000, 0xEE);
  test::write_file(file_, image);
  {
    StoreFile store(file_);
    EXPECT_EQ(store.header().file_eof, 0xC000u);
    add_node(store, 100, 1);
    store.commit();
  }
  EXPECT_EQ(fs::file_size(file_), 0xC000u);
  const std::string report = check(file_);
  EXPECT_TRUE(clean(report)) << report;
}

TEST_F(StoreFileTest, RefusesFilesThatAreNotSound) {
  const fs::path junk = dir_.path() / "junk.pst";
  test::write_file(junk, Bytes(0xC000, 0));
  EXPECT_THROW(StoreFile{junk}, StoreError);
  EXPECT_THROW(StoreFile{dir_.path() / "missing.pst"}, StoreError);

  auto image = test::read_file(file_);
  image[0x6E00 + 20] ^= 0xFF;  // a damaged NBT root page
  test::write_file(junk, image);
  EXPECT_THROW(StoreFile{junk}, StoreError);
}

// A data tree (type 1) or subnode (type 2) block of `level` listing `ids`; subnode leaves
// get entries (id, id, 0).
Bytes tree_block(std::uint8_t type, std::uint8_t level, const std::vector<std::uint32_t>& ids) {
  const std::size_t size = type == 1 ? 4 : (level == 0 ? 12 : 8);
  Bytes b(4 + (type == 1 ? 4 : 0) + size * ids.size(), 0);
  b[0] = type;
  b[1] = level;
  pst::store_le16(b, 2, static_cast<std::uint16_t>(ids.size()));
  const std::size_t first = type == 1 ? 8 : 4;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    pst::store_le32(b, first + size * i, ids[i]);
    if (size > 4) pst::store_le32(b, first + size * i + 4, ids[i]);
  }
  return b;
}

TEST_F(StoreFileTest, TreesStepDownOneLevelAndNameEachBlockOnce) {
  StoreFile store(file_);
  constexpr std::uint32_t kData = 0x7FFF0000, kData2 = 0x7FFF0004;
  const std::vector<std::pair<std::uint32_t, Bytes>> blocks = {
      {kData, Bytes(10, 1)},
      {kData2, Bytes(10, 2)},
      {0x7FFF0102, tree_block(1, 1, {kData, kData2})},  // sound
      {0x7FFF0106, tree_block(1, 2, {0x7FFF0102})},     // sound
      {0x7FFF010A, tree_block(1, 1, {kData, kData})},   // one block twice
      {0x7FFF010E, tree_block(1, 2, {0x7FFF0102, 0x7FFF0102})},
      {0x7FFF0112, tree_block(1, 1, {0x7FFF0102})},  // a tree where data belongs
      {0x7FFF0116, tree_block(1, 2, {0x7FFF0116})},  // names itself
      {0x7FFF011A, tree_block(1, 2, {kData})},       // data where a tree belongs
      {0x7FFF0202, tree_block(2, 0, {0x21, 0x41})},
      {0x7FFF0206, tree_block(2, 1, {0x7FFF0202})},
      {0x7FFF020A, tree_block(2, 1, {0x7FFF0202, 0x7FFF0202})},
      {0x7FFF020E, tree_block(2, 1, {0x7FFF0206})},
  };
  std::vector<PendingBlock> pending;
  for (const auto& [bid, data] : blocks) pending.push_back({bid, data, 0});
  store.add_blocks(std::move(pending));

  EXPECT_EQ(store.read_data(0x7FFF0102).size(), 2u);
  EXPECT_EQ(store.read_data(0x7FFF0106).size(), 2u);
  for (const std::uint32_t bid : {0x7FFF010Au, 0x7FFF010Eu, 0x7FFF0112u, 0x7FFF0116u, 0x7FFF011Au}) {
    SCOPED_TRACE(bid);
    EXPECT_THROW(store.read_data(bid), StoreError);
  }
  EXPECT_EQ(store.read_subnodes(0x7FFF0206).size(), 2u);
  EXPECT_THROW(store.read_subnodes(0x7FFF020A), StoreError);
  EXPECT_THROW(store.read_subnodes(0x7FFF020E), StoreError);
}

int warnings(const std::string& report) {
  const auto at = report.find(" errors, ");
  return at == std::string::npos ? -1 : std::stoi(report.substr(at + 9));
}

// Folders and messages as libpff reads them, one line per folder: name and message count.
std::string pypff_listing(const fs::path& file) {
  if (!fs::exists("/usr/bin/python3")) return "";
  const std::string script =
      "import pypff,sys\n"
      "f=pypff.file(); f.open(sys.argv[1])\n"
      "def walk(x, d):\n"
      "  print(d, x.name, x.number_of_sub_messages)\n"
      "  for i in range(x.number_of_sub_folders): walk(x.get_sub_folder(i), d + 1)\n"
      "walk(f.get_root_folder(), 0)\n";
  return test::run("/usr/bin/python3 -c '" + script + "' '" + file.string() + "' 2>&1");
}

// A store of the 64-bit form grows past 4 GB: the empty store made to reach there (sparse,
// everything below it allocated), so that the first checkpoint must put its blocks beyond
// 2^32.
TEST(StoreFileUnicode, GrowsPastFourGigabytesAndReadsBack) {
  test::TempDir dir;
  const fs::path file = test::empty_store(dir, "wide.pst", FileForm::kUnicode);
  const std::uint64_t size = test::grow_past_four_gigabytes(file);
  ASSERT_GT(size, 0x1'0000'0000ull);
  std::uint32_t nid = 0;
  {
    StoreFile store(file);
    EXPECT_EQ(store.form(), FileForm::kUnicode);
    nid = add_node(store, 50000, 0x7E);
    store.commit();
  }
  StoreFile reopened(file);
  EXPECT_GT(reopened.header().file_eof, size);
  EXPECT_EQ(reopened.header().file_eof, fs::file_size(file));
  const NbtEntry* node = reopened.find_node(nid);
  ASSERT_NE(node, nullptr);
  ASSERT_NE(node->bid_sub, 0u);
  EXPECT_GE(reopened.find_block(node->bid_data)->ib, size);
  EXPECT_GE(reopened.header().nbt.ib, size);
  // The large value's subnode and data tree lie past 4 GB too and come back whole.
  const auto subnodes = reopened.read_subnodes(node->bid_sub);
  ASSERT_EQ(subnodes.size(), 1u);
  EXPECT_GE(reopened.find_block(subnodes.begin()->second.bid_data)->ib, size);
  const auto value = reopened.read_bytes(subnodes.begin()->second.bid_data);
  EXPECT_EQ(value, Bytes(50000, 0x7E));
}

TEST(StoreFileCorpus, AddsToFilesWrittenByTheMailClient) {
  test::TempDir dir;
  const auto copies = test::corpus_copies(dir);
  if (copies.empty()) GTEST_SKIP() << "corpus not found";
  for (const auto& copy : copies) {
    const std::string before = check(copy);
    const std::string listing = pypff_listing(copy);
    {
      StoreFile store(copy);
      for (int i = 0; i < 40; ++i)
        add_node(store, i % 4 == 0 ? 9000 : 300, static_cast<std::uint8_t>(i));
      store.commit();
      EXPECT_EQ(store.read_block(store.find_node(store.header().rgnid[1] << 5 | 1)->bid_data).at(2),
                0xEC)
          << copy;  // the newest node's heap reads back decoded
    }
    const std::string after = check(copy);
    if (after != "skipped") {
      EXPECT_NE(after.find("pstcheck: 0 errors"), std::string::npos) << copy << "\n" << after;
      EXPECT_LE(warnings(after), warnings(before)) << copy << "\n" << before << after;
    }
    EXPECT_EQ(pypff_listing(copy), listing) << copy;
  }
}

}  // namespace
}  // namespace pstorian

namespace pstorian {
namespace {

// Damaged files are hostile input: opening them either fails with StoreError or gives a
// store whose every node can be read (or refused) without touching memory it should not,
// and that still takes new nodes.
TEST(StoreFileCorpus, DamagedFilesAreRefusedOrReadSafely) {
  const std::string tool = PSTORIAN_SHARED_DIR "/tools/pstdamage.py";
  test::TempDir dir;
  const auto copies = test::corpus_copies(dir);
  if (copies.empty() || !fs::exists(tool)) GTEST_SKIP() << "corpus or pstdamage.py not found";
  const char* const recipes[] = {"garbage-pages:5", "bitflip:200", "truncate:0.8",
                                 "zero-amaps",      "zero-btrees", "zero-pages:10"};
  int opened = 0, refused = 0;
  for (const auto& copy : copies) {
    for (const char* recipe : recipes) {
      const fs::path damaged = dir.path() / "damaged.pst";
      fs::remove(damaged);
      int status = -1;
      test::run("python3 '" + tool + "' --recipe " + recipe + " --seed 7 '" + copy.string() +
                    "' '" + damaged.string() + "' >/dev/null 2>&1",
                &status);
      if (status != 0) continue;  // the recipe does not apply to this file
      try {
        StoreFile store(damaged);
        ++opened;
        store.for_each_node([&](const NbtEntry& n) {
          try {
            if (n.bid_data == 0) return;
            const auto leaves = store.read_data(n.bid_data);
            if (leaves.empty() || leaves.front().size() < 4 || leaves.front()[2] != 0xEC) return;
            const auto subnodes = store.read_subnodes(n.bid_sub);
            const SubnodeReader read_subnode = [&](std::uint32_t nid) {
              const auto it = subnodes.find(nid);
              if (it == subnodes.end()) throw LtpError("no such subnode");
              return store.read_bytes(it->second.bid_data);
            };
            const HeapView heap(leaves);
            if (heap.client_signature() == 0xBC) read_property_context(heap, read_subnode);
            if (heap.client_signature() == 0x7C) read_table_context(heap, read_subnode);
          } catch (const StoreError&) {
          } catch (const LtpError&) {
          }
        });
        add_node(store, 9000, 1);
        store.commit();
      } catch (const StoreError&) {
        ++refused;
      }
    }
  }
  EXPECT_GT(opened, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace pstorian
