// The in-memory result of a scan: where each block lies (the block index) and which nodes
// exist and how they nest (the object tree of node versions). Everything after the scan
// reads the damaged file through these tables.
//
// The original design kept six unbalanced search trees of blocks and hand-linked lists of
// objects. Here blocks sit in insertion order with a sorted index built on demand, and
// objects in one arena with index links, so lookups stay logarithmic or constant however
// the ids arrive. What callers can observe is unchanged:
//   - find_block returns the copy of an id that was found first; its further copies follow
//     through next_version newest first (the order in which a linked chain behind the first
//     copy would hold them);
//   - the object tree has the same shape and child order, find_object returns the first
//     object of a node id in pre-order and claim_object hands out the unclaimed versions of
//     a node id one call after another in pre-order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/file_form.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

// One found copy of a block.
// Ids take 64 bits, as the 64-bit form stores them. The offset shares a word with the size:
// 48 bits reach 256 TiB, and a block holds at most 8,176 bytes. The scan keeps millions of
// these, so 16 bytes rather than 24 is time saved in every sort and lookup.
struct BlockRef {
  std::uint64_t id = 0;           // block id as stored in the trailer
  std::uint64_t offset : 48 = 0;  // file offset of the first data byte
  std::uint64_t size : 16 = 0;    // data bytes (the trailer's byte count)
};
static_assert(sizeof(BlockRef) == 16);

using ObjectIndex = std::uint32_t;
constexpr ObjectIndex kNoObject = 0xFFFFFFFFu;

// One version of one node.
struct ObjectNode {
  std::uint32_t node_id = 0;                // low five bits: the node type
  const BlockRef* subnode_block = nullptr;  // null when absent or not found
  const BlockRef* data_block = nullptr;     // this version's data block; null when not found
  std::uint32_t child_count = 0;
  bool primary = false;  // first entry of its key, using the first copy of its data block
  bool unclaimed = true;
  ObjectIndex parent = kNoObject;  // kNoObject for top-level objects
  ObjectIndex prev_sibling = kNoObject;
  ObjectIndex next_sibling = kNoObject;
  ObjectIndex first_child = kNoObject;
  ObjectIndex last_child = kNoObject;
};

// One entry of the named-property map (node 0x61), kept in ascending mapped id.
struct NamedPropEntry {
  std::uint16_t guid_word = 0;  // combined GUID index and string flag (bit 0: string name)
  std::uint32_t kind = 0;       // 1: numeric name; 2: string name
  std::uint32_t mapped_id = 0;  // 0x8000 + property index
  std::uint32_t numeric_name = 0;  // kind 1: low 16 bits of the stored name id
  std::string name;                // kind 2: the name as single-byte text
  // The whole name: property set, and the full number or the UTF-16 string. Absent when the
  // property set cannot be told (its GUID index names no GUID of the map).
  std::optional<PropertyName> full_name;
};

// Every block copy found, sorted by id when first looked up (stably: the copies of one id
// stay in found order, so the first copy found heads its group). BlockRef pointers handed
// out stay valid for the life of the index (until clear()), also across later adds.
class BlockIndex {
 public:
  void add(std::uint64_t id, std::uint64_t offset, std::uint32_t size);
  // Adds `copies`, found in this order after every copy added so far, without copying them.
  void add_found(std::vector<BlockRef> copies);
  // Room for `n` more adds.
  void reserve(std::size_t n);

  // The first copy found of block `id` (bit 0 of `id` is ignored); null for id 0 or an id
  // that was never found.
  const BlockRef* find(std::uint64_t id) const;

  // Calls `f` with the copy find() gives of each id, in ascending id order.
  void for_each_id(const std::function<void(const BlockRef&)>& f) const;

  // A hint that `id` is looked up soon: starts bringing what find reads into the cache,
  // so that a caller going through many ids can overlap the waits.
  void prefetch(std::uint64_t id) const;

  // The next copy in the version chain of `ref`'s id: after the first copy come the later
  // copies, newest first. Null at the end of the chain, or if `ref` is no copy of ours.
  const BlockRef* next_version(const BlockRef& ref) const;

  std::size_t size() const { return sorted_.size() + pending_count_; }
  // Number of ids that were found at more than one offset.
  std::size_t ids_with_versions() const;

  // Puts an intact copy first where the first copy of an id is not: a stale copy the file's
  // earlier states left behind, or a damaged one, must not hide a sound copy of the same
  // block. The copy that `intact` accepts first in version order becomes the first copy;
  // the rest keep their version order behind it. Ids whose copies all fail keep their order.
  // Must run before any copy is handed out (find or next_version), as it moves copies.
  void prefer_intact(const std::function<bool(const BlockRef&)>& intact);
  void clear();

 private:
  void build_index() const;
  // With ids spread over the whole 64-bit range the shift reaches 64, where every id
  // falls in bucket 0.
  std::size_t bucket_of(std::uint64_t key) const {
    return shift_ >= 64 ? 0 : static_cast<std::size_t>((key - min_id_) >> shift_);
  }
  // Position of `ref` (or of the same copy, for a pointer from before a rebuild) in sorted_.
  std::size_t position_of(const BlockRef& ref) const;

