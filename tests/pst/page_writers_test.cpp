// Blocks, B-tree pages, whole B-trees, allocation maps and the header as the writers lay
// them out.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "format/crc.h"
#include "format/endian.h"
#include "format/permute.h"
#include "format/signature.h"
#include "pst/ndb/allocation_map.h"
#include "pst/ndb/block_writer.h"
#include "pst/ndb/btree_writer.h"
#include "pst/ndb/file_header.h"

namespace pstorian {
namespace {

std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), std::uint8_t{1});
  return v;
}

TEST(BlockWriter, PadsToWholeUnitsAndSignsTheTrailer) {
  EXPECT_EQ(block_disk_size(0), 64u);
  EXPECT_EQ(block_disk_size(52), 64u);
  EXPECT_EQ(block_disk_size(53), 128u);
  EXPECT_EQ(block_disk_size(8180), 8192u);

  const auto data = counting(53);
  const auto b = build_block(data, 0x1B8, 0x8AC0);
  ASSERT_EQ(b.size(), 128u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), b.begin()));
  EXPECT_TRUE(std::all_of(b.begin() + 53, b.end() - 12, [](auto c) { return c == 0; }));
  EXPECT_EQ(pst::load_le16(b, 116), 53);
  EXPECT_EQ(pst::load_le16(b, 118), pst::block_signature(0x8AC0, 0x1B8));
  EXPECT_EQ(pst::load_le32(b, 120), 0x1B8u);
  EXPECT_EQ(pst::load_le32(b, 124), pst::crc32(data));

  EXPECT_THROW(build_block(counting(8181), 4, 0x5800), std::invalid_argument);
}

TEST(BlockWriter, EncodesDataBlocksOnlyAndChecksTheStoredBytes) {
  const auto data = counting(40);
  const auto encoded = build_block(data, 0x8, 0x5880, pst::kCryptPermute);
  std::vector<std::uint8_t> stored(encoded.begin(), encoded.begin() + 40);
  EXPECT_NE(stored, data);
  EXPECT_EQ(pst::load_le32(encoded, 60), pst::crc32(stored));
  pst::permute_decode(stored);
  EXPECT_EQ(stored, data);

  // Data trees and subnode blocks (bit 1 of the id) are never encoded.
  const auto internal = build_block(data, 0xA, 0x5880, pst::kCryptPermute);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), internal.begin()));
}

std::vector<NbtEntry> nodes(std::size_t n) {
  std::vector<NbtEntry> v;
  for (std::uint32_t i = 0; i < n; ++i) v.push_back({0x21 + 0x20 * i, 4 * i + 4, 0, 0x122});
  return v;
}

TEST(BTreePage, LeafHoldsEntriesCountsAndAValidTrailer) {
  const auto entries = nodes(31);
  const Page p = build_nbt_leaf(entries, {0x11C, 0x5200});
  EXPECT_EQ(pst::load_le32(p, 16 * 30), entries[30].nid);
  EXPECT_EQ(pst::load_le32(p, 16 * 30 + 12), 0x122u);
  EXPECT_EQ(p[496], 31);
  EXPECT_EQ(p[497], 31);
  EXPECT_EQ(p[498], 16);
  EXPECT_EQ(p[499], 0);
  EXPECT_EQ(p[500], 0x81);
  EXPECT_EQ(p[501], 0x81);
  EXPECT_EQ(pst::load_le16(p, 502), pst::block_signature(0x5200, 0x11C));
  EXPECT_EQ(pst::load_le32(p, 504), 0x11Cu);
  EXPECT_EQ(pst::load_le32(p, 508), pst::crc32(std::span(p).first(500)));

  EXPECT_THROW(build_nbt_leaf(nodes(32), {1, 0x5200}), std::invalid_argument);
}

