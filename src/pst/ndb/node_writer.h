// Gathers the blocks of one node: its data (the blocks of a heap, or raw bytes split into
// blocks) as a single block or data tree, and its subnodes under a subnode block. A node
// writer is the SubnodeSink of the node's property or table context, so values too large
// for the heap become subnodes of the node being written.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/subnode_sink.h"

namespace pstorian {

struct WrittenNode {
  std::uint64_t bid_data = 0;
  std::uint64_t bid_sub = 0;
  std::vector<PendingBlock> blocks;  // to be placed in the file, with their references
  std::uint64_t data_bytes = 0;      // in the leaves of the node and of its subnodes
};

class NodeWriter final : public SubnodeSink {
 public:
  explicit NodeWriter(BlockIdSource& ids) : ids_(ids) {}
  NodeWriter(const NodeWriter&) = delete;
  NodeWriter& operator=(const NodeWriter&) = delete;

  // A large value or row matrix: a new subnode (node type 0x1F) holding `data`.
  std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) override;

  // A subnode with a given id (a message's recipient table 0x692, an attachment), itself
  // written by a NodeWriter of its own.
  void add_subnode(std::uint32_t nid, WrittenNode child);
  // A subnode of the node's earlier version, kept as it is; the caller counts the new
  // references to its blocks.
  void keep_subnode(const SubnodeEntry& entry);

  // Completes the node with its data leaves (each at most one block).
  WrittenNode finish(std::span<const std::vector<std::uint8_t>> leaves);

  // The bytes of data in the subnodes stored or added so far (kept ones not counted).
  std::uint64_t data_bytes() const { return data_bytes_; }
  FileForm form() const { return ids_.form(); }

 private:
  BlockIdSource& ids_;
  std::uint32_t next_index_ = 1;
  std::vector<SubnodeEntry> subnodes_;
  std::vector<PendingBlock> blocks_;
  std::uint64_t data_bytes_ = 0;
};

}  // namespace pstorian
