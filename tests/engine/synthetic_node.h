// Test support: nodes written into a SyntheticFile the way the mail client's writers write
// them (heaps of one or more blocks, property and table contexts, data trees, subnode
// blocks and nested subnode trees), so that the engine can read crafted messages whole.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/synthetic_file.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/ltp/table_context_writer.h"
#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/subnode_sink.h"

namespace pstorian::testing {

// The data and subnode tree of one node (or of one subnode with a nested tree). Large
// values that the context writers hand to it become subnodes of its tree.
class NodeBuilder final : public SubnodeSink {
 public:
  explicit NodeBuilder(SyntheticFile& file) : file_(file) {}

  std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) override;

  // Adds subnode `nid` holding `leaves` (one block each: heap blocks, or the pieces of a
  // value), with the subnodes of `nested` as its own subnode tree.
  void add_subnode(std::uint32_t nid, const std::vector<Bytes>& leaves,
                   const NodeBuilder* nested = nullptr);

  // Writes `leaves` as one block or a data tree; the id of what names them.
  std::uint32_t write_data(const std::vector<Bytes>& leaves);
  // Writes the subnodes added so far as a subnode tree; 0 when there are none.
  std::uint32_t write_subnode_tree() const;

  // A top-level object `nid` whose data is `leaves` and whose subnode tree is this one.
  ObjectIndex add_object(std::uint32_t nid, const std::vector<Bytes>& leaves);

 private:
  void place(std::vector<PendingBlock>& blocks) const;

  SyntheticFile& file_;
  std::vector<SubnodeEntry> entries_;
  std::uint32_t next_value_nid_ = 0x10000;
};

// The heap blocks of a property context and of a table context, large values in `sink`.
std::vector<Bytes> pc_blocks(const std::vector<StoredProperty>& properties, NodeBuilder& sink);
std::vector<Bytes> tc_blocks(const std::vector<TableColumn>& columns,
                             const std::vector<TableRow>& rows, NodeBuilder& sink);

}  // namespace pstorian::testing
