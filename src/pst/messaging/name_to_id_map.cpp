#include "pst/messaging/name_to_id_map.h"

#include <algorithm>

#include "format/crc.h"
#include "format/endian.h"
#include "format/property_types.h"
#include "pst/messaging/text_codec.h"

namespace pstorian {
namespace {

constexpr std::uint32_t kBucketCountTag = 0x00010003;
constexpr std::uint32_t kGuidStreamTag = 0x00020102;
constexpr std::uint32_t kEntryStreamTag = 0x00030102;
constexpr std::uint32_t kStringStreamTag = 0x00040102;
constexpr std::uint16_t kFirstBucket = 0x1000;
constexpr std::uint32_t kDefaultBuckets = 251;
constexpr std::uint32_t kMaxBuckets = 0x1000;
constexpr std::size_t kRecord = 8;
constexpr std::size_t kGuid = 16;
constexpr std::uint32_t kFirstStreamGuid = 3;
constexpr std::uint32_t kMaxIndex = 0x7FFE;  // ids run from 0x8000 to 0xFFFE
constexpr std::uint32_t kMaxGuidIndex = 0x7FFF;

std::vector<std::uint8_t> record(std::uint32_t value, std::uint16_t guid_word,
                                 std::uint16_t index) {
  std::vector<std::uint8_t> r(kRecord);
  pst::store_le32(r, 0, value);
  pst::store_le16(r, 4, guid_word);
  pst::store_le16(r, 6, index);
  return r;
}

std::vector<std::uint8_t> value_or_empty(const PropertyBag& bag, std::uint32_t tag) {
  const auto* v = bag.find(tag);
  return v == nullptr ? std::vector<std::uint8_t>() : *v;
}

}  // namespace

std::uint32_t string_name_hash(std::u16string_view name) {
  return pst::crc32(to_utf16le(name));
}

NameToIdMap::NameToIdMap() {
  properties_.set_int32(kBucketCountTag, kDefaultBuckets);
}

NameToIdMap NameToIdMap::unreadable() {
  NameToIdMap map;
  map.read_only_ = true;
  return map;
}

NameToIdMap::NameToIdMap(std::span<const StoredProperty> properties) : properties_(properties) {
  // Bucket ids run from 0x1000; a count that would take them past the 16-bit ids is not one
  // a sound map has, and the new records go where the usual count puts them.
  if (const auto count = properties_.int32(kBucketCountTag);
      count && *count != 0 && *count <= kMaxBuckets)
    buckets_ = *count;
  else
    properties_.set_int32(kBucketCountTag, buckets_);
  guids_ = value_or_empty(properties_, kGuidStreamTag);
  entries_ = value_or_empty(properties_, kEntryStreamTag);
  strings_ = value_or_empty(properties_, kStringStreamTag);

  for (std::size_t at = 0; at + kRecord <= entries_.size(); at += kRecord) {
    const std::uint32_t value = pst::load_le32(entries_, at);
    const std::uint16_t word = pst::load_le16(entries_, at + 4);
    const std::uint16_t index = pst::load_le16(entries_, at + 6);
    next_index_ = std::max<std::uint32_t>(next_index_, index + 1u);
    PropertyName name;
    const std::uint32_t g = word >> 1;
    if (g == 1) {
      name.guid = kPsMapi;
    } else if (g == 2) {
      name.guid = kPsPublicStrings;
    } else if (g >= kFirstStreamGuid && (g - kFirstStreamGuid + 1) * kGuid <= guids_.size()) {
      std::copy_n(guids_.begin() + static_cast<std::ptrdiff_t>((g - kFirstStreamGuid) * kGuid),
                  kGuid, name.guid.begin());
    } else {
      continue;
    }
    if ((word & 1) == 0) {
      name.lid = value;
    } else {
      if (value > strings_.size() || strings_.size() - value < 4) continue;
      const std::size_t length = pst::load_le32(strings_, value);
      if (length > strings_.size() - value - 4) continue;
      name.name = from_utf16le(std::span(strings_).subspan(value + 4, length));
    }
    by_name_.emplace(name, index);
    by_index_.emplace(index, std::move(name));
  }
}

std::optional<std::uint16_t> NameToIdMap::find(const PropertyName& name) const {
  if (name.lid && name.guid == kPsMapi && *name.lid < 0x8000)
    return static_cast<std::uint16_t>(*name.lid);
  PropertyName key = name;
  if (key.lid) key.name.clear();
  const auto it = by_name_.find(key);
  if (it == by_name_.end()) return std::nullopt;
  return static_cast<std::uint16_t>(0x8000 + it->second);
}

std::optional<std::uint16_t> NameToIdMap::id_for(const PropertyName& name,
                                                 std::optional<std::uint16_t> wanted) {
  if (const auto id = find(name)) return id;
  if (read_only_ || (!name.lid && name.name.empty())) return std::nullopt;
  const auto taken = [this](std::uint32_t i) {
    return by_index_.contains(static_cast<std::uint16_t>(i)) ||
           unnamed_.contains(static_cast<std::uint16_t>(i));
  };
  std::uint32_t index = next_index_;
  if (wanted && *wanted >= 0x8000 && *wanted - 0x8000u <= kMaxIndex && !taken(*wanted - 0x8000u))
    index = *wanted - 0x8000u;
  else
    while (index <= kMaxIndex && taken(index)) ++index;
  if (index > kMaxIndex) return std::nullopt;
  const auto g = guid_index(name.guid);
  if (g > kMaxGuidIndex) return std::nullopt;
  next_index_ = std::max(next_index_, index + 1);
  const auto word = static_cast<std::uint16_t>(g << 1 | (name.lid ? 0 : 1));
  std::uint32_t value = 0;
  std::uint32_t hash = 0;
  PropertyName key = name;
  if (name.lid) {
    key.name.clear();
    value = hash = *name.lid;
  } else {
    value = static_cast<std::uint32_t>(strings_.size());
    const auto chars = to_utf16le(name.name);
    std::vector<std::uint8_t> length(4);
    pst::store_le32(length, 0, static_cast<std::uint32_t>(chars.size()));
    strings_.insert(strings_.end(), length.begin(), length.end());
    strings_.insert(strings_.end(), chars.begin(), chars.end());
    strings_.resize((strings_.size() + 3) / 4 * 4, 0);
    hash = pst::crc32(chars);
  }
  const auto index16 = static_cast<std::uint16_t>(index);
  const auto r = record(value, word, index16);
  // The records stay in property index order, also when a wanted id lies below others.
  std::size_t at = entries_.size() / kRecord * kRecord;
  while (at >= kRecord && pst::load_le16(entries_, at - kRecord + 6) > index16) at -= kRecord;
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at), r.begin(), r.end());
  add_bucket_record(hash, word, index16);
  by_name_.emplace(key, index16);
  by_index_.emplace(index16, std::move(key));
  changed_ = true;
  return static_cast<std::uint16_t>(0x8000 + index);
}

