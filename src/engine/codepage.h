// Converts the single-byte text of personal folder files to UTF-8 through iconv. The code
// page is the one the file was written in (Windows-1252 unless told otherwise); bytes that
// the code page does not define become U+FFFD.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pstorian {

constexpr std::string_view kDefaultCodepage = "WINDOWS-1252";

// The Windows-1252 form of UTF-16LE text (an odd last byte is dropped): how Unicode text of
// the 64-bit form fills the single-byte fields of an item record. A character the code
// page lacks, or half of a surrogate pair, becomes '?'.
std::string utf16_to_windows_1252(std::span<const std::uint8_t> utf16);

class CodepageConverter {
 public:
  // A converter from `codepage` (an iconv name such as "WINDOWS-1252" or "CP1251").
  // Returns std::nullopt when iconv does not know it.
  static std::optional<CodepageConverter> open(std::string_view codepage);

  ~CodepageConverter();
  CodepageConverter(CodepageConverter&& other) noexcept;
  CodepageConverter& operator=(CodepageConverter&& other) noexcept;
  CodepageConverter(const CodepageConverter&) = delete;
  CodepageConverter& operator=(const CodepageConverter&) = delete;

  // The UTF-8 form of `text`; text stops at nothing, zero bytes included.
  std::string to_utf8(std::string_view text) const;

 private:
  explicit CodepageConverter(void* handle) : handle_(handle) {}
  std::string convert(std::string_view text) const;

  void* handle_ = nullptr;  // iconv_t
  // Bytes below 0x80 mean what they mean in ASCII (true of the Windows and ISO code pages,
  // not of EBCDIC ones): text made only of them is its own UTF-8 form.
  bool ascii_compatible_ = false;
};

}  // namespace pstorian
