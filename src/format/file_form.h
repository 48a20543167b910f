// The two forms of a personal folder file. They differ in the width of block ids and file
// offsets (4 bytes in the ANSI form, 8 in the Unicode form) and so in the layout of every
// structure that holds one; see layout.h and layout_unicode.h.
#pragma once

#include <string_view>

namespace pst {

enum class FileForm { kAnsi, kUnicode };

constexpr std::string_view form_name(FileForm form) {
  return form == FileForm::kUnicode ? "unicode" : "ansi";
}

}  // namespace pst
