// Blocks as they lie on disk: the data, a zero gap, and a trailer (12 bytes in the 32-bit
// form, 16 in the 64-bit one) at the end of a run of whole 64-byte units:
//
//   0      cb   data (encoded as the file's bCryptMethod says, for data blocks only)
//   cb     ..   zeros up to the trailer
//   32-bit form                              64-bit form
//   -12    2    cb                           -16   2    cb
//   -10    2    wSig                         -14   2    wSig
//   -8     4    bid                          -12   4    dwCRC over the cb data bytes
//   -4     4    dwCRC over the cb data bytes -8    8    bid
//
// wSig is the signature of the block's file offset and bid.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/layout.h"
#include "pst/ndb/form_layout.h"

namespace pstorian {

// Bytes a block of `cb` data bytes occupies in the file.
constexpr std::uint32_t block_disk_size(std::uint32_t cb, FileForm form = FileForm::kAnsi) {
  return (cb + layout_of(form).block_trailer_size + pst::kBlockAlignment - 1) /
         pst::kBlockAlignment * pst::kBlockAlignment;
}

// Where the id and the check value of a block lie, from the start of its trailer.
constexpr std::size_t block_trailer_bid_at(FileForm form) {
  return form == FileForm::kUnicode ? 8 : 4;
}
constexpr std::size_t block_trailer_crc_at(FileForm form) {
  return form == FileForm::kUnicode ? 4 : 8;
}

// Builds the on-disk bytes of block `bid` at file offset `ib`. Data blocks are encoded with
// `crypt`; internal blocks (data trees, subnode blocks) are always stored plain. Throws
// std::invalid_argument when `data` exceeds the largest block.
std::vector<std::uint8_t> build_block(std::span<const std::uint8_t> data, std::uint64_t bid,
                                      std::uint64_t ib, pst::CryptMethod crypt = pst::kCryptNone,
                                      FileForm form = FileForm::kAnsi);
// The same, built in the data's own buffer: a block's data is not needed once it is encoded,
// and a commit builds every byte it writes.
std::vector<std::uint8_t> build_block(std::vector<std::uint8_t>&& data, std::uint64_t bid,
                                      std::uint64_t ib, pst::CryptMethod crypt = pst::kCryptNone,
                                      FileForm form = FileForm::kAnsi);

}  // namespace pstorian
