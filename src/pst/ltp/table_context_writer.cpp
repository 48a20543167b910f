#include "pst/ltp/table_context_writer.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/bth_writer.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ltp/value_placement.h"

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
      pst::store_le32(cell, 0, place_value(heap, {p->tag, p->value}, 4, large_values));
    }
    out[bits_at + c.i_bit / 8] |= static_cast<std::uint8_t>(0x80 >> (c.i_bit % 8));
  }
}

void fill_tcinfo(std::span<std::uint8_t> info, std::span<const TableColumn> sorted,
                 const std::array<std::uint16_t, 4>& rgib, std::uint32_t index_header,
                 std::uint32_t hnid_rows) {
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
}

std::vector<TableColumn> sorted_columns(std::span<const TableColumn> columns) {
  if (columns.size() > 255) throw std::invalid_argument("too many table columns");
  std::vector<TableColumn> sorted(columns.begin(), columns.end());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.tag < b.tag; });
  return sorted;
}

std::vector<std::uint8_t> index_records(
    std::span<const std::pair<std::uint32_t, std::uint32_t>> by_id, std::uint8_t row_number_size) {
  const std::size_t record = 4u + row_number_size;
  std::vector<std::uint8_t> index(by_id.size() * record, 0);
  std::size_t at = 0;
  for (const auto& [id, number] : by_id) {
    pst::store_le32(index, at, id);
    if (row_number_size == 2)
      pst::store_le16(index, at + 4, static_cast<std::uint16_t>(number));
    else
      pst::store_le32(index, at + 4, number);
    at += record;
  }
  return index;
}

std::uint32_t row_id_of(const TableRow& row) {
  const StoredProperty* id = find_value(row, kTagLtpRowId);
  if (id == nullptr || id->value.size() != 4) throw std::invalid_argument("row without row id");
  return pst::load_le32(id->value, 0);
}

}  // namespace

std::vector<TableColumn> lay_out_columns(std::span<const std::uint32_t> tags) {
  constexpr std::size_t kMaxColumns = 255;
  auto cell_size = [](std::uint32_t tag) -> std::size_t {
    const auto fixed = fixed_value_size(pst::tag_type(tag));
    if (!fixed) return 4;
    return *fixed > 8 ? 4 : *fixed;
  };
  std::vector<std::uint32_t> ordered;
  for (const std::uint32_t first : {kTagLtpRowId, kTagLtpRowVer})
    if (std::find(tags.begin(), tags.end(), first) != tags.end()) ordered.push_back(first);
  if (ordered.empty() || ordered.front() != kTagLtpRowId)
    throw std::invalid_argument("a table needs the row id column");
  std::vector<std::uint32_t> rest;
  for (const std::uint32_t tag : tags)
    if (tag != kTagLtpRowId && tag != kTagLtpRowVer && cell_size(tag) != 0) rest.push_back(tag);
  std::sort(rest.begin(), rest.end());
  rest.erase(std::unique(rest.begin(), rest.end()), rest.end());
  // Wider cells first, so that each size group follows the one before it.
  std::stable_sort(rest.begin(), rest.end(), [&](std::uint32_t a, std::uint32_t b) {
    return cell_size(a) > cell_size(b);
  });
  ordered.insert(ordered.end(), rest.begin(), rest.end());
  if (ordered.size() > kMaxColumns) ordered.resize(kMaxColumns);
  std::vector<TableColumn> columns;
  std::uint16_t at = 0;
  for (const std::uint32_t tag : ordered) {
    const auto size = static_cast<std::uint8_t>(cell_size(tag));
    columns.push_back({tag, at, size, static_cast<std::uint8_t>(columns.size())});
    at = static_cast<std::uint16_t>(at + size);
  }
  return columns;
}

std::vector<std::vector<std::uint8_t>> build_table_context(std::span<const TableColumn> columns,
                                                           std::span<const TableRow> rows,
                                                           std::uint8_t row_number_size,
                                                           SubnodeSink* large_values,
                                                           bool index_after_values) {
  const std::vector<TableColumn> sorted = sorted_columns(columns);
  const auto rgib = group_ends(sorted);
  const std::size_t row_size = rgib[3];

  HeapWriter heap(pst::kClientTableContext);
  const std::uint32_t index_header = reserve_bth_header(heap);
  const std::uint32_t tcinfo = heap.allocate(kTcInfoFixed + kColumnDescriptor * sorted.size());
  heap.set_user_root(tcinfo);

  // The row index, keyed by row id in ascending order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> row_numbers;
  row_numbers.reserve(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r)
    row_numbers.emplace_back(row_id_of(rows[r]), static_cast<std::uint32_t>(r));
  std::sort(row_numbers.begin(), row_numbers.end());
  if (std::adjacent_find(row_numbers.begin(), row_numbers.end(), [](const auto& a, const auto& b) {
        return a.first == b.first;
      }) != row_numbers.end())
    throw std::invalid_argument("two rows with the same row id");
  const std::vector<std::uint8_t> index = index_records(row_numbers, row_number_size);
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

  fill_tcinfo(heap.at(tcinfo), sorted, rgib, index_header, hnid_rows);
  return heap.finish();
}

