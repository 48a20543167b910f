#include "engine/pst_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>
#include <vector>

#include "engine/current_versions.h"
#include "engine/index_blocks.h"
#include "engine/form_detection.h"
#include "engine/object_collection.h"
#include "engine/orphan_items.h"
#include "engine/probe.h"
#include "engine/probe_unicode.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

// Probe offsets are 32-bit, like every offset in the file format; beyond this the
// probes stop.
constexpr std::uint64_t kLastProbeOffset = 0xFFFFFE00u;

// One chunk covers the probes at [start, start + kChunk) of every pass; its buffer holds
// the leaf slots before the first probe and the 12 bytes of the last probe of the last
// phase: [start − 496, start + kChunk + 480 + 12).
constexpr std::uint32_t kChunk = 1u << 18;

struct RawEntry {
  std::uint32_t node_id;
  std::uint64_t data_block_id, subnode_block_id;
  std::uint32_t parent_id;
};

// What one pass found, in file order.
struct PassFindings {
  std::vector<BlockRef> blocks;
  std::vector<RawEntry> entries;
  std::uint32_t leaf_pages = 0;  // counts toward a progress step every 100
  std::uint32_t windowed = 0;    // counts toward a progress step every 50
};

void read_leaf_slots(std::span<const std::uint8_t> slots, PassFindings& found) {
  for (std::uint32_t i = 0; i < kLeafSlots; ++i) {
    const std::size_t at = i * kLeafSlotSize;
    const RawEntry e{pst::load_le32(slots, at), pst::load_le32(slots, at + 4),
                     pst::load_le32(slots, at + 8), pst::load_le32(slots, at + 12)};
    if (e.node_id == 0 && e.data_block_id == 0) break;  // end of the page's entries
    // A slot holding one value four times is filler, not an entry.
    if (e.node_id != 0 && e.data_block_id == e.node_id && e.subnode_block_id == e.node_id &&
        e.parent_id == e.node_id)
      continue;
    found.entries.push_back(e);
  }
}

// A probe that passed the first test: the leaf page test, else the block trailer test.
// `page_tail` holds the 31 leaf slots and then the probe.
// Whether the block data at `block` hashes to the check value stored in its trailer, which
// follows the 12 bytes of the probe at `p`.
bool crc_matches(const ByteSource& source, std::uint32_t p, const BlockRef& block) {
  std::array<std::uint8_t, 4> stored{};
  source.read_at(std::uint64_t{p} + kProbeSize, stored);
  std::vector<std::uint8_t> data(block.size);
  source.read_at(block.offset, data);
  return pst::crc32(data) == pst::load_le32(stored, 0);
}

void examine_probe(const ByteSource& source, std::uint32_t p,
                   std::span<const std::uint8_t, kLeafSlotBytes + kProbeSize> page_tail,
                   PassFindings& f, ScanCounts& counts, ProgressSink& progress) {
  const auto probe = page_tail.subspan<kLeafSlotBytes, kProbeSize>();
  switch (probe_shape(probe)) {
    case ProbeShape::kLeafPage:
      ++counts.leaf_pages;
      read_leaf_slots(page_tail.first<kLeafSlotBytes>(), f);
      if (++f.leaf_pages % 100 == 0) progress.step();
      break;
    case ProbeShape::kRejectedPage:
      break;
    case ProbeShape::kOther: {
      const TrailerProbe t = probe_block_trailer(p, probe);
      if (t.windowed && ++f.windowed % 50 == 0) progress.step();
      if (t.block && (!t.needs_crc_check || crc_matches(source, p, *t.block)))
        f.blocks.push_back(*t.block);
      break;
    }
  }
}

}  // namespace

ScanOutcome CPstScanner::scan(const std::filesystem::path& path) {
  tables_.clear();
  counts_ = {};
  auto file = SourceFile::open(path);
  if (!file) return ScanOutcome::kNotOpened;
  return scan(*file);
}

ScanOutcome CPstScanner::scan(const ByteSource& source) {
  tables_.clear();
  counts_ = {};
  parentless_.clear();
  children_.clear();
  progress_.set_range(0, kProgressEnd);
  progress_.set_position(0);
  progress_.set_step(1);
  counts_.file_size = source.size();
  progress_.set_status(kStatusScanning);
  const pst::FileForm form = detect_form(source);

  auto cancelled = [this] {
    parentless_.clear();
    children_.clear();
    tables_.clear();
    return ScanOutcome::kCancelled;
  };
  tables_.form = form;
  if (!(form == pst::FileForm::kUnicode ? unicode_pass(source) : probe_passes(source)))
    return cancelled();
  counts_.parentless_entries = parentless_.size();
  counts_.child_entries = children_.size();
  progress_.step();

  // Behind every copy the trailers gave: what nothing else finds never hides a copy that a
  // sound trailer vouches for.
  tables_.blocks.add_found(blocks_only_the_index_names(source, tables_.blocks, form));
  progress_.set_status(kStatusCollecting);
  tables_.blocks.prefer_intact(
      [&source, form](const BlockRef& block) { return block_intact(source, block, form); });
  if (!collect_objects(parentless_, children_, source, tables_, progress_, gate_))
    return cancelled();
  parentless_.clear();
  children_.clear();
  progress_.step();

  detect_encoding(tables_, source);
  progress_.step();
  // In a file whose node B-tree reads whole, every node is listed, and a block no node uses
  // is a leftover of an earlier state, like the versions stale leaf pages give. Only when
  // leaf pages are lost can such a block be the one copy of an item.
  if (!node_btree_reads_whole(source)) {
    const NodeReader reader(source, tables_);
    add_orphaned_items(source, reader, tables_, read_contents_rows(reader));
  }
  progress_.step();
  progress_.set_position(kProgressEnd);
  return ScanOutcome::kCompleted;
}

