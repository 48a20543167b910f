#include "engine/property_reader.h"

#include <algorithm>
#include <span>

#include "engine/heap.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

// Heap header signatures: heap signature 0xEC in the low byte, client signature above it.
constexpr std::uint16_t kPropertyContextHeap = 0xBCEC;
constexpr std::uint16_t kTableContextHeap = 0x7CEC;

// A B-tree-on-heap header: u8 type 0xB5, u8 key size, u8 entry size, u8 index levels,
// u32 heap id of the root. Property contexts key by 2-byte property id, row indexes by
// 4-byte row id.
constexpr std::uint16_t kPropertyTreeHeader = 0x02B5;
constexpr std::uint16_t kRowIndexTreeHeader = 0x04B5;
constexpr std::size_t kTreeHeaderSize = 8;
constexpr std::size_t kTreeRootAt = 4;

// Property context record: u16 property id, u16 type, u32 value or heap / subnode id.
constexpr std::size_t kPropertyRecordSize = 8;
// Row index record: u32 row id, u16 row number.
constexpr std::size_t kRowIndexRecordSize = 6;

// Table context header:
//   0 u8 0x7C   1 u8 column count   2 u16[4] ends of the 4-, 2- and 1-byte cell groups and
//   of the cell bitmap (the last is the row size)   10 u32 heap id of the row index
//   14 u32 heap id (or subnode id) of the rows   18 u32 deprecated index
// followed by 8-byte column descriptors: u32 tag, u16 cell offset, u8 size, u8 bitmap bit.
constexpr std::size_t kTableHeaderSize = 22;
constexpr std::size_t kColumnSize = 8;
constexpr std::size_t kRowSizeAt = 8;
constexpr std::size_t kRowIndexAt = 10;
constexpr std::size_t kRowsAt = 14;

// A heap-on-node block seen through its page map.
struct Heap {
  std::span<const std::uint8_t> block;
  std::uint32_t page_map = 0;

  // An allocation holding a structure of the heap: it must lie before the page map.
  std::optional<HeapAllocation> structure(std::uint32_t hid) const {
    auto a = resolve_heap_id(block, page_map, hid);
    if (!a || a->start > page_map || a->end > page_map || a->end < a->start) return std::nullopt;
    return a;
  }

  // The bytes of a value allocation, or std::nullopt for a value that is dropped.
  std::optional<Bytes> value(std::uint32_t hid) const {
    if (hid == 0 || std::uint64_t{hid >> 4} + page_map > block.size()) return std::nullopt;
    auto a = resolve_heap_id(block, page_map, hid);
    if (!a || a->start >= page_map || a->end > page_map || a->end == 0 || a->end <= a->start)
      return std::nullopt;
    const auto first = block.begin() + a->start;
    return Bytes(first, first + a->size());
  }
};

bool is_inline_type(std::uint16_t type) {
  return type == pst::kPtShort || type == pst::kPtLong || type == pst::kPtBoolean;
}

bool is_reference_type(std::uint16_t type) {
  switch (type) {
    case pst::kPtObject:
    case pst::kPtLongLong:
    case pst::kPtString8:
    case pst::kPtSysTime:
    case pst::kPtClsid:
    case pst::kPtBinary:
    case pst::kPtMvLong:
    case pst::kPtMvString8:
    case pst::kPtMvBinary:
      return true;
    default:
      return false;
  }
}

class RowReader {
 public:
  RowReader(const NodeReader& reader, const SubnodeList& subnodes, const Heap& heap)
      : reader_(reader), subnodes_(subnodes), heap_(heap), budget_(reader.file_size()) {}

  // One stored property, or std::nullopt when it is dropped from its row.
  std::optional<PropValue> load(std::uint16_t id, std::uint16_t type, std::uint32_t stored) {
    PropValue v;
    v.id = id;
    apply_name_map(v);
    if (is_inline_type(type)) {
      v.type = type;
      v.data = Bytes(4);
      pst::store_le32(*v.data, 0, stored);
    } else if (is_reference_type(type)) {
      v.type = type;
      if ((stored & 0xF) != 0) {
        // A subnode id: the value is the subnode's (possibly tree-shaped) data.
        const BlockRef* block = find_subnode(subnodes_, stored);
        if (block != nullptr && budget_ > 0) {
          Bytes data = reader_.read_block(*block, true, 1, budget_);
          if (!data.empty()) v.data = std::move(data);
        }
      } else {
        v.data = heap_.value(stored);
        if (!v.data || v.data->size() > budget_) return std::nullopt;
        budget_ -= v.data->size();
      }
    }
    // Any other type stays in the row without data, with type 0.
    return v;
  }

