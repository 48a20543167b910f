// Reads the blocks of one node from the source file through the block index: single data
// blocks, data trees (one or two levels of block id lists whose children are concatenated,
// or handed out one by one as the blocks of a heap), the permutative decoding of data
// blocks, and the node's subnode tree flattened into a list.
//
// Everything read is bounded by the block it comes from: counts and ids that the file
// claims are only followed as far as the block that holds them reaches, and an assembled
// data tree never grows beyond the size of the file itself.
//
// A block is data once. A data tree that names a block it named already (at either level)
// is damaged, and the repeated names are left out: the first use is kept. Across reads the
// reader keeps account of the blocks it has read: reading one again (the versions of a node
// share blocks, as do the copies of a message the file keeps once, and a table is read
// before the items it lists) costs its size from an allowance of the file's own size and
// kRereadSlack more, and once that is spent a block read before reads as missing. So all a
// reader ever reads stays within a small multiple of the file, however often a hostile
// file names the same blocks. The account makes a reader a thing of one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "engine/byte_source.h"
#include "engine/bytes.h"
#include "engine/object_tables.h"

namespace pstorian {

// One element of a flattened subnode tree.
struct SubnodeRef {
  std::uint32_t subnode_id = 0;
  const BlockRef* data_block = nullptr;  // never null in a list built by read_subnodes
  // The position after the entries of this element's nested subnode tree; read_subnodes
  // sets it, and a value not beyond the element's own position means it has none.
  std::uint32_t nested_end = 0;
};

using SubnodeList = std::vector<SubnodeRef>;

// The data block of the first element with `subnode_id`; null when there is none.
const BlockRef* find_subnode(const SubnodeList& list, std::uint32_t subnode_id);

// One subnode tree within a flattened list: a node's own tree (the whole list) or the tree
// nested under one of its elements. Subnode ids are unique within one tree only: the
// recipient table of a message and that of a message embedded in it share an id.
class SubnodeScope {
 public:
  SubnodeScope() = default;
  // The top tree of `list`, which must outlive the scope.
  explicit SubnodeScope(const SubnodeList& list)
      : list_(&list), begin_(0), end_(list.size()) {}

  // The element of this tree (not of a tree nested in it) with `subnode_id`; null if none.
  // With `steps`, each element looked at takes one of them, and nothing is found once they
  // are used up: a caller looking up many ids in a hostile tree of many elements bounds
  // its work so.
  const SubnodeRef* find(std::uint32_t subnode_id, std::uint64_t* steps = nullptr) const;
  // The tree nested under `element`, an element of this tree.
  SubnodeScope nested(const SubnodeRef& element) const;
  // Calls `f(element)` for each element of this tree, in order.
  template <typename F>
  void for_each(F&& f) const {
    for (std::size_t i = begin_; i < end_; i = next(i)) f((*list_)[i]);
  }

 private:
  SubnodeScope(const SubnodeList* list, std::size_t begin, std::size_t end)
      : list_(list), begin_(begin), end_(end) {}
  std::size_t next(std::size_t i) const;

  const SubnodeList* list_ = nullptr;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

class NodeReader {
 public:
  // Both must outlive the reader.
  NodeReader(const ByteSource& file, const RecoveryTables& tables);

  // What reading blocks again cost this reader, and the uses of blocks it left out: names
  // repeated within one data tree, and blocks read before once the allowance was spent.
  struct Repeats {
    std::uint64_t reread_bytes = 0;
    std::uint64_t dropped = 0;
  };
  const Repeats& repeats() const { return repeats_; }
  // Counts a use of a block that a caller left out as a repeat of one before.
  void count_dropped() const { ++repeats_.dropped; }

  // Beyond the file's own size, what reading blocks again may cost: room for the blocks
  // that the copies of a message share in a small file (a few hundred copies of one
  // message, each read whole, in files of a few hundred kilobytes).
  static constexpr std::uint64_t kRereadSlack = std::uint64_t{32} << 20;

