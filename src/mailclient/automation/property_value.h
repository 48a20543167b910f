// Converts between the helper component's property values (32-bit integers, UTF-16 texts,
// OLE dates) and stored values. Texts are stored as 8-bit strings (PT_STRING8) whatever
// string type the tag names, and read from either type; dates as FILETIMEs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mailclient/automation/helper_component.h"
#include "pst/messaging/property_bag.h"
#include "pst/messaging/text_codec.h"

namespace pstorian {

// Sets (or, for an empty value, removes) the property; AutomationError when the value does
// not suit the tag's type.
void put_property_value(PropertyBag& bag, std::uint32_t tag,
                        const automation::PropertyValue& value, const TextCodec& codec);
// The text of a string property stored in either string type (the tag's type is not
// looked at), or nothing when the object lacks it.
std::optional<std::u16string> text_value(const PropertyBag& bag, std::uint32_t tag,
                                         const TextCodec& codec);
// The stored value, or an empty value when the object lacks it.
automation::PropertyValue get_property_value(const PropertyBag& bag, std::uint32_t tag,
                                             const TextCodec& codec);

}  // namespace pstorian
