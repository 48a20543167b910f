#include "engine/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <utility>

namespace pstorian {

std::string utf16_to_windows_1252(std::span<const std::uint8_t> utf16) {
  // Windows-1252 is ISO 8859-1 but for 0x80-0x9F, which hold these characters (0 where the
  // code page leaves a byte undefined).
  static constexpr std::array<char16_t, 32> kHigh{
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  std::string out;
  out.reserve(utf16.size() / 2);
  for (std::size_t at = 0; at + 1 < utf16.size(); at += 2) {
    const char16_t c = static_cast<char16_t>(utf16[at] | (utf16[at + 1] << 8));
    char byte = '?';
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
      byte = static_cast<char>(c);
    } else if (c != 0) {
      const auto* hit = std::find(kHigh.begin(), kHigh.end(), c);
      if (hit != kHigh.end()) byte = static_cast<char>(0x80 + (hit - kHigh.begin()));
    }
    out.push_back(byte);
  }
  return out;
}
namespace {

iconv_t as_iconv(void* h) {
  return static_cast<iconv_t>(h);
}
const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);  // NOLINT: iconv's own failure value

}  // namespace

std::optional<CodepageConverter> CodepageConverter::open(std::string_view codepage) {
  const std::string name(codepage);
  iconv_t h = iconv_open("UTF-8", name.c_str());
  if (h == kInvalid) return std::nullopt;
  CodepageConverter converter(h);
  std::string ascii(0x80, '\0');
  for (std::size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>(i);
  converter.ascii_compatible_ = converter.convert(ascii) == ascii;
  return converter;
}

CodepageConverter::~CodepageConverter() {
  if (handle_ != nullptr) iconv_close(as_iconv(handle_));
}

CodepageConverter::CodepageConverter(CodepageConverter&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      ascii_compatible_(other.ascii_compatible_) {}

CodepageConverter& CodepageConverter::operator=(CodepageConverter&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) iconv_close(as_iconv(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
    ascii_compatible_ = other.ascii_compatible_;
  }
  return *this;
}

std::string CodepageConverter::to_utf8(std::string_view text) const {
  if (handle_ != nullptr && ascii_compatible_ &&
      std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }))
    return std::string(text);
  return convert(text);
}

std::string CodepageConverter::convert(std::string_view text) const {
  std::string out;
  if (handle_ == nullptr) return out;
  iconv(as_iconv(handle_), nullptr, nullptr, nullptr, nullptr);
  // Single-byte code pages need at most four UTF-8 bytes per input byte.
  std::string buffer(text.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(text.data());  // iconv's signature; the input is not written
  std::size_t in_left = text.size();
  char* dst = buffer.data();
  std::size_t out_left = buffer.size();
  while (in_left > 0) {
    if (iconv(as_iconv(handle_), &in, &in_left, &dst, &out_left) != static_cast<std::size_t>(-1))
      break;
    if (errno != EILSEQ && errno != EINVAL) break;
    // A byte the code page leaves undefined: replace it and go on.
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    if (out_left < 3) break;
    for (char c : std::string_view(kReplacement, 3)) {
      *dst++ = c;
      --out_left;
    }
    ++in;
    --in_left;
  }
  out.assign(buffer.data(), static_cast<std::size_t>(dst - buffer.data()));
  return out;
}

}  // namespace pstorian
