// What a personal folder file says about itself beyond its items: which folders carry its
// structure (found by the node ids the store names, not by their names, which the mail
// client localises) and which code page its 8-bit texts are in. Both are read from a
// finished scan's tables and fall back quietly when the nodes that say so are lost.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/node_reader.h"

namespace pstorian {

// The folders the message store (node 0x21) names by their entry ids. Absent: not named, or
// the store could not be read.
struct StoreRoles {
  std::optional<std::uint32_t> ipm_subtree;   // the top of the personal folders (0x35E0)
  std::optional<std::uint32_t> wastebasket;   // the deleted items (0x35E3)
  std::optional<std::uint32_t> views;         // 0x35E5
  std::optional<std::uint32_t> common_views;  // 0x35E6
  std::optional<std::uint32_t> finder;        // the search root (0x35E7)
};

// The node id an entry id of this store names: the last four bytes of a 24-byte entry id
// (flags, the store's record key, the node id); std::nullopt for any other length.
std::optional<std::uint32_t> entry_id_node(std::span<const std::uint8_t> entry_id);

StoreRoles read_store_roles(const NodeReader& reader);

// The folders that stand for the file's structure and are never made in an output store:
// the root folder, the top of the personal folders (0x8022 when the store does not say),
// the search root and the views folders. Sorted.
std::vector<std::uint32_t> structural_folder_nodes(const StoreRoles& roles);

// The iconv name of a Windows code page whose 8-bit texts a file may hold (874, 932, 936,
// 949, 950, 1250 to 1258), or of the Windows code page an internet code page (a MIME
// charset's number, 50220 for ISO-2022-JP) is written in when stored as 8-bit text.
// std::nullopt for Unicode and unknown code pages.
std::optional<std::string> codepage_name(std::uint32_t codepage);

// The Windows code page of a locale id (0x0411 gives 932); 1252 when none is known.
std::uint32_t locale_codepage(std::uint32_t locale_id);

// The code page the file's 8-bit texts are in, by a vote of its messages (the message code
// page 0x3FFD, else the internet code page 0x3FDE, else the message locale 0x3FF1), else
// from the store's own locale; std::nullopt when nothing in the file says. Windows-1252 for a
// file of the 64-bit form, whose Unicode text the fields hold narrowed to that code page.
// These are 4-byte values, held in the records of each property context: only the heaps
// that hold the records are read, none of the messages' other values nor their subnodes.
std::optional<std::string> file_codepage(const NodeReader& reader);

}  // namespace pstorian
