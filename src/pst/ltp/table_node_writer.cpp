#include "pst/ltp/table_node_writer.h"

#include <optional>

#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

// The row matrix always goes into this subnode, so that its id stays the same.
constexpr std::uint32_t kMatrixSubnode = (1u << 5) | pst::kNodeLtp;

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
    entries.push_back(
        {nid, move_into_data_tree(split_into_blocks(data, unit, file_.form()), file_, out_), 0});
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

std::vector<SharedBytes> shared(std::vector<std::vector<std::uint8_t>> blocks) {
  std::vector<SharedBytes> out;
  out.reserve(blocks.size());
  for (auto& b : blocks) out.push_back(std::make_shared<const std::vector<std::uint8_t>>(std::move(b)));
  return out;
}

}  // namespace

std::uint64_t TableNodeWriter::data_tree(std::vector<SharedBytes> leaves, Leaves& before,
                                         bool root_referenced_by_pending,
                                         std::vector<PendingBlock>& out) {
  const FormLayout& f = layout_of(file_.form());
  const std::size_t max_xblock_entries = (f.max_block_data - f.tree_header_size) / f.id_size;
  if (leaves.empty()) {
    before = {};
    return 0;
  }
  if (leaves.size() > max_xblock_entries) {
    // Larger than one XBLOCK reaches: written whole, as a deeper tree.
    before = {};
    std::vector<std::vector<std::uint8_t>> copies;
    for (const auto& leaf : leaves) copies.push_back(*leaf);
    return write_data_tree(copies, file_, out);
  }
  const bool single = leaves.size() == 1;
  std::vector<std::uint64_t> bids;
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    // The same object is the same block; blocks built anew are compared byte for byte.
    if (i < before.data.size() &&
        (before.data[i] == leaves[i] || *before.data[i] == *leaves[i]) &&
        file_.find_block(before.bids[i]) != nullptr) {
      bids.push_back(before.bids[i]);
      // The new parent refers to it; a node's own bidData is counted by put_node.
      if (!single || root_referenced_by_pending) file_.add_reference(before.bids[i]);
      continue;
    }
    // An XBLOCK's leaf is referred to by it; a single block by the node or the subnode
    // block, which count their references themselves.
    PendingBlock b{file_.next_bid(false), *leaves[i], single ? 0u : 1u};
    bids.push_back(b.bid);
    out.push_back(std::move(b));
  }
  std::uint64_t root = bids.front();
  if (!single) {
    std::uint64_t total = 0;
    for (const auto& l : leaves) total += l->size();
    PendingBlock x{file_.next_bid(true),
                   std::vector<std::uint8_t>(f.tree_header_size + f.id_size * bids.size()), 0};
    x.data[0] = 0x01;
    x.data[1] = 1;
    pst::store_le16(x.data, 2, static_cast<std::uint16_t>(bids.size()));
    pst::store_le32(x.data, 4, static_cast<std::uint32_t>(total));
    for (std::size_t i = 0; i < bids.size(); ++i)
      store_id(f, x.data, f.tree_header_size + f.id_size * i, bids[i]);
    root = x.bid;
    out.push_back(std::move(x));
  }
  before.data = std::move(leaves);
  before.bids = std::move(bids);
  return root;
}

std::optional<TableNodeWriter::Parts> TableNodeWriter::grow(Written& state,
                                                           std::span<const TableColumn> columns,
                                                           std::span<const TableRow> rows,
                                                           std::size_t unchanged_rows,
                                                           const RowConversion& to_file) {
  if (state.rebuild_whole) return std::nullopt;
  if (!state.built || !state.built->has_columns(columns)) {
    state.built.reset();
    state.built.emplace(columns, kMatrixSubnode, file_.form());
    unchanged_rows = 0;
  }
  GrowingTableContext& built = *state.built;
  // A matrix small enough for the heap stays in it, as the whole build puts it.
  if (rows.size() * built.row_size() <= HeapWriter::kMaxAllocation) {
    built.truncate(0);
    return std::nullopt;
  }
  try {
    built.truncate(std::min(unchanged_rows, built.rows()));
    for (std::size_t r = built.rows(); r < rows.size(); ++r)
      built.append(to_file ? to_file(rows[r]) : rows[r]);
    return Parts{built.heap_blocks(), built.matrix_blocks()};
  } catch (const std::invalid_argument&) {
    // A value too large for the heap (it needs a subnode of its own), or a row the whole
    // build refuses too: this table is built whole from now on.
    state.built.reset();
    state.rebuild_whole = true;
    return std::nullopt;
  }
}

void TableNodeWriter::write(std::uint32_t nid, std::span<const TableColumn> columns,
                            std::span<const TableRow> rows, std::size_t unchanged_rows,
                            const RowConversion& to_file) {
  std::vector<PendingBlock> out;
  Written& before = written_[nid];
  std::optional<Parts> parts;
  try {
    parts = grow(before, columns, rows, unchanged_rows, to_file);
  } catch (...) {
    before.built.reset();
    throw;
  }
  std::vector<SubnodeEntry> entries;
  std::uint64_t bid_data = 0;
  const auto row_number_size = static_cast<std::uint8_t>(layout_of(file_.form()).row_index_size);
  if (parts) {
    // The subnode block and a parent XBLOCK are new blocks that refer to their children.
    bid_data = data_tree(std::move(parts->heap), before.heap, false, out);
    const std::uint64_t rows_bid = data_tree(std::move(parts->matrix), before.matrix, true, out);
    entries.push_back({kMatrixSubnode, rows_bid, 0});
  } else {
    // Built whole: a small table, or one with a value too large for the heap.
    std::vector<TableRow> converted;
    if (to_file) {
      converted.reserve(rows.size());
      for (const TableRow& row : rows) converted.push_back(to_file(row));
      rows = converted;
    }
    MatrixSink sink(file_, out);
    bid_data = data_tree(shared(build_table_context(columns, rows, row_number_size, &sink, true)), before.heap,
                         false, out);
    entries = std::move(sink.entries);
    if (sink.matrix) {
      const std::uint64_t rows_bid =
          data_tree(shared(split_into_blocks(*sink.matrix, sink.row_size, file_.form())),
                    before.matrix, true, out);
      entries.push_back({kMatrixSubnode, rows_bid, 0});
    } else {
      before.matrix = {};
    }
  }
  // write_subnode_blocks counts references to the pending blocks it lists; a taken-over
  // single block was counted above.
  const std::uint64_t bid_sub = write_subnode_blocks(entries, file_, out);
  file_.add_blocks(std::move(out));
  file_.put_node({nid, bid_data, bid_sub, 0});
  // A table in one heap block has only that block to take over next time, and a table is
  // written again only when a row changed: what was kept of it goes, so that the writer does
  // not hold a copy of every small table of the store (a store of many folders has three
  // tables a folder).
  if (!parts && !before.rebuild_whole && before.heap.data.size() <= 1 && before.matrix.data.empty())
    written_.erase(nid);
}

}  // namespace pstorian
