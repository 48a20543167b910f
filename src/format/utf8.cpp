#include "format/utf8.h"

#include <algorithm>
#include <cstdint>

namespace pst {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// One step of strict UTF-8 decoding at `at` (< text.size()): the code point and the bytes it
// took, or, for a malformed sequence (a stray continuation byte, a truncated or overlong
// sequence, a surrogate, a value past U+10FFFF), valid = false and the bytes up to the one
// that broke it (at least one).
struct Utf8Step {
  char32_t code_point = 0;
  std::size_t length = 1;
  bool valid = false;
};

constexpr char16_t kEscapeBase = 0xDC00;  // a stray byte b travels as U+DC00 + b (b >= 0x80)

bool is_high_surrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

Utf8Step decode_utf8_step(std::string_view text, std::size_t at) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  if (lead < 0x80) return {lead, 1, true};
  int extra = 0;
  char32_t c = 0;
  char32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, min = 0x10000;
  } else {
    return {};
  }
  std::size_t next = at + 1;
  for (int k = 0; k < extra; ++k, ++next) {
    if (next >= text.size() || (static_cast<std::uint8_t>(text[next]) & 0xC0) != 0x80)
      return {0, next - at, false};
    c = (c << 6) | (static_cast<std::uint8_t>(text[next]) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0, next - at, false};
  return {c, next - at, true};
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

bool is_escaped_byte(char16_t u) {
  return u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF;
}

// UTF-8 of UTF-16; with `unescape_bytes`, the escaped bytes of a path come back as themselves.
std::string to_utf8(std::u16string_view text, bool unescape_bytes) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      append_utf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                           (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (unescape_bytes && is_escaped_byte(u)) {
      out.push_back(static_cast<char>(u - kEscapeBase));
    } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
      append_utf8(out, kReplacementCharacter);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace

std::u16string path_to_utf16(std::string_view path) {
  std::u16string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    const Utf8Step step = decode_utf8_step(path, i);
    if (step.valid) {
      append_utf16(out, step.code_point);
    } else {
      for (std::size_t k = 0; k < step.length; ++k)
        out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<std::uint8_t>(path[i + k])));
    }
    i += step.length;
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view utf8) {
  // Plain ASCII, the bulk of most mail, widens byte by byte.
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; }))
    return std::u16string(utf8.begin(), utf8.end());
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    // A malformed sequence gives one U+FFFD; decoding resumes at the byte that broke it.
    const Utf8Step step = decode_utf8_step(utf8, i);
    append_utf16(out, step.valid ? step.code_point : kReplacementCharacter);
    i += step.length;
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  return to_utf8(utf16, false);
}

std::string path_from_utf16(std::u16string_view text) {
  return to_utf8(text, true);
}

}  // namespace pst
