#include "pst/messaging/text_codec.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace pstorian {
namespace {

// Runs one conversion; on a character the target lacks (or a byte the source lacks), emits
// `replacement` and skips the character: `skip` input bytes (2 for UTF-16, 1 for 8-bit).
std::string convert(iconv_t cd, std::string_view in, std::string_view replacement,
                    std::size_t skip) {
  ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  std::vector<char> input(in.begin(), in.end());
  char* src = input.data();
  std::size_t src_left = input.size();
  char buffer[4096];
  while (src_left > 0) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    const std::size_t r = ::iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a cut-off sequence at the end): replace and go on.
    out.append(replacement);
    std::size_t n = std::min(skip, src_left);
    // From UTF-16, a character outside the basic plane is a surrogate pair: skip it whole.
    if (skip == 2 && src_left >= 4 && (static_cast<std::uint8_t>(src[1]) & 0xFC) == 0xD8) n = 4;
    src += n;
    src_left -= n;
  }
  return out;
}

}  // namespace

struct TextCodec::Handles {
  iconv_t to_8bit = reinterpret_cast<iconv_t>(-1);
  iconv_t to_16bit = reinterpret_cast<iconv_t>(-1);
  mutable std::mutex mutex;  // iconv descriptors keep state
  // Whether the code page stores the 128 ASCII characters as themselves, as the Windows
  // code pages do: text that is all ASCII then needs no conversion at all.
  bool ascii_same = false;
  ~Handles() {
    if (to_8bit != reinterpret_cast<iconv_t>(-1)) ::iconv_close(to_8bit);
    if (to_16bit != reinterpret_cast<iconv_t>(-1)) ::iconv_close(to_16bit);
  }
};

TextCodec::TextCodec(std::string_view codepage)
    : codepage_(codepage), handles_(std::make_unique<Handles>()) {
  handles_->to_8bit = ::iconv_open(codepage_.c_str(), "UTF-16LE");
  handles_->to_16bit = ::iconv_open("UTF-16LE", codepage_.c_str());
  if (handles_->to_8bit == reinterpret_cast<iconv_t>(-1) ||
      handles_->to_16bit == reinterpret_cast<iconv_t>(-1))
    throw std::invalid_argument("unknown code page " + codepage_);
  std::string ascii;
  std::string ascii16;
  for (char c = 1; c > 0; ++c) {
    ascii.push_back(c);
    ascii16.push_back(c);
    ascii16.push_back('\0');
  }
  handles_->ascii_same = convert(handles_->to_8bit, ascii16, "?", 2) == ascii &&
                         convert(handles_->to_16bit, ascii, "", 1) == ascii16;
}

TextCodec::~TextCodec() = default;

std::string TextCodec::encode(std::u16string_view text) const {
  if (handles_->ascii_same &&
      std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; }))
    return std::string(text.begin(), text.end());
  std::string in;
  in.reserve(text.size() * 2);
  for (const char16_t c : text) {
    in.push_back(static_cast<char>(c & 0xFF));
    in.push_back(static_cast<char>(c >> 8));
  }
  const std::lock_guard lock(handles_->mutex);
  return convert(handles_->to_8bit, in, "?", 2);
}

std::u16string TextCodec::decode(std::string_view text) const {
  if (handles_->ascii_same &&
      std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::u16string(text.begin(), text.end());
  std::string out;
  {
    const std::lock_guard lock(handles_->mutex);
    out = convert(handles_->to_16bit, text, std::string("\xFD\xFF", 2), 1);
  }
  std::u16string result;
  result.reserve(out.size() / 2);
  for (std::size_t i = 0; i + 1 < out.size(); i += 2)
    result.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(out[i]) |
                                           static_cast<std::uint8_t>(out[i + 1]) << 8));
  return result;
}

std::uint32_t TextCodec::codepage_number() const {
  std::uint32_t n = 0;
  for (const char c : codepage_)
    if (std::isdigit(static_cast<unsigned char>(c)) != 0)
      n = n * 10 + static_cast<std::uint32_t>(c - '0');
  return n;
}

std::vector<std::uint8_t> to_utf16le(std::u16string_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 2);
  for (const char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

std::u16string from_utf16le(std::span<const std::uint8_t> bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  return out;
}

std::u16string fold_case(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
        (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F))
      c = static_cast<char16_t>(c + 0x20);
    else if (c >= 0x400 && c <= 0x40F)
      c = static_cast<char16_t>(c + 0x50);
    else if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
             c != 0x178 && c != 0x17F) {
      // Latin Extended-A pairs capitals with the next code point, from 0x139 to 0x148 and
      // from 0x179 on with an odd capital, elsewhere with an even one.
      const bool odd_capitals = (c >= 0x139 && c <= 0x148) || c >= 0x179;
      if ((c % 2 == 1) == odd_capitals) c = static_cast<char16_t>(c + 1);
    }
  }
  return out;
}

}  // namespace pstorian