bool NameToIdMap::keep_unnamed(std::uint16_t id) {
  if (read_only_ || id < 0x8000 || id - 0x8000u > kMaxIndex) return false;
  const auto index = static_cast<std::uint16_t>(id - 0x8000);
  if (by_index_.contains(index)) return false;
  unnamed_.insert(index);
  return true;
}

std::optional<PropertyName> NameToIdMap::name_of(std::uint16_t id) const {
  if (id < 0x8000) return std::nullopt;
  const auto it = by_index_.find(static_cast<std::uint16_t>(id - 0x8000));
  if (it == by_index_.end()) return std::nullopt;
  return it->second;
}

std::uint32_t NameToIdMap::guid_index(const std::array<std::uint8_t, 16>& guid) {
  if (guid == kPsMapi) return 1;
  if (guid == kPsPublicStrings) return 2;
  const std::size_t count = guids_.size() / kGuid;
  for (std::size_t i = 0; i < count; ++i)
    if (std::equal(guid.begin(), guid.end(),
                   guids_.begin() + static_cast<std::ptrdiff_t>(i * kGuid)))
      return static_cast<std::uint32_t>(kFirstStreamGuid + i);
  if (kFirstStreamGuid + count > kMaxGuidIndex) return kMaxGuidIndex + 1;
  // A stream whose length is not a whole number of GUIDs ends with a partial one that no
  // record can name; the new GUID goes after the whole ones.
  guids_.resize(count * kGuid);
  guids_.insert(guids_.end(), guid.begin(), guid.end());
  return static_cast<std::uint32_t>(kFirstStreamGuid + count);
}

void NameToIdMap::add_bucket_record(std::uint32_t hash_value, std::uint16_t guid_word,
                                    std::uint16_t index) {
  const std::uint32_t bucket = (hash_value ^ guid_word) % buckets_;
  const std::uint32_t tag =
      pst::prop_tag(static_cast<std::uint16_t>(kFirstBucket + bucket), pst::kPtBinary);
  std::vector<std::uint8_t> bytes = value_or_empty(properties_, tag);
  const auto r = record(hash_value, guid_word, index);
  bytes.insert(bytes.end(), r.begin(), r.end());
  properties_.set(tag, std::move(bytes));
}

std::vector<StoredProperty> NameToIdMap::properties() const {
  PropertyBag out = properties_;
  out.set(kGuidStreamTag, guids_);
  out.set(kEntryStreamTag, entries_);
  out.set(kStringStreamTag, strings_);
  return out.list();
}

}  // namespace pstorian
