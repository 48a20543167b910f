// Writes a folder's table at every checkpoint without rewriting what did not change.
//
// The table is rebuilt in memory (row index after the values, so that rows added at the end
// leave the earlier heap blocks as they were), and each data block of its heap and of its
// row matrix that equals the block at the same place in the version written last is taken
// over by reference instead of being written again. A checkpoint then writes the blocks of
// the rows added or changed since the last one, plus the data tree blocks above them.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "mailclient/store_file.h"
#include "mailclient/table_context_writer.h"

namespace pstorian {

class TableNodeWriter {
 public:
  explicit TableNodeWriter(StoreFile& file) : file_(file) {}
  TableNodeWriter(const TableNodeWriter&) = delete;
  TableNodeWriter& operator=(const TableNodeWriter&) = delete;

  // Writes table node `nid` (as pending blocks and its node entry). Every block taken over
  // must be committed: write each table at most once between two commits.
  void write(std::uint32_t nid, std::span<const TableColumn> columns,
             std::span<const TableRow> rows);

 private:
  struct Leaves {
    std::vector<std::vector<std::uint8_t>> data;
    std::vector<std::uint32_t> bids;
  };
  struct Written {
    Leaves heap;
    Leaves matrix;
  };

  // The id of a single block or of an XBLOCK over `leaves`, taking over the blocks of
  // `before` that are unchanged; `before` becomes the new version.
  std::uint32_t data_tree(std::vector<std::vector<std::uint8_t>> leaves, Leaves& before,
                          bool root_referenced_by_pending, std::vector<PendingBlock>& out);

  StoreFile& file_;
  std::unordered_map<std::uint32_t, Written> written_;  // by table node id
};

}  // namespace pstorian
