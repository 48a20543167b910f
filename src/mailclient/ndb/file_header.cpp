#include "mailclient/ndb/file_header.h"

#include <algorithm>

#include "format/crc.h"
#include "format/endian.h"

namespace pstorian {
namespace {

constexpr std::size_t kCrcPartialFrom = 8;
constexpr std::size_t kCrcPartialBytes = 471;
constexpr std::uint16_t kClientMagic = 0x4D53;  // "SM"
constexpr std::uint8_t kSentinel = 0x80;

}  // namespace

HeaderBytes build_file_header(const FileHeader& h) {
  HeaderBytes b{};
  b[0] = '!';
  b[1] = 'B';
  b[2] = 'D';
  b[3] = 'N';
  pst::store_le16(b, 8, kClientMagic);
  pst::store_le16(b, 10, pst::kVersionAnsi);
  pst::store_le16(b, 12, h.client_version);
  b[14] = h.platform_create;
  b[15] = h.platform_access;
  pst::store_le32(b, 24, h.bid_next_b);
  pst::store_le32(b, 28, h.bid_next_p);
  pst::store_le32(b, 32, h.unique);
  for (std::size_t i = 0; i < h.rgnid.size(); ++i) pst::store_le32(b, 36 + 4 * i, h.rgnid[i]);
  pst::store_le32(b, 168, h.file_eof);
  pst::store_le32(b, 172, h.amap_last);
  pst::store_le32(b, 176, h.amap_free);
  pst::store_le32(b, 180, h.pmap_free);
  pst::store_le32(b, 184, h.nbt.bid);
  pst::store_le32(b, 188, h.nbt.ib);
  pst::store_le32(b, 192, h.bbt.bid);
  pst::store_le32(b, 196, h.bbt.ib);
  b[200] = h.amap_valid ? 1 : 0;
  std::copy(h.fmap.begin(), h.fmap.end(), b.begin() + 204);
  std::copy(h.fpmap.begin(), h.fpmap.end(), b.begin() + 332);
  b[460] = kSentinel;
  b[461] = h.crypt;
  pst::store_le32(b, 4, pst::crc32(std::span(b).subspan(kCrcPartialFrom, kCrcPartialBytes)));
  return b;
}

std::optional<FileHeader> parse_file_header(std::span<const std::uint8_t> b) {
  if (b.size() < pst::kHeaderSize) return std::nullopt;
  if (b[0] != '!' || b[1] != 'B' || b[2] != 'D' || b[3] != 'N') return std::nullopt;
  if (pst::load_le16(b, 8) != kClientMagic || pst::load_le16(b, 10) != pst::kVersionAnsi)
    return std::nullopt;
  if (pst::load_le32(b, 4) != pst::crc32(b.subspan(kCrcPartialFrom, kCrcPartialBytes)))
    return std::nullopt;
  if (b[461] > pst::kCryptCyclic) return std::nullopt;
  FileHeader h;
  h.client_version = pst::load_le16(b, 12);
  h.platform_create = b[14];
  h.platform_access = b[15];
  h.bid_next_b = pst::load_le32(b, 24);
  h.bid_next_p = pst::load_le32(b, 28);
  h.unique = pst::load_le32(b, 32);
  for (std::size_t i = 0; i < h.rgnid.size(); ++i) h.rgnid[i] = pst::load_le32(b, 36 + 4 * i);
  h.file_eof = pst::load_le32(b, 168);
  h.amap_last = pst::load_le32(b, 172);
  h.amap_free = pst::load_le32(b, 176);
  h.pmap_free = pst::load_le32(b, 180);
  h.nbt = {pst::load_le32(b, 184), pst::load_le32(b, 188)};
  h.bbt = {pst::load_le32(b, 192), pst::load_le32(b, 196)};
  h.amap_valid = b[200] != 0;
  std::copy_n(b.begin() + 204, 128, h.fmap.begin());
  std::copy_n(b.begin() + 332, 128, h.fpmap.begin());
  h.crypt = static_cast<pst::CryptMethod>(b[461]);
  return h;
}

}  // namespace pstorian
