// Fuzzes the property reader and the item extraction on arbitrary heap blocks.
//
// Input: byte 0 holds flags (bit 0: the file is encoded, bit 1: a name-to-id map node
// reads its properties from block 0x104, bit 2: the file is of the 64-bit form, so its
// Unicode strings are read as text, bit 3: with the cyclic encoding). Then come 8 block index entries of 8 bytes
// (u32 id, u16 offset into the rest, u16 size) that subnode and data tree references
// may hit, and then the node's data block itself, indexed as block 0x20. The whole input
// is the file the reader reads.
#include <cstddef>
#include <cstdint>

#include "engine/byte_source.h"
#include "engine/item_extraction.h"
#include "engine/named_property_map.h"
#include "engine/property_reader.h"
#include "format/endian.h"
#include "fuzz/touch_content.h"

namespace {

constexpr std::size_t kIndexEntries = 8;
constexpr std::size_t kIndexBytes = 1 + kIndexEntries * 8;
constexpr std::uint32_t kBase = 0x40;  // file offset of the bytes after the flags and index
volatile std::size_t g_sink = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pstorian;
  if (size <= kIndexBytes) return 0;
  const std::span<const std::uint8_t> in(data, size);
  const std::size_t body = size - kIndexBytes;

  // The padding ahead, the data, and room for a trailer behind the last block.
  Bytes image(kBase, 0);
  image.insert(image.end(), data + kIndexBytes, data + size);
  image.resize(image.size() + 16);
  const MemorySource file(image);

  RecoveryTables tables;
  tables.form = (data[0] & 4) != 0 ? pst::FileForm::kUnicode : pst::FileForm::kAnsi;
  tables.cyclic = (data[0] & 8) != 0;
  tables.encoded = !tables.cyclic && (data[0] & 1) != 0;
  for (std::size_t i = 0; i < kIndexEntries; ++i) {
    const std::size_t at = 1 + 8 * i;
    tables.blocks.add(pst::load_le32(in, at), kBase + pst::load_le16(in, at + 4),
                      pst::load_le16(in, at + 6));
  }
  tables.blocks.add(0x20, kBase, static_cast<std::uint32_t>(body > 8180 ? 8180 : body));

  const ObjectIndex item =
      tables.objects.create(0x200024, tables.find_block(0x102), tables.find_block(0x20), true);
  tables.objects.append_top_level(item);
  if ((data[0] & 2) != 0)
    tables.objects.append_top_level(
        tables.objects.create(0x61, tables.find_block(0x106), tables.find_block(0x104), true));

  const NodeReader reader(file, tables);
  ensure_named_property_map(reader, tables);
  const auto record = decode_item(reader, tables.objects[item]);
  // Touch what was decoded so that reads of freed or uninitialised memory would show.
  std::size_t sum = 0;
  if (record && record->message && record->message->subject)
    sum += record->message->subject->text.size();
  if (record && record->dist_list)
    sum += record->dist_list->members.size() + record->dist_list->wide_members.size();
  if (record && record->content) sum += pstorian::touch_content(*record->content);
  const auto rows = read_properties(reader, tables.find_block(0x20),
                                    reader.read_subnodes(tables.find_block(0x102)));
  if (rows)
    for (const PropRow& row : *rows)
      for (const PropValue& v : row.values) sum += v.size();
  g_sink = g_sink + sum;
  return 0;
}