  // Added since the last sort, in found order: the pieces one after another.
  mutable std::vector<std::vector<BlockRef>> pending_;
  mutable std::size_t pending_count_ = 0;
  mutable std::vector<BlockRef> sorted_;  // by id, found order within an id
  // For each bucket of ids ((id - min_id_) >> shift_) the position of its first block in
  // sorted_, and one more entry holding sorted_.size().
  mutable std::vector<std::uint32_t> buckets_;
  mutable std::uint64_t min_id_ = 0;
  mutable std::uint64_t max_id_ = 0;
  mutable unsigned shift_ = 0;
  // Earlier sorted arrays that pointers may still point into (adds after lookups).
  mutable std::vector<std::vector<BlockRef>> retired_;
  mutable bool handed_out_ = false;
};

// The arena of objects with the top-level list and the lookups by node id.
class ObjectTree {
 public:
  ObjectIndex create(std::uint32_t node_id, const BlockRef* subnode_block,
                     const BlockRef* data_block, bool primary);
  // Room for `n` objects of about as many node ids.
  void reserve(std::size_t n);
  // Each object is appended once; a parent must be in the tree before its children.
  void append_top_level(ObjectIndex object);
  void append_child(ObjectIndex parent, ObjectIndex object);

  // First object with `node_id` in pre-order, whatever its unclaimed flag.
  ObjectIndex find(std::uint32_t node_id) const;
  // First unclaimed object with `node_id` in pre-order, marked claimed; kNoObject if none.
  ObjectIndex claim(std::uint32_t node_id);

  const ObjectNode& operator[](ObjectIndex i) const { return objects_[i]; }
  ObjectNode& operator[](ObjectIndex i) { return objects_[i]; }
  std::size_t size() const { return objects_.size(); }
  ObjectIndex first_top_level() const { return first_top_; }
  ObjectIndex last_top_level() const { return last_top_; }
  std::size_t top_level_count() const { return top_count_; }

  // All objects in pre-order (top-level list in order, each object before its children).
  std::vector<ObjectIndex> pre_order() const;
  void clear();

 private:
  bool precedes_in_pre_order(ObjectIndex a, ObjectIndex b) const;
  // The ancestor of `x` (or `x` itself) at `depth`, which must not exceed x's depth.
  ObjectIndex ancestor_at(ObjectIndex x, std::uint32_t depth) const;
  void build_claim_index();

  std::vector<ObjectNode> objects_;
  std::vector<std::uint32_t> sibling_seq_;  // position within the parent's (or top) list
  std::vector<std::uint32_t> depth_;        // 0 at top level
  std::vector<ObjectIndex> jump_;           // an ancestor further up; itself at top level
  ObjectIndex first_top_ = kNoObject;
  ObjectIndex last_top_ = kNoObject;
  std::size_t top_count_ = 0;
  // For find(): the node id of every object in creation order, searched run by run, a run
  // being a stretch of objects created in ascending node id. The collection creates the
  // objects of each entry list in ascending node id, so there are one or two runs. Should
  // runs pile up (objects created in no order), they are folded into one sorted index.
  struct IdEntry {
    std::uint32_t node_id;
    ObjectIndex object;
  };
  static constexpr std::size_t kMaxRuns = 16;
  void fold_runs();
  std::vector<std::uint32_t> ids_;
  std::vector<ObjectIndex> run_starts_;  // the runs not folded yet
  std::vector<IdEntry> folded_;          // by node id, then creation order
  // Objects of each node id in pre-order with a cursor at the first possibly unclaimed one.
  struct ClaimList {
    std::vector<ObjectIndex> objects;
    std::size_t cursor = 0;
  };
  std::unordered_map<std::uint32_t, ClaimList> claim_index_;
  bool claim_index_valid_ = false;
};

// The tables one repair fills in its scan and reads in its export.
struct RecoveryTables {
  BlockIndex blocks;
  ObjectTree objects;
  std::vector<NamedPropEntry> named_props;  // empty until built from node 0x61
  bool named_props_built = false;
  pst::FileForm form = pst::FileForm::kAnsi;  // the form the scan found the file in
  bool encoded = false;  // block data stored with the permutative encoding
  bool cyclic = false;   // block data stored with the cyclic encoding (then encoded is false)
  // Items found in blocks that no node named, and of them the ones a folder's contents
  // table placed.
  std::size_t orphans_found = 0;
  std::size_t orphans_placed = 0;

  void clear();
  const BlockRef* find_block(std::uint64_t id) const { return blocks.find(id); }
  ObjectIndex find_object(std::uint32_t node_id) const { return objects.find(node_id); }
  // Claims the next unclaimed version of `node_id`; std::nullopt (status -1) if none is left.
  std::optional<ObjectIndex> claim_object(std::uint32_t node_id);
};

}  // namespace pstorian
