// Entry identifiers of stores and messages, and the hex text they travel in.
//
//   message entry id (24 bytes): flags (4, zero), the store's record key (16), node id (4)
//   store entry id:              flags (4, zero), the store-wrapping provider uid (16),
//                                version (1, 0), flag (1, 0), the provider's library name
//                                "mspst.dll" with its zero byte, zero bytes to a multiple of
//                                4, wrapped flags (4, zero), the store's record key (16),
//                                store type (4, 0x0C: a personal folder file), then the
//                                file's absolute path (UTF-8) and a zero byte
//
// Hex text is two upper-case digits a byte.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pstorian {

using RecordKey = std::array<std::uint8_t, 16>;

std::u16string to_hex_text(std::span<const std::uint8_t> bytes);
// Nothing for an odd length or a character that is not a hex digit (either case).
std::optional<std::vector<std::uint8_t>> from_hex_text(std::u16string_view text);

std::vector<std::uint8_t> message_entry_id(const RecordKey& store, std::uint32_t nid);
struct MessageRef {
  RecordKey store{};
  std::uint32_t nid = 0;
};
std::optional<MessageRef> parse_message_entry_id(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> store_entry_id(const RecordKey& store, std::string_view path);

}  // namespace pstorian
