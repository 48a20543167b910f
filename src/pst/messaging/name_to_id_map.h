// A store's map from property names to the ids (0x8000 and above) its named properties are
// stored under, kept in the property context of node 0x61:
//
//   0x0001 (PT_LONG)    the number of hash buckets (251 in files of this form)
//   0x0002 (PT_BINARY)  GUID stream: the property sets, 16 bytes each; GUID index 3 is the
//                       first (1 and 2 stand for PS_MAPI and PS_PUBLIC_STRINGS, 0 for none)
//   0x0003 (PT_BINARY)  entry stream: one 8-byte record per name, in property index order:
//                         dwPropertyID (4): the number, or the string's offset in 0x0004
//                         wGuid (2): GUID index << 1 | 1 for a string name
//                         wPropIdx (2): the property index; the id is 0x8000 + index
//   0x0004 (PT_BINARY)  string stream: per string name its length in bytes (4) and its
//                       UTF-16LE characters, each entry starting at a multiple of 4
//   0x1000 + b          hash bucket b: the records of the names that hash to b, with the
//                       number, or for a string name the check value (pst::crc32) of its
//                       UTF-16LE characters, in place of dwPropertyID; b is that value
//                       XOR wGuid, modulo the bucket count
//
// The map is read when the store opens. A name that it lacks is added in memory (the next
// property index) and the node is written again at the next checkpoint, together with the
// objects that use the new id, so that the file never holds an id its map does not name, but
// for the ids an object copied from another store held there without a name (keep_unnamed).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "pst/ltp/stored_property.h"
#include "pst/messaging/message_content.h"
#include "pst/messaging/property_bag.h"

namespace pstorian {

// The property sets that the entry stream names by index rather than by GUID.
constexpr std::array<std::uint8_t, 16> kPsMapi = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                  0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::array<std::uint8_t, 16> kPsPublicStrings = {
    0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

class NameToIdMap {
 public:
  // An empty map, as a store without node 0x61 has.
  NameToIdMap();
  // The map held by the properties of node 0x61. Records that name no property set or lie
  // outside their streams are passed over; the streams are kept as they are.
  explicit NameToIdMap(std::span<const StoredProperty> properties);
  // The map of a store whose map node cannot be read: it names nothing and takes no names,
  // since writing it would lose the names the node holds.
  static NameToIdMap unreadable();

  // The id `name` is stored under here, if the map has it. A numeric name of PS_MAPI below
  // 0x8000 is that property id itself.
  std::optional<std::uint16_t> find(const PropertyName& name) const;
  // The id of `name`, added to the map when new; nothing when the map is full (ids run to
  // 0xFFFE), cannot be read, or the name is a string name without characters. A new name
  // takes `wanted` (the id another store keeps it under) when no name and no kept unnamed
  // id has it here, so that a copied object keeps its ids; else the next free id.
  std::optional<std::uint16_t> id_for(const PropertyName& name,
                                       std::optional<std::uint16_t> wanted = std::nullopt);
  // Whether a value stored under `id` (0x8000 and above) without a name, as another store
  // held it, may be kept here under the same id: true when this map names nothing there,
  // and then no name added later takes the id. False for a map that cannot be read, whose
  // names are unknown.
  bool keep_unnamed(std::uint16_t id);
  // The name stored under `id`, if any.
  std::optional<PropertyName> name_of(std::uint16_t id) const;

  std::size_t size() const { return by_name_.size(); }
  // Whether names were added since the map was read or last written.
  bool changed() const { return changed_; }
  void mark_written() { changed_ = false; }
  // The properties of node 0x61 for the map as it is now: the ones it was read from with
  // the streams and buckets brought up to date.
  std::vector<StoredProperty> properties() const;

 private:
  // The GUID index of a property set, the set added to the GUID stream when new; above
  // 0x7FFF when the stream is full.
  std::uint32_t guid_index(const std::array<std::uint8_t, 16>& guid);
  void add_bucket_record(std::uint32_t hash_value, std::uint16_t guid_word, std::uint16_t index);

  PropertyBag properties_;  // as read, then with the streams grown
  std::uint32_t buckets_ = 251;
  std::vector<std::uint8_t> guids_, entries_, strings_;
  std::map<PropertyName, std::uint16_t> by_name_;  // name to property index
  std::map<std::uint16_t, PropertyName> by_index_;
  std::set<std::uint16_t> unnamed_;  // indexes of ids kept without a name
  std::uint32_t next_index_ = 0;
  bool changed_ = false;
  bool read_only_ = false;
};

// The check value the hash buckets keep for a string name: that of its UTF-16LE characters.
std::uint32_t string_name_hash(std::u16string_view name);

}  // namespace pstorian
