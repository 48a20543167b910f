// Texts cross the automation interfaces as UTF-16 and are stored in personal folder files as
// 8-bit strings in one code page (Windows-1252 unless configured otherwise). This converts
// between the two through iconv.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pstorian {

class TextCodec {
 public:
  // Throws std::invalid_argument when iconv does not know `codepage` (an iconv name such as
  // "WINDOWS-1252" or "CP1251").
  explicit TextCodec(std::string_view codepage = "WINDOWS-1252");
  ~TextCodec();
  TextCodec(const TextCodec&) = delete;
  TextCodec& operator=(const TextCodec&) = delete;

  // Characters that the code page lacks become '?'.
  std::string encode(std::u16string_view text) const;
  // Bytes that the code page does not define become U+FFFD.
  std::u16string decode(std::string_view text) const;

  const std::string& codepage() const { return codepage_; }
  // The Windows code page number (1252 for "WINDOWS-1252", 1251 for "CP1251"), 0 when the
  // name carries none.
  std::uint32_t codepage_number() const;

 private:
  struct Handles;
  std::string codepage_;
  std::unique_ptr<Handles> handles_;
};

// Texts of PT_UNICODE values: UTF-16LE without a terminating zero. An odd last byte is
// dropped.
std::vector<std::uint8_t> to_utf16le(std::u16string_view text);
std::u16string from_utf16le(std::span<const std::uint8_t> bytes);

// Letter case folded as the mail client compares folder names.
std::u16string fold_case(std::u16string_view text);

}  // namespace pstorian