  // Reads `size` bytes at `offset`. With `levels` nonzero a data tree block found there is
  // expanded into the concatenated bytes of its children (a level-2 tree expands its level-1
  // children too). With `decode` set and the file encoded, data blocks are decoded; data tree
  // blocks never are. Empty when nothing could be read: a block under 16 bytes, one that does
  // not end before the end of the file, a data tree whose first child is missing, or a block
  // read before once the allowance for that is spent. A missing or unreadable child ends a
  // data tree's bytes there, and so does a child of a level-2 tree that is not a level-1
  // tree: legal trees are at most two levels deep. A child the tree named before is
  // passed over.
  Bytes read_block(std::uint64_t offset, std::uint32_t size, bool decode, int levels) const;
  // The same for a block of the index. Its id tells whether it can be a data tree at all
  // (data trees have internal ids), so a data block whose bytes merely start like a data
  // tree block is read as what it is.
  Bytes read_block(const BlockRef& ref, bool decode, int levels) const;
  // The same within a byte budget shared by several reads: what is returned never exceeds
  // `budget` and is taken from it; a data tree ends at the first piece that does not fit,
  // a single block that does not fit reads as nothing.
  Bytes read_block(const BlockRef& ref, bool decode, int levels, std::uint64_t& budget) const;
  // The leaves of the data tree at `ref` (or the block itself when it is none), decoded, one
  // block each, as read_block with `levels` nonzero reads them: the blocks of a heap. Empty
  // when nothing could be read.
  std::vector<Bytes> read_leaves(const BlockRef& ref, std::uint64_t& budget) const;

  // The block ids the data tree block at `ref` names one level down, in order, as stored
  // (found in the index or not); empty when it is no data tree of level 1 or 2. For telling
  // which blocks a tree uses without reading them.
  std::vector<std::uint64_t> read_tree_children(const BlockRef& ref) const;

  std::uint64_t file_size() const { return file_.size(); }

  // The subnode tree under `subnode_block` as one list in depth-first order: each entry is
  // followed directly by the entries of its own nested subnode tree. A tree is a leaf
  // subnode block or an intermediate one listing leaf blocks; entries whose data block was
  // not found are left out, and so are nested trees deeper than kMaxSubnodeDepth and blocks
  // already read for this list. Empty when the block is null, unreadable or no subnode block.
  SubnodeList read_subnodes(const BlockRef* subnode_block) const;

  // Subnode trees nested deeper than this (the top tree counting as one) are left out.
  static constexpr std::size_t kMaxSubnodeDepth = 64;

  const RecoveryTables& tables() const { return tables_; }

 private:
  // What a block read at some place of a data tree may be.
  enum Expect {
    kData,        // data only, whatever its bytes look like
    kAnyTree,     // a data tree of level 1 or 2, else data
    kLevel1Tree,  // a level-1 data tree and nothing else (the child of a level-2 tree)
  };
  // The blocks one data tree has named so far, at either level.
  using TreeBlocks = std::unordered_set<const BlockRef*>;
  // Appends the leaves of what lies at `ref` to `leaves`. `tree` is null for the top of
  // what is read, else the blocks the tree being expanded has named. False when it gave no
  // leaf, unless it is a data tree whose every name repeats one named before.
  // `ref.id` keys the cyclic decoding; a block read by offset alone has id 0.
  bool read_leaves_within(const BlockRef& ref, std::uint32_t min_size, bool decode,
                          Expect expect, std::uint64_t& budget, std::vector<Bytes>& leaves,
                          TreeBlocks* tree) const;
  Bytes read_block_within(const BlockRef& ref, bool decode, Expect expect,
                          std::uint64_t& budget) const;
  // Marks the block at `ref` read; false, counting it dropped, when it was read before and
  // reading it again would cost more than is left.
  bool account_read(const BlockRef& ref) const;

  const ByteSource& file_;
  const RecoveryTables& tables_;
  // One bit for each 64-byte unit of the file (blocks start on them): a block starting
  // there was read. In chunks of kUnitsPerChunk units, made when first touched, so that a
  // large sparse file costs only what is read of it.
  static constexpr std::uint64_t kUnitsPerChunk = std::uint64_t{1} << 18;
  mutable std::vector<std::vector<std::uint64_t>> read_units_;
  mutable std::uint64_t reread_left_ = 0;
  mutable Repeats repeats_;
};

}  // namespace pstorian
