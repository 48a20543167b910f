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
//   8  child block ids, in order: u32 in the ANSI form, u64 in the Unicode form
constexpr std::uint8_t kDataTreeType = 0x01;
constexpr std::size_t kDataTreeIdsAt = 8;

// Leaf subnode block (SLBLOCK):
//   0  u8  block type, 0x02
//   1  u8  level, 0 for a leaf
//   2  u16 number of entries
//   ANSI:    4  entries of 12 bytes: u32 subnode id, u32 data block id, u32 nested subnode
//               block id
//   Unicode: 4  u32 padding
//            8  entries of 24 bytes: u64 subnode id (high half 0), u64 data block id, u64
//               nested subnode block id
constexpr std::uint16_t kLeafSubnodeBlock = 0x0002;
// Intermediate subnode block (SIBLOCK): the same header with level 1, then entries of a
// subnode id and a block id: the first subnode id of the leaf block and the leaf block's id.
constexpr std::uint16_t kIntermediateSubnodeBlock = 0x0102;

// Where the ids of one form lie in these blocks.
struct IdLayout {
  std::size_t id_size;          // a block id
  std::size_t entries_at;       // the first subnode entry
  std::size_t leaf_entry;       // a leaf subnode entry
  std::size_t intermediate_entry;

  std::uint64_t load_id(std::span<const std::uint8_t> b, std::size_t at) const {
    return id_size == 8 ? pst::load_le64(b, at) : pst::load_le32(b, at);
  }
};
constexpr IdLayout kAnsiIds{4, 4, 12, 8};
constexpr IdLayout kUnicodeIds{8, 8, 24, 16};

const IdLayout& ids_of(pst::FileForm form) {
  return form == pst::FileForm::kUnicode ? kUnicodeIds : kAnsiIds;
}

// A data tree block's level (1 or 2) and the child ids it holds as far as the block reaches;
// level 0 when the block is no data tree.
struct TreeShape {
  std::uint8_t level = 0;
  std::size_t count = 0;
};
TreeShape tree_shape(std::span<const std::uint8_t> block, const IdLayout& ids) {
  if (block.size() < kDataTreeIdsAt || block[0] != kDataTreeType || block[1] < 1 || block[1] > 2)
    return {};
  const std::size_t claimed = pst::load_le16(block, 2);
  return {block[1], std::min(claimed, (block.size() - kDataTreeIdsAt) / ids.id_size)};
}

}  // namespace

const BlockRef* find_subnode(const SubnodeList& list, std::uint32_t subnode_id) {
  for (const SubnodeRef& s : list)
    if (s.subnode_id == subnode_id) return s.data_block;
  return nullptr;
}

NodeReader::NodeReader(const ByteSource& file, const RecoveryTables& tables)
    : file_(file),
      tables_(tables),
      read_units_(static_cast<std::size_t>(file.size() / pst::kBlockAlignment / kUnitsPerChunk + 1)),
      reread_left_(file.size() + kRereadSlack) {}

bool NodeReader::account_read(const BlockRef& ref) const {
  const std::uint64_t unit = ref.offset / pst::kBlockAlignment;
  std::vector<std::uint64_t>& chunk = read_units_[static_cast<std::size_t>(unit / kUnitsPerChunk)];
  if (chunk.empty()) chunk.resize(kUnitsPerChunk / 64);
  std::uint64_t& word = chunk[static_cast<std::size_t>(unit % kUnitsPerChunk / 64)];
  const std::uint64_t bit = std::uint64_t{1} << (unit % 64);
  if ((word & bit) == 0) {
    word |= bit;
    return true;
  }
  // Even a small block costs a unit: each read is a call on the file.
  const std::uint64_t cost = std::max<std::uint64_t>(ref.size, pst::kBlockAlignment);
  if (cost > reread_left_) {
    ++repeats_.dropped;
    return false;
  }
  reread_left_ -= cost;
  repeats_.reread_bytes += cost;
  return true;
}

Bytes NodeReader::read_block(std::uint64_t offset, std::uint32_t size, bool decode,
                             int levels) const {
  // A data tree may name the same child many times over; whatever it claims, what it
  // assembles cannot sensibly exceed the file it was read from.
  std::uint64_t budget = file_.size();
  return read_block_within(BlockRef{0, offset, size}, decode, levels != 0 ? kAnyTree : kData,
                           budget);
}