TEST(BTreeWriter, SplitsIntoAsManyLevelsAsNeeded) {
  std::uint32_t next_ib = 0x10000;
  std::vector<Bref> handed;
  const PageSlotSource slots = [&] {
    handed.push_back({next_ib / 0x100, next_ib});
    next_ib += 512;
    return handed.back();
  };

  // One page: the root is the leaf.
  const auto small = write_nbt(nodes(5), {}, slots);
  EXPECT_EQ(small.levels, 0);
  EXPECT_EQ(small.pages.size(), 1u);

  // 31 * 41 + 1 entries: 41 full leaves and one more, two intermediate pages, one root.
  handed.clear();
  const auto entries = nodes(31 * 41 + 1);
  const auto big = write_nbt(entries, {}, slots);
  EXPECT_EQ(big.levels, 2);
  ASSERT_EQ(big.pages.size(), 42u + 2 + 1);
  EXPECT_EQ(big.root, handed.back());  // leaves first, the root last
  const Page& root = big.pages.back().bytes;
  EXPECT_EQ(root[496], 2);  // two children
  EXPECT_EQ(root[499], 2);  // cLevel
  EXPECT_EQ(pst::load_le32(root, 0), entries.front().nid);
  // The second intermediate page starts at the 42nd leaf, whose first entry is the last one.
  EXPECT_EQ(pst::load_le32(root, 12), entries.back().nid);
  const Page& mid = big.pages[42].bytes;
  EXPECT_EQ(mid[496], 41);
  EXPECT_EQ(mid[499], 1);
  EXPECT_EQ(pst::load_le32(mid, 12 * 40), entries[31 * 40].nid);
  EXPECT_EQ(pst::load_le32(mid, 12 * 40 + 8), big.pages[40].at.ib);

  // A fixed plan: leaf sizes as given.
  const std::size_t sizes[] = {2, 3};
  const auto planned = write_nbt(nodes(5), sizes, slots);
  EXPECT_EQ(planned.pages[0].bytes[496], 2);
  EXPECT_EQ(planned.pages[1].bytes[496], 3);
  const std::size_t wrong[] = {2, 2};
  EXPECT_THROW(write_nbt(nodes(5), wrong, slots), std::invalid_argument);

  auto unsorted = nodes(3);
  std::swap(unsorted[0], unsorted[2]);
  EXPECT_THROW(write_nbt(unsorted, {}, slots), std::invalid_argument);
}

bool amap_bit(const Page& p, std::size_t unit) {
  return (p[4 + unit / 8] & (0x80 >> (unit % 8))) != 0;
}

