// Fuzzes the heap reader of the ltp layer on arbitrary heap blocks: the heap itself, its
// BTHs, property contexts and table contexts, through both the whole readers (which refuse
// what is malformed) and the parts the recovery engine reads damaged contexts with.
//
// Input: a sequence of blocks, each a u16 length and that many bytes. The first blocks up
// to one whose length has bit 15 set (at most 8) are the heap; the blocks after it are
// the subnodes, subnode k answering every subnode id whose bits 5 and up are k modulo their
// count.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/ltp_reader.h"

namespace {

using Block = std::vector<std::uint8_t>;
volatile std::size_t g_sink = 0;

std::size_t touch(std::span<const std::uint8_t> bytes) {
  std::size_t sum = bytes.size();
  for (const std::uint8_t b : bytes) sum += b;
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pstorian;
  const std::span<const std::uint8_t> in(data, size);
  std::vector<Block> heap_blocks;
  std::vector<Block> subnodes;
  bool in_heap = true;
  for (std::size_t at = 0; at + 2 <= in.size();) {
    const std::uint16_t word = pst::load_le16(in, at);
    at += 2;
    const std::size_t length = std::min<std::size_t>(word & 0x7FFF, in.size() - at);
    Block b(in.begin() + static_cast<std::ptrdiff_t>(at),
            in.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    (in_heap ? heap_blocks : subnodes).push_back(std::move(b));
    if ((word & 0x8000) != 0 || heap_blocks.size() == 8) in_heap = false;
  }
  if (heap_blocks.empty()) return 0;

  const SubnodeReader read_subnode = [&](std::uint32_t nid) -> std::vector<std::uint8_t> {
    if (subnodes.empty()) throw LtpError("no subnode");
    return subnodes[(nid >> 5) % subnodes.size()];
  };

  std::size_t sum = 0;
  try {
    const HeapView heap(heap_blocks);
    sum += heap.block_count() + heap.client_signature();
    // Whatever the user root names, as a BTH of any shape.
    try {
      for (const BthRecord& r : read_bth(heap, heap.user_root())) sum += r.key + touch(r.entry);
    } catch (const LtpError&) {
    }
    // Property contexts value by value, as the engine reads them, then whole.
    try {
      for (const PropertyRecord& r : property_records(heap)) {
        try {
          const ValueLocation where = locate_value(heap, pst::tag_type(r.tag), r.slot);
          sum += touch(where.bytes) + where.subnode;
          sum += value_fits_type(pst::tag_type(r.tag), where.bytes) ? 1 : 0;
        } catch (const LtpError&) {
        }
      }
      for (const StoredProperty& p : read_property_context(heap, read_subnode))
        sum += p.tag + touch(p.value);
    } catch (const LtpError&) {
    }
    // Table contexts cell by cell, then whole.
    try {
      const TableInfo info = read_table_info(heap);
      try {
        const auto matrix = heap_row_matrix(heap, info);
        for (std::size_t at = 0; matrix.size() - at >= info.row_size; at += info.row_size)
          table_cells(info, matrix.subspan(at, info.row_size),
                      [&](const TableColumn& c, std::span<const std::uint8_t> cell) {
                        sum += c.tag + touch(cell);
                        try {
                          sum += touch(locate_value(heap, pst::tag_type(c.tag), cell).bytes);
                        } catch (const LtpError&) {
                        }
                      });
      } catch (const LtpError&) {
      }
      const TableContents t = read_table_context(heap, read_subnode);
      for (const TableRow& row : t.rows)
        for (const StoredProperty& p : row) sum += p.tag + touch(p.value);
    } catch (const LtpError&) {
    }
  } catch (const LtpError&) {
  }
  g_sink = g_sink + sum;
  return 0;
}
