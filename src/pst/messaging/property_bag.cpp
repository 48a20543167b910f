#include "pst/messaging/property_bag.h"

#include <algorithm>

#include "format/endian.h"

namespace pstorian {

PropertyBag::PropertyBag(std::span<const StoredProperty> properties) {
  for (const auto& p : properties) set(p.tag, p.value);
}

void PropertyBag::set(std::uint32_t tag, std::vector<std::uint8_t> value) {
  put(tag, std::make_shared<const std::vector<std::uint8_t>>(std::move(value)));
}

namespace {

bool tag_below(const std::pair<std::uint32_t, std::shared_ptr<const std::vector<std::uint8_t>>>& e,
               std::uint32_t tag) {
  return e.first < tag;
}

}  // namespace

std::vector<PropertyBag::Entry>::const_iterator PropertyBag::at(std::uint32_t tag) const {
  const auto it = std::lower_bound(values_.begin(), values_.end(), tag, tag_below);
  return it != values_.end() && it->first == tag ? it : values_.end();
}

void PropertyBag::put(std::uint32_t tag, Value value) {
  // Tags of one id sort next to each other: id in the high 16 bits.
  const auto first = std::lower_bound(values_.begin(), values_.end(), tag & 0xFFFF0000u, tag_below);
  auto last = first;
  while (last != values_.end() && (last->first >> 16) == (tag >> 16)) ++last;
  const auto it = values_.erase(first, last);
  values_.emplace(it, tag, std::move(value));
}

void PropertyBag::set_all(const PropertyBag& other) {
  for (const auto& [tag, value] : other.values_) put(tag, value);
}

void PropertyBag::set_int32(std::uint32_t tag, std::uint32_t v) {
  set(tag, StoredProperty::int32(tag, v).value);
}
void PropertyBag::set_bool(std::uint32_t tag, bool v) {
  set(tag, StoredProperty::boolean(tag, v).value);
}
void PropertyBag::set_int64(std::uint32_t tag, std::uint64_t v) {
  set(tag, StoredProperty::int64(tag, v).value);
}
void PropertyBag::set_string(std::uint32_t tag, std::string_view text) {
  set(tag, StoredProperty::string8(tag, text).value);
}

void PropertyBag::erase(std::uint32_t tag) {
  if (const auto it = at(tag); it != values_.end()) values_.erase(it);
}

const std::vector<std::uint8_t>* PropertyBag::find(std::uint32_t tag) const {
  const auto it = at(tag);
  return it == values_.end() ? nullptr : it->second.get();
}

std::pair<std::uint32_t, const std::vector<std::uint8_t>*> PropertyBag::find_id(
    std::uint32_t tag) const {
  const auto it = std::lower_bound(values_.begin(), values_.end(), tag & 0xFFFF0000u, tag_below);
  if (it == values_.end() || (it->first >> 16) != (tag >> 16)) return {0, nullptr};
  return {it->first, it->second.get()};
}

std::optional<std::uint32_t> PropertyBag::int32(std::uint32_t tag) const {
  const auto* v = find(tag);
  if (v == nullptr || v->size() < 4) {
    if (v != nullptr && v->size() == 1) return (*v)[0];
    return std::nullopt;
  }
  return pst::load_le32(*v, 0);
}

std::optional<std::uint64_t> PropertyBag::int64(std::uint32_t tag) const {
  const auto* v = find(tag);
  if (v == nullptr || v->size() != 8) return std::nullopt;
  return pst::load_le64(*v, 0);
}

std::optional<std::string> PropertyBag::string(std::uint32_t tag) const {
  const auto* v = find(tag);
  if (v == nullptr) return std::nullopt;
  return std::string(v->begin(), v->end());
}

std::vector<std::uint32_t> PropertyBag::tags() const {
  std::vector<std::uint32_t> out;
  out.reserve(values_.size());
  for (const auto& entry : values_) out.push_back(entry.first);
  return out;
}

std::vector<StoredProperty> PropertyBag::list() const {
  std::vector<StoredProperty> out;
  out.reserve(values_.size());
  for (const auto& [tag, value] : values_) out.push_back({tag, *value});
  return out;
}

bool PropertyBag::operator==(const PropertyBag& other) const {
  return std::ranges::equal(values_, other.values_, [](const auto& a, const auto& b) {
    return a.first == b.first && (a.second == b.second || *a.second == *b.second);
  });
}

std::vector<PropertyView> PropertyBag::views() const {
  std::vector<PropertyView> out;
  out.reserve(values_.size());
  for (const auto& [tag, value] : values_) out.push_back({tag, *value});
  return out;
}

std::size_t PropertyBag::value_bytes() const {
  std::size_t n = 0;
  for (const auto& [tag, value] : values_) n += value->size();
  return n;
}

}  // namespace pstorian
