// Little-endian fixed-width coding, the byte order of every personal folder file field.
//
// The load functions take a span and an offset and never read outside the span: an
// access that would cross its end yields 0. Callers that must tell "absent" from "zero"
// check the bounds themselves; for probing hostile input the zero is what we want.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pst {

inline std::uint16_t load_le16(std::span<const std::uint8_t> b, std::size_t at) {
  if (at > b.size() || b.size() - at < 2) return 0;
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t load_le32(std::span<const std::uint8_t> b, std::size_t at) {
  if (at > b.size() || b.size() - at < 4) return 0;
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline std::uint64_t load_le64(std::span<const std::uint8_t> b, std::size_t at) {
  if (at > b.size() || b.size() - at < 8) return 0;
  return static_cast<std::uint64_t>(load_le32(b, at)) |
         (static_cast<std::uint64_t>(load_le32(b, at + 4)) << 32);
}

// The store functions require the destination to hold the value; they are used only on
// buffers the writer sized itself.
inline void store_le16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store_le32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void store_le64(std::span<std::uint8_t> b, std::size_t at, std::uint64_t v) {
  store_le32(b, at, static_cast<std::uint32_t>(v));
  store_le32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace pst
