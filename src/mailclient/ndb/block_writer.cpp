#include "mailclient/ndb/block_writer.h"

#include <algorithm>
#include <stdexcept>

#include "format/crc.h"
#include "format/endian.h"
#include "format/permute.h"
#include "format/signature.h"

namespace pstorian {

std::vector<std::uint8_t> build_block(std::span<const std::uint8_t> data, std::uint32_t bid,
                                      std::uint32_t ib, pst::CryptMethod crypt) {
  if (data.size() > pst::kMaxBlockData) throw std::invalid_argument("block data too large");
  std::vector<std::uint8_t> copy;
  copy.reserve(block_disk_size(static_cast<std::uint32_t>(data.size())));
  copy.assign(data.begin(), data.end());
  return build_block(std::move(copy), bid, ib, crypt);
}

std::vector<std::uint8_t> build_block(std::vector<std::uint8_t>&& data, std::uint32_t bid,
                                      std::uint32_t ib, pst::CryptMethod crypt) {
  if (data.size() > pst::kMaxBlockData) throw std::invalid_argument("block data too large");
  const auto cb = static_cast<std::uint32_t>(data.size());
  std::vector<std::uint8_t> out = std::move(data);
  out.resize(block_disk_size(cb), 0);
  const std::span stored = std::span(out).first(cb);
  if (!pst::is_internal_block(bid)) {
    if (crypt == pst::kCryptPermute) pst::permute_encode(stored);
    if (crypt == pst::kCryptCyclic) pst::cyclic_crypt(stored, bid);
  }
  const std::size_t t = out.size() - pst::kBlockTrailerSize;
  pst::store_le16(out, t, static_cast<std::uint16_t>(cb));
  pst::store_le16(out, t + 2, pst::block_signature(ib, bid));
  pst::store_le32(out, t + 4, bid);
  pst::store_le32(out, t + 8, pst::crc32(stored));
  return out;
}

}  // namespace pstorian
