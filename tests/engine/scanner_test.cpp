// The probe passes over synthetic images: what is recorded, what is dropped, and how
// progress and cancelling behave.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "engine/object_collection.h"
#include "engine/probe.h"
#include "engine/pst_scanner.h"
#include "stop_after.h"
#include "synthetic_pst.h"

namespace pstorian {
namespace {

using testing_pst::Image;
using testing_pst::LeafSlot;

class RecordingProgress final : public ProgressSink {
 public:
  void set_range(int low, int high) override { events.push_back("range " + std::to_string(low) + "-" + std::to_string(high)); }
  void set_position(int p) override {
    position = p;
    events.push_back("pos " + std::to_string(p));
  }
  void set_step(int s) override { events.push_back("step size " + std::to_string(s)); }
  void step() override {
    ++steps;
    position += 1;
  }
  void set_status(std::string_view text) override { events.push_back(std::string(text)); }
  std::vector<std::string> events;
  int steps = 0;
  int position = 0;
};

struct ScanRun {
  RecoveryTables tables;
  RecordingProgress progress;
  ScanCounts counts;
  ScanOutcome outcome{};
};

std::unique_ptr<ScanRun> scan_image(std::span<const std::uint8_t> bytes) {
  auto run = std::make_unique<ScanRun>();
  OpenGate gate;
  CPstScanner scanner(run->tables, run->progress, gate);
  run->outcome = scanner.scan(MemorySource(bytes));
  run->counts = scanner.counts();
  return run;
}

std::set<std::uint32_t> node_ids(const ObjectTree& tree) {
  std::set<std::uint32_t> ids;
  for (ObjectIndex x : tree.pre_order()) ids.insert(tree[x].node_id);
  return ids;
}

TEST(Scanner, FindsBlocksAndLeafPagesAndBuildsTheTree) {
  Image img;
  const std::vector<LeafSlot> slots{{0x21, 0x40, 0, 0}, {0x122, 0x44, 0, 0x122}, {0x8022, 0x48, 0x4A, 0x122}};
  img.put_leaf_page(0x4800, slots);
  img.put_block(0x4A00, 0x40, testing_pst::heap_header(false, true));
  img.put_block(0x4A80, 0x44, 100);
  img.put_block(0x4B00, 0x48, testing_pst::heap_header(true, true));
  img.put_block(0x4B80, 0x4A, 8180);  // the largest block there is

  auto run = scan_image(img.view());
  ASSERT_EQ(run->outcome, ScanOutcome::kCompleted);
  EXPECT_EQ(run->counts.leaf_pages, 1u);
  EXPECT_EQ(run->counts.parentless_entries, 1u);
  EXPECT_EQ(run->counts.child_entries, 2u);
  EXPECT_EQ(run->tables.blocks.size(), 4u);
  const BlockRef* big = run->tables.find_block(0x4A);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->offset, 0x4B80u);
  EXPECT_EQ(big->size, 8180u);