Bytes NodeReader::read_block(const BlockRef& ref, bool decode, int levels) const {
  std::uint64_t budget = file_.size();
  return read_block(ref, decode, levels, budget);
}

Bytes NodeReader::read_block(const BlockRef& ref, bool decode, int levels,
                             std::uint64_t& budget) const {
  const Expect expect = levels != 0 && pst::is_internal_block(ref.id) ? kAnyTree : kData;
  return read_block_within(ref, decode, expect, budget);
}

std::vector<Bytes> NodeReader::read_leaves(const BlockRef& ref, std::uint64_t& budget) const {
  std::vector<Bytes> leaves;
  const Expect expect = pst::is_internal_block(ref.id) ? kAnyTree : kData;
  read_leaves_within(ref, kMinBlockSize, true, expect, budget, leaves, nullptr);
  return leaves;
}

Bytes NodeReader::read_block_within(const BlockRef& ref, bool decode, Expect expect,
                                    std::uint64_t& budget) const {
  std::vector<Bytes> leaves;
  read_leaves_within(ref, kMinBlockSize, decode, expect, budget, leaves, nullptr);
  if (leaves.size() == 1) return std::move(leaves.front());
  std::size_t total = 0;
  for (const Bytes& leaf : leaves) total += leaf.size();
  Bytes out;
  out.reserve(total);
  for (const Bytes& leaf : leaves) out.insert(out.end(), leaf.begin(), leaf.end());
  return out;
}

bool NodeReader::read_leaves_within(const BlockRef& ref, std::uint32_t min_size, bool decode,
                                    Expect expect, std::uint64_t& budget,
                                    std::vector<Bytes>& leaves, TreeBlocks* tree_blocks) const {
  // A block's trailer follows its data, so data reaching the end of the file has lost it.
  if (ref.size < min_size || ref.offset >= file_.size() || ref.size >= file_.size() - ref.offset)
    return false;
  if (!account_read(ref)) return false;
  // The block lies wholly inside the file; bytes lost to an I/O error read as zeros.
  Bytes block(ref.size);
  file_.read_at(ref.offset, block);
  const IdLayout& ids = ids_of(tables_.form);

  const TreeShape tree = tree_shape(block, ids);
  if (expect == kLevel1Tree && tree.level != 1) return false;
  if (expect != kData && tree.level != 0) {
    TreeBlocks own;
    if (tree_blocks == nullptr) {
      tree_blocks = &own;
      own.insert(&ref);
    }
    // Each child lies exactly one level below its parent: a level-2 tree holds level-1
    // trees, a level-1 tree holds data. Were a child's own claim followed instead, a tree
    // naming itself (or an ancestor) as a child would be expanded without end. A child the
    // tree named already, at either level, is no further data: a tree that names one block
    // a million times claims gigabytes it does not hold.
    const Expect child_expect = tree.level == 2 ? kLevel1Tree : kData;
    const std::size_t before = leaves.size();
    std::size_t repeated = 0;
    for (std::size_t i = 0; i < tree.count; ++i) {
      const BlockRef* child =
          tables_.find_block(ids.load_id(block, kDataTreeIdsAt + ids.id_size * i));
      if (child == nullptr) break;
      if (child_expect == kLevel1Tree && !pst::is_internal_block(child->id)) break;
      if (!tree_blocks->insert(child).second) {
        ++repeats_.dropped;
        ++repeated;
        continue;
      }
      if (!read_leaves_within(*child, kMinDataTreePiece, decode, child_expect, budget, leaves,
                              tree_blocks))
        break;
    }
    // A level-1 tree that only repeats what came before is passed over like each of its
    // names; one that could not be read ends the tree above it.
    return leaves.size() > before || (tree.count != 0 && repeated == tree.count);
  }
  if (block.size() > budget) return false;
  budget -= block.size();
  if (decode && tables_.cyclic)
    pst::cyclic_crypt(block, static_cast<std::uint32_t>(ref.id));  // keyed by the id's low half
  else if (decode && tables_.encoded)
    pst::permute_decode(block);
  leaves.push_back(std::move(block));
  return true;
}

