#include "mailclient/table_node_writer.h"

#include <optional>

#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

// The row matrix always goes into this subnode, so that its id stays the same.
constexpr std::uint32_t kMatrixSubnode = (1u << 5) | pst::kNodeLtp;
constexpr std::size_t kMaxXBlockEntries = (pst::kMaxBlockData - 8) / 4;

// Keeps the row matrix aside and stores other large values as subnodes of their own.
class MatrixSink final : public SubnodeSink {
 public:
  MatrixSink(StoreFile& file, std::vector<PendingBlock>& out) : file_(file), out_(out) {}

  std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) override {
    if (unit > 1 && !matrix) {
      matrix.emplace(data.begin(), data.end());
      row_size = unit;
      return kMatrixSubnode;
    }
    const std::uint32_t nid = (next_index_++ << 5) | pst::kNodeLtp;
    entries.push_back({nid, write_data_tree(split_into_blocks(data, unit), file_, out_), 0});
    return nid;
  }

  std::optional<std::vector<std::uint8_t>> matrix;
  std::size_t row_size = 1;
  std::vector<SubnodeEntry> entries;

 private:
  StoreFile& file_;
  std::vector<PendingBlock>& out_;
  std::uint32_t next_index_ = 2;
};

}  // namespace

std::uint32_t TableNodeWriter::data_tree(std::vector<std::vector<std::uint8_t>> leaves,
                                         Leaves& before, bool root_referenced_by_pending,
                                         std::vector<PendingBlock>& out) {
  if (leaves.empty()) {
    before = {};
    return 0;
  }
  if (leaves.size() > kMaxXBlockEntries) {
    // Larger than one XBLOCK reaches: written whole, as a deeper tree.
    before = {};
    return write_data_tree(leaves, file_, out);
  }
  const bool single = leaves.size() == 1;
  std::vector<std::uint32_t> bids;
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    if (i < before.data.size() && before.data[i] == leaves[i] &&
        file_.find_block(before.bids[i]) != nullptr) {
      bids.push_back(before.bids[i]);
      // The new parent refers to it; a node's own bidData is counted by put_node.
      if (!single || root_referenced_by_pending) file_.add_reference(before.bids[i]);
      continue;
    }
    // An XBLOCK's leaf is referred to by it; a single block by the node or the subnode
    // block, which count their references themselves.
    PendingBlock b{file_.next_bid(false), leaves[i], single ? 0u : 1u};
    bids.push_back(b.bid);
    out.push_back(std::move(b));
  }
  std::uint32_t root = bids.front();
  if (!single) {
    std::uint64_t total = 0;
    for (const auto& l : leaves) total += l.size();
    PendingBlock x{file_.next_bid(true), std::vector<std::uint8_t>(8 + 4 * bids.size()), 0};
    x.data[0] = 0x01;
    x.data[1] = 1;
    pst::store_le16(x.data, 2, static_cast<std::uint16_t>(bids.size()));
    pst::store_le32(x.data, 4, static_cast<std::uint32_t>(total));
    for (std::size_t i = 0; i < bids.size(); ++i) pst::store_le32(x.data, 8 + 4 * i, bids[i]);
    root = x.bid;
    out.push_back(std::move(x));
  }
  before.data = std::move(leaves);
  before.bids = std::move(bids);
  return root;
}

void TableNodeWriter::write(std::uint32_t nid, std::span<const TableColumn> columns,
                            std::span<const TableRow> rows) {
  std::vector<PendingBlock> out;
  MatrixSink sink(file_, out);
  auto heap = build_table_context(columns, rows, 2, &sink, true);
  Written& before = written_[nid];
  // The subnode block and a parent XBLOCK are new blocks that refer to their children.
  const std::uint32_t bid_data = data_tree(std::move(heap), before.heap, false, out);
  std::vector<SubnodeEntry> entries = std::move(sink.entries);
  if (sink.matrix) {
    const std::uint32_t rows_bid =
        data_tree(split_into_blocks(*sink.matrix, sink.row_size), before.matrix, true, out);
    entries.push_back({kMatrixSubnode, rows_bid, 0});
  } else {
    before.matrix = {};
  }
  // write_subnode_blocks counts references to the pending blocks it lists; a taken-over
  // single block was counted above.
  const std::uint32_t bid_sub = write_subnode_blocks(entries, file_, out);
  file_.add_blocks(std::move(out));
  file_.put_node({nid, bid_data, bid_sub, 0});
}

}  // namespace pstorian
