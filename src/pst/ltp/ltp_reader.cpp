#include "pst/ltp/ltp_reader.h"

#include <algorithm>
#include <unordered_set>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

[[noreturn]] void fail(const char* what) {
  throw LtpError(what);
}

std::size_t header_size(std::size_t block) {
  if (block == 0) return 12;
  return block % 128 == 8 ? 66 : 2;
}

constexpr std::size_t kMaxBthLevels = 8;
constexpr std::size_t kTcInfoFixed = 22;
constexpr std::size_t kColumnDescriptor = 8;

// The BTH walk: records of `key` + `entry` bytes in the leaves, of `key` + 4 in the index
// allocations above them.
class BthWalk {
 public:
  BthWalk(const HeapView& heap, std::size_t key, std::size_t entry, std::size_t levels,
          Broken broken)
      : heap_(heap), key_(key), entry_(entry), levels_(levels), broken_(broken) {}

  std::vector<BthRecord> records(std::uint32_t root) {
    if (root != 0) walk(root, levels_);
    return std::move(out_);
  }

 private:
  // Recursion is bounded by the levels, at most kMaxBthLevels.
  void walk(std::uint32_t hid, std::size_t level) {
    const bool leave_out = broken_ == Broken::kLeaveOut;
    // Each allocation of a sound tree is named once. Index levels that name the same
    // allocations over and over would multiply the walk by their fan-out at every level.
    if (levels_ != 0 && !named_.insert(hid).second) {
      if (leave_out) return;
      fail("BTH names an allocation twice");
    }
    const auto d = heap_.get(hid);
    const std::size_t size = key_ + (level == 0 ? entry_ : 4);
    if (d.size() % size != 0 && !leave_out) fail("BTH records of uneven size");
    for (std::size_t at = 0; d.size() - at >= size; at += size) {
      std::uint64_t k = 0;
      for (std::size_t i = 0; i < key_; ++i) k |= std::uint64_t{d[at + i]} << (8 * i);
      if (level == 0) {
        out_.push_back({k, d.subspan(at + key_, entry_)});
      } else if (!leave_out) {
        walk(pst::load_le32(d, at + key_), level - 1);
      } else {
        try {
          walk(pst::load_le32(d, at + key_), level - 1);
        } catch (const LtpError&) {
          // An index record naming no allocation costs the records below it.
        }
      }
    }
  }

  const HeapView& heap_;
  const std::size_t key_;
  const std::size_t entry_;
  const std::size_t levels_;
  const Broken broken_;
  std::vector<BthRecord> out_;
  std::unordered_set<std::uint32_t> named_;
};

std::optional<std::size_t> checked_fixed_size(std::uint16_t type) {
  try {
    return fixed_value_size(type);
  } catch (const std::invalid_argument&) {
    fail("unknown property type");
  }
}

// A value as the whole readers hand it out: slot and heap bytes copied, subnodes read.
std::vector<std::uint8_t> load_value(const HeapView& heap, std::uint16_t type,
                                     std::span<const std::uint8_t> slot,
                                     const SubnodeReader& subnodes) {
  const ValueLocation where = locate_value(heap, type, slot);
  if (where.kind == ValueLocation::kBytes) return {where.bytes.begin(), where.bytes.end()};
  if (!subnodes) fail("value in a subnode, but no subnodes to read");
  std::vector<std::uint8_t> value = subnodes(where.subnode);
  const auto fixed = checked_fixed_size(type);
  if (fixed && value.size() != *fixed) fail("fixed-size value of the wrong size");
  return value;
}

}  // namespace

HeapView::HeapView(std::vector<std::vector<std::uint8_t>> blocks, Broken broken)
    : blocks_(std::move(blocks)) {
  if (blocks_.empty() || blocks_.front().size() < 12 || blocks_.front()[2] != pst::kHeapSignature)
    fail("not a heap");
  maps_.resize(blocks_.size());
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    const auto& b = blocks_[i];
    const std::size_t map_at = pst::load_le16(b, 0);
    // The page map starts after the block's header and its offsets lie inside the block.
    const bool placed = b.size() >= header_size(i) && map_at >= header_size(i) && map_at + 6 <= b.size();
    const std::size_t fits = placed ? (b.size() - map_at - 4) / 2 - 1 : 0;
    std::size_t count = pst::load_le16(b, map_at);
    bool sound = placed;
    if (broken == Broken::kRefuse) {
      // Each allocation starts where the one before it ended and all end before the map.
      sound = sound && count <= fits;
      for (std::size_t k = 0; sound && k <= count; ++k) {
        const std::size_t start = pst::load_le16(b, map_at + 4 + 2 * k);
        sound = start <= map_at && (k == 0 || start >= pst::load_le16(b, map_at + 2 + 2 * k));
      }
    } else {
      count = std::min(count, fits);
    }
    if (!sound && i == 0) fail("heap page map outside its block or out of order");
    if (sound)
      maps_[i] = {static_cast<std::uint16_t>(map_at), static_cast<std::uint16_t>(count), true};
  }
}

