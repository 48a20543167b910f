// Reads compressed RTF bodies back, for tests: a decompressor written from the format's
// description (see compressed_rtf.h) that trusts nothing it reads.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/endian.h"

namespace pstorian::test {

constexpr std::string_view kRtfPreamble =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";

// The RTF, or nothing for a stream it cannot follow to its end mark.
inline std::optional<std::string> decompress_rtf(std::span<const std::uint8_t> data) {
  if (data.size() < 16 || pst::load_le32(data, 8) != 0x75465A4C) return std::nullopt;
  const std::size_t end = std::min<std::size_t>(data.size(), pst::load_le32(data, 0) + 4);
  std::array<char, 4096> dictionary{};
  std::copy(kRtfPreamble.begin(), kRtfPreamble.end(), dictionary.begin());
  std::size_t write = kRtfPreamble.size();
  std::string out;
  std::size_t at = 16;
  while (at < end) {
    const std::uint8_t control = data[at++];
    for (int bit = 0; bit < 8 && at < end; ++bit) {
      if ((control & (1 << bit)) == 0) {
        out += dictionary[write] = static_cast<char>(data[at++]);
        write = (write + 1) % 4096;
        continue;
      }
      if (at + 2 > end) return std::nullopt;
      const std::size_t ref = std::size_t{data[at]} << 8 | data[at + 1];
      at += 2;
      const std::size_t offset = ref >> 4;
      if (offset == write)
        return out.size() == pst::load_le32(data, 4) ? std::optional(out) : std::nullopt;
      for (std::size_t k = 0; k < (ref & 0xF) + 2; ++k) {
        out += dictionary[write] = dictionary[(offset + k) % 4096];
        write = (write + 1) % 4096;
      }
    }
  }
  return std::nullopt;  // no end mark
}

}  // namespace pstorian::test
