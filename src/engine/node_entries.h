// The node entries that the scan collects from node B-tree leaf pages, kept in the two
// lists the object collection reads: parentless entries (parent id 0) and child entries.
//
// A list is in ascending node id. The first entry recorded for a key is its primary
// entry; a later entry for the same key that differs from it becomes a further version
// (primary = false) behind all entries of that node id, and one identical to the key's
// first entry is discarded as a copy. The key is the node id in the parentless list, and
// the node id together with the parent id in the child list:
//   - a child entry naming its own node id as parent is stored with parent id 0;
//   - a child entry is compared only with the first entry of its node id: if that one has
//     another parent, the new entry goes in front of it as a primary entry of its own;
//   - copies are recognised by data block id and subnode block id (and parent id).
//
// Where an entry lands depends only on the entries of the same node id recorded before
// it, so the list is kept as the recorded sequence and put in order when first read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/progress.h"

namespace pstorian {

struct NodeEntry {
  std::uint32_t node_id = 0;
  std::uint64_t data_block_id = 0;
  std::uint64_t subnode_block_id = 0;  // 0 if none
  std::uint32_t parent_id = 0;         // 0 in the parentless list
  bool primary = true;                 // false for a further version of the same key

  friend bool operator==(const NodeEntry&, const NodeEntry&) = default;
};

class NodeEntryList {
 public:
  enum class Kind { kParentless, kChild };

  explicit NodeEntryList(Kind kind) : kind_(kind) {}

  void insert(std::uint32_t node_id, std::uint64_t data_block_id, std::uint64_t subnode_block_id,
              std::uint32_t parent_id);
  // Room for `n` more inserts.
  void reserve(std::size_t n);

  // Puts the entries recorded so far in list order, passing `gate` as it goes: sorting
  // millions of entries is a phase of its own. False if the gate stopped it; the list is
  // then put in order on the next read.
  bool build(JobGate& gate) const;
  // The entries in list order, copies discarded.
  const std::vector<NodeEntry>& entries() const;
  std::size_t size() const { return entries().size(); }
  Kind kind() const { return kind_; }
  void clear();

 private:

  Kind kind_;
  // In the order inserted, or after a build in node id order with the entries of one node
  // id still in the order inserted: all that the list order depends on.
  mutable std::vector<NodeEntry> recorded_;
  mutable std::vector<NodeEntry> ordered_;
  mutable bool dirty_ = false;
};

}  // namespace pstorian
