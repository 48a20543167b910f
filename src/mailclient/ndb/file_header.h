// The 512-byte header of a 32-bit (ANSI) personal folder file:
//
//   0    4    dwMagic "!BDN"            164  4    root: dwReserved
//   4    4    dwCRCPartial (471 bytes   168  4          ibFileEof
//             from offset 8)            172  4          ibAMapLast
//   8    2    wMagicClient "SM"         176  4          cbAMapFree
//   10   2    wVer (14)                 180  4          cbPMapFree
//   12   2    wVerClient                184  8          BREFNBT (bid, ib)
//   14   1    bPlatformCreate           192  8          BREFBBT (bid, ib)
//   15   1    bPlatformAccess           200  1          fAMapValid
//   16   8    dwReserved1, dwReserved2  201  3          bReserved, wReserved
//   24   4    bidNextB                  204  128  rgbFM
//   28   4    bidNextP                  332  128  rgbFP
//   32   4    dwUnique                  460  1    bSentinel 0x80
//   36   128  rgnid[32]                 461  1    bCryptMethod
//                                       462  50   reserved, zero
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "format/layout.h"
#include "mailclient/ndb/btree_page.h"

namespace pstorian {

struct FileHeader {
  std::uint16_t client_version = 19;
  std::uint8_t platform_create = 0x01;
  std::uint8_t platform_access = 0x01;
  std::uint32_t bid_next_b = 0;
  std::uint32_t bid_next_p = 0;
  std::uint32_t unique = 0;
  std::array<std::uint32_t, 32> rgnid{};  // last node index handed out, per node type
  std::uint32_t file_eof = 0;
  std::uint32_t amap_last = 0;
  std::uint32_t amap_free = 0;
  std::uint32_t pmap_free = 0;
  Bref nbt;
  Bref bbt;
  bool amap_valid = true;
  std::array<std::uint8_t, 128> fmap{};
  std::array<std::uint8_t, 128> fpmap{};
  pst::CryptMethod crypt = pst::kCryptNone;
};

using HeaderBytes = std::array<std::uint8_t, pst::kHeaderSize>;

HeaderBytes build_file_header(const FileHeader& header);

// Reads the header of a 32-bit file; nothing when the magic values, version or check value
// do not hold.
std::optional<FileHeader> parse_file_header(std::span<const std::uint8_t> bytes);

}  // namespace pstorian
