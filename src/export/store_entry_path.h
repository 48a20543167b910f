// Finding the file of a store from its store identifier.
//
// The mail client gives a store's identifier as hex text, two upper-case digits a byte, of
// the store's entry identifier. For a personal folder store that identifier ends with the
// path of the file, zero-terminated. The path is either a POSIX path ("/home/ann/x.pst") or
// a path on a lettered drive ("C:\Mail\x.pst"); everything before it (flags, provider ids)
// is binary.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pstorian {

// At most this many bytes of an identifier are decoded; a path that does not end within
// them is not found. (Linux paths may be far longer than the drive-letter paths for which
// a 500-byte buffer once sufficed.)
inline constexpr std::size_t kStoreIdDecodeLimit = 8192;

// The bytes of an identifier text: each pair of characters gives one byte, decoded as hex
// digits 0-9 and A-F; a pair's decoding stops at its first other character, the byte keeping
// the value of the digits before it. A trailing odd character decodes as a pair of its own.
std::string decode_store_id(std::u16string_view store_id);

// The file path inside a store identifier, in the file system's encoding:
//   - a drive-letter path: from the letter before the first ":\" up to the next zero byte
//     (no path when ":\" is the very first byte pair), unless that ":\" comes after the first
//     "/" of the last run of nonzero bytes: a POSIX folder may hold ":\" in its name;
//   - otherwise a POSIX path: from the first "/" of the last run of nonzero bytes up to its end.
// Nothing when neither is there.
std::optional<std::string> StoreEntryPath(std::u16string_view store_id);

}  // namespace pstorian