TEST(AllocationMap, CoversTheFileAndGrowsPastTheFirstInterval) {
  AllocationMap map(0xC000);
  // Only the AMap and PMap pages themselves are allocated in a new map.
  EXPECT_EQ(map.free_bytes(), 0xC000u - 0x4400 - 1024);
  EXPECT_EQ(map.free_page_bytes(), 0u);
  map.mark_allocated(0x5800, 100);
  EXPECT_TRUE(map.is_allocated(0x5800, 128));
  EXPECT_FALSE(map.is_allocated(0x5800, 129));
  EXPECT_EQ(map.find_free(64, 64), 0x4800u);
  map.mark_allocated(0x4800, 0x1000);
  EXPECT_EQ(map.find_free(200, 512), 0x5A00u);  // aligned past the block at 0x5800
  EXPECT_FALSE(map.find_free(0x10000, 64).has_value());
  EXPECT_THROW(map.mark_allocated(0xBFC0, 128), std::out_of_range);
  EXPECT_THROW(map.mark_allocated(0x4000, 64), std::out_of_range);

  const Page first = map.build_amap_page(0);
  EXPECT_TRUE(amap_bit(first, 0));  // the AMap page
  EXPECT_FALSE(amap_bit(first, (0xBFC0 - 0x4400) / 64));
  EXPECT_TRUE(amap_bit(first, (0xC000 - 0x4400) / 64));  // past the end of file
  EXPECT_EQ(first[500], 0x84);
  EXPECT_EQ(pst::load_le16(first, 502), 0);
  EXPECT_EQ(pst::load_le32(first, 504), 0x4400u);

  // Growing past 0x4400 + 253,952 brings a second AMap page, allocated in its own map; the
  // second PMap comes only after eight AMap intervals.
  const std::uint64_t second = 0x4400 + 253952;
  map.grow(second + 0x1000);
  ASSERT_EQ(map.amap_page_count(), 2u);
  EXPECT_EQ(map.pmap_page_count(), 1u);
  EXPECT_TRUE(map.is_allocated(second, 512));
  EXPECT_FALSE(map.is_allocated(second + 512, 64));
  const Page next = map.build_amap_page(1);
  EXPECT_EQ(pst::load_le32(next, 504), second);
  EXPECT_TRUE(amap_bit(next, 0));
  EXPECT_FALSE(amap_bit(next, 8));
  EXPECT_TRUE(amap_bit(next, 0x1000 / 64));

  // Only pages whose bits changed are to be written again.
  map.take_changed_pages();
  map.mark_allocated(second + 0x800, 64);
  const auto changed = map.take_changed_pages();
  EXPECT_EQ(changed.amaps, std::vector<std::size_t>{1});
  EXPECT_TRUE(changed.pmaps.empty());
  EXPECT_TRUE(map.take_changed_pages().amaps.empty());

  map.grow(0x4600 + 2031616 + 0x800);
  EXPECT_EQ(map.pmap_page_count(), 2u);
  EXPECT_TRUE(map.is_allocated(0x4600 + 2031616, 512));
  map.set_page_free(0x4A00, true);
  EXPECT_EQ(map.free_page_bytes(), 512u);
  const Page pmap = map.build_pmap_page(0);
  EXPECT_EQ(pmap[4], 0xEF);  // page 3 from 0x4400 is free
}

// Blocks placed one after another take the lowest free offset each time, and a unit freed
// below them, in the interval being filled or an earlier one, is the next to be taken.
TEST(AllocationMap, PlacesBlocksFirstFitWhileAnIntervalFills) {
  const std::uint64_t span = 253952;
  AllocationMap map(0x4400 + 2 * span);
  std::uint64_t expected = 0x4800;  // after the AMap and PMap pages
  for (int i = 0; i < 3000; ++i) {
    const auto at = map.find_free(64, 64);
    ASSERT_EQ(at, expected) << i;
    map.mark_allocated(*at, 64);
    expected += 64;
  }
  map.mark_free(0x4800 + 64 * 1500, 64);
  EXPECT_EQ(map.find_free(64, 64), 0x4800u + 64 * 1500);
  map.mark_allocated(0x4800 + 64 * 1500, 64);
  EXPECT_EQ(map.find_free(64, 64), expected);
  // A map page read back in says what is free, whatever was searched before.
  Page page = map.build_amap_page(0);
  page[4 + 100] = 0;  // units 800 to 807 of the interval
  map.load_amap_page(0, page);
  EXPECT_EQ(map.find_free(64, 64), 0x4400u + 64 * 800);
  EXPECT_EQ(map.find_free(512, 512), 0x4400u + 64 * 800);
}

