#include "mailclient/ltp/ltp_reader.h"

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

// A value that lives outside its slot: a heap allocation, a subnode, or nothing (0).
std::vector<std::uint8_t> outside_value(const HeapView& heap, const SubnodeReader& subnodes,
                                        std::uint32_t hnid) {
  if (hnid == 0) return {};
  if (pst::node_type(hnid) == pst::kNodeHid) {
    const auto v = heap.get(hnid);
    return {v.begin(), v.end()};
  }
  if (!subnodes) fail("value in a subnode, but no subnodes to read");
  return subnodes(hnid);
}

}  // namespace

HeapView::HeapView(std::vector<std::vector<std::uint8_t>> blocks) : blocks_(std::move(blocks)) {
  if (blocks_.empty() || blocks_.front().size() < 12 || blocks_.front()[2] != pst::kHeapSignature)
    fail("not a heap");
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    const auto& b = blocks_[i];
    const std::size_t map_at = pst::load_le16(b, 0);
    if (b.size() < header_size(i) || map_at < header_size(i) || map_at + 4 > b.size())
      fail("heap page map outside its block");
    const std::size_t count = pst::load_le16(b, map_at);
    if (map_at + 4 + 2 * (count + 1) > b.size()) fail("heap page map too long");
    std::vector<std::uint16_t> starts;
    for (std::size_t k = 0; k <= count; ++k) {
      starts.push_back(pst::load_le16(b, map_at + 4 + 2 * k));
      if (starts.back() > map_at || (k > 0 && starts[k] < starts[k - 1]))
        fail("heap allocations out of order");
    }
    starts_.push_back(std::move(starts));
  }
}

std::uint32_t HeapView::user_root() const {
  return pst::load_le32(blocks_.front(), 4);
}

std::span<const std::uint8_t> HeapView::get(std::uint32_t hid) const {
  const std::size_t block = hid >> 16;
  const std::size_t index = (hid >> 5) & 0x7FF;
  if ((hid & 0x1F) != 0 || block >= blocks_.size() || index == 0 || index >= starts_[block].size())
    fail("heap id names no allocation");
  const auto& s = starts_[block];
  return std::span(blocks_[block]).subspan(s[index - 1], s[index] - s[index - 1]);
}

std::vector<BthRecord> read_bth(const HeapView& heap, std::uint32_t header_hid) {
  const auto h = heap.get(header_hid);
  if (h.size() != 8 || h[0] != pst::kClientBTreeOnHeap) fail("not a BTH header");
  const std::size_t key = h[1];
  const std::size_t entry = h[2];
  if (key == 0 || key > 8 || entry == 0 || entry > 32) fail("BTH record sizes out of range");
  std::vector<BthRecord> out;
  // Each allocation of a sound tree is named once. Index levels that name the same
  // allocations over and over would multiply the walk by their fan-out at every level.
  std::unordered_set<std::uint32_t> named;
  const std::function<void(std::uint32_t, std::size_t)> walk = [&](std::uint32_t hid,
                                                                   std::size_t level) {
    if (!named.insert(hid).second) fail("BTH names an allocation twice");
    const auto d = heap.get(hid);
    const std::size_t size = key + (level == 0 ? entry : 4);
    if (d.size() % size != 0) fail("BTH records of uneven size");
    for (std::size_t at = 0; at < d.size(); at += size) {
      std::uint64_t k = 0;
      for (std::size_t i = 0; i < key; ++i) k |= std::uint64_t{d[at + i]} << (8 * i);
      if (!out.empty() && level == 0 && k <= out.back().key) fail("BTH keys not ascending");
      if (level == 0)
        out.push_back({k, d.subspan(at + key, entry)});
      else
        walk(pst::load_le32(d, at + key), level - 1);
    }
  };
  if (h[3] > 8) fail("BTH too deep");
  if (pst::load_le32(h, 4) != 0) walk(pst::load_le32(h, 4), h[3]);
  return out;
}

std::vector<StoredProperty> read_property_context(const HeapView& heap,
                                                  const SubnodeReader& subnodes) {
  if (heap.client_signature() != pst::kClientPropertyContext) fail("not a property context");
  std::vector<StoredProperty> out;
  for (const auto& r : read_bth(heap, heap.user_root())) {
    if (r.entry.size() != 6) fail("property context entries must have 6 bytes");
    const std::uint16_t type = pst::load_le16(r.entry, 0);
    const std::uint32_t value = pst::load_le32(r.entry, 2);
    StoredProperty p{pst::prop_tag(static_cast<std::uint16_t>(r.key), type), {}};
    std::optional<std::size_t> fixed;
    try {
      fixed = fixed_value_size(type);
    } catch (const std::invalid_argument&) {
      fail("unknown property type");
    }
    if (fixed && *fixed <= 4) {
      p.value.resize(*fixed);
      for (std::size_t i = 0; i < *fixed; ++i)
        p.value[i] = static_cast<std::uint8_t>(value >> (8 * i));
    } else {
      p.value = outside_value(heap, subnodes, value);
      if (fixed && p.value.size() != *fixed) fail("fixed-size value of the wrong size");
    }
    out.push_back(std::move(p));
  }
  return out;
}

TableContents read_table_context(const HeapView& heap, const SubnodeReader& subnodes) {
  if (heap.client_signature() != pst::kClientTableContext) fail("not a table context");
  const auto info = heap.get(heap.user_root());
  if (info.size() < 22 || info[0] != pst::kClientTableContext) fail("not a TCINFO");
  const std::size_t columns = info[1];
  if (info.size() != 22 + 8 * columns) fail("TCINFO size does not match its columns");
  TableContents t;
  const std::size_t bits_at = pst::load_le16(info, 6);
  const std::size_t row_size = pst::load_le16(info, 8);
  for (std::size_t c = 0; c < columns; ++c) {
    const auto d = info.subspan(22 + 8 * c, 8);
    const TableColumn col{pst::load_le32(d, 0), pst::load_le16(d, 4), d[6], d[7]};
    if (col.ib_data + col.cb_data > bits_at || bits_at + col.i_bit / 8 >= row_size)
      fail("table column outside the row");
    t.columns.push_back(col);
  }
  const std::uint32_t rows_hnid = pst::load_le32(info, 14);
  const std::vector<std::uint8_t> matrix = outside_value(heap, subnodes, rows_hnid);
  if (row_size == 0 || matrix.size() % row_size != 0) fail("row matrix of uneven size");
  for (std::size_t at = 0; at < matrix.size(); at += row_size) {
    const auto row = std::span(matrix).subspan(at, row_size);
    TableRow out;
    for (const auto& c : t.columns) {
      if ((row[bits_at + c.i_bit / 8] & (0x80 >> (c.i_bit % 8))) == 0) continue;
      const auto cell = row.subspan(c.ib_data, c.cb_data);
      const std::uint16_t type = pst::tag_type(c.tag);
      std::optional<std::size_t> fixed;
      try {
        fixed = fixed_value_size(type);
      } catch (const std::invalid_argument&) {
        fail("unknown column type");
      }
      if (fixed && *fixed <= c.cb_data)
        out.push_back({c.tag, {cell.begin(), cell.begin() + static_cast<std::ptrdiff_t>(*fixed)}});
      else if (c.cb_data == 4)
        out.push_back({c.tag, outside_value(heap, subnodes, pst::load_le32(cell, 0))});
      else
        fail("variable-size column without a 4-byte cell");
    }
    t.rows.push_back(std::move(out));
  }
  return t;
}

}  // namespace pstorian
