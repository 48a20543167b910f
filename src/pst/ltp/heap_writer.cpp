#include "pst/ltp/heap_writer.h"

#include <algorithm>
#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"
#include "format/layout_unicode.h"

namespace pstorian {
namespace {

constexpr std::size_t kMaxAllocationsPerBlock = 0x7FF;  // the 11 bits of a heap id's index
// Heap blocks are kept to the data of the smaller block of the two forms (8,176 bytes), so
// that one heap suits a file of either form.
constexpr std::size_t kMaxHeapBlock = pst::unicode::kMaxBlockData;

// The fill level nibble of a block: how much room is left, in the coarse steps the format
// uses to let a writer find a block with space without reading it.
std::uint8_t fill_level(std::size_t free_bytes) {
  static constexpr std::size_t kThresholds[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                                512,  256,  128,  64,   32,   16,   8};
  std::uint8_t level = 0;
  for (const std::size_t t : kThresholds) {
    if (free_bytes >= t) return level;
    ++level;
  }
  return level;
}

}  // namespace

HeapWriter::HeapWriter(std::uint8_t client_signature) : client_signature_(client_signature) {
  blocks_.push_back({{}, {}, header_size(0), {}});
}

std::size_t HeapWriter::header_size(std::size_t block_index) {
  if (block_index == 0) return 12;
  if (block_index % 128 == 8) return 66;
  return 2;
}

std::size_t HeapWriter::page_map_size(std::size_t allocations) {
  return 4 + 2 * (allocations + 1);
}

std::uint32_t HeapWriter::allocate(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxAllocation)
    throw std::invalid_argument("heap allocation must hold 1 to 3580 bytes");
  auto fits = [&](const Block& b) {
    const std::size_t end = (b.used + bytes.size() + 1) & ~std::size_t{1};  // page map is even
    return b.ends.size() < kMaxAllocationsPerBlock &&
           end + page_map_size(b.ends.size() + 1) <= kMaxHeapBlock;
  };
  if (!fits(blocks_.back())) blocks_.push_back({{}, {}, header_size(blocks_.size()), {}});
  Block& block = blocks_.back();
  block.finished.reset();
  block.bytes.insert(block.bytes.end(), bytes.begin(), bytes.end());
  block.ends.push_back(static_cast<std::uint16_t>(block.bytes.size()));
  block.used += bytes.size();
  return static_cast<std::uint32_t>((blocks_.size() - 1) << 16 | block.ends.size() << 5);
}

std::uint32_t HeapWriter::allocate(std::size_t size) {
  const std::vector<std::uint8_t> zeros(size, 0);
  return allocate(zeros);
}

std::span<std::uint8_t> HeapWriter::at(std::uint32_t hid) {
  const std::size_t block = hid >> 16;
  const std::size_t index = (hid >> 5) & kMaxAllocationsPerBlock;
  if ((hid & 0x1F) != 0 || block >= blocks_.size() || index == 0 ||
      index > blocks_[block].ends.size())
    throw std::out_of_range("no such heap allocation");
  Block& b = blocks_[block];
  b.finished.reset();  // the caller may write through the span
  const std::size_t begin = index == 1 ? 0 : b.ends[index - 2];
  return std::span(b.bytes).subspan(begin, b.ends[index - 1] - begin);
}

bool HeapWriter::holds_fill_levels(std::size_t block_index) {
  return block_index == 0 || block_index % 128 == 8;
}

HeapWriter::Mark HeapWriter::mark() const {
  return {blocks_.size(), blocks_.back().ends.size(), blocks_.back().used};
}

void HeapWriter::truncate(const Mark& mark) {
  if (mark.blocks == 0 || mark.blocks > blocks_.size() ||
      mark.allocations > blocks_[mark.blocks - 1].ends.size())
    throw std::invalid_argument("heap mark from a larger heap");
  blocks_.resize(mark.blocks);
  Block& last = blocks_.back();
  if (last.ends.size() != mark.allocations) {
    last.ends.resize(mark.allocations);
    last.bytes.resize(last.ends.empty() ? 0 : last.ends.back());
    last.finished.reset();
  }
  last.used = mark.used;
}

std::vector<SharedBytes> HeapWriter::finish_shared() const {
  std::vector<SharedBytes> out(blocks_.size());
  std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> holders;
  std::vector<std::size_t> sizes(blocks_.size());
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    const Block& block = blocks_[i];
    if (holds_fill_levels(i)) {
      holders.emplace_back(i, finish_block(i));
      sizes[i] = holders.back().second.size();
      continue;
    }
    if (!block.finished)
      block.finished = std::make_shared<const std::vector<std::uint8_t>>(finish_block(i));
    out[i] = block.finished;
    sizes[i] = block.finished->size();
  }
  // Fill levels: block 0 keeps those of blocks 0..7, every bitmap block those of the 128
  // blocks from itself on. Two blocks share a byte, the lower index in the low nibble.
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::uint8_t level = fill_level(kMaxHeapBlock - sizes[i]);
    std::size_t holder = 0;
    std::size_t at = 8 + i / 2;
    if (i >= 8) {
      holder = 8 + (i - 8) / 128 * 128;
      at = 2 + (i - holder) / 2;
    }
    // Holders are 0, 8, 136, 264, ...: the one for block i is entry (holder + 120) / 128.
    holders[(holder + 120) / 128].second[at] |=
        static_cast<std::uint8_t>(i % 2 == 0 ? level : level << 4);
  }
  for (auto& [index, bytes] : holders)
    out[index] = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  return out;
}

std::vector<std::vector<std::uint8_t>> HeapWriter::finish() const {
  std::vector<std::vector<std::uint8_t>> out;
  for (const auto& block : finish_shared()) out.push_back(*block);
  return out;
}

std::vector<std::uint8_t> HeapWriter::finish_block(std::size_t index) const {
  const Block& block = blocks_[index];
  const std::size_t map_at = (block.used + 1) & ~std::size_t{1};
  std::vector<std::uint8_t> out(map_at + page_map_size(block.ends.size()), 0);
  pst::store_le16(out, 0, static_cast<std::uint16_t>(map_at));
  if (index == 0) {
    out[2] = pst::kHeapSignature;
    out[3] = client_signature_;
    pst::store_le32(out, 4, user_root_);
  }
  const std::size_t first = header_size(index);
  std::copy(block.bytes.begin(), block.bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(first));
  std::size_t entry = map_at + 4;
  pst::store_le16(out, map_at, static_cast<std::uint16_t>(block.ends.size()));
  pst::store_le16(out, entry, static_cast<std::uint16_t>(first));
  for (const std::uint16_t end : block.ends) {
    entry += 2;
    pst::store_le16(out, entry, static_cast<std::uint16_t>(first + end));
  }
  return out;
}

}  // namespace pstorian
