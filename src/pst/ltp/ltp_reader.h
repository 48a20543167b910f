// Reads the heap-based structures of a personal folder file: heaps on nodes, BTHs, property
// contexts and table contexts. One reader serves both the mail client, which reads back the
// stores it writes, and the recovery engine, which reads damaged and possibly hostile files,
// so it trusts nothing it reads: every offset, count and size is checked against the block
// or the allocation it comes from before anything is read through it, nothing is allocated
// because a structure claims a size, and nothing is walked deeper than the format allows
// (BTHs have at most 8 index levels and name each allocation once). Anything malformed
// throws LtpError.
//
// The functions below come in two kinds. The whole readers (read_property_context,
// read_table_context) refuse a context if any one part of it cannot be read, which is what
// a store reading itself wants. The parts they are made of (property_records,
// read_table_info, locate_value, table_cells) let the recovery engine read a damaged
// context value by value and keep what can be read, and the structures under them take a
// Broken mode that leaves out what a damaged file has broken rather than refuse it all.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

#include "pst/ltp/stored_property.h"
#include "pst/ltp/table_context_writer.h"

namespace pstorian {

class LtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a reader does with a structure that is broken in part: refuse it (a store reading
// itself), or leave out the parts that are broken and keep the rest (a damaged file, where
// one flipped bit in a page map or a column descriptor should cost that allocation or that
// column, not the whole message). Either way nothing is read outside its bounds.
enum class Broken { kRefuse, kLeaveOut };

// A heap over the leaves of a node's data (see heap_writer.h for the layout). A heap id
// names block (hid >> 16), allocation ((hid >> 5) & 0x7FF), counted from 1.
class HeapView {
 public:
  // Throws LtpError when the first block is no heap (too short, no heap signature, a page
  // map outside the block, or with kRefuse allocations that do not lie in order before
  // it). A later block whose page map is broken that way is kept as unreadable: asking for
  // one of its allocations throws, and what the other blocks hold can still be read. With
  // kLeaveOut the allocations are checked one by one as they are asked for, and a count of
  // allocations beyond what the page map can hold is cut to what it holds.
  explicit HeapView(std::vector<std::vector<std::uint8_t>> blocks, Broken broken = Broken::kRefuse);

  std::uint8_t client_signature() const { return blocks_.front()[3]; }
  std::uint32_t user_root() const;
  std::size_t block_count() const { return blocks_.size(); }
  // Whether the page map of block `block` (below block_count()) could be read.
  bool block_readable(std::size_t block) const { return maps_[block].readable; }
  // The bytes of allocation `hid`, inside its block. Throws LtpError for an id whose low five
  // bits are set, or that names a block or an allocation that is not there.
  std::span<const std::uint8_t> get(std::uint32_t hid) const;

 private:
  struct PageMap {
    std::uint16_t at = 0;     // offset of the page map in its block
    std::uint16_t count = 0;  // allocations
    bool readable = false;
  };
  std::vector<std::vector<std::uint8_t>> blocks_;
  std::vector<PageMap> maps_;
};

struct BthRecord {
  std::uint64_t key = 0;
  std::span<const std::uint8_t> entry;  // inside the heap
};

// The records of the BTH whose header is `header_hid`, in the order the tree holds them (key
// order in a sound tree: a damaged one may hold its records in any order, which costs
// nothing here). Throws LtpError for a header that is none; with kRefuse also for more than
// 8 index levels, records of uneven size, an index that names an allocation twice or one
// that names nothing. kLeaveOut leaves such records out and reads the root of a tree that
// claims more levels than any can have as its records.
std::vector<BthRecord> read_bth(const HeapView& heap, std::uint32_t header_hid,
                                Broken broken = Broken::kRefuse);

// The data of a subnode of the node being read, by subnode id.
using SubnodeReader = std::function<std::vector<std::uint8_t>(std::uint32_t nid)>;

// One record of a property context: the tag and the four bytes beside it, which hold the
// value itself (fixed-size types of up to four bytes) or the heap or subnode id of where
// the value lives (0 for an empty value).
struct PropertyRecord {
  std::uint32_t tag = 0;
  std::span<const std::uint8_t> slot;  // 4 bytes inside the heap
};

// The records of the property context in `heap`, in the order of its BTH (by property id in
// a sound context). Throws LtpError when the heap is no property context or its BTH is
// malformed (as read_bth tells with `broken`).
std::vector<PropertyRecord> property_records(const HeapView& heap, Broken broken = Broken::kRefuse);

// Where a value lives, from its type and the slot that holds it (a property context record's
// four bytes or a table cell).
struct ValueLocation {
  enum Kind { kBytes, kSubnode };
  Kind kind = kBytes;
  // kBytes: the value as stored, in the slot itself or in a heap allocation (empty for an
  // empty value).
  std::span<const std::uint8_t> bytes;
  std::uint32_t subnode = 0;  // kSubnode: the id of the subnode holding the value
};

// Throws LtpError for a type the format does not define, a heap id that names no allocation,
// a fixed-size value of another size, or a variable-size value in a cell of other than four
// bytes. Subnode values are not read here: their size is checked by whoever reads them
// (fixed_value_size and multi_value_fits tell what fits).
ValueLocation locate_value(const HeapView& heap, std::uint16_t type,
                           std::span<const std::uint8_t> slot);

// Whether `value` is laid out as its type wants: a fixed-size type at its size, a
// multi-valued type of fixed-size elements as whole elements, one of variable-size elements
// as a count, that many ascending offsets into the value and the elements after them. Other
// types always fit. A copy of a damaged value that does not fit would make a store that
// readers misread.
bool value_fits_type(std::uint16_t type, std::span<const std::uint8_t> value);

// The properties of a PC, values resolved from the heap or subnodes, in the order of its BTH.
std::vector<StoredProperty> read_property_context(const HeapView& heap,
                                                  const SubnodeReader& subnodes);

// The layout of a table context: its columns, its rows' size and where their existence bits
// start, and where the row matrix lives.
struct TableInfo {
  std::vector<TableColumn> columns;  // as stored (by tag in a sound table)
  std::size_t row_size = 0;
  std::size_t bits_at = 0;
  std::uint32_t rows_hnid = 0;  // heap id or subnode id of the row matrix; 0 without rows
};

// Throws LtpError when the heap is no table context or has rows of no size; with kRefuse
// also when its columns do not match its size or one lies outside the row. kLeaveOut
// leaves such columns out.
TableInfo read_table_info(const HeapView& heap, Broken broken = Broken::kRefuse);

// The row matrix when it lives in the heap (empty for a table without rows); throws LtpError
// when it lives in a subnode or its heap id names no allocation.
std::span<const std::uint8_t> heap_row_matrix(const HeapView& heap, const TableInfo& info);

// Calls `cell(column, bytes)` for each column whose existence bit `row` (row_size bytes) has
// set, in column order.
template <typename F>
void table_cells(const TableInfo& info, std::span<const std::uint8_t> row, F&& cell) {
  for (const TableColumn& c : info.columns) {
    if ((row[info.bits_at + c.i_bit / 8] & (0x80 >> (c.i_bit % 8))) == 0) continue;
    cell(c, row.subspan(c.ib_data, c.cb_data));
  }
}

struct TableContents {
  std::vector<TableColumn> columns;  // sorted by tag
  std::vector<TableRow> rows;        // in row-number order; only cells whose bit is set
};

TableContents read_table_context(const HeapView& heap, const SubnodeReader& subnodes);

}  // namespace pstorian
