// Fuzzes the node reader on data trees and subnode trees that the input builds, so that
// trees naming themselves or each other, trees of any claimed level and long chains of
// nested subnode trees are all within reach, then decodes a node over them.
//
// Input: byte 0 holds flags (bit 0: the file is encoded, bit 1: with the cyclic encoding,
// bit 2: the file is of the 64-bit form, whose trees hold 8-byte ids and whose subnode
// blocks have 8-byte headers and 24- or 16-byte entries). Then up to 256 block records,
// block k getting id 0x1000 + 16k (+2 for the internal kinds). A reference byte r names
// block r % count, except 0xFF, which names a block that is not there.
//   op & 3 == 0  data block:     u8 length, that many bytes
//   op & 3 == 1  data tree:      u8 level, u8 count, count reference bytes
//   op & 3 == 2  subnode block:  u8 level, u8 count, count × (u8 subnode id, reference to
//                                the data block, reference to the nested subnode block)
//   op & 3 == 3  internal block: u8 length, that many bytes, as they stand
// With bit 7 of op set, a tree's stored count is 0xFFFF rather than its real count. Blocks
// lie 64-byte aligned with room for a trailer behind each, as in a file.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/byte_source.h"
#include "engine/item_extraction.h"
#include "engine/node_reader.h"
#include "engine/property_reader.h"
#include "format/endian.h"
#include "fuzz/touch_content.h"

namespace {

using pstorian::Bytes;

volatile std::size_t g_sink = 0;

struct Record {
  std::uint8_t op = 0;
  std::uint8_t level = 0;
  std::vector<std::uint8_t> payload;  // bytes, or reference bytes
};

// Reads the records; stops at the first one the input does not hold whole.
std::vector<Record> parse(std::span<const std::uint8_t> in) {
  std::vector<Record> out;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    if (in.size() - at < n) return std::span<const std::uint8_t>{};
    const auto s = in.subspan(at, n);
    at += n;
    return s;
  };
  while (out.size() < 256 && at < in.size()) {
    Record r;
    r.op = in[at++];
    std::size_t length = 0;
    if ((r.op & 3) == 1 || (r.op & 3) == 2) {
      const auto head = take(2);
      if (head.empty()) break;
      r.level = head[0];
      length = std::size_t{head[1]} * ((r.op & 3) == 1 ? 1 : 3);
    } else {
      const auto head = take(1);
      if (head.empty()) break;
      length = head[0];
    }
    const auto body = take(length);
    if (body.size() != length) break;
    r.payload.assign(body.begin(), body.end());
    out.push_back(std::move(r));
  }
  return out;
}

std::uint32_t block_id(const std::vector<Record>& records, std::uint8_t reference) {
  if (reference == 0xFF || records.empty()) return 0xDEAD0;
  const std::size_t k = reference % records.size();
  return static_cast<std::uint32_t>(0x1000 + 16 * k + ((records[k].op & 3) != 0 ? 2 : 0));
}

// An id of the 64-bit form has its high half set, so that a reader taking 4 bytes of it
// finds nothing.
std::uint64_t wide(std::uint32_t id) { return (std::uint64_t{1} << 32) | id; }

void store_id(Bytes& b, std::size_t at, std::uint64_t id, bool unicode) {
  if (unicode)
    pst::store_le64(b, at, id);
  else
    pst::store_le32(b, at, static_cast<std::uint32_t>(id));
}

Bytes block_bytes(const std::vector<Record>& records, const Record& r, bool unicode) {
  const bool spoil_count = (r.op & 0x80) != 0;
  const std::size_t id_size = unicode ? 8 : 4;
  auto id_of = [&](std::uint8_t reference) {
    const std::uint32_t id = block_id(records, reference);
    return unicode ? wide(id) : id;
  };
  switch (r.op & 3) {
    case 1: {
      Bytes b(8 + id_size * r.payload.size(), 0);
      b[0] = 0x01;
      b[1] = r.level;
      pst::store_le16(b, 2, spoil_count ? 0xFFFF : static_cast<std::uint16_t>(r.payload.size()));
      for (std::size_t i = 0; i < r.payload.size(); ++i)
        store_id(b, 8 + id_size * i, id_of(r.payload[i]), unicode);
      return b;
    }
    case 2: {
      const std::size_t n = r.payload.size() / 3;
      const std::size_t head = unicode ? 8 : 4;
      const std::size_t entry = r.level == 0 ? 3 * id_size : 2 * id_size;
      Bytes b(head + entry * n, 0);
      b[0] = 0x02;
      b[1] = r.level;
      pst::store_le16(b, 2, spoil_count ? 0xFFFF : static_cast<std::uint16_t>(n));
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = head + entry * i;
        store_id(b, at, r.payload[3 * i], unicode);
        store_id(b, at + id_size, id_of(r.payload[3 * i + 1]), unicode);
        if (r.level == 0) store_id(b, at + 2 * id_size, id_of(r.payload[3 * i + 2]), unicode);
      }
      return b;
    }
    default:
      return r.payload;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pstorian;
  if (size < 2) return 0;
  const std::vector<Record> records = parse(std::span(data, size).subspan(1));
  if (records.empty()) return 0;

  RecoveryTables tables;
  const bool unicode = (data[0] & 4) != 0;
  tables.form = unicode ? pst::FileForm::kUnicode : pst::FileForm::kAnsi;
  tables.cyclic = (data[0] & 2) != 0;
  tables.encoded = !tables.cyclic && (data[0] & 1) != 0;
  auto id_of = [&](std::size_t k) {
    const std::uint32_t id = block_id(records, static_cast<std::uint8_t>(k));
    return unicode ? wide(id) : std::uint64_t{id};
  };
  Bytes image(0x40, 0);
  for (std::size_t k = 0; k < records.size(); ++k) {
    const Bytes b = block_bytes(records, records[k], unicode);
    const auto offset = static_cast<std::uint32_t>(image.size());
    image.insert(image.end(), b.begin(), b.end());
    image.resize((image.size() + 16 + 63) / 64 * 64, 0);
    tables.blocks.add(id_of(k), offset, static_cast<std::uint32_t>(b.size()));
  }
  const MemorySource file(image);
  const NodeReader reader(file, tables);

  std::size_t sum = 0;
  const BlockRef* first_subnodes = nullptr;
  for (std::size_t k = 0; k < records.size(); ++k) {
    const BlockRef* ref = tables.find_block(id_of(k));
    if (ref == nullptr) continue;
    sum += reader.read_block(*ref, true, 1).size() + reader.read_block(*ref, false, 0).size();
    const SubnodeList subnodes = reader.read_subnodes(ref);
    for (const SubnodeRef& s : subnodes) sum += s.subnode_id + s.data_block->size;
    if (first_subnodes == nullptr && (records[k].op & 3) == 2) first_subnodes = ref;
  }

  // A message over the first block, with the first subnode tree: values held in subnodes
  // are read through the trees above.
  const BlockRef* data_block = tables.find_block(id_of(0));
  const ObjectIndex item = tables.objects.create(0x200024, first_subnodes, data_block, true);
  tables.objects.append_top_level(item);
  if (const auto record = decode_item(reader, tables.objects[item])) {
    if (record->message && record->message->subject) sum += record->message->subject->text.size();
    if (record->content) sum += pstorian::touch_content(*record->content);
  }
  if (const auto rows = read_properties(reader, data_block, reader.read_subnodes(first_subnodes)))
    for (const PropRow& row : *rows)
      for (const PropValue& v : row.values) sum += v.size();
  g_sink = g_sink + sum;
  return 0;
}
