// RTF bodies as messages keep them (PR_RTF_COMPRESSED): a 16-byte header and the text
// compressed against a 4,096-byte dictionary that starts out holding a fixed RTF preamble.
//
//   header:  COMPSIZE (4): the bytes after this field; RAWSIZE (4): the RTF's size;
//            COMPTYPE (4): "LZFu"; CRC (4): pst::crc32 of the bytes after the header
//   then:    runs of a control byte and eight items, bit 0 first: a clear bit is a literal
//            byte, a set bit a 2-byte reference (big-endian: dictionary offset << 4 |
//            length - 2, lengths 2 to 17). Every byte written also goes into the dictionary
//            at its write position, which wraps at 4,096. A reference to the write position
//            itself ends the data.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace pstorian {

// Compresses `rtf` greedily: at each place the longest match the dictionary holds, else a
// literal.
std::vector<std::uint8_t> compress_rtf(std::string_view rtf);

}  // namespace pstorian
