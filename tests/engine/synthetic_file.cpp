#include "engine/synthetic_file.h"

#include "format/endian.h"
#include "format/permute.h"

namespace pstorian::testing {

SyntheticFile::SyntheticFile() : image_(0x400, 0) {}

std::uint32_t SyntheticFile::add_block(std::uint32_t id, const Bytes& data, bool encode) {
  const auto offset = static_cast<std::uint32_t>(image_.size());
  Bytes stored = data;
  if (encode) pst::permute_encode(stored);
  image_.insert(image_.end(), stored.begin(), stored.end());
  image_.resize(image_.size() + 12);  // trailer room
  image_.resize((image_.size() + 63) / 64 * 64);
  tables.blocks.add(id, offset, static_cast<std::uint32_t>(data.size()));
  return offset;
}

MemorySource SyntheticFile::source(std::uint32_t tail) {
  final_ = image_;
  final_.resize(final_.size() + tail);
  return MemorySource(final_);
}

Bytes heap_block(std::uint8_t client, std::uint32_t user_root,
                 const std::vector<Bytes>& allocations) {
  Bytes b(12, 0);
  b[2] = 0xEC;
  b[3] = client;
  pst::store_le32(b, 4, user_root);
  std::vector<std::uint16_t> starts;
  for (const Bytes& a : allocations) {
    starts.push_back(static_cast<std::uint16_t>(b.size()));
    b.insert(b.end(), a.begin(), a.end());
  }
  starts.push_back(static_cast<std::uint16_t>(b.size()));
  if (b.size() % 2) b.push_back(0);
  const auto map = static_cast<std::uint16_t>(b.size());
  pst::store_le16(b, 0, map);
  b.resize(b.size() + 4 + 2 * starts.size());
  pst::store_le16(b, map, static_cast<std::uint16_t>(allocations.size()));
  for (std::size_t i = 0; i < starts.size(); ++i) pst::store_le16(b, map + 4 + 2 * i, starts[i]);
  return b;
}

Bytes property_context(const std::vector<PcProp>& props) {
  std::vector<Bytes> allocs;
  Bytes tree(8, 0);
  tree[0] = 0xB5;
  tree[1] = 2;
  tree[2] = 6;
  pst::store_le32(tree, 4, hid(2));
  allocs.push_back(tree);
  Bytes records;
  std::vector<Bytes> values;
  for (const PcProp& p : props) {
    Bytes r(8, 0);
    pst::store_le16(r, 0, p.id);
    pst::store_le16(r, 2, p.type);
    std::uint32_t stored = p.stored;
    if (p.heap_value) {
      values.push_back(*p.heap_value);
      stored = hid(static_cast<std::uint32_t>(2 + values.size()));
    }
    pst::store_le32(r, 4, stored);
    records.insert(records.end(), r.begin(), r.end());
  }
  allocs.push_back(records);
  allocs.insert(allocs.end(), values.begin(), values.end());
  return heap_block(0xBC, hid(1), allocs);
}

Bytes table_context(std::uint32_t long_tag, std::uint32_t text_tag,
                    const std::vector<std::pair<std::uint32_t, std::string>>& rows,
                    std::optional<std::uint32_t> rows_ref) {
  constexpr std::uint16_t kRowSize = 13;  // row id, number, text heap id, 1 bitmap byte
  // Allocations: 1 table header, 2 row index header, 3 row index records, 4 rows, 5.. texts
  Bytes info(22 + 3 * 8, 0);
  info[0] = 0x7C;
  info[1] = 3;
  pst::store_le16(info, 2, 12);
  pst::store_le16(info, 4, 12);
  pst::store_le16(info, 6, 12);
  pst::store_le16(info, 8, kRowSize);
  pst::store_le32(info, 10, hid(2));
  pst::store_le32(info, 14, rows_ref.value_or(hid(4)));
  const std::uint32_t tags[3] = {0x67F20003, long_tag, text_tag};
  for (std::size_t c = 0; c < 3; ++c) {
    pst::store_le32(info, 22 + 8 * c, tags[c]);
    pst::store_le16(info, 22 + 8 * c + 4, static_cast<std::uint16_t>(4 * c));
    info[22 + 8 * c + 6] = 4;
    info[22 + 8 * c + 7] = static_cast<std::uint8_t>(c);
  }
  Bytes index(8, 0);
  index[0] = 0xB5;
  index[1] = 4;
  index[2] = 2;
  pst::store_le32(index, 4, hid(3));
  Bytes index_records, row_bytes;
  std::vector<Bytes> texts;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    Bytes rec(6, 0);
    pst::store_le32(rec, 0, static_cast<std::uint32_t>(0x100 + r));
    pst::store_le16(rec, 4, static_cast<std::uint16_t>(r));
    index_records.insert(index_records.end(), rec.begin(), rec.end());
    Bytes row(kRowSize, 0xFF);
    pst::store_le32(row, 0, static_cast<std::uint32_t>(0x100 + r));
    pst::store_le32(row, 4, rows[r].first);
    texts.push_back(bytes_of(rows[r].second));
    pst::store_le32(row, 8, hid(static_cast<std::uint32_t>(4 + texts.size())));
    row_bytes.insert(row_bytes.end(), row.begin(), row.end());
  }
  std::vector<Bytes> allocs{info, index, index_records, row_bytes};
  allocs.insert(allocs.end(), texts.begin(), texts.end());
  return heap_block(0x7C, hid(1), allocs);
}

Bytes subnode_block(const std::vector<std::array<std::uint32_t, 3>>& entries) {
  Bytes b(4 + 12 * entries.size(), 0);
  b[0] = 0x02;
  pst::store_le16(b, 2, static_cast<std::uint16_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i)
    for (std::size_t k = 0; k < 3; ++k) pst::store_le32(b, 4 + 12 * i + 4 * k, entries[i][k]);
  return b;
}

Bytes bytes_of(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes le32_bytes(std::uint32_t v) {
  Bytes b(4);
  pst::store_le32(b, 0, v);
  return b;
}

}  // namespace pstorian::testing
