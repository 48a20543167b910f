#include "mailclient/automation/compressed_rtf.h"

#include <array>

#include "format/crc.h"
#include "format/endian.h"

namespace pstorian {
namespace {

constexpr std::string_view kPreamble =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
constexpr std::size_t kDictionary = 4096;
constexpr std::size_t kMinMatch = 2;
constexpr std::size_t kMaxMatch = 17;
constexpr std::uint32_t kCompressed = 0x75465A4C;  // "LZFu"

class Dictionary {
 public:
  Dictionary() {
    for (const char c : kPreamble) put(static_cast<std::uint8_t>(c));
  }

  std::size_t position() const { return write_; }

  void put(std::uint8_t c) {
    bytes_[write_] = c;
    write_ = (write_ + 1) % kDictionary;
    if (filled_ < kDictionary) ++filled_;
  }

  // The longest run at `text` that a reference can copy, with its offset: from places
  // already written, and not from places the copy itself overwrites before reading them (a
  // decompressor reads and writes one byte at a time). A length of 0 when none.
  std::pair<std::size_t, std::size_t> longest(std::string_view text) const {
    std::size_t best_offset = write_, best_length = 0;
    const std::size_t limit = std::min(kMaxMatch, text.size());
    if (limit < kMinMatch) return {best_offset, 0};
    for (std::size_t start = 0; start < filled_; ++start) {
      const std::size_t offset = filled_ < kDictionary ? start : (write_ + start) % kDictionary;
      if (offset == write_) continue;
      std::size_t n = 0;
      while (n < limit && readable(offset, n) &&
             bytes_[(offset + n) % kDictionary] == static_cast<std::uint8_t>(text[n]))
        ++n;
      if (n > best_length) {
        best_length = n;
        best_offset = offset;
        if (n == limit) break;
      }
    }
    return {best_offset, best_length >= kMinMatch ? best_length : 0};
  }

 private:
  // Whether byte `n` of a copy from `offset` is still the dictionary's when read: the copy
  // writes bytes 0..n-1 at the write position first.
  bool readable(std::size_t offset, std::size_t n) const {
    const std::size_t at = (offset + n) % kDictionary;
    if (filled_ < kDictionary && at >= write_) return false;  // never written

    const std::size_t ahead = (at + kDictionary - write_) % kDictionary;
    return ahead >= n;
  }

  std::array<std::uint8_t, kDictionary> bytes_{};
  std::size_t write_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace

std::vector<std::uint8_t> compress_rtf(std::string_view rtf) {
  Dictionary dictionary;
  std::vector<std::uint8_t> body;
  std::size_t at = 0;
  bool ended = false;
  while (!ended) {
    const std::size_t control = body.size();
    body.push_back(0);
    for (int bit = 0; bit < 8; ++bit) {
      if (at == rtf.size()) {
        // The end: a reference to where the next byte would go.
        const auto ref = static_cast<std::uint16_t>(dictionary.position() << 4);
        body[control] = static_cast<std::uint8_t>(body[control] | (1u << bit));
        body.push_back(static_cast<std::uint8_t>(ref >> 8));
        body.push_back(static_cast<std::uint8_t>(ref & 0xFF));
        ended = true;
        break;
      }
      const auto [offset, length] = dictionary.longest(rtf.substr(at));
      if (length == 0) {
        const auto c = static_cast<std::uint8_t>(rtf[at++]);
        body.push_back(c);
        dictionary.put(c);
        continue;
      }
      const auto ref = static_cast<std::uint16_t>(offset << 4 | (length - kMinMatch));
      body[control] = static_cast<std::uint8_t>(body[control] | (1u << bit));
      body.push_back(static_cast<std::uint8_t>(ref >> 8));
      body.push_back(static_cast<std::uint8_t>(ref & 0xFF));
      for (std::size_t k = 0; k < length; ++k) dictionary.put(static_cast<std::uint8_t>(rtf[at++]));
    }
  }
  std::vector<std::uint8_t> out(16);
  pst::store_le32(out, 0, static_cast<std::uint32_t>(body.size() + 12));
  pst::store_le32(out, 4, static_cast<std::uint32_t>(rtf.size()));
  pst::store_le32(out, 8, kCompressed);
  pst::store_le32(out, 12, pst::crc32(body));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace pstorian
