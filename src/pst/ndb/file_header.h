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
//
// The 564 bytes of a 64-bit (Unicode) one, the root widened to 8-byte offsets:
//
//   0    4    dwMagic "!BDN"            180  4    root: dwReserved
//   4    4    dwCRCPartial (471 bytes   184  8          ibFileEof
//             from offset 8)            192  8          ibAMapLast
//   8    2    wMagicClient "SM"         200  8          cbAMapFree
//   10   2    wVer (23)                 208  8          cbPMapFree
//   12   2    wVerClient                216  16         BREFNBT (bid, ib)
//   14   2    bPlatformCreate, Access   232  16         BREFBBT (bid, ib)
//   16   8    dwReserved1, dwReserved2  248  1          fAMapValid (2: valid)
//   24   8    bidUnused                 249  3          bReserved, wReserved
//   32   8    bidNextP                  252  4    dwAlign
//   40   4    dwUnique                  256  128  rgbFM
//   44   128  rgnid[32]                 384  128  rgbFP
//   172  8    qwUnused                  512  1    bSentinel 0x80
//                                       513  1    bCryptMethod
//                                       514  2    reserved
//                                       516  8    bidNextB
//                                       524  4    dwCRCFull (516 bytes from offset 8)
//                                       528  36   reserved, zero
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/layout.h"
#include "pst/ndb/btree_page.h"

namespace pstorian {

struct FileHeader {
  FileForm form = FileForm::kAnsi;
  std::uint16_t client_version = 19;
  std::uint8_t platform_create = 0x01;
  std::uint8_t platform_access = 0x01;
  std::uint64_t bid_next_b = 0;
  std::uint64_t bid_next_p = 0;
  std::uint32_t unique = 0;
  std::array<std::uint32_t, 32> rgnid{};  // last node index handed out, per node type
  std::uint64_t file_eof = 0;
  std::uint64_t amap_last = 0;
  std::uint64_t amap_free = 0;
  std::uint64_t pmap_free = 0;
  Bref nbt;
  Bref bbt;
  bool amap_valid = true;
  std::array<std::uint8_t, 128> fmap{};
  std::array<std::uint8_t, 128> fpmap{};
  pst::CryptMethod crypt = pst::kCryptNone;
};

// 512 bytes for the 32-bit form, 564 for the 64-bit one.
using HeaderBytes = std::vector<std::uint8_t>;

HeaderBytes build_file_header(const FileHeader& header);

// Reads the header of either form (the form it finds goes into `form`); nothing when the
// magic values, version or check values do not hold.
std::optional<FileHeader> parse_file_header(std::span<const std::uint8_t> bytes);

}  // namespace pstorian