GrowingTableContext::GrowingTableContext(std::span<const TableColumn> columns,
                                         std::uint32_t matrix_nid, FileForm form)
    : columns_(columns.begin(), columns.end()),
      sorted_(sorted_columns(columns)),
      row_number_size_(static_cast<std::uint8_t>(layout_of(form).row_index_size)),
      max_block_(layout_of(form).max_block_data),
      heap_(pst::kClientTableContext) {
  const auto rgib = group_ends(sorted_);
  row_size_ = rgib[3];
  bits_at_ = rgib[2];
  index_header_ = reserve_bth_header(heap_);
  const std::uint32_t tcinfo = heap_.allocate(kTcInfoFixed + kColumnDescriptor * sorted_.size());
  heap_.set_user_root(tcinfo);
  fill_tcinfo(heap_.at(tcinfo), sorted_, rgib, index_header_, matrix_nid);
}

bool GrowingTableContext::has_columns(std::span<const TableColumn> columns) const {
  return std::equal(columns.begin(), columns.end(), columns_.begin(), columns_.end(),
                    [](const TableColumn& a, const TableColumn& b) {
                      return a.tag == b.tag && a.ib_data == b.ib_data && a.cb_data == b.cb_data &&
                             a.i_bit == b.i_bit;
                    });
}

void GrowingTableContext::truncate(std::size_t rows) {
  if (rows >= row_marks_.size()) return;
  heap_.truncate(row_marks_[rows]);
  row_marks_.resize(rows);
  matrix_clean_rows_ = std::min(matrix_clean_rows_, rows);
  matrix_.resize(rows * row_size_);
  std::erase_if(index_, [rows](const auto& e) { return e.second >= rows; });
}

void GrowingTableContext::append(const TableRow& row) {
  const std::uint32_t id = row_id_of(row);
  const auto number = static_cast<std::uint32_t>(row_marks_.size());
  auto at = index_.end();
  if (!index_.empty() && index_.back().first >= id) {
    at = std::lower_bound(index_.begin(), index_.end(), std::pair{id, std::uint32_t{0}});
    if (at != index_.end() && at->first == id)
      throw std::invalid_argument("two rows with the same row id");
  }
  const HeapWriter::Mark before = heap_.mark();
  std::vector<std::uint8_t> cells(row_size_, 0);
  try {
    fill_row(cells, sorted_, row, bits_at_, heap_, nullptr);
  } catch (...) {
    heap_.truncate(before);
    throw;
  }
  index_.insert(at, {id, number});
  row_marks_.push_back(before);
  matrix_.insert(matrix_.end(), cells.begin(), cells.end());
}

std::vector<SharedBytes> GrowingTableContext::heap_blocks() {
  const HeapWriter::Mark values_end = heap_.mark();
  write_bth(heap_, index_header_, 4, row_number_size_, index_records(index_, row_number_size_));
  auto blocks = heap_.finish_shared();
  heap_.truncate(values_end);
  return blocks;
}

std::vector<SharedBytes> GrowingTableContext::matrix_blocks() {
  // As split_into_blocks cuts it: as many whole rows as fit in a block. A block lying
  // wholly within the unchanged rows was full, and is the same, last time too, unless it
  // was the last block then: that one was written without the padding of a full block.
  const std::size_t rows_per_block = max_block_ / row_size_;
  std::size_t keep = std::min(matrix_clean_rows_ / rows_per_block, matrix_blocks_.size());
  const std::size_t step = rows_per_block * row_size_;
  if (keep > 0 && matrix_blocks_[keep - 1]->size() < max_block_ && keep * step < matrix_.size())
    --keep;
  matrix_blocks_.resize(keep);
  for (std::size_t at = keep * step; at < matrix_.size(); at += step) {
    const auto part = std::span(matrix_).subspan(at, std::min(step, matrix_.size() - at));
    auto block = std::make_shared<std::vector<std::uint8_t>>(part.begin(), part.end());
    if (at + step < matrix_.size()) block->resize(max_block_, 0);  // a full block is padded
    matrix_blocks_.push_back(std::move(block));
  }
  matrix_clean_rows_ = rows();
  return matrix_blocks_;
}

}  // namespace pstorian
