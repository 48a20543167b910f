// A folder's table (hierarchy or contents) held in memory between checkpoints: its columns,
// its rows in table order and an index from row id to position, so that adding or changing
// one row costs the same however many rows the table has.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "pst/messaging/property_bag.h"
#include "pst/messaging/text_codec.h"
#include "pst/ltp/table_context_writer.h"

namespace pstorian {

class FolderTable {
 public:
  FolderTable() = default;
  FolderTable(std::vector<TableColumn> columns, std::vector<TableRow> rows);

  const std::vector<TableColumn>& columns() const { return columns_; }
  const std::vector<TableRow>& rows() const { return rows_; }
  std::size_t size() const { return rows_.size(); }
  std::uint32_t row_id(std::size_t position) const;
  bool contains(std::uint32_t id) const { return index_.contains(id); }

  // Adds the row of object `id` at the end, or updates it in place: every column whose tag
  // the object has takes its value, other cells of an existing row stay as they are. An
  // 8-bit string column takes the object's PT_UNICODE value of that id too (a message given
  // whole from a Unicode file holds its texts so): encoded with `narrow` into the column's
  // type, or without it kept as PT_UNICODE, for a file that stores such columns so anyway.
  void put(std::uint32_t id, std::uint32_t version, const PropertyBag& object,
           const TextCodec* narrow = nullptr);
  void erase(std::uint32_t id);

  // The value of one cell, if the row has it.
  const StoredProperty* cell(std::uint32_t id, std::uint32_t tag) const;

  // Rows before this position are as they were at the last mark_written(); a writer that
  // kept the table as it wrote it then needs to redo only the rows from here on.
  std::size_t unchanged_rows() const { return std::min(unchanged_, rows_.size()); }
  void mark_written() { unchanged_ = rows_.size(); }

  // Keeps count of the rows whose `tag` cell (a 32-bit value) is present with `bit` clear
  // (the unread messages of a contents table), for rows put from now on.
  void count_clear_bit(std::uint32_t tag, std::uint32_t bit);
  std::size_t rows_with_bit_clear() const { return bit_clear_rows_; }

 private:
  bool bit_clear(const TableRow& row) const;

  std::vector<TableColumn> columns_;
  std::vector<TableRow> rows_;
  std::unordered_map<std::uint32_t, std::size_t> index_;
  std::size_t unchanged_ = 0;
  std::uint32_t counted_tag_ = 0;
  std::uint32_t counted_bit_ = 0;
  std::size_t bit_clear_rows_ = 0;
};

}  // namespace pstorian
