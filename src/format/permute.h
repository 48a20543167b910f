// The data encodings of personal folder files. Most files written by the mail client use
// the permutative ("compressible") encoding: every byte of a data block is replaced through
// a fixed substitution table. Only data blocks are encoded; data tree and subnode blocks
// and the B-tree pages are always stored plain.
#pragma once

#include <cstdint>
#include <span>

namespace pst {

void permute_decode(std::span<std::uint8_t> data);
void permute_encode(std::span<std::uint8_t> data);
std::uint8_t permute_decode_byte(std::uint8_t b);
std::uint8_t permute_encode_byte(std::uint8_t b);

// The cyclic ("high") encoding keyed by the block id; the same routine encodes and decodes.
void cyclic_crypt(std::span<std::uint8_t> data, std::uint32_t key);

}  // namespace pst