std::uint32_t HeapView::user_root() const {
  return pst::load_le32(blocks_.front(), 4);
}

std::span<const std::uint8_t> HeapView::get(std::uint32_t hid) const {
  const std::size_t block = hid >> 16;
  const std::size_t index = (hid >> 5) & 0x7FF;
  if ((hid & 0x1F) != 0 || block >= blocks_.size() || index == 0) fail("heap id names no allocation");
  const PageMap& map = maps_[block];
  if (!map.readable) fail("heap block unreadable");
  if (index > map.count) fail("heap id names no allocation");
  const auto& b = blocks_[block];
  const std::size_t start = pst::load_le16(b, map.at + 2 + 2 * index);
  const std::size_t end = pst::load_le16(b, map.at + 4 + 2 * index);
  // Always so in a heap whose page map was checked whole; one read for a damaged file is
  // checked allocation by allocation.
  if (start > end || end > map.at) fail("heap allocation outside its block");
  return std::span(b).subspan(start, end - start);
}

std::vector<BthRecord> read_bth(const HeapView& heap, std::uint32_t header_hid, Broken broken) {
  const auto h = heap.get(header_hid);
  if (h.size() != 8 || h[0] != pst::kClientBTreeOnHeap) fail("not a BTH header");
  const std::size_t key = h[1];
  const std::size_t entry = h[2];
  if (key == 0 || key > 8 || entry == 0 || entry > 32) fail("BTH record sizes out of range");
  std::size_t levels = h[3];
  if (levels > kMaxBthLevels) {
    // No sound tree is this deep: the count itself is damaged. The trees of property
    // contexts rarely need an index level at all, so the root is read as their records.
    if (broken == Broken::kRefuse) fail("BTH too deep");
    levels = 0;
  }
  return BthWalk(heap, key, entry, levels, broken).records(pst::load_le32(h, 4));
}

std::vector<PropertyRecord> property_records(const HeapView& heap, Broken broken) {
  if (heap.client_signature() != pst::kClientPropertyContext) fail("not a property context");
  const std::vector<BthRecord> bth = read_bth(heap, heap.user_root(), broken);
  std::vector<PropertyRecord> out;
  out.reserve(bth.size());
  for (const auto& r : bth) {
    if (r.key > 0xFFFF || r.entry.size() != 6) fail("property context records must have 2 + 6 bytes");
    const std::uint16_t type = pst::load_le16(r.entry, 0);
    out.push_back({pst::prop_tag(static_cast<std::uint16_t>(r.key), type), r.entry.subspan(2, 4)});
  }
  return out;
}

ValueLocation locate_value(const HeapView& heap, std::uint16_t type,
                           std::span<const std::uint8_t> slot) {
  const auto fixed = checked_fixed_size(type);
  if (fixed && *fixed <= slot.size()) return {ValueLocation::kBytes, slot.first(*fixed), 0};
  if (slot.size() != 4) fail("variable-size value without a 4-byte slot");
  const std::uint32_t hnid = pst::load_le32(slot, 0);
  if (hnid != 0 && pst::node_type(hnid) != pst::kNodeHid)
    return {ValueLocation::kSubnode, {}, hnid};
  const auto bytes = hnid == 0 ? std::span<const std::uint8_t>() : heap.get(hnid);
  if (fixed && bytes.size() != *fixed) fail("fixed-size value of the wrong size");
  return {ValueLocation::kBytes, bytes, 0};
}

