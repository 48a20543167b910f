#include "pst/ndb/node_writer.h"

#include <stdexcept>

#include "format/layout.h"

namespace pstorian {

std::uint32_t NodeWriter::store(std::span<const std::uint8_t> data, std::size_t unit) {
  const std::uint32_t nid = (next_index_++ << 5) | pst::kNodeLtp;
  data_bytes_ += data.size();
  subnodes_.push_back(
      {nid, move_into_data_tree(split_into_blocks(data, unit, ids_.form()), ids_, blocks_), 0});
  return nid;
}

void NodeWriter::add_subnode(std::uint32_t nid, WrittenNode child) {
  if (nid == 0 || pst::node_type(nid) == pst::kNodeHid)
    throw std::invalid_argument("bad subnode id");
  for (auto& b : child.blocks) blocks_.push_back(std::move(b));
  data_bytes_ += child.data_bytes;
  subnodes_.push_back({nid, child.bid_data, child.bid_sub});
}

void NodeWriter::keep_subnode(const SubnodeEntry& entry) {
  if (entry.nid == 0 || pst::node_type(entry.nid) == pst::kNodeHid)
    throw std::invalid_argument("bad subnode id");
  subnodes_.push_back(entry);
}

WrittenNode NodeWriter::finish(std::span<const std::vector<std::uint8_t>> leaves) {
  WrittenNode node;
  node.bid_data = write_data_tree(leaves, ids_, blocks_);
  node.bid_sub = write_subnode_blocks(std::move(subnodes_), ids_, blocks_);
  node.data_bytes = data_bytes_;
  for (const auto& leaf : leaves) node.data_bytes += leaf.size();
  subnodes_.clear();
  data_bytes_ = 0;
  node.blocks = std::move(blocks_);
  blocks_.clear();
  return node;
}

}  // namespace pstorian