  const ObjectTree& tree = run->tables.objects;
  EXPECT_EQ(node_ids(tree), (std::set<std::uint32_t>{0x21, 0x122, 0x8022}));
  // 0x122 names itself as parent: it is a child entry with parent 0 and, as no object
  // has node id 0, lands at the top level; 0x8022 goes under it.
  const ObjectIndex root = tree.find(0x122);
  EXPECT_EQ(tree[root].parent, kNoObject);
  EXPECT_EQ(tree[tree.find(0x8022)].parent, root);
  EXPECT_EQ(tree[tree.find(0x8022)].subnode_block, big);
  EXPECT_TRUE(run->tables.encoded);
  EXPECT_EQ(run->progress.events.front(), "range 0-500");
  EXPECT_EQ(run->progress.position, 500);
}

TEST(Scanner, ReadsAllSlotsUpToTheEndMarkerAndSkipsFiller) {
  Image img;
  std::vector<LeafSlot> slots;
  for (std::uint32_t i = 0; i < 31; ++i) slots.push_back({0x100 + i * 0x20, 0x40, 0, 0});
  slots[3] = {0x777, 0x777, 0x777, 0x777};  // filler
  slots[20] = {0, 0, 0, 0};                 // ends the page even though cEnt says 2
  img.put_leaf_page(0x4800, slots, 2);
  auto run = scan_image(img.view());
  EXPECT_EQ(run->counts.node_entries(), 19u);  // slots 0-19 less the filler
  EXPECT_EQ(node_ids(run->tables.objects).count(0x777), 0u);
  EXPECT_EQ(node_ids(run->tables.objects).count(0x100 + 19 * 0x20), 1u);
}

TEST(Scanner, IgnoresPagesWithTooManyEntriesOrAnotherType) {
  Image img;
  const std::vector<LeafSlot> slots{{0x21, 0x40, 0, 0}};
  img.put_leaf_page(0x4800, slots, 32);
  img.put_leaf_page(0x4A00, slots, 1, pst::kPageBbt);
  auto run = scan_image(img.view());
  EXPECT_EQ(run->counts.leaf_pages, 0u);
  EXPECT_EQ(run->tables.objects.size(), 0u);
}

TEST(Scanner, DropsAProbeShapedLikeAPageTailEvenIfItIsAValidTrailer) {
  Image img;
  std::vector<std::uint8_t> data(52, 0);
  // The last three data bytes read as cEntMax 31, cbEnt 16, cLevel 0.
  data[49] = 0x1F;
  data[50] = 0x10;
  data[51] = 0x00;
  img.put_block(0x4800, 0x40, data);
  img.put_block(0x4840, 0x44, 52);
  auto run = scan_image(img.view());
  EXPECT_EQ(run->tables.find_block(0x40), nullptr);
  EXPECT_NE(run->tables.find_block(0x44), nullptr);
}

TEST(Scanner, RecordsEveryCopyOfABlockInPassOrder) {
  // Three copies of block 0x40. The trailers of the first two end 64 bytes into a page and
  // are seen by the same pass, in file order; the third ends 256 bytes into a page, which
  // a later pass looks at, so it is found last although it lies before the second.
  Image img;
  img.put_block(0x5000, 0x40, 10);
  img.put_block(0x4C00, 0x40, 20);
  img.put_block(0x4CC0, 0x40, 30);
  auto run = scan_image(img.view());
  std::vector<std::uint32_t> chain;
  for (const BlockRef* b = run->tables.find_block(0x40); b; b = run->tables.blocks.next_version(*b))
    chain.push_back(b->offset);
  // The first found, then the later copies newest first.
  EXPECT_EQ(chain, (std::vector<std::uint32_t>{0x4C00, 0x4CC0, 0x5000}));
  EXPECT_EQ(run->tables.blocks.ids_with_versions(), 1u);
}

TEST(Scanner, AnIntactCopyOfABlockIsUsedBeforeAStaleOne) {
  // The copy found first has a check value that fails (stale or damaged bytes); the copy
  // found last is sound and must be the one read. The chain keeps every copy.
  Image img;
  const std::vector<std::uint8_t> stale(20, 0x11), sound(20, 0x22);
  img.put_block(0x4C00, 0x40, stale, 0, 0x5);
  img.put_block(0x4CC0, 0x40, sound);
  img.put_block(0x5000, 0x40, stale, 0, 0x7);
  auto run = scan_image(img.view());
  std::vector<std::uint32_t> chain;
  for (const BlockRef* b = run->tables.find_block(0x40); b; b = run->tables.blocks.next_version(*b))
    chain.push_back(b->offset);
  EXPECT_EQ(chain, (std::vector<std::uint32_t>{0x4CC0, 0x4C00, 0x5000}));
}

TEST(Scanner, WrongSignatureIsNotRecordedButCountsTowardProgress) {
  // 50 trailers whose signature differs only in its low four bits: the offset rebuilt from
  // it passes the window, the signature check fails.
  Image bad(0x4800 + 50 * 512), good(0x4800 + 50 * 512);
  for (std::uint32_t i = 0; i < 50; ++i) {
    std::vector<std::uint8_t> data(20, 1);
    bad.put_block(0x4800 + i * 512, 0x100 + i * 4, data, 0x1);
  }
  auto spoiled = scan_image(bad.view());
  auto empty = scan_image(good.view());
  EXPECT_EQ(spoiled->tables.blocks.size(), 0u);
  EXPECT_EQ(spoiled->progress.steps, empty->progress.steps + 1);
}

TEST(Scanner, ABlockWhoseSignatureIsZeroIsRecordedWhenItsCheckValueMatches) {
  // offset ^ id = 0x00040004: both halves equal, so the signature is 0.
  constexpr std::uint32_t kOffset = 0x20000, kId = 0x00060004;
  ASSERT_EQ(pst::block_signature(kOffset, kId), 0);
  const std::vector<std::uint8_t> data(216, 0x00);  // mostly zeros, as many real blocks are
  Image sound(0x30000), spoiled(0x30000);
  sound.put_block(kOffset, kId, data);
  spoiled.put_block(kOffset, kId, data, 0, 0x100);
  auto sound_run = scan_image(sound.view());
  const BlockRef* found = sound_run->tables.find_block(kId);
  auto spoiled_run = scan_image(spoiled.view());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->offset, kOffset);
  EXPECT_EQ(found->size, 216u);
  EXPECT_EQ(spoiled_run->tables.find_block(kId), nullptr);
  EXPECT_EQ(spoiled_run->tables.blocks.size(), 0u);
}

