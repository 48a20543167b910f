#include "pst/messaging/content_import.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "format/property_types.h"
#include "pst/ltp/stored_property.h"

namespace pstorian {
namespace {

// Keys and entry ids of the store an object lives in, whatever the object.
constexpr std::array<std::uint16_t, 9> kStoreIdentity = {
    0x0FF4,  // access
    0x0FF6,  // instance key
    0x0FF7,  // access level
    0x0FF8,  // mapping signature
    0x0FFA,  // store record key
    0x0FFB,  // store entry id
    0x340D,  // store support mask
    0x3414,  // store provider
    0x0E08,  // size: every store computes its own
};

// The object's own identity in its store; a recipient row's are its address's.
constexpr std::array<std::uint16_t, 5> kObjectIdentity = {
    0x0FFF,  // entry id
    0x0FF9,  // record key
    0x0E09,  // parent entry id
    0x65E0,  // source key
    0x65E1,  // parent source key
};

constexpr std::array<std::uint16_t, 2> kMessageOwned = {
    0x0E0A,  // the folder of the other store that sent mail goes to
    0x0E23,  // the number the other store's folder gave the message
};

constexpr std::array<std::uint16_t, 5> kFolderOwned = {
    0x3001,  // the display name: the folder has its own
    0x3601,  // folder type: what kind of node the folder is here
    0x3602,  // content count
    0x3603,  // unread count
    0x360A,  // has subfolders
};

constexpr std::uint16_t kAttachNumber = 0x0E21;

template <std::size_t N>
bool among(std::uint16_t id, const std::array<std::uint16_t, N>& ids) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Entry ids of a store's special folders, kept on the store, its root and its inbox: the
// folders of the other store.
bool special_folder_entry_id(std::uint16_t id) {
  return (id >= 0x35E0 && id <= 0x35E7) || (id >= 0x36D0 && id <= 0x36D9) || id == 0x36E4 ||
         id == 0x3617;  // and the count of associated contents
}

// Multi-valued forms exist of numbers, times, GUIDs, strings and binaries only.
bool multi_valued_type(std::uint16_t type) {
  switch (type & 0x0FFF) {
    case pst::kPtShort:
    case pst::kPtLong:
    case pst::kPtFloat:
    case pst::kPtDouble:
    case pst::kPtCurrency:
    case pst::kPtAppTime:
    case pst::kPtLongLong:
    case pst::kPtString8:
    case pst::kPtUnicode:
    case pst::kPtSysTime:
    case pst::kPtClsid:
    case pst::kPtBinary:
      return true;
    default:
      return false;
  }
}

bool storable(std::uint16_t type, std::size_t size, ContentObject object) {
  if (type == pst::kPtObject) return object == ContentObject::kAttachment;
  if ((type & 0xF000) != 0 && ((type & 0xF000) != 0x1000 || !multi_valued_type(type))) return false;
  try {
    const auto fixed = fixed_value_size(type);
    return !fixed || *fixed == size;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

}  // namespace

bool store_owned(std::uint16_t id, ContentObject object) {
  if (id >= 0x6600 && id <= 0x67FF) return true;
  if (among(id, kStoreIdentity)) return true;
  switch (object) {
    case ContentObject::kRecipient:
      return false;
    case ContentObject::kMessage:
      return among(id, kObjectIdentity) || among(id, kMessageOwned);
    case ContentObject::kAttachment:
      return among(id, kObjectIdentity) || id == kAttachNumber;
    case ContentObject::kFolder:
      return among(id, kObjectIdentity) || among(id, kFolderOwned) || special_folder_entry_id(id);
  }
  return true;
}

PropertyBag import_properties(std::span<const ContentProperty> properties, NameToIdMap& names,
                              ContentObject object) {
  PropertyBag out;
  for (const auto& p : properties) {
    if (!storable(p.type(), p.value.size(), object)) continue;
    std::uint16_t id = p.id();
    if (p.name) {
      const auto mapped =
          names.id_for(*p.name, id >= 0x8000 ? std::optional<std::uint16_t>(id) : std::nullopt);
      if (!mapped) continue;
      id = *mapped;
    } else if (id >= 0x8000 ? !names.keep_unnamed(id) : id == 0) {
      continue;
    }
    if (id == 0xFFFF || (id < 0x8000 && store_owned(id, object))) continue;
    out.set(pst::prop_tag(id, p.type()), p.value);
  }
  return out;
}

}  // namespace pstorian
