// Text at the automation boundary. Values read from the source file are single-byte text in
// the file's code page; the mail client and the helper component take UTF-16; whatever shows
// the repair (tree, list, status) takes UTF-8. These helpers convert between the three.
#pragma once

#include <string>
#include <string_view>

#include "engine/codepage.h"

namespace pstorian {

// UTF-16 of UTF-8 text; malformed sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view utf8);
// UTF-8 of UTF-16 text; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

// A stored text as the original program saw it: a zero-terminated string, so whatever
// follows a zero byte is not part of it.
inline std::string_view stored_text(std::string_view value) {
  return value.substr(0, value.find('\0'));
}

// Converts the single-byte texts of one source file.
class FileText {
 public:
  explicit FileText(CodepageConverter converter) : converter_(std::move(converter)) {}

  std::string utf8(std::string_view narrow) const {
    return converter_.to_utf8(stored_text(narrow));
  }
  std::u16string utf16(std::string_view narrow) const { return utf8_to_utf16(utf8(narrow)); }

 private:
  CodepageConverter converter_;
};

}  // namespace pstorian