TEST(Scanner, FindsABlockStartingOnA64KiBBoundaryWhateverItsSize) {
  for (std::uint32_t cb : {49u, 50u, 51u, 52u, 53u, 48u, 1u, 8180u}) {
    SCOPED_TRACE(cb);
    Image img(0x30000);
    img.put_block(0x20000, 0x1234, cb);
    img.put_block(0x10000 - 64 * ((cb + 12 + 63) / 64), 0x5678, cb);  // ending on the boundary
    auto run = scan_image(img.view());
    const BlockRef* b = run->tables.find_block(0x1234);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->offset, 0x20000u);
    EXPECT_EQ(b->size, cb);
    EXPECT_NE(run->tables.find_block(0x5678), nullptr);
    EXPECT_EQ(run->tables.blocks.size(), 2u);
  }
}

TEST(Scanner, ProbeWindowAcceptsExactlyTheTrailerOfItsBlock) {
  // Direct check of the reconstruction for every size at a boundary and off it.
  for (std::uint32_t base : {0x20000u, 0x20040u, 0x2FFC0u}) {
    for (std::uint32_t cb = 1; cb <= 8180; ++cb) {
      const std::uint32_t span = (cb + 12 + 63) / 64 * 64;
      const std::uint32_t trailer = base + span - 12;
      std::array<std::uint8_t, 12> probe{};
      pst::store_le16(probe, 4, static_cast<std::uint16_t>(cb));
      pst::store_le16(probe, 6, pst::block_signature(base, 0x4444));
      pst::store_le32(probe, 8, 0x4444);
      const TrailerProbe t = probe_block_trailer(trailer - 4, probe);
      ASSERT_TRUE(t.block.has_value()) << base << " " << cb;
      ASSERT_EQ(t.block->offset, base) << cb;
    }
  }
}

// The quick test of a page's ten probes may let through probes that come to nothing, but
// never drop one that the full tests act on: a page tail of either kind, or a trailer whose
// offset passes the window (recorded or at least counted for progress).
TEST(Scanner, FirstTestOfAPageKeepsEveryProbeTheFullTestsActOn) {
  std::mt19937 rng(11);
  std::array<std::uint8_t, kPageProbeSpan> row{};
  int acted_on = 0;
  for (int round = 0; round < 20000; ++round) {
    for (auto& b : row) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : 0);
    const std::uint32_t first = 0x47F0 + 512 * (rng() % 100000);
    for (std::size_t pass = 0; pass < kProbePhases.size(); ++pass) {
      const std::size_t at = kProbePhases[pass] * 16;
      switch (rng() % 4) {  // plant something near what the tests look for
        case 0: row[at + 1] = 0x1F, row[at + 2] = 0x10, row[at + 3] = 0; break;
        case 1: pst::store_le16(row, at + 4, static_cast<std::uint16_t>(rng() % 3 == 0 ? 8180 + rng() % 3 : rng() % 8200)); break;
        case 2: pst::store_le16(row, at + 6, pst::block_signature(first + at - 200 + 16 * (rng() % 16), pst::load_le32(row, at + 8))); break;
        default: break;
      }
    }
    const unsigned passed = first_test_of_page(std::span<const std::uint8_t, kPageProbeSpan>(row));
    for (std::size_t pass = 0; pass < kProbePhases.size(); ++pass) {
      const std::size_t at = kProbePhases[pass] * 16;
      const std::span<const std::uint8_t, kProbeSize> probe(row.data() + at, kProbeSize);
      const bool page = probe_shape(probe) != ProbeShape::kOther;
      const bool trailer = !page && probe_block_trailer(first + static_cast<std::uint32_t>(at), probe).windowed;
      if (!page && !trailer) continue;
      ++acted_on;
      ASSERT_TRUE(passed & (1u << pass)) << "round " << round << " pass " << pass;
    }
  }
  EXPECT_GT(acted_on, 1000);
}

