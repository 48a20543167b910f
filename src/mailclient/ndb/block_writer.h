// Blocks as they lie on disk: the data, a zero gap, and a 12-byte trailer at the end of a
// run of whole 64-byte units:
//
//   0      cb   data (encoded as the file's bCryptMethod says, for data blocks only)
//   cb     ..   zeros up to size - 12
//   -12    2    cb
//   -10    2    wSig, the signature of the block's file offset and bid
//   -8     4    bid
//   -4     4    dwCRC over the cb data bytes as stored
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/layout.h"

namespace pstorian {

// Bytes a block of `cb` data bytes occupies in the file.
constexpr std::uint32_t block_disk_size(std::uint32_t cb) {
  return (cb + pst::kBlockTrailerSize + pst::kBlockAlignment - 1) / pst::kBlockAlignment *
         pst::kBlockAlignment;
}

// Builds the on-disk bytes of block `bid` at file offset `ib`. Data blocks are encoded with
// `crypt`; internal blocks (data trees, subnode blocks) are always stored plain. Throws
// std::invalid_argument when `data` exceeds the largest block.
std::vector<std::uint8_t> build_block(std::span<const std::uint8_t> data, std::uint32_t bid,
                                      std::uint32_t ib, pst::CryptMethod crypt = pst::kCryptNone);
// The same, built in the data's own buffer: a block's data is not needed once it is encoded,
// and a commit builds every byte it writes.
std::vector<std::uint8_t> build_block(std::vector<std::uint8_t>&& data, std::uint32_t bid,
                                      std::uint32_t ib, pst::CryptMethod crypt = pst::kCryptNone);

}  // namespace pstorian
