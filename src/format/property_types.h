// Property type codes (the low 16 bits of a property tag) as stored in property and
// table contexts.
#pragma once

#include <cstdint>

namespace pst {

enum PropType : std::uint16_t {
  kPtUnspecified = 0x0000,
  kPtNull = 0x0001,
  kPtShort = 0x0002,
  kPtLong = 0x0003,
  kPtFloat = 0x0004,
  kPtDouble = 0x0005,
  kPtCurrency = 0x0006,
  kPtAppTime = 0x0007,
  kPtError = 0x000A,
  kPtBoolean = 0x000B,
  kPtObject = 0x000D,
  kPtLongLong = 0x0014,
  kPtString8 = 0x001E,
  kPtUnicode = 0x001F,
  kPtSysTime = 0x0040,
  kPtClsid = 0x0048,
  kPtServerEntryId = 0x00FB,
  kPtRestriction = 0x00FD,
  kPtRuleActions = 0x00FE,
  kPtBinary = 0x0102,
  kPtMvLong = 0x1003,
  kPtMvString8 = 0x101E,
  kPtMvUnicode = 0x101F,
  kPtMvBinary = 0x1102,
};

constexpr std::uint32_t prop_tag(std::uint16_t id, std::uint16_t type) {
  return (static_cast<std::uint32_t>(id) << 16) | type;
}
constexpr std::uint16_t tag_id(std::uint32_t tag) { return static_cast<std::uint16_t>(tag >> 16); }
constexpr std::uint16_t tag_type(std::uint32_t tag) { return static_cast<std::uint16_t>(tag & 0xFFFF); }

}  // namespace pst
