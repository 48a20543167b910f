// Takes the properties of an object of another store (a message, a recipient row, an
// attachment, a folder) in the form this store keeps them:
//
//   - what a store makes for itself is left out: entry ids and keys that name objects of the
//     store they came from (the object's own, its parent's, the store's, default folders'),
//     sizes and counts the store computes, row ids, source keys, and the range 0x6600 to
//     0x67FF that a personal folder file keeps for its own bookkeeping. A recipient row's
//     entry id, record key and search key name the address, not an object of a store, and
//     are kept. Everything else is kept as it is;
//   - named properties (a name given) go under the id this store's map gives the name,
//     added to the map when new (under the id they came with when it is free here); ids of
//     0x8000 and above without a name are kept as they came, unnamed, as a reader of the
//     other store saw them, unless this store names that id;
//   - values that could not be stored are left out rather than failing the whole object:
//     types the file does not know and fixed-size values of the wrong size. PT_OBJECT values
//     are kept only for attachments, where they are the object's data (the writer stores it
//     in a subnode); elsewhere they name a subnode of the store they came from.
#pragma once

#include <cstdint>
#include <span>

#include "pst/messaging/message_content.h"
#include "pst/messaging/name_to_id_map.h"
#include "pst/messaging/property_bag.h"

namespace pstorian {

enum class ContentObject { kMessage, kRecipient, kAttachment, kFolder };

// Whether a property of this id on this kind of object is the store's to make.
bool store_owned(std::uint16_t id, ContentObject object);

PropertyBag import_properties(std::span<const ContentProperty> properties, NameToIdMap& names,
                              ContentObject object);

}  // namespace pstorian