// The search remembers where requests of each size last fitted: space freed or added
// behind that point must still be found, and the free byte count must follow every change.
TEST(AllocationMap, FindsFreedAndGrownSpaceBehindEarlierSearches) {
  const std::uint64_t span = 253952;
  const std::uint64_t end = 0x4400 + 2 * span + 0x8000;
  AllocationMap map(end);
  const std::uint64_t free_at_start = map.free_bytes();
  // Fill every interval with 512-byte pages until nothing is left.
  std::vector<std::uint64_t> pages;
  while (const auto at = map.find_free(512, 512)) {
    map.mark_allocated(*at, 512);
    pages.push_back(*at);
  }
  EXPECT_EQ(map.free_bytes(), 0u);
  EXPECT_EQ(pages.size() * 512, free_at_start);
  EXPECT_FALSE(map.find_free(64, 64).has_value());

  // An unaligned 1,024-byte hole in the first interval fits blocks but not a page...
  map.mark_free(pages[10] + 256, 1024);
  EXPECT_EQ(map.free_bytes(), 1024u);
  EXPECT_EQ(map.find_free(512, 512), pages[10] + 512);
  EXPECT_EQ(map.find_free(1024, 64), pages[10] + 256);
  map.mark_allocated(pages[10] + 512, 512);
  EXPECT_FALSE(map.find_free(512, 512).has_value());
  EXPECT_EQ(map.find_free(256, 64), pages[10] + 256);
  // ... and a page freed in the middle interval after a failed search is found again.
  map.mark_free(pages[pages.size() / 2], 512);
  EXPECT_EQ(map.find_free(512, 512), pages[pages.size() / 2]);
  map.mark_allocated(pages[pages.size() / 2], 512);

  // Growing lengthens the last interval: the space at its end is found, then the new one.
  map.grow(end + 0x1000);
  EXPECT_EQ(map.find_free(512, 512), end);
  EXPECT_EQ(map.free_bytes(), 512u + 0x1000);  // two 256-byte ends of the hole
  map.mark_allocated(end, 0x1000);
  map.mark_allocated(pages[10] + 256, 256);
  map.mark_allocated(pages[10] + 1024, 256);
  EXPECT_EQ(map.free_bytes(), 0u);
  map.mark_allocated(pages[3], 512);  // already allocated: counted once
  EXPECT_EQ(map.free_bytes(), 0u);
}

// The map keeps its bits 64 to a word and scans them a word at a time: runs that start,
// end or break off at word edges and at the file's end must come out as one unit at a time
// finds them, in the search, in the free count and in the page written.
TEST(AllocationMap, ScansAWordAtATimeAsOneUnitAtATime) {
  const std::uint64_t span = 253952;
  const std::uint64_t end = 0x4400 + 2 * span + 40 * 64;  // the last word partly used
  AllocationMap map(end);
  const std::size_t units = (end - 0x4400) / 64;
  std::vector<bool> used(units);
  for (std::size_t u = 0; u < units; ++u) used[u] = map.is_allocated(0x4400 + u * 64, 64);
  std::uint32_t seed = 7;
  const auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  const auto first_fit = [&](std::size_t n, std::size_t step) -> std::optional<std::uint64_t> {
    for (std::size_t u = 0; u + n <= units; u += step)
      if (std::none_of(used.begin() + static_cast<std::ptrdiff_t>(u),
                       used.begin() + static_cast<std::ptrdiff_t>(u + n), [](bool b) { return b; }))
        return 0x4400 + u * 64;
    return std::nullopt;
  };
  for (int round = 0; round < 400; ++round) {
    // Ranges of 1 to 200 units anywhere, often across word edges.
    const std::size_t n = 1 + next(200);
    const std::size_t u = next(static_cast<std::uint32_t>(units - n));
    const bool allocate = next(3) != 0;
    if (u / 3968 != (u + n - 1) / 3968 || u % 3968 < 8) continue;  // keep the map pages
    if (allocate)
      map.mark_allocated(0x4400 + u * 64, n * 64);
    else
      map.mark_free(0x4400 + u * 64, n * 64);
    std::fill(used.begin() + static_cast<std::ptrdiff_t>(u),
              used.begin() + static_cast<std::ptrdiff_t>(u + n), allocate);
    const auto free_units = static_cast<std::uint64_t>(std::count(used.begin(), used.end(), false));
    ASSERT_EQ(map.free_bytes(), free_units * 64) << round;
    const std::size_t want = 1 + next(100);
    ASSERT_EQ(map.find_free(want * 64, 64), first_fit(want, 1)) << round;
    ASSERT_EQ(map.find_free(want * 64, 512), first_fit(want, 8)) << round;
    ASSERT_EQ(map.is_allocated(0x4400 + u * 64, n * 64), allocate) << round;
  }
  for (std::size_t page = 0; page < 3; ++page) {
    const Page amap = map.build_amap_page(page);
    for (std::size_t i = 0; i < 3968; ++i) {
      const std::size_t u = page * 3968 + i;
      const bool bit = (amap[4 + i / 8] & (0x80 >> (i % 8))) != 0;
      ASSERT_EQ(bit, u >= units || used[u]) << page << " " << i;
    }
  }
}