TEST(Scanner, SmallFilesGiveNoProbeAndFullProgress) {
  for (std::size_t size : {std::size_t{0}, std::size_t{512}, std::size_t{0x47EF}}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes(size, 0);
    // A trailer ending the page at 0x4600 (probe 0x47F0) lies partly beyond the file.
    auto run = scan_image(bytes);
    EXPECT_EQ(run->outcome, ScanOutcome::kCompleted);
    EXPECT_EQ(run->tables.blocks.size(), 0u);
    EXPECT_EQ(run->tables.objects.size(), 0u);
    EXPECT_TRUE(run->tables.encoded);
    EXPECT_EQ(run->progress.position, 500);
    EXPECT_EQ(run->progress.steps, 4);  // after probing, after collecting, two after the encoding test
  }
}

TEST(Scanner, ReadsTheLastProbesOfAFileAsIfZeroFilled) {
  // A block whose trailer is the last thing in the file, and a file cut inside a trailer:
  // the missing bytes read as zeros, which here leave an id of 0x0044 instead of
  // 0x12340044 and so a signature that does not match.
  Image img(0x4C00);
  img.put_block(0x4A00, 0x44, 100);  // trailer ends at 0x4A80
  img.put_block(0x4B80, 0x12340044, 52);
  std::vector<std::uint8_t> whole(img.view().begin(), img.view().begin() + 0x4A80);
  auto run = scan_image(whole);
  EXPECT_NE(run->tables.find_block(0x44), nullptr);

  std::vector<std::uint8_t> cut(img.view().begin(), img.view().begin() + 0x4BBA);
  auto run_cut = scan_image(cut);
  EXPECT_EQ(run_cut->tables.find_block(0x12340044), nullptr);
  EXPECT_EQ(run_cut->tables.blocks.size(), 1u);
}

TEST(Scanner, FindsStructuresAcrossReadChunkBoundaries) {
  // The file is read in 1 MiB chunks of probes from 0x47F0. Leaf pages whose probe is the
  // last of one chunk and the first of the next, and blocks at every 64-byte position
  // around that edge, must all be found.
  const std::uint32_t edge = 0x47F0 + (1u << 20);
  const std::uint32_t first_page = edge - 496 - 512;
  Image img(edge + 0x2000);
  const std::vector<LeafSlot> a{{0x21, 0x100, 0, 0}}, b{{0x41, 0x104, 0, 0}};
  img.put_leaf_page(first_page, a);
  img.put_leaf_page(first_page + 512, b);
  std::uint32_t id = 0x100;
  std::set<std::uint32_t> ids;
  for (std::uint32_t at = first_page - 0x800; at < first_page + 0x1000; at += 64) {
    if (at >= first_page && at < first_page + 1024) continue;
    img.put_block(at, id, 1 + (at / 64) % 52);  // each fills exactly 64 bytes
    ids.insert(id);
    id += 4;
  }
  auto run = scan_image(img.view());
  std::size_t found = 0;
  for (std::uint32_t bid : ids) found += run->tables.find_block(bid) != nullptr;
  EXPECT_EQ(found, ids.size());
  EXPECT_EQ(run->counts.leaf_pages, 2u);
  EXPECT_EQ(node_ids(run->tables.objects), (std::set<std::uint32_t>{0x21, 0x41}));
}

