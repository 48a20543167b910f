// The sizes of the two forms of a personal folder file: the 32-bit (ANSI) one, whose block
// ids and offsets are 4 bytes, and the 64-bit (Unicode) one, whose ids and offsets are 8.
// The form is a property of a file, read from its header; the writers of the node and block layer
// take it and lay each structure out by the sizes below, so one code path serves both.
// Pages stay 512 bytes and blocks 64-byte aligned in both, so the allocation maps cover
// the same spans.
#pragma once

#include <cstdint>
#include <span>

#include "format/endian.h"
#include "format/file_form.h"
#include "format/layout.h"
#include "format/layout_unicode.h"

namespace pstorian {

using FileForm = pst::FileForm;

struct FormLayout {
  FileForm form;
  std::uint32_t id_size;             // a block id or file offset
  std::uint32_t header_size;
  std::uint32_t page_trailer_at;     // the page's check value covers the bytes before it
  std::uint32_t block_trailer_size;
  std::uint32_t max_block_data;
  std::uint32_t btree_entry_bytes;   // cEnt, cEntMax, cbEnt, cLevel follow
  std::uint32_t nbt_leaf_entry_size;
  std::uint32_t nbt_leaf_max;
  std::uint32_t bbt_leaf_entry_size;
  std::uint32_t bbt_leaf_max;
  std::uint32_t intermediate_entry_size;
  std::uint32_t intermediate_max;
  std::uint32_t map_bits_at;         // the 32-bit form pads the map bits with 4 bytes
  std::uint32_t tree_header_size;    // XBLOCK, XXBLOCK
  std::uint32_t subnode_header_size; // SLBLOCK, SIBLOCK
  std::uint32_t subnode_leaf_entry_size;
  std::uint32_t subnode_index_entry_size;
  std::uint32_t row_index_size;      // a table context's row number in its row index
  bool unicode() const { return form == FileForm::kUnicode; }
};

constexpr FormLayout kAnsiLayout{FileForm::kAnsi, 4, pst::kHeaderSize, 500,
                                 pst::kBlockTrailerSize, pst::kMaxBlockData,
                                 pst::kBTreeEntryBytes, pst::kNbtLeafEntrySize,
                                 pst::kNbtLeafMaxEntries, pst::kBbtLeafEntrySize,
                                 pst::kBbtLeafMaxEntries, pst::kIntermediateEntrySize,
                                 pst::kIntermediateMaxEntries, 4, 8, 4, 12, 8, 2};
constexpr FormLayout kUnicodeLayout{
    FileForm::kUnicode, 8, pst::unicode::kHeaderSize,
    pst::unicode::kPageSize - pst::unicode::kPageTrailerSize, pst::unicode::kBlockTrailerSize,
    pst::unicode::kMaxBlockData, pst::unicode::kBTreeEntryBytes,
    pst::unicode::kNbtLeafEntrySize, pst::unicode::kNbtLeafMaxEntries,
    pst::unicode::kBbtLeafEntrySize, pst::unicode::kBbtLeafMaxEntries,
    pst::unicode::kIntermediateEntrySize, pst::unicode::kIntermediateMaxEntries, 0,
    pst::unicode::kDataTreeHeaderSize, pst::unicode::kSubnodeHeaderSize,
    pst::unicode::kSubnodeLeafEntrySize, pst::unicode::kSubnodeIntermediateEntrySize, 4};

constexpr const FormLayout& layout_of(FileForm form) {
  return form == FileForm::kUnicode ? kUnicodeLayout : kAnsiLayout;
}

// Reads and writes a block id or offset in the width of the form. A value too wide for
// the 32-bit form never reaches store_id: its stores stop growing short of 2 GB and hand
// out ids from a 32-bit counter.
inline std::uint64_t load_id(const FormLayout& f, std::span<const std::uint8_t> bytes,
                             std::size_t at) {
  return f.unicode() ? pst::load_le64(bytes, at) : pst::load_le32(bytes, at);
}
inline void store_id(const FormLayout& f, std::span<std::uint8_t> bytes, std::size_t at,
                     std::uint64_t value) {
  if (f.unicode())
    pst::store_le64(bytes, at, value);
  else
    pst::store_le32(bytes, at, static_cast<std::uint32_t>(value));
}

}  // namespace pstorian
