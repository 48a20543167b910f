// Writes a folder's table at every checkpoint without rewriting what did not change.
//
// A table whose row matrix needs a subnode is kept built in memory between checkpoints and
// brought up to date by redoing only the rows from the first changed one (the row index goes
// after the values, so that rows added at the end leave the earlier heap blocks as they
// were); smaller tables are built again whole. Each data block of the heap and of the row
// matrix that equals the block at the same place in the version written last is taken over
// by reference instead of being written again. A checkpoint then writes the blocks of the
// rows added or changed since the last one, plus the data tree blocks above them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "pst/ndb/store_file.h"
#include "pst/ltp/table_context_writer.h"

namespace pstorian {

class TableNodeWriter {
 public:
  explicit TableNodeWriter(StoreFile& file) : file_(file) {}
  TableNodeWriter(const TableNodeWriter&) = delete;
  TableNodeWriter& operator=(const TableNodeWriter&) = delete;

  // How a row is changed on its way into the file (a store of the 64-bit form keeps its
  // texts as UTF-16); none keeps rows as they are.
  using RowConversion = std::function<TableRow(const TableRow&)>;

  // Writes table node `nid` (as pending blocks and its node entry). Every block taken over
  // must be committed: write each table at most once between two commits. The first
  // `unchanged_rows` rows must be as they were when this writer wrote the node last. Rows
  // go through `to_file` as they are read: a table kept built converts only the rows it
  // redoes, not the whole table at every checkpoint.
  void write(std::uint32_t nid, std::span<const TableColumn> columns,
             std::span<const TableRow> rows, std::size_t unchanged_rows = 0,
             const RowConversion& to_file = {});

 private:
  struct Leaves {
    std::vector<SharedBytes> data;
    std::vector<std::uint64_t> bids;
  };
  struct Written {
    Leaves heap;
    Leaves matrix;
    std::optional<GrowingTableContext> built;
    bool rebuild_whole = false;  // a value needs a subnode: the table is built whole
  };

  // The heap and row matrix of a large table, from the kept build; nullopt when the table
  // is to be built whole.
  struct Parts {
    std::vector<SharedBytes> heap;
    std::vector<SharedBytes> matrix;
  };
  std::optional<Parts> grow(Written& state, std::span<const TableColumn> columns,
                            std::span<const TableRow> rows, std::size_t unchanged_rows,
                            const RowConversion& to_file);

  // The id of a single block or of an XBLOCK over `leaves`, taking over the blocks of
  // `before` that are unchanged; `before` becomes the new version.
  std::uint64_t data_tree(std::vector<SharedBytes> leaves, Leaves& before,
                          bool root_referenced_by_pending, std::vector<PendingBlock>& out);

  StoreFile& file_;
  std::unordered_map<std::uint32_t, Written> written_;  // by table node id
};

}  // namespace pstorian
