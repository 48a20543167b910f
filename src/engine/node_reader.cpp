#include "engine/node_reader.h"

#include <algorithm>
#include <unordered_set>

#include "format/endian.h"
#include "format/layout.h"
#include "format/permute.h"

namespace pstorian {
namespace {

// A block read on its own must hold at least this much: less cannot be a heap, a data
// tree or a subnode block. The pieces of a data tree are exempt, since the last piece of
// a stream is as long as the stream's remainder, often only a few bytes.
constexpr std::uint32_t kMinBlockSize = 16;
constexpr std::uint32_t kMinDataTreePiece = 1;

// Data tree block (XBLOCK / XXBLOCK):
//   0  u8  block type, 0x01
//   1  u8  level: 1 = children are data blocks, 2 = children are level-1 data trees
//   2  u16 number of child block ids
//   4  u32 total byte count of the tree (not relied upon)
//   8  u32 child block ids, in order
constexpr std::uint8_t kDataTreeType = 0x01;
constexpr std::size_t kDataTreeIdsAt = 8;

// Leaf subnode block (SLBLOCK):
//   0  u8  block type, 0x02
//   1  u8  level, 0 for a leaf
//   2  u16 number of entries
//   4  entries of 12 bytes: u32 subnode id, u32 data block id, u32 nested subnode block id
constexpr std::uint16_t kLeafSubnodeBlock = 0x0002;
constexpr std::size_t kSubnodeEntriesAt = 4;
constexpr std::size_t kSubnodeEntrySize = 12;

}  // namespace

const BlockRef* find_subnode(const SubnodeList& list, std::uint32_t subnode_id) {
  for (const SubnodeRef& s : list)
    if (s.subnode_id == subnode_id) return s.data_block;
  return nullptr;
}

Bytes NodeReader::read_block(std::uint32_t offset, std::uint32_t size, bool decode,
                             int levels) const {
  // A data tree may name the same child many times over; whatever it claims, what it
  // assembles cannot sensibly exceed the file it was read from.
  std::uint64_t budget = file_.size();
  return read_block_within(offset, size, kMinBlockSize, decode, levels != 0 ? kAnyTree : kData,
                           budget);
}

Bytes NodeReader::read_block(const BlockRef& ref, bool decode, int levels) const {
  std::uint64_t budget = file_.size();
  return read_block(ref, decode, levels, budget);
}

Bytes NodeReader::read_block(const BlockRef& ref, bool decode, int levels,
                             std::uint64_t& budget) const {
  const Expect expect = levels != 0 && pst::is_internal_block(ref.id) ? kAnyTree : kData;
  return read_block_within(ref.offset, ref.size, kMinBlockSize, decode, expect, budget);
}

Bytes NodeReader::read_block_within(std::uint32_t offset, std::uint32_t size,
                                    std::uint32_t min_size, bool decode, Expect expect,
                                    std::uint64_t& budget) const {
  // A block's trailer follows its data, so data reaching the end of the file has lost it.
  if (size < min_size || std::uint64_t{offset} + size >= file_.size()) return {};
  // The block lies wholly inside the file; bytes lost to an I/O error read as zeros.
  Bytes block(size);
  file_.read_at(offset, block);

  const std::uint8_t level = block.size() >= 2 ? block[1] : 0;
  const bool is_tree = block.size() >= kDataTreeIdsAt && block[0] == kDataTreeType;
  if (expect == kLevel1Tree && !(is_tree && level == 1)) return {};
  if (expect != kData && is_tree && (level == 1 || level == 2)) {
    // Each child lies exactly one level below its parent: a level-2 tree holds level-1
    // trees, a level-1 tree holds data. Were a child's own claim followed instead, a tree
    // naming itself (or an ancestor) as a child would be expanded without end.
    const Expect child_expect = level == 2 ? kLevel1Tree : kData;
    const std::size_t claimed = pst::load_le16(block, 2);
    const std::size_t fits = (block.size() - kDataTreeIdsAt) / 4;
    Bytes out;
    for (std::size_t i = 0; i < std::min(claimed, fits); ++i) {
      const BlockRef* child = tables_.find_block(pst::load_le32(block, kDataTreeIdsAt + 4 * i));
      if (child == nullptr) break;
      if (child_expect == kLevel1Tree && !pst::is_internal_block(child->id)) break;
      Bytes part = read_block_within(child->offset, child->size, kMinDataTreePiece, decode,
                                     child_expect, budget);
      if (part.empty()) break;
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }
  if (block.size() > budget) return {};
  budget -= block.size();
  if (decode && tables_.encoded) pst::permute_decode(block);
  return block;
}

SubnodeList NodeReader::read_subnodes(const BlockRef* subnode_block) const {
  SubnodeList out;
  if (subnode_block == nullptr) return out;
  // A subnode block that names itself, directly or further down, would never end; each
  // block is read at most once per list. Chains of nested trees are walked with a stack
  // of our own, so that their depth costs heap rather than the thread's stack, and end at
  // kMaxSubnodeDepth, far beyond what nested attachments give.
  std::unordered_set<const BlockRef*> seen;
  struct Level {
    Bytes block;
    std::size_t next = 0;
    std::size_t count = 0;
  };
  std::vector<Level> stack;
  auto enter = [&](const BlockRef& ref) {
    if (stack.size() >= kMaxSubnodeDepth || !seen.insert(&ref).second) return;
    Bytes block = read_block(ref, false, 0);
    if (block.empty() || pst::load_le16(block, 0) != kLeafSubnodeBlock) return;
    const std::size_t claimed = pst::load_le16(block, 2);
    const std::size_t fits = (block.size() - kSubnodeEntriesAt) / kSubnodeEntrySize;
    stack.push_back(Level{std::move(block), 0, std::min(claimed, fits)});
  };
  enter(*subnode_block);
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next == top.count) {
      stack.pop_back();
      continue;
    }
    const std::size_t at = kSubnodeEntriesAt + kSubnodeEntrySize * top.next++;
    const BlockRef* data = tables_.find_block(pst::load_le32(top.block, at + 4));
    if (data == nullptr) continue;
    out.push_back(SubnodeRef{pst::load_le32(top.block, at), data});
    // `top` may move when the nested level is pushed; the id is read first.
    if (const BlockRef* nested = tables_.find_block(pst::load_le32(top.block, at + 8)))
      enter(*nested);
  }
  return out;
}

}  // namespace pstorian
