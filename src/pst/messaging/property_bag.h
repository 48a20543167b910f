// The properties of one object (a folder or a message) as the messaging layer keeps them in
// memory: stored values by tag, at most one tag per property id.
//
// A bag is copied whenever a message passes between the store and the objects that edit it
// (loaded, saved, kept until the next checkpoint), and a message's values run to its whole
// body: copies share the values, which are never changed in place, only replaced.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pst/ltp/stored_property.h"

namespace pstorian {

class PropertyBag {
 public:
  PropertyBag() = default;
  explicit PropertyBag(std::span<const StoredProperty> properties);

  // Replaces any value with the same property id, whatever its type.
  void set(std::uint32_t tag, std::vector<std::uint8_t> value);
  void set_int32(std::uint32_t tag, std::uint32_t v);
  void set_bool(std::uint32_t tag, bool v);
  void set_int64(std::uint32_t tag, std::uint64_t v);
  void set_string(std::uint32_t tag, std::string_view text);
  void erase(std::uint32_t tag);
  // Sets every value of `other` as set() would, one after another in tag order, sharing them.
  void set_all(const PropertyBag& other);

  const std::vector<std::uint8_t>* find(std::uint32_t tag) const;
  // The value of the property id of `tag` whatever its type, with the tag it has: a message
  // given whole may hold as PT_UNICODE what this layer names as 8-bit text. {0, nullptr}
  // when the id has no value.
  std::pair<std::uint32_t, const std::vector<std::uint8_t>*> find_id(std::uint32_t tag) const;
  std::optional<std::uint32_t> int32(std::uint32_t tag) const;
  std::optional<std::uint64_t> int64(std::uint32_t tag) const;
  std::optional<std::string> string(std::uint32_t tag) const;

  // The tags in order, without copying the values as list() does.
  std::vector<std::uint32_t> tags() const;
  std::vector<StoredProperty> list() const;
  // The values where the bag keeps them, in tag order: valid until the bag changes.
  std::vector<PropertyView> views() const;
  std::size_t size() const { return values_.size(); }
  // The same tags with the same bytes (shared values compare without reading them).
  bool operator==(const PropertyBag& other) const;
  std::size_t value_bytes() const;

 private:
  using Value = std::shared_ptr<const std::vector<std::uint8_t>>;
  using Entry = std::pair<std::uint32_t, Value>;
  void put(std::uint32_t tag, Value value);
  std::vector<Entry>::const_iterator at(std::uint32_t tag) const;

  // Sorted by tag. A message has a few dozen values and its bag is copied several times on
  // each save: one array copies in one allocation where a tree would take one per value.
  std::vector<Entry> values_;
};

}  // namespace pstorian
