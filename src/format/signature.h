// The 16-bit signature that pages and block trailers carry: it ties a structure to the
// file offset it was written at, which is what lets the scan tell a real trailer from
// data that merely looks like one.
#pragma once

#include <cstdint>

namespace pst {

constexpr std::uint16_t block_signature(std::uint32_t offset, std::uint32_t id) {
  const std::uint32_t x = offset ^ id;
  return static_cast<std::uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

}  // namespace pst
