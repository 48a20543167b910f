#include "pst/ltp/stored_property.h"

#include <stdexcept>

#include "format/endian.h"
#include "format/property_types.h"
#include "format/utf8.h"

namespace pstorian {

StoredProperty StoredProperty::int32(std::uint32_t tag, std::uint32_t v) {
  StoredProperty p{tag, std::vector<std::uint8_t>(4)};
  pst::store_le32(p.value, 0, v);
  return p;
}

StoredProperty StoredProperty::boolean(std::uint32_t tag, bool v) {
  return {tag, {static_cast<std::uint8_t>(v ? 1 : 0)}};
}

StoredProperty StoredProperty::int64(std::uint32_t tag, std::uint64_t v) {
  StoredProperty p{tag, std::vector<std::uint8_t>(8)};
  pst::store_le64(p.value, 0, v);
  return p;
}

StoredProperty StoredProperty::string8(std::uint32_t tag, std::string_view text) {
  return {tag, std::vector<std::uint8_t>(text.begin(), text.end())};
}

StoredProperty StoredProperty::unicode(std::uint32_t tag, std::string_view utf8) {
  StoredProperty p{(tag & 0xFFFF0000u) | pst::kPtUnicode, {}};
  for (const char16_t c : pst::utf8_to_utf16(utf8)) {
    p.value.push_back(static_cast<std::uint8_t>(c & 0xFF));
    p.value.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return p;
}

StoredProperty StoredProperty::binary(std::uint32_t tag, std::span<const std::uint8_t> bytes) {
  return {tag, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

std::optional<std::size_t> fixed_value_size(std::uint16_t type) {
  switch (type) {
    case pst::kPtNull:
    case pst::kPtUnspecified:
      return 0;
    case pst::kPtBoolean:
      return 1;
    case pst::kPtShort:
      return 2;
    case pst::kPtLong:
    case pst::kPtFloat:
    case pst::kPtError:
      return 4;
    case pst::kPtDouble:
    case pst::kPtCurrency:
    case pst::kPtAppTime:
    case pst::kPtLongLong:
    case pst::kPtSysTime:
      return 8;
    case pst::kPtClsid:
      return 16;
    case pst::kPtObject:
    case pst::kPtString8:
    case pst::kPtUnicode:
    case pst::kPtBinary:
    case pst::kPtServerEntryId:
    case pst::kPtRestriction:
    case pst::kPtRuleActions:
      return std::nullopt;
    default:
      // Multi-valued types: a count and offsets or a packed array, whatever the element.
      if ((type & 0x1000) != 0 && type != 0x1000) {
        (void)fixed_value_size(type & 0x0FFF);
        return std::nullopt;
      }
      throw std::invalid_argument("unknown property type");
  }
}

}  // namespace pstorian
