// Builds small personal-folder-like images in memory for tests: data blocks with correct
// trailers and node B-tree leaf pages, placed where the caller asks. Nothing else of a
// real file (header, maps, B-tree roots) is written; the scan does not need it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/permute.h"
#include "format/signature.h"

namespace testing_pst {

struct LeafSlot {
  std::uint32_t nid, data, sub, parent;
};

class Image {
 public:
  explicit Image(std::size_t size = 0x8000) : bytes_(size, 0) {}

  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::span<const std::uint8_t> view() const { return bytes_; }

  // A block of `data` at `offset` (64-byte aligned), with its trailer at the end of the
  // 64-byte-rounded span. `sig_xor` spoils the stored signature.
  void put_block(std::uint32_t offset, std::uint32_t id, std::span<const std::uint8_t> data,
                 std::uint16_t sig_xor = 0, std::uint32_t crc_xor = 0) {
    const std::uint32_t cb = static_cast<std::uint32_t>(data.size());
    const std::uint32_t span = (cb + 12 + 63) / 64 * 64;
    grow(offset + span);
    std::copy(data.begin(), data.end(), bytes_.begin() + offset);
    const std::uint32_t t = offset + span - 12;
    pst::store_le16(bytes_, t, static_cast<std::uint16_t>(cb));
    pst::store_le16(bytes_, t + 2, static_cast<std::uint16_t>(pst::block_signature(offset, id) ^ sig_xor));
    pst::store_le32(bytes_, t + 4, id);
    // The check value; the scan looks at it only for blocks whose signature is 0.
    pst::store_le32(bytes_, t + 8, pst::crc32(data) ^ crc_xor);
  }
  void put_block(std::uint32_t offset, std::uint32_t id, std::uint32_t cb) {
    std::vector<std::uint8_t> data(cb, 0x5A);
    put_block(offset, id, data);
  }

  // A node B-tree leaf page at `offset` (512-byte aligned). `count` is stored as cEnt
  // (default: the number of slots); `type` as ptype and ptypeRepeat.
  void put_leaf_page(std::uint32_t offset, std::span<const LeafSlot> slots, int count = -1,
                     std::uint8_t type = pst::kPageNbt) {
    grow(offset + 512);
    for (std::size_t i = 0; i < slots.size() && i < 31; ++i) {
      const std::size_t at = offset + i * 16;
      pst::store_le32(bytes_, at, slots[i].nid);
      pst::store_le32(bytes_, at + 4, slots[i].data);
      pst::store_le32(bytes_, at + 8, slots[i].sub);
      pst::store_le32(bytes_, at + 12, slots[i].parent);
    }
    bytes_[offset + 496] = static_cast<std::uint8_t>(count < 0 ? slots.size() : static_cast<std::size_t>(count));
    bytes_[offset + 497] = 31;
    bytes_[offset + 498] = 16;
    bytes_[offset + 499] = 0;
    bytes_[offset + 500] = type;
    bytes_[offset + 501] = type;
    pst::store_le16(bytes_, offset + 502, pst::block_signature(offset, offset | 1));
    pst::store_le32(bytes_, offset + 504, offset | 1);
  }

  void grow(std::size_t size) {
    if (bytes_.size() < size) bytes_.resize(size, 0);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct WideLeafSlot {
  std::uint32_t nid;
  std::uint64_t data, sub;
  std::uint32_t parent;
};

// The same for the 64-bit (Unicode) form: 16-byte block trailers (cb, wSig, dwCRC, bid) and
// leaf pages of 15 slots of 32 bytes.
class UnicodeImage {
 public:
  explicit UnicodeImage(std::size_t size = 0x8000) : bytes_(size, 0) {}

  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::span<const std::uint8_t> view() const { return bytes_; }

  void put_block(std::uint64_t offset, std::uint64_t id, std::span<const std::uint8_t> data,
                 std::uint16_t sig_xor = 0, std::uint32_t crc_xor = 0) {
    const std::uint64_t cb = data.size();
    const std::uint64_t span = (cb + 16 + 63) / 64 * 64;
    grow(offset + span);
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    const std::size_t t = offset + span - 16;
    pst::store_le16(bytes_, t, static_cast<std::uint16_t>(cb));
    pst::store_le16(bytes_, t + 2,
                    static_cast<std::uint16_t>(pst::block_signature(
                        static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(id)) ^ sig_xor));
    pst::store_le32(bytes_, t + 4, pst::crc32(data) ^ crc_xor);
    pst::store_le64(bytes_, t + 8, id);
  }
  void put_block(std::uint64_t offset, std::uint64_t id, std::uint32_t cb) {
    std::vector<std::uint8_t> data(cb, 0x5A);
    put_block(offset, id, data);
  }

  void put_leaf_page(std::uint64_t offset, std::span<const WideLeafSlot> slots, int count = -1,
                     std::uint8_t type = pst::kPageNbt) {
    grow(offset + 512);
    for (std::size_t i = 0; i < slots.size() && i < 15; ++i) {
      const std::size_t at = offset + i * 32;
      pst::store_le64(bytes_, at, slots[i].nid);
      pst::store_le64(bytes_, at + 8, slots[i].data);
      pst::store_le64(bytes_, at + 16, slots[i].sub);
      pst::store_le32(bytes_, at + 24, slots[i].parent);
    }
    bytes_[offset + 488] = static_cast<std::uint8_t>(count < 0 ? slots.size() : static_cast<std::size_t>(count));
    bytes_[offset + 489] = 15;
    bytes_[offset + 490] = 32;
    bytes_[offset + 491] = 0;
    bytes_[offset + 496] = type;
    bytes_[offset + 497] = type;
    pst::store_le16(bytes_, offset + 498,
                    pst::block_signature(static_cast<std::uint32_t>(offset),
                                         static_cast<std::uint32_t>(offset | 1)));
    pst::store_le64(bytes_, offset + 504, offset | 1);
  }

  void grow(std::size_t size) {
    if (bytes_.size() < size) bytes_.resize(size, 0);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The start of a heap-on-node (property or table context), plain or permuted.
inline std::vector<std::uint8_t> heap_header(bool table_context, bool encoded) {
  std::vector<std::uint8_t> h(64, 0);
  pst::store_le16(h, 2, table_context ? 0x7CEC : 0xBCEC);
  pst::store_le16(h, 4, table_context ? 0x0040 : 0x0020);
  pst::store_le16(h, 12, table_context ? 0x04B5 : 0x02B5);
  if (encoded) pst::permute_encode(h);
  return h;
}

}  // namespace testing_pst
