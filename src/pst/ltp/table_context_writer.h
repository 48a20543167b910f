// A table context (TC): a heap (client signature 0x7C) holding
//
//   TCINFO (user root): bType 0x7C (1), cCols (1), rgib[4] (2 each: end of the 8/4-byte
//     cells, end of the 2-byte cells, end of the 1-byte cells, row size), hidRowIndex (4),
//     hnidRows (4), hidIndex (4, unused: 0), then cCols TCOLDESCs sorted by tag:
//     tag (4), ibData (2), cbData (1), iBit (1)
//   the row index: a BTH from row id (4 bytes) to row number (2 bytes; 4 in the 64-bit form)
//   the row matrix: one fixed-size row after the other, in row-number order; each row holds
//     its cells at ibData and ends with the cell existence bits (bit iBit, most significant
//     bit of the first byte first). Cells of variable-size values hold a heap id (or a
//     subnode id, or 0 for an empty value).
//
// Allocations in the order the mail client writes them: row index BTH header (0x20), TCINFO
// (0x40), row index records, the row matrix when it fits in the heap, then the values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/ltp/heap_writer.h"
#include "pst/ltp/stored_property.h"
#include "pst/ndb/form_layout.h"
#include "pst/ndb/subnode_sink.h"

namespace pstorian {

struct TableColumn {
  std::uint32_t tag = 0;
  std::uint16_t ib_data = 0;  // offset of the cell in the row
  std::uint8_t cb_data = 0;   // cell size: 8, 4, 2 or 1
  std::uint8_t i_bit = 0;     // the cell existence bit
};

// A row is the values it has; columns without a value have their existence bit clear. The
// value of PidTagLtpRowId (0x67F20003) is the row id the index is keyed by.
using TableRow = std::vector<StoredProperty>;

constexpr std::uint32_t kTagLtpRowId = 0x67F20003;
constexpr std::uint32_t kTagLtpRowVer = 0x67F30003;

// A column layout for `tags` (distinct; any order): the row id and the row version first
// (the row id must be one of the tags), then the other cells of 8 and of 4 bytes (values of
// variable size and of more than 8 bytes take a 4-byte heap id), then 2-byte and 1-byte
// cells, and the existence bits in the same order. Tags whose values take no room (PT_NULL,
// PT_UNSPECIFIED) are left out, and so are tags beyond the 255 a table can have. Throws
// std::invalid_argument for a type the file does not know.
std::vector<TableColumn> lay_out_columns(std::span<const std::uint32_t> tags);

// Builds the heap blocks of a TC with the given column layout (in any order). Throws
// std::invalid_argument for overlapping cells, a value that does not fit its cell, a row
// without a row id, two rows with the same id, or a row matrix too large for the heap when
// there is no `large_values` sink. `row_number_size` is 2 in 32-bit files, 4 in wide ones.
// With `index_after_values`, the row index records come after the values, so that adding
// rows at the end leaves the heap blocks before the last ones as they were.
std::vector<std::vector<std::uint8_t>> build_table_context(std::span<const TableColumn> columns,
                                                           std::span<const TableRow> rows,
                                                           std::uint8_t row_number_size = 2,
                                                           SubnodeSink* large_values = nullptr,
                                                           bool index_after_values = false);

// The heap of a TC whose row matrix lives in a subnode, built row by row and kept between
// builds: a table that only grew at its end since the last build is brought up to date by
// adding the new rows, and one changed further up by dropping the rows from the first
// changed one and adding them again. The heap comes out as build_table_context makes it
// with `index_after_values` for the same rows, matrix outside the heap.
class GrowingTableContext {
 public:
  // `matrix_nid` is the subnode id the TCINFO names for the row matrix. Throws
  // std::invalid_argument for a column layout build_table_context refuses.
  GrowingTableContext(std::span<const TableColumn> columns, std::uint32_t matrix_nid,
                      FileForm form = FileForm::kAnsi);

  bool has_columns(std::span<const TableColumn> columns) const;
  std::size_t rows() const { return row_marks_.size(); }
  std::size_t row_size() const { return row_size_; }

  // Drops rows `rows` and after.
  void truncate(std::size_t rows);
  // Adds a row at the end. Throws std::invalid_argument (leaving the table as it was) for a
  // row without row id, a row id already present, a value that does not fit its cell, or a
  // value too large for the heap.
  void append(const TableRow& row);

  std::span<const std::uint8_t> matrix() const { return matrix_; }
  // The heap blocks, the row index placed after the values, and the row matrix cut into
  // blocks of whole rows. A block that did not change since the last call is the same
  // object as then.
  std::vector<SharedBytes> heap_blocks();
  std::vector<SharedBytes> matrix_blocks();

 private:
  std::vector<TableColumn> columns_;  // as given, to tell a changed layout
  std::vector<TableColumn> sorted_;
  std::size_t row_size_ = 0;
  std::size_t bits_at_ = 0;
  std::uint8_t row_number_size_ = 2;
  std::size_t max_block_ = 0;  // the data of a block of the file's form
  HeapWriter heap_;
  std::uint32_t index_header_ = 0;
  std::vector<HeapWriter::Mark> row_marks_;  // the heap before each row's values
  std::vector<std::uint8_t> matrix_;
  std::vector<SharedBytes> matrix_blocks_;  // as handed out last
  std::size_t matrix_clean_rows_ = 0;       // rows unchanged since then
  // (row id, row number), by row id.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> index_;
};

}  // namespace pstorian
