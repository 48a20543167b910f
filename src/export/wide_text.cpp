#include "export/wide_text.h"

#include "format/utf8.h"

namespace pstorian {

std::u16string utf8_to_utf16(std::string_view utf8) {
  return pst::utf8_to_utf16(utf8);
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  return pst::utf16_to_utf8(utf16);
}

}  // namespace pstorian
