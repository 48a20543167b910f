// What the folders' contents tables say of their messages. Each folder keeps a table with a
// row per message: the message's node id and copies of the properties a list shows. When
// the node B-tree is damaged, these rows are what still tells which folder holds a message.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/node_reader.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

// Property ids of the cells kept from each row.
constexpr std::uint16_t kIdRowId = 0x67F2;  // the message's node id
constexpr std::uint16_t kIdSubject = 0x0037;
constexpr std::uint16_t kIdClientSubmitTime = 0x0039;
constexpr std::uint16_t kIdDeliveryTime = 0x0E06;
constexpr std::uint16_t kIdMessageClass = 0x001A;

// The rows of each folder's contents table, by the folder's node id, with the cells above.
// Of the versions of a table, the newest that can be read counts: a table whose newest
// blocks were damaged still says more from its last readable state than nothing.
using ContentsRows = std::unordered_map<std::uint32_t, std::vector<ContentProperties>>;
ContentsRows read_contents_rows(const NodeReader& reader);

// The node ids each folder's contents table lists, by the folder's node id.
using ContentsListings = std::unordered_map<std::uint32_t, std::unordered_set<std::uint32_t>>;
ContentsListings listings_of(const ContentsRows& rows);

// The value of the cell with property id `id`, or null.
const ContentProperty* cell_of(const ContentProperties& row, std::uint16_t id);

}  // namespace pstorian
