#include "pst/ndb/block_writer.h"

#include <algorithm>
#include <stdexcept>

#include "format/crc.h"
#include "format/endian.h"
#include "format/permute.h"
#include "format/signature.h"

namespace pstorian {

std::vector<std::uint8_t> build_block(std::span<const std::uint8_t> data, std::uint64_t bid,
                                      std::uint64_t ib, pst::CryptMethod crypt, FileForm form) {
  const FormLayout& f = layout_of(form);
  if (data.size() > f.max_block_data) throw std::invalid_argument("block data too large");
  std::vector<std::uint8_t> copy;
  copy.reserve(block_disk_size(static_cast<std::uint32_t>(data.size()), form));
  copy.assign(data.begin(), data.end());
  return build_block(std::move(copy), bid, ib, crypt, form);
}

std::vector<std::uint8_t> build_block(std::vector<std::uint8_t>&& data, std::uint64_t bid,
                                      std::uint64_t ib, pst::CryptMethod crypt, FileForm form) {
  const FormLayout& f = layout_of(form);
  if (data.size() > f.max_block_data) throw std::invalid_argument("block data too large");
  const auto cb = static_cast<std::uint32_t>(data.size());
  std::vector<std::uint8_t> out = std::move(data);
  out.resize(block_disk_size(cb, form), 0);
  const std::span stored = std::span(out).first(cb);
  // Both forms key the cyclic encoding and the signature with the low 32 bits of the id.
  const auto low_bid = static_cast<std::uint32_t>(bid);
  if (!pst::is_internal_block(low_bid)) {
    if (crypt == pst::kCryptPermute) pst::permute_encode(stored);
    if (crypt == pst::kCryptCyclic) pst::cyclic_crypt(stored, low_bid);
  }
  const std::size_t t = out.size() - f.block_trailer_size;
  pst::store_le16(out, t, static_cast<std::uint16_t>(cb));
  pst::store_le16(out, t + 2, pst::block_signature(static_cast<std::uint32_t>(ib), low_bid));
  store_id(f, out, t + block_trailer_bid_at(form), bid);
  pst::store_le32(out, t + block_trailer_crc_at(form), pst::crc32(stored));
  return out;
}

}  // namespace pstorian
