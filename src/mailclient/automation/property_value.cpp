#include "mailclient/automation/property_value.h"

#include "format/endian.h"
#include "format/property_types.h"
#include "mailclient/automation/ole_date.h"

namespace pstorian {
namespace {

using automation::AutomationError;
using automation::OleDate;

std::uint32_t string8_tag(std::uint32_t tag) {
  return (tag & 0xFFFF0000u) | pst::kPtString8;
}

}  // namespace

std::optional<std::u16string> text_value(const PropertyBag& bag, std::uint32_t tag,
                                         const TextCodec& codec) {
  if (const auto v = bag.string(string8_tag(tag))) return codec.decode(*v);
  const auto* wide = bag.find((tag & 0xFFFF0000u) | pst::kPtUnicode);
  if (wide == nullptr) return std::nullopt;
  return from_utf16le(*wide);
}

void put_property_value(PropertyBag& bag, std::uint32_t tag,
                        const automation::PropertyValue& value, const TextCodec& codec) {
  const std::uint16_t type = pst::tag_type(tag);
  if (std::holds_alternative<std::monostate>(value)) {
    bag.erase(tag);
    bag.erase(string8_tag(tag));
    return;
  }
  if (const auto* n = std::get_if<std::int32_t>(&value)) {
    const auto u = static_cast<std::uint32_t>(*n);
    switch (type) {
      case pst::kPtLong:
        return bag.set_int32(tag, u);
      case pst::kPtBoolean:
        return bag.set_bool(tag, u != 0);
      case pst::kPtShort: {
        std::vector<std::uint8_t> v(2);
        pst::store_le16(v, 0, static_cast<std::uint16_t>(u));
        return bag.set(tag, std::move(v));
      }
      case pst::kPtLongLong:
        return bag.set_int64(tag, static_cast<std::uint64_t>(static_cast<std::int64_t>(*n)));
      default:
        break;
    }
  } else if (const auto* text = std::get_if<std::u16string>(&value)) {
    if (type == pst::kPtString8 || type == pst::kPtUnicode)
      return bag.set_string(string8_tag(tag), codec.encode(*text));
  } else if (const auto* date = std::get_if<OleDate>(&value)) {
    if (type == pst::kPtSysTime) return bag.set_int64(tag, ole_date_to_filetime(*date));
  }
  throw AutomationError("the value does not suit the type of property tag");
}

automation::PropertyValue get_property_value(const PropertyBag& bag, std::uint32_t tag,
                                             const TextCodec& codec) {
  const std::uint16_t type = pst::tag_type(tag);
  switch (type) {
    case pst::kPtLong:
    case pst::kPtBoolean:
      if (const auto v = bag.int32(tag)) return static_cast<std::int32_t>(*v);
      return {};
    case pst::kPtShort:
      if (const auto* v = bag.find(tag); v != nullptr && v->size() == 2)
        return static_cast<std::int32_t>(static_cast<std::int16_t>(pst::load_le16(*v, 0)));
      return {};
    case pst::kPtSysTime:
      if (const auto v = bag.int64(tag)) return filetime_to_ole_date(*v);
      return {};
    case pst::kPtString8:
    case pst::kPtUnicode:
      if (auto v = text_value(bag, tag, codec)) return std::move(*v);
      return {};
    default:
      throw AutomationError("property type not supported");
  }
}

}  // namespace pstorian
