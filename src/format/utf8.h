// Between UTF-8 and UTF-16: for text, and for file paths.
//
// Text from the source file and the mail client is repaired on the way (a malformed sequence
// becomes U+FFFD), but a path must survive exactly: a Linux file name is any string of bytes,
// and a name written under another locale (a Latin-1 "café.pst") is not UTF-8. The automation
// interface carries paths as UTF-16, so each byte that is not part of a valid UTF-8 sequence
// travels as a lone low surrogate U+DC80..U+DCFF. Valid UTF-8 never encodes a surrogate, so
// the mapping is one to one and path_from_utf16(path_to_utf16(p)) == p for every p.
#pragma once

#include <string>
#include <string_view>

namespace pst {

// Text: each malformed UTF-8 sequence becomes one U+FFFD, each unpaired surrogate too.
std::u16string utf8_to_utf16(std::string_view utf8);
std::string utf16_to_utf8(std::u16string_view utf16);

// A path's UTF-16 form (see above) and back. Lone surrogates outside U+DC80..U+DCFF, which no
// path_to_utf16 makes, come back as U+FFFD.
std::u16string path_to_utf16(std::string_view path);
std::string path_from_utf16(std::u16string_view text);

}  // namespace pst
