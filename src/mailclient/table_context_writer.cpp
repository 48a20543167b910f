#include "mailclient/table_context_writer.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "mailclient/bth_writer.h"
#include "mailclient/heap_writer.h"
#include "mailclient/value_placement.h"

namespace pstorian {
namespace {

constexpr std::size_t kTcInfoFixed = 22;
constexpr std::size_t kColumnDescriptor = 8;

// The four group ends of rgib, checking that cells do not overlap and that the existence
// bits fit after the 1-byte group.
std::array<std::uint16_t, 4> group_ends(std::span<const TableColumn> columns) {
  std::array<std::uint16_t, 4> rgib{};
  std::vector<bool> used;
  std::vector<bool> bits(columns.size() + 7, false);
  for (const auto& c : columns) {
    const std::size_t end = std::size_t{c.ib_data} + c.cb_data;
    if (used.size() < end) used.resize(end, false);
    for (std::size_t i = c.ib_data; i < end; ++i) {
      if (used[i]) throw std::invalid_argument("table cells overlap");
      used[i] = true;
    }
    if (c.i_bit >= bits.size() / 8 * 8 || bits[c.i_bit])
      throw std::invalid_argument("cell existence bit out of range or given twice");
    bits[c.i_bit] = true;
    const std::size_t group = c.cb_data >= 4 ? 0 : c.cb_data == 2 ? 1 : 2;
    for (std::size_t g = group; g < 3; ++g)
      rgib[g] = std::max(rgib[g], static_cast<std::uint16_t>(end));
  }
  rgib[1] = std::max(rgib[1], rgib[0]);
  rgib[2] = std::max(rgib[2], rgib[1]);
  rgib[3] = static_cast<std::uint16_t>(rgib[2] + (columns.size() + 7) / 8);
  return rgib;
}

const StoredProperty* find_value(const TableRow& row, std::uint32_t tag) {
  for (const auto& p : row)
    if (p.tag == tag) return &p;
  return nullptr;
}

// Fills the cells and existence bits of one row; values that live outside the row are
// allocated in the heap (or handed to the sink) as they are met.
void fill_row(std::span<std::uint8_t> out, std::span<const TableColumn> columns,
              const TableRow& row, std::size_t bits_at, HeapWriter& heap,
              SubnodeSink* large_values) {
  for (const auto& c : columns) {
    const StoredProperty* p = find_value(row, c.tag);
    if (p == nullptr) continue;
    const auto fixed = fixed_value_size(pst::tag_type(c.tag));
    const auto cell = out.subspan(c.ib_data, c.cb_data);
    if (fixed && *fixed <= c.cb_data) {
      if (p->value.size() != *fixed) throw std::invalid_argument("cell value of wrong size");
      std::copy(p->value.begin(), p->value.end(), cell.begin());
    } else {
      if (c.cb_data != 4) throw std::invalid_argument("variable-size column needs a 4-byte cell");
      pst::store_le32(cell, 0, place_value(heap, *p, 4, large_values));
    }
    out[bits_at + c.i_bit / 8] |= static_cast<std::uint8_t>(0x80 >> (c.i_bit % 8));
  }
}

}  // namespace

std::vector<std::vector<std::uint8_t>> build_table_context(std::span<const TableColumn> columns,
                                                           std::span<const TableRow> rows,
                                                           std::uint8_t row_number_size,
                                                           SubnodeSink* large_values,
                                                           bool index_after_values) {
  if (columns.size() > 255) throw std::invalid_argument("too many table columns");
  std::vector<TableColumn> sorted(columns.begin(), columns.end());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.tag < b.tag; });
  const auto rgib = group_ends(sorted);
  const std::size_t row_size = rgib[3];

  HeapWriter heap(pst::kClientTableContext);
  const std::uint32_t index_header = reserve_bth_header(heap);
  const std::uint32_t tcinfo = heap.allocate(kTcInfoFixed + kColumnDescriptor * sorted.size());
  heap.set_user_root(tcinfo);

  // The row index, keyed by row id in ascending order.
  std::map<std::uint32_t, std::uint32_t> row_numbers;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const StoredProperty* id = find_value(rows[r], kTagLtpRowId);
    if (id == nullptr || id->value.size() != 4) throw std::invalid_argument("row without row id");
    if (!row_numbers.emplace(pst::load_le32(id->value, 0), static_cast<std::uint32_t>(r)).second)
      throw std::invalid_argument("two rows with the same row id");
  }
  const std::size_t record = 4u + row_number_size;
  std::vector<std::uint8_t> index(row_numbers.size() * record, 0);
  std::size_t at = 0;
  for (const auto& [id, number] : row_numbers) {
    pst::store_le32(index, at, id);
    if (row_number_size == 2)
      pst::store_le16(index, at + 4, static_cast<std::uint16_t>(number));
    else
      pst::store_le32(index, at + 4, number);
    at += record;
  }
  if (!index_after_values) write_bth(heap, index_header, 4, row_number_size, index);

  std::vector<std::uint8_t> matrix(rows.size() * row_size, 0);
  std::optional<std::uint32_t> matrix_hid;
  if (!matrix.empty() && matrix.size() <= HeapWriter::kMaxAllocation)
    matrix_hid = heap.allocate(matrix.size());
  for (std::size_t r = 0; r < rows.size(); ++r)
    fill_row(std::span(matrix).subspan(r * row_size, row_size), sorted, rows[r], rgib[2], heap,
             large_values);
  if (index_after_values) write_bth(heap, index_header, 4, row_number_size, index);
  std::uint32_t hnid_rows = 0;
  if (matrix_hid) {
    std::copy(matrix.begin(), matrix.end(), heap.at(*matrix_hid).begin());
    hnid_rows = *matrix_hid;
  } else if (!matrix.empty()) {
    if (large_values == nullptr) throw std::invalid_argument("row matrix too large for the heap");
    hnid_rows = large_values->store(matrix, row_size);
  }

  const auto info = heap.at(tcinfo);
  info[0] = pst::kClientTableContext;
  info[1] = static_cast<std::uint8_t>(sorted.size());
  for (std::size_t g = 0; g < 4; ++g) pst::store_le16(info, 2 + 2 * g, rgib[g]);
  pst::store_le32(info, 10, index_header);
  pst::store_le32(info, 14, hnid_rows);
  std::size_t d = kTcInfoFixed;
  for (const auto& c : sorted) {
    pst::store_le32(info, d, c.tag);
    pst::store_le16(info, d + 4, c.ib_data);
    info[d + 6] = c.cb_data;
    info[d + 7] = c.i_bit;
    d += kColumnDescriptor;
  }
  return heap.finish();
}

}  // namespace pstorian