TEST(Scanner, ReadsAFileTheSameAsMemoryAndNeverNeedsWriteAccess) {
  Image img;
  const std::vector<LeafSlot> slots{{0x21, 0x40, 0, 0}, {0x8022, 0x40, 0, 0x21}};
  img.put_leaf_page(0x4800, slots);
  img.put_block(0x4A00, 0x40, testing_pst::heap_header(false, false));
  img.grow(0x4A00 + 300);  // not a multiple of 512
  const auto path = std::filesystem::temp_directory_path() / ("scan_test_" + std::to_string(::getpid()) + ".pst");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(img.bytes().data()), static_cast<std::streamsize>(img.bytes().size()));
  }
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  RecoveryTables tables;
  RecordingProgress progress;
  OpenGate gate;
  CPstScanner scanner(tables, progress, gate);
  EXPECT_EQ(scanner.scan(path), ScanOutcome::kCompleted);
  auto mem = scan_image(img.view());
  EXPECT_EQ(scanner.counts().node_entries(), mem->counts.node_entries());
  EXPECT_EQ(tables.blocks.size(), mem->tables.blocks.size());
  EXPECT_EQ(tables.objects.size(), 2u);
  EXPECT_FALSE(tables.encoded);
  std::filesystem::remove(path);

  RecordingProgress silent;
  CPstScanner missing(tables, silent, gate);
  EXPECT_EQ(missing.scan(path), ScanOutcome::kNotOpened);
  EXPECT_TRUE(silent.events.empty());
  EXPECT_EQ(tables.objects.size(), 0u);
}

TEST(Scanner, StepsOncePerHundredLeafPagesOfAPass) {
  Image img(0x4600 + 250 * 512);
  const std::vector<LeafSlot> slots{{0x21, 0, 0, 0}};
  auto baseline = scan_image(img.view());
  for (std::uint32_t i = 0; i < 250; ++i) img.put_leaf_page(0x4600 + i * 512, slots);
  auto run = scan_image(img.view());
  EXPECT_EQ(run->counts.leaf_pages, 250u);
  EXPECT_EQ(run->progress.steps, baseline->progress.steps + 2);
  EXPECT_EQ(run->tables.objects.size(), 1u);  // 249 identical copies discarded
  const std::vector<std::string> statuses{run->progress.events[3], run->progress.events[4]};
  EXPECT_EQ(statuses, (std::vector<std::string>{"Scanning file...", "Collecting Objects..."}));
}

using testing::StopAfter;

TEST(Scanner, StopsWhenTheGateSaysSoAndLeavesNothingBehind) {
  Image img(0x4600 + 100 * 512);
  img.put_block(0x4600, 0x40, 20);
  const std::vector<LeafSlot> slots{{0x21, 0x40, 0, 0}};
  img.put_leaf_page(0x4800, slots);
  for (int allowed : {5, 98}) {
    RecoveryTables tables;
    NullProgress progress;
    StopAfter gate(allowed);
    CPstScanner scanner(tables, progress, gate);
    EXPECT_EQ(scanner.scan(MemorySource(img.view())), ScanOutcome::kCancelled);
    EXPECT_EQ(gate.left_, -1);  // it stopped at the first refusal
    EXPECT_EQ(tables.blocks.size(), 0u);
    EXPECT_EQ(tables.objects.size(), 0u);
  }
}

// Every pass of the gate, in every phase (probing, applying what the passes found, putting
// the entry lists in order, collecting), is a place where a stop ends the scan cleanly.
TEST(Scanner, AStopAtAnyPassOfTheGateLeavesNothingBehind) {
  Image img(0x4600 + 20 * 512);
  img.put_block(0x4600, 0x40, 20);
  const std::vector<LeafSlot> slots{{0x122, 0x40, 0, 0}, {0x8022, 0x40, 0, 0x122}, {0x8042, 0, 0, 0x8022}};
  img.put_leaf_page(0x4800, slots);
  StopAfter counting(1 << 30);
  {
    RecoveryTables tables;
    NullProgress progress;
    CPstScanner scanner(tables, progress, counting);
    ASSERT_EQ(scanner.scan(MemorySource(img.view())), ScanOutcome::kCompleted);
  }
  const int passes = (1 << 30) - counting.left_;
  for (int allowed = 0; allowed < passes; ++allowed) {
    SCOPED_TRACE(allowed);
    RecoveryTables tables;
    NullProgress progress;
    StopAfter gate(allowed);
    CPstScanner scanner(tables, progress, gate);
    EXPECT_EQ(scanner.scan(MemorySource(img.view())), ScanOutcome::kCancelled);
    EXPECT_EQ(gate.left_, -1);
    EXPECT_EQ(tables.blocks.size(), 0u);
    EXPECT_EQ(tables.objects.size(), 0u);
  }
}

}  // namespace
}  // namespace pstorian