std::vector<std::uint64_t> NodeReader::read_tree_children(const BlockRef& ref) const {
  const Bytes block = read_block(ref, false, 0);
  const IdLayout& ids = ids_of(tables_.form);
  const TreeShape tree = tree_shape(block, ids);
  std::vector<std::uint64_t> out(tree.count);
  for (std::size_t i = 0; i < tree.count; ++i)
    out[i] = ids.load_id(block, kDataTreeIdsAt + ids.id_size * i);
  return out;
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
    bool intermediate = false;  // entries name leaf blocks of the same tree
    std::size_t depth = 0;      // of the tree, the top tree being 1
    std::size_t owner = SIZE_MAX;  // the element whose nested tree this is
  };
  std::vector<Level> stack;
  const IdLayout& ids = ids_of(tables_.form);
  // An intermediate block lists the leaf blocks of its own tree; were it allowed to list
  // intermediate blocks, a chain of them would be a tree of any height.
  auto enter = [&](const BlockRef& ref, std::size_t depth, std::size_t owner, bool leaf_only) {
    if (depth > kMaxSubnodeDepth || !seen.insert(&ref).second) return false;
    Bytes block = read_block(ref, false, 0);
    if (block.empty()) return false;
    const std::uint16_t kind = pst::load_le16(block, 0);
    const bool intermediate = kind == kIntermediateSubnodeBlock && !leaf_only;
    if (kind != kLeafSubnodeBlock && !intermediate) return false;
    const std::size_t entry_size = intermediate ? ids.intermediate_entry : ids.leaf_entry;
    const std::size_t claimed = pst::load_le16(block, 2);
    const std::size_t fits =
        block.size() < ids.entries_at ? 0 : (block.size() - ids.entries_at) / entry_size;
    stack.push_back(Level{std::move(block), 0, std::min(claimed, fits), intermediate, depth, owner});
    return true;
  };
  enter(*subnode_block, 1, SIZE_MAX, false);
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next == top.count) {
      if (top.owner != SIZE_MAX) out[top.owner].nested_end = static_cast<std::uint32_t>(out.size());
      stack.pop_back();
      continue;
    }
    if (top.intermediate) {
      const std::size_t at = ids.entries_at + ids.intermediate_entry * top.next++;
      // The leaf blocks belong to the tree of the intermediate block, whose owner closes it.
      if (const BlockRef* leaf = tables_.find_block(ids.load_id(top.block, at + ids.id_size)))
        enter(*leaf, top.depth, SIZE_MAX, true);
      continue;
    }
    const std::size_t at = ids.entries_at + ids.leaf_entry * top.next++;
    const BlockRef* data = tables_.find_block(ids.load_id(top.block, at + ids.id_size));
    if (data == nullptr) continue;
    const std::size_t index = out.size();
    out.push_back(SubnodeRef{pst::load_le32(top.block, at), data,
                             static_cast<std::uint32_t>(index + 1)});
    // `top` may move when the nested level is pushed; what it holds is read first.
    const std::size_t depth = top.depth;
    if (const BlockRef* nested = tables_.find_block(ids.load_id(top.block, at + 2 * ids.id_size)))
      enter(*nested, depth + 1, index, false);
  }
  return out;
}

const SubnodeRef* SubnodeScope::find(std::uint32_t subnode_id, std::uint64_t* steps) const {
  for (std::size_t i = begin_; i < end_; i = next(i)) {
    if (steps != nullptr && (*steps)-- == 0) {
      *steps = 0;
      return nullptr;
    }
    if ((*list_)[i].subnode_id == subnode_id) return &(*list_)[i];
  }
  return nullptr;
}

SubnodeScope SubnodeScope::nested(const SubnodeRef& element) const {
  const auto i = static_cast<std::size_t>(&element - list_->data());
  return SubnodeScope(list_, i + 1, std::min(next(i), end_));
}

std::size_t SubnodeScope::next(std::size_t i) const {
  const std::size_t end = (*list_)[i].nested_end;
  return end > i ? std::min<std::size_t>(end, end_) : i + 1;
}

}  // namespace pstorian