 private:
  void apply_name_map(PropValue& v) const {
    if (v.id < 0x8000) return;
    const auto& map = reader_.tables().named_props;
    // The map is sorted by mapped id with later entries ahead of earlier ones of the same
    // id, so the first match is the one that wins.
    auto it = std::lower_bound(
        map.begin(), map.end(), v.id,
        [](const NamedPropEntry& e, std::uint32_t id) { return e.mapped_id < id; });
    if (it == map.end() || it->mapped_id != v.id) return;
    if (it->kind == 1)
      v.id = it->numeric_name;
    else
      v.name = it->name;
  }

  const NodeReader& reader_;
  const SubnodeList& subnodes_;
  const Heap& heap_;
  // Values are copies of heap allocations and subnode data. However often the cells of a
  // hostile table name the same large value, all the values of one read together stay
  // within the size of the file; values beyond that are left unread.
  std::uint64_t budget_;
};

std::optional<PropRows> read_property_context(const Heap& heap, RowReader& rows) {
  auto header = heap.structure(pst::load_le32(heap.block, 4));
  if (!header || header->size() < kTreeHeaderSize ||
      pst::load_le16(heap.block, header->start) != kPropertyTreeHeader)
    return std::nullopt;
  auto records = heap.structure(pst::load_le32(heap.block, header->start + kTreeRootAt));
  if (!records) return std::nullopt;

  PropRow row;
  row.row_total = 1;
  const std::size_t count = records->size() / kPropertyRecordSize;
  row.values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = records->start + kPropertyRecordSize * i;
    auto v = rows.load(pst::load_le16(heap.block, at), pst::load_le16(heap.block, at + 2),
                       pst::load_le32(heap.block, at + 4));
    if (v) row.values.push_back(std::move(*v));
  }
  PropRows out;
  out.push_back(std::move(row));
  return out;
}

std::optional<PropRows> read_table_context(const Heap& heap, RowReader& rows) {
  auto header = heap.structure(pst::load_le32(heap.block, 4));
  if (!header) return std::nullopt;
  const std::span<const std::uint8_t> block = heap.block;
  const std::size_t base = header->start;
  if (base + kTableHeaderSize > block.size() || block[base] != pst::kClientTableContext)
    return std::nullopt;
  const std::size_t columns = block[base + 1];
  if (columns == 0 || base + kTableHeaderSize + kColumnSize * columns > block.size())
    return std::nullopt;
  const std::uint32_t row_size = pst::load_le16(block, base + kRowSizeAt);

  auto index = heap.structure(pst::load_le32(block, base + kRowIndexAt));
  if (!index || index->size() < kTreeHeaderSize ||
      pst::load_le16(block, index->start) != kRowIndexTreeHeader)
    return std::nullopt;
  const std::uint32_t index_root = pst::load_le32(block, index->start + kTreeRootAt);
  if (index_root == 0) return std::nullopt;
  auto index_records = heap.structure(index_root);
  if (!index_records) return std::nullopt;
  const std::size_t row_count = index_records->size() / kRowIndexRecordSize;
  if (row_count == 0) return PropRows{};

  // Large tables keep their rows in a subnode rather than in the heap; reading the low
  // bits of such a subnode id as a heap id would yield arbitrary bytes as rows.
  const std::uint32_t rows_ref = pst::load_le32(block, base + kRowsAt);
  if ((rows_ref & 0x1F) != 0) return PropRows{};
  auto first_row = heap.structure(rows_ref & 0xFFFF);
  if (!first_row) return std::nullopt;

  PropRows out;
  std::size_t row_start = first_row->start;
  for (std::size_t r = 0; r < row_count && row_start <= block.size(); ++r, row_start += row_size) {
    PropRow row;
    row.row_total = static_cast<std::uint32_t>(row_count);
    row.values.reserve(columns);
    for (std::size_t c = 0; c < columns; ++c) {
      const std::size_t desc = base + kTableHeaderSize + kColumnSize * c;
      const std::uint32_t tag = pst::load_le32(block, desc);
      const std::size_t cell = row_start + pst::load_le16(block, desc + 4);
      // The cell's 32-bit value is taken whatever the column's width.
      if (cell > heap.page_map || cell + 4 > block.size()) continue;
      auto v = rows.load(pst::tag_id(tag), pst::tag_type(tag), pst::load_le32(block, cell));
      if (v) row.values.push_back(std::move(*v));
    }
    out.push_back(std::move(row));
  }
  return out;
}

}  // namespace

std::optional<PropRows> read_properties(const NodeReader& reader, const BlockRef* data_block,
                                        const SubnodeList& subnodes) {
  if (data_block == nullptr) return std::nullopt;
  const Bytes block = reader.read_block(*data_block, true, 0);
  if (block.size() < 8) return std::nullopt;
  const Heap heap{block, heap_page_map_offset(block)};
  RowReader rows(reader, subnodes, heap);
  switch (pst::load_le16(block, 2)) {
    case kPropertyContextHeap:
      return read_property_context(heap, rows);
    case kTableContextHeap:
      return read_table_context(heap, rows);
    default:
      return std::nullopt;
  }
}

}  // namespace pstorian
