#include "engine/synthetic_node.h"

#include "format/layout.h"

namespace pstorian::testing {
namespace {

class FileIds final : public BlockIdSource {
 public:
  explicit FileIds(SyntheticFile& file) : file_(file) {}
  std::uint64_t next_bid(bool internal) override { return file_.new_block_id(internal); }

 private:
  SyntheticFile& file_;
};

}  // namespace

void NodeBuilder::place(std::vector<PendingBlock>& blocks) const {
  for (const PendingBlock& b : blocks)
    file_.add_block(b.bid, b.data, file_.tables.encoded && !pst::is_internal_block(b.bid));
}

std::uint32_t NodeBuilder::write_data(const std::vector<Bytes>& leaves) {
  FileIds ids(file_);
  std::vector<PendingBlock> blocks;
  const std::uint32_t bid = write_data_tree(leaves, ids, blocks);
  place(blocks);
  return bid;
}

std::uint32_t NodeBuilder::write_subnode_tree() const {
  FileIds ids(file_);
  std::vector<PendingBlock> blocks;
  const std::uint32_t bid = write_subnode_blocks(entries_, ids, blocks);
  place(blocks);
  return bid;
}

std::uint32_t NodeBuilder::store(std::span<const std::uint8_t> data, std::size_t unit) {
  const std::uint32_t nid = (next_value_nid_++ << 5) | pst::kNodeLtp;
  add_subnode(nid, split_into_blocks(data, unit));
  return nid;
}

void NodeBuilder::add_subnode(std::uint32_t nid, const std::vector<Bytes>& leaves,
                              const NodeBuilder* nested) {
  const std::uint32_t data = write_data(leaves);
  entries_.push_back({nid, data, nested != nullptr ? nested->write_subnode_tree() : 0});
}

ObjectIndex NodeBuilder::add_object(std::uint32_t nid, const std::vector<Bytes>& leaves) {
  const std::uint32_t data = write_data(leaves);
  const std::uint32_t sub = write_subnode_tree();
  const ObjectIndex o =
      file_.tables.objects.create(nid, file_.tables.find_block(sub), file_.tables.find_block(data), true);
  file_.tables.objects.append_top_level(o);
  return o;
}

std::vector<Bytes> pc_blocks(const std::vector<StoredProperty>& properties, NodeBuilder& sink) {
  return build_property_context(properties, &sink);
}

std::vector<Bytes> tc_blocks(const std::vector<TableColumn>& columns,
                             const std::vector<TableRow>& rows, NodeBuilder& sink) {
  return build_table_context(columns, rows, 2, &sink);
}

}  // namespace pstorian::testing