bool value_fits_type(std::uint16_t type, std::span<const std::uint8_t> value) {
  std::optional<std::size_t> fixed;
  try {
    fixed = fixed_value_size(type);
  } catch (const std::invalid_argument&) {
    return false;
  }
  if (fixed) return value.size() == *fixed;
  if ((type & 0x1000) == 0) return true;
  const auto element = fixed_value_size(type & 0x0FFF);
  if (element) return *element != 0 && value.size() % *element == 0;
  // Variable-size elements: u32 count, count u32 offsets from the value's start, ascending,
  // the first right after the offsets, the elements running to the next offset or the end.
  if (value.size() < 4) return false;
  const std::uint64_t count = pst::load_le32(value, 0);
  const std::uint64_t data_at = 4 + 4 * count;
  if (data_at > value.size()) return false;
  std::uint64_t previous = data_at;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t at = pst::load_le32(value, 4 + 4 * i);
    if (at < previous || at > value.size()) return false;
    previous = at;
  }
  return true;
}

std::vector<StoredProperty> read_property_context(const HeapView& heap,
                                                  const SubnodeReader& subnodes) {
  std::vector<StoredProperty> out;
  for (const PropertyRecord& r : property_records(heap))
    out.push_back({r.tag, load_value(heap, pst::tag_type(r.tag), r.slot, subnodes)});
  return out;
}

TableInfo read_table_info(const HeapView& heap, Broken broken) {
  if (heap.client_signature() != pst::kClientTableContext) fail("not a table context");
  const auto info = heap.get(heap.user_root());
  if (info.size() < kTcInfoFixed || info[0] != pst::kClientTableContext) fail("not a TCINFO");
  const bool leave_out = broken == Broken::kLeaveOut;
  std::size_t columns = info[1];
  if (info.size() != kTcInfoFixed + kColumnDescriptor * columns) {
    if (!leave_out) fail("TCINFO size does not match its columns");
    columns = std::min(columns, (info.size() - kTcInfoFixed) / kColumnDescriptor);
  }
  TableInfo t;
  t.bits_at = pst::load_le16(info, 6);
  t.row_size = pst::load_le16(info, 8);
  t.rows_hnid = pst::load_le32(info, 14);
  if (t.row_size == 0) fail("table rows of no size");
  if (t.bits_at > t.row_size && !leave_out) fail("table cells beyond the row");
  t.columns.reserve(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    const auto d = info.subspan(kTcInfoFixed + kColumnDescriptor * c, kColumnDescriptor);
    const TableColumn col{pst::load_le32(d, 0), pst::load_le16(d, 4), d[6], d[7]};
    // A cell lies before the existence bits, and its bit before the row's end.
    if (std::size_t{col.ib_data} + col.cb_data > t.bits_at || t.bits_at + col.i_bit / 8 >= t.row_size) {
      if (leave_out) continue;
      fail("table column outside the row");
    }
    t.columns.push_back(col);
  }
  return t;
}

std::span<const std::uint8_t> heap_row_matrix(const HeapView& heap, const TableInfo& info) {
  if (info.rows_hnid == 0) return {};
  if (pst::node_type(info.rows_hnid) != pst::kNodeHid) fail("row matrix in a subnode");
  return heap.get(info.rows_hnid);
}

TableContents read_table_context(const HeapView& heap, const SubnodeReader& subnodes) {
  TableInfo info = read_table_info(heap);
  std::vector<std::uint8_t> from_subnode;
  std::span<const std::uint8_t> matrix;
  if (info.rows_hnid != 0 && pst::node_type(info.rows_hnid) != pst::kNodeHid) {
    if (!subnodes) fail("row matrix in a subnode, but no subnodes to read");
    from_subnode = subnodes(info.rows_hnid);
    matrix = from_subnode;
  } else {
    matrix = heap_row_matrix(heap, info);
  }
  if (matrix.size() % info.row_size != 0) fail("row matrix of uneven size");
  TableContents t;
  for (std::size_t at = 0; at < matrix.size(); at += info.row_size) {
    TableRow row;
    table_cells(info, matrix.subspan(at, info.row_size),
                [&](const TableColumn& c, std::span<const std::uint8_t> cell) {
                  row.push_back({c.tag, load_value(heap, pst::tag_type(c.tag), cell, subnodes)});
                });
    t.rows.push_back(std::move(row));
  }
  t.columns = std::move(info.columns);
  return t;
}

}  // namespace pstorian
