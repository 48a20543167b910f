// The check value of pages, blocks and the file header: a reflected CRC-32 with the
// polynomial 0xEDB88320, started at 0 and with no final inversion (unlike zlib's).
#pragma once

#include <cstdint>
#include <span>

namespace pst {

// Continues a running check value over `data`; start with crc = 0.
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

}  // namespace pst
