#include "pst/ndb/file_header.h"

#include <algorithm>

#include "format/crc.h"
#include "format/endian.h"

namespace pstorian {
namespace {

constexpr std::size_t kCrcPartialFrom = 8;
constexpr std::size_t kCrcPartialBytes = 471;
constexpr std::size_t kCrcFullBytes = 516;  // 64-bit form: up to dwCRCFull itself
constexpr std::uint16_t kClientMagic = 0x4D53;  // "SM"
constexpr std::uint8_t kSentinel = 0x80;

// Where the fields that move between the forms lie.
struct HeaderPlaces {
  std::size_t bid_next_b, bid_next_p, unique, rgnid, root, fmap, fpmap, sentinel;
};
constexpr HeaderPlaces kAnsiPlaces{24, 28, 32, 36, 164, 204, 332, 460};
constexpr HeaderPlaces kUnicodePlaces{516, 32, 40, 44, 180, 256, 384, 512};

const HeaderPlaces& places_of(FileForm form) {
  return form == FileForm::kUnicode ? kUnicodePlaces : kAnsiPlaces;
}

}  // namespace

HeaderBytes build_file_header(const FileHeader& h) {
  const FormLayout& f = layout_of(h.form);
  const HeaderPlaces& at = places_of(h.form);
  const std::size_t w = f.id_size;
  HeaderBytes b(f.header_size, 0);
  b[0] = '!';
  b[1] = 'B';
  b[2] = 'D';
  b[3] = 'N';
  pst::store_le16(b, 8, kClientMagic);
  pst::store_le16(b, 10, f.unicode() ? pst::kVersionUnicode : pst::kVersionAnsi);
  pst::store_le16(b, 12, h.client_version);
  b[14] = h.platform_create;
  b[15] = h.platform_access;
  store_id(f, b, at.bid_next_b, h.bid_next_b);
  store_id(f, b, at.bid_next_p, h.bid_next_p);
  pst::store_le32(b, at.unique, h.unique);
  for (std::size_t i = 0; i < h.rgnid.size(); ++i) pst::store_le32(b, at.rgnid + 4 * i, h.rgnid[i]);
  const std::size_t r = at.root;
  store_id(f, b, r + 4, h.file_eof);
  store_id(f, b, r + 4 + w, h.amap_last);
  store_id(f, b, r + 4 + 2 * w, h.amap_free);
  store_id(f, b, r + 4 + 3 * w, h.pmap_free);
  store_id(f, b, r + 4 + 4 * w, h.nbt.bid);
  store_id(f, b, r + 4 + 5 * w, h.nbt.ib);
  store_id(f, b, r + 4 + 6 * w, h.bbt.bid);
  store_id(f, b, r + 4 + 7 * w, h.bbt.ib);
  // The 64-bit form marks valid maps with 2; 1 is the older value the 32-bit form keeps.
  b[r + 4 + 8 * w] = h.amap_valid ? (f.unicode() ? 2 : 1) : 0;
  std::copy(h.fmap.begin(), h.fmap.end(), b.begin() + static_cast<std::ptrdiff_t>(at.fmap));
  std::copy(h.fpmap.begin(), h.fpmap.end(), b.begin() + static_cast<std::ptrdiff_t>(at.fpmap));
  b[at.sentinel] = kSentinel;
  b[at.sentinel + 1] = h.crypt;
  pst::store_le32(b, 4, pst::crc32(std::span(b).subspan(kCrcPartialFrom, kCrcPartialBytes)));
  if (f.unicode())
    pst::store_le32(b, kCrcPartialFrom + kCrcFullBytes,
                    pst::crc32(std::span(b).subspan(kCrcPartialFrom, kCrcFullBytes)));
  return b;
}

std::optional<FileHeader> parse_file_header(std::span<const std::uint8_t> b) {
  if (b.size() < pst::kHeaderSize) return std::nullopt;
  if (b[0] != '!' || b[1] != 'B' || b[2] != 'D' || b[3] != 'N') return std::nullopt;
  if (pst::load_le16(b, 8) != kClientMagic) return std::nullopt;
  FileHeader h;
  const std::uint16_t version = pst::load_le16(b, 10);
  if (version == pst::kVersionUnicode)
    h.form = FileForm::kUnicode;
  else if (version != pst::kVersionAnsi)
    return std::nullopt;
  const FormLayout& f = layout_of(h.form);
  const HeaderPlaces& at = places_of(h.form);
  const std::size_t w = f.id_size;
  if (b.size() < f.header_size) return std::nullopt;
  if (pst::load_le32(b, 4) != pst::crc32(b.subspan(kCrcPartialFrom, kCrcPartialBytes)))
    return std::nullopt;
  if (f.unicode() && pst::load_le32(b, kCrcPartialFrom + kCrcFullBytes) !=
                         pst::crc32(b.subspan(kCrcPartialFrom, kCrcFullBytes)))
    return std::nullopt;
  if (b[at.sentinel + 1] > pst::kCryptCyclic) return std::nullopt;
  h.client_version = pst::load_le16(b, 12);
  h.platform_create = b[14];
  h.platform_access = b[15];
  h.bid_next_b = load_id(f, b, at.bid_next_b);
  h.bid_next_p = load_id(f, b, at.bid_next_p);
  h.unique = pst::load_le32(b, at.unique);
  for (std::size_t i = 0; i < h.rgnid.size(); ++i) h.rgnid[i] = pst::load_le32(b, at.rgnid + 4 * i);
  const std::size_t r = at.root;
  h.file_eof = load_id(f, b, r + 4);
  h.amap_last = load_id(f, b, r + 4 + w);
  h.amap_free = load_id(f, b, r + 4 + 2 * w);
  h.pmap_free = load_id(f, b, r + 4 + 3 * w);
  h.nbt = {load_id(f, b, r + 4 + 4 * w), load_id(f, b, r + 4 + 5 * w)};
  h.bbt = {load_id(f, b, r + 4 + 6 * w), load_id(f, b, r + 4 + 7 * w)};
  h.amap_valid = b[r + 4 + 8 * w] != 0;
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at.fmap), 128, h.fmap.begin());
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at.fpmap), 128, h.fpmap.begin());
  h.crypt = static_cast<pst::CryptMethod>(b[at.sentinel + 1]);
  return h;
}

}  // namespace pstorian