TEST(AllocationMap, PlacesFreeMapsPastTheFirst128Intervals) {
  const std::uint64_t span = 253952;
  AllocationMap map(0x4400 + 128 * span);
  EXPECT_EQ(map.fmap_page_count(), 0u);
  map.take_changed_pages();
  map.grow(0x4400 + 130 * span);
  ASSERT_EQ(map.fmap_page_count(), 1u);
  const std::uint64_t at = 0x4400 + 128 * span + 0x400;  // after that interval's AMap and PMap
  EXPECT_EQ(AllocationMap::fmap_page_offset(0), at);
  EXPECT_TRUE(map.is_allocated(at, 512));
  EXPECT_EQ(map.take_changed_pages().fmaps, std::vector<std::size_t>{0});

  map.mark_allocated(0x4400 + 129 * span + 512 + 100 * 64, 64);  // splits the second interval
  EXPECT_EQ(map.take_changed_pages().fmaps, std::vector<std::size_t>{0});
  const Page fmap = map.build_fmap_page(0);
  EXPECT_EQ(fmap[500], 0x82);
  EXPECT_EQ(pst::load_le32(fmap, 504), at);
  EXPECT_EQ(pst::load_le32(fmap, 508), pst::crc32(std::span(fmap).first(500)));
  EXPECT_EQ(fmap[4], 255);  // long free runs are capped
  EXPECT_EQ(fmap[5], 255);  // 3,859 free units after the mark
  EXPECT_EQ(fmap[6], 0);    // past the end of the file
  map.mark_allocated(0x4400 + 129 * span + 512 + 300 * 64, span - 512 - 300 * 64);
  EXPECT_EQ(map.build_fmap_page(0)[5], 199);  // the units between the two marks
}

TEST(FileHeader, RoundTripsAndGuardsItsCheckValue) {
  FileHeader h;
  h.bid_next_b = 0x1BC;
  h.bid_next_p = 0x122;
  h.unique = 0x39;
  h.rgnid[2] = 0x40E;
  h.file_eof = 0xC000;
  h.amap_last = 0x4400;
  h.nbt = {0x11D, 0x6E00};
  h.bbt = {0x120, 0x4800};
  h.crypt = pst::kCryptPermute;
  auto bytes = build_file_header(h);
  EXPECT_EQ(pst::load_le32(bytes, 4), pst::crc32(std::span(bytes).subspan(8, 471)));
  EXPECT_EQ(bytes[460], 0x80);
  const auto back = parse_file_header(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->nbt, h.nbt);
  EXPECT_EQ(back->bbt, h.bbt);
  EXPECT_EQ(back->rgnid[2], 0x40Eu);
  EXPECT_EQ(back->crypt, pst::kCryptPermute);

  bytes[200] ^= 1;  // any change inside the checked range
  EXPECT_FALSE(parse_file_header(bytes).has_value());
  EXPECT_FALSE(parse_file_header(std::span(bytes).first(100)).has_value());
}

