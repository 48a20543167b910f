#include "export/store_entry_path.h"

#include <algorithm>

namespace pstorian {
namespace {

// The value of an upper-case hex digit; -1 for any other character.
int hex_digit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

std::string decode_store_id(std::u16string_view store_id) {
  std::string bytes;
  for (std::size_t i = 0; i < store_id.size() && bytes.size() < kStoreIdDecodeLimit; i += 2) {
    int value = 0;
    for (std::size_t k = i; k < std::min(i + 2, store_id.size()); ++k) {
      const int digit = hex_digit(store_id[k]);
      if (digit < 0) break;
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

std::optional<std::string> StoreEntryPath(std::u16string_view store_id) {
  const std::string bytes = decode_store_id(store_id);

  // The POSIX candidate: the identifier's last zero-terminated text, from its first "/".
  std::optional<std::size_t> posix_start;
  const std::size_t last = bytes.find_last_not_of('\0');
  if (last != std::string::npos) {
    const std::size_t zero_before = bytes.find_last_of('\0', last);
    const std::size_t run_start = zero_before == std::string::npos ? 0 : zero_before + 1;
    const std::size_t slash = bytes.find('/', run_start);
    if (slash != std::string::npos && slash <= last) posix_start = slash;
  }

  // A lettered drive: the first ":\" with a letter in front of it, unless that ":\" lies
  // inside the POSIX path, where it is part of a folder's name ("/home/ann/a:\b/x.pst").
  const std::size_t colon = bytes.find(":\\");
  if (colon != std::string::npos && !(posix_start && colon > *posix_start)) {
    if (colon == 0) return std::nullopt;
    const std::size_t start = colon - 1;
    const std::size_t end = bytes.find('\0', start);
    return bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }

  if (!posix_start) return std::nullopt;
  return bytes.substr(*posix_start, last + 1 - *posix_start);
}

}  // namespace pstorian