bool CPstScanner::probe_passes(const ByteSource& source) {
  const std::uint64_t limit = std::min<std::uint64_t>(source.size(), kLastProbeOffset);
  std::array<PassFindings, kProbePhases.size()> found;
  // Room for a block trailer in one of four probes of each pass; only what is filled takes
  // memory, and growing the lists by copying is avoided for all but the densest files.
  for (PassFindings& f : found) f.blocks.reserve(static_cast<std::size_t>(limit / pst::kPageSize / 4));
  // A file smaller than a chunk needs a buffer only as large as its probes reach.
  const std::uint64_t chunk = std::min<std::uint64_t>(
      kChunk, limit >= probe_start(0) ? limit - probe_start(0) + pst::kPageSize : 0);
  std::vector<std::uint8_t> buffer(kLeafSlotBytes + chunk + kPageProbeSpan);

  for (std::uint64_t start = probe_start(0); start <= limit; start += kChunk) {
    const std::uint64_t base = start - kLeafSlotBytes;
    source.read_at(base, buffer);
    for (std::uint32_t page = 0; page < kChunk; page += pst::kPageSize) {
      const std::uint64_t first = start + page;  // this page's probe of the first pass
      if (first > limit) break;
      if (!gate_.pass()) return false;
      const std::size_t at = kLeafSlotBytes + page;
      unsigned candidates = first_test_of_page(
          std::span(buffer).subspan(at).first<kPageProbeSpan>());
      if (first + kPageProbeSpan - kProbeSize > limit) {
        // The last page: a pass ends once its probe offset exceeds the limit.
        for (std::size_t pass = 0; pass < kProbePhases.size(); ++pass)
          if (first + kProbePhases[pass] * 16 > limit) candidates &= ~(1u << pass);
      }
      while (candidates != 0) {
        const auto pass = static_cast<std::size_t>(std::countr_zero(candidates));
        candidates &= candidates - 1;
        const std::uint32_t offset = kProbePhases[pass] * 16;
        examine_probe(source, static_cast<std::uint32_t>(first + offset),
                      std::span(buffer).subspan(at + offset - kLeafSlotBytes)
                          .first<kLeafSlotBytes + kProbeSize>(),
                      found[pass], counts_, progress_);
      }
    }
  }

  // Apply the findings pass by pass: which copy of a block counts as found first, and in
  // which order the entries of one node id arrive, follow the order of the passes.
  std::size_t parentless = 0, children = 0;
  for (const PassFindings& f : found)
    for (const RawEntry& e : f.entries) ++(e.parent_id == 0 ? parentless : children);
  parentless_.reserve(parentless);
  children_.reserve(children);
  for (PassFindings& f : found) {
    if (!gate_.pass()) return false;
    tables_.blocks.add_found(std::move(f.blocks));
    for (const RawEntry& e : f.entries) {
      NodeEntryList& list = e.parent_id == 0 ? parentless_ : children_;
      list.insert(e.node_id, e.data_block_id, e.subnode_block_id, e.parent_id);
    }
    f = PassFindings{};
  }
  return true;
}

bool CPstScanner::unicode_pass(const ByteSource& source) {
  constexpr std::uint64_t kUnit = pst::kBlockAlignment;
  constexpr std::uint64_t kWindow = unicode_probe::kWindow;
  const std::uint64_t size = source.size();
  PassFindings f;
  // The buffer holds [start − kWindow, start + kChunk): every boundary of the chunk with the
  // page before it.
  std::vector<std::uint8_t> buffer(kWindow + kChunk);
  const std::span<const std::uint8_t> bytes(buffer);
  for (std::uint64_t start = unicode_probe::kFirstBlockOffset; start < size; start += kChunk) {
    source.read_at(start - kWindow, buffer);
    const std::uint64_t last = std::min<std::uint64_t>(start + kChunk, size);
    for (std::uint64_t end = start + kUnit; end <= last; end += kUnit) {
      const std::size_t at = static_cast<std::size_t>(end - start + kWindow);
      const auto unit = bytes.subspan(at - kUnit).first<kUnit>();
      if (end % pst::kPageSize == 0) {
        if (!gate_.pass()) return false;
        if (unicode_probe::is_leaf_page_tail(unit.last<24>())) {
          ++counts_.leaf_pages;
          unicode_probe::for_each_leaf_entry(
              bytes.subspan(at - pst::kPageSize, pst::kPageSize), [&f](const auto& e) {
                f.entries.push_back(
                    RawEntry{e.node_id, e.data_block_id, e.subnode_block_id, e.parent_id});
              });
          if (++f.leaf_pages % 100 == 0) progress_.step();
          continue;
        }
      }
      const auto found = unicode_probe::block_trailer(end, unit.last<16>());
      if (!found) continue;
      if (found->needs_crc_check) {
        std::vector<std::uint8_t> data(found->block.size);
        source.read_at(found->block.offset, data);
        if (pst::crc32(data) != found->crc) continue;
      }
      f.blocks.push_back(found->block);
      if (++f.windowed % 50 == 0) progress_.step();
    }
  }

  std::size_t parentless = 0;
  for (const RawEntry& e : f.entries) parentless += e.parent_id == 0;
  parentless_.reserve(parentless);
  children_.reserve(f.entries.size() - parentless);
  tables_.blocks.add_found(std::move(f.blocks));
  for (const RawEntry& e : f.entries) {
    NodeEntryList& list = e.parent_id == 0 ? parentless_ : children_;
    list.insert(e.node_id, e.data_block_id, e.subnode_block_id, e.parent_id);
  }
  return gate_.pass();
}

}  // namespace pstorian
