// One property value as the context writers take it: the tag and the value's bytes as they
// are stored (little-endian numbers, 8-bit strings without a terminating zero, binaries as
// they are).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace pstorian {

struct StoredProperty {
  std::uint32_t tag = 0;
  std::vector<std::uint8_t> value;

  static StoredProperty int32(std::uint32_t tag, std::uint32_t v);
  static StoredProperty boolean(std::uint32_t tag, bool v);
  static StoredProperty int64(std::uint32_t tag, std::uint64_t v);  // also PT_SYSTIME
  static StoredProperty string8(std::uint32_t tag, std::string_view text);
  // UTF-8 text as PT_UNICODE (UTF-16LE, no terminating zero); `tag`'s type is replaced.
  static StoredProperty unicode(std::uint32_t tag, std::string_view utf8);
  static StoredProperty binary(std::uint32_t tag, std::span<const std::uint8_t> bytes);
};

// A value the writers read where it is, in a store's own copy of it.
struct PropertyView {
  std::uint32_t tag = 0;
  std::span<const std::uint8_t> value;
};

// The stored size of a fixed-size property type, or nothing for variable-size types
// (strings, binaries, objects and every multi-valued type). Throws std::invalid_argument for
// a type code the format does not define.
std::optional<std::size_t> fixed_value_size(std::uint16_t type);

}  // namespace pstorian