// The 64-bit form: offsets past 4 GB, both check values, and the wider structures.
TEST(FileHeader, TheUnicodeFormKeepsWideOffsetsAndGuardsBothCheckValues) {
  FileHeader h;
  h.form = FileForm::kUnicode;
  h.bid_next_b = 0x1'0000'01BCull;
  h.bid_next_p = 0x122;
  h.rgnid[2] = 0x40E;
  h.file_eof = 0x1'2345'6000ull;
  h.amap_last = 0x1'2340'0000ull;
  h.nbt = {0x11D, 0x1'0000'6E00ull};
  h.bbt = {0x120, 0x4800};
  auto bytes = build_file_header(h);
  ASSERT_EQ(bytes.size(), 564u);
  EXPECT_EQ(pst::load_le16(bytes, 10), 23);
  EXPECT_EQ(pst::load_le32(bytes, 4), pst::crc32(std::span(bytes).subspan(8, 471)));
  EXPECT_EQ(pst::load_le32(bytes, 524), pst::crc32(std::span(bytes).subspan(8, 516)));
  EXPECT_EQ(pst::load_le64(bytes, 184), h.file_eof);
  EXPECT_EQ(pst::load_le64(bytes, 516), h.bid_next_b);
  EXPECT_EQ(bytes[248], 2);  // valid maps
  EXPECT_EQ(bytes[512], 0x80);
  const auto back = parse_file_header(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->form, FileForm::kUnicode);
  EXPECT_EQ(back->file_eof, h.file_eof);
  EXPECT_EQ(back->nbt, h.nbt);
  EXPECT_EQ(back->bid_next_b, h.bid_next_b);
  EXPECT_EQ(back->rgnid[2], 0x40Eu);

  bytes[520] ^= 1;  // past the partial check, inside the full one
  EXPECT_FALSE(parse_file_header(bytes).has_value());
  EXPECT_FALSE(parse_file_header(std::span(bytes).first(512)).has_value());
}

TEST(BlockWriter, TheUnicodeFormPutsTheCheckValueBeforeTheWideId) {
  const std::vector<std::uint8_t> data(8176, 0x41);
  const std::uint64_t bid = 0x1'0000'0104ull;
  const std::uint64_t ib = 0x1'0000'4A00ull;
  const auto block = build_block(data, bid, ib, pst::kCryptNone, FileForm::kUnicode);
  ASSERT_EQ(block.size(), 8192u);
  EXPECT_EQ(pst::load_le16(block, 8176), 8176);
  EXPECT_EQ(pst::load_le16(block, 8178),
            pst::block_signature(static_cast<std::uint32_t>(ib), static_cast<std::uint32_t>(bid)));
  EXPECT_EQ(pst::load_le32(block, 8180), pst::crc32(data));
  EXPECT_EQ(pst::load_le64(block, 8184), bid);
  EXPECT_THROW(build_block(std::vector<std::uint8_t>(8177), 4, 0x4400, pst::kCryptNone,
                           FileForm::kUnicode),
               std::invalid_argument);
}

TEST(BTreePage, UnicodeLeavesHoldWideEntriesAndTheirTrailer) {
  const std::vector<NbtEntry> entries = {{0x21, 0x1'0000'0004ull, 0, 0}, {0x122, 0x8, 0xA, 0x122}};
  const Bref at{0x1'0000'0010ull, 0x1'0000'4800ull};
  Page page = build_nbt_leaf(entries, at, FileForm::kUnicode);
  EXPECT_EQ(page[488], 2);   // cEnt
  EXPECT_EQ(page[489], 15);  // cEntMax
  EXPECT_EQ(page[490], 32);  // cbEnt
  EXPECT_EQ(pst::load_le64(page, 8), 0x1'0000'0004ull);
  EXPECT_EQ(pst::load_le64(page, 32), 0x122u);
  EXPECT_EQ(pst::load_le32(page, 56), 0x122u);
  EXPECT_EQ(page[496], pst::kPageNbt);
  EXPECT_EQ(pst::load_le32(page, 500), pst::crc32(std::span(page).first(496)));
  EXPECT_EQ(pst::load_le64(page, 504), at.bid);
  EXPECT_TRUE(page_trailer_holds(page, pst::kPageNbt, at.bid, at.ib, FileForm::kUnicode));
  EXPECT_FALSE(page_trailer_holds(page, pst::kPageNbt, at.bid, at.ib));
  page[3] ^= 1;
  EXPECT_FALSE(page_trailer_holds(page, pst::kPageNbt, at.bid, at.ib, FileForm::kUnicode));
  EXPECT_THROW(build_nbt_leaf(std::vector<NbtEntry>(16), at, FileForm::kUnicode),
               std::invalid_argument);
}

}  // namespace
}  // namespace pstorian
