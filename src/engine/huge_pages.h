// A hint for the large tables the scan fills in one go (block copies, the block index,
// the objects). Fresh memory is paid for page by page when first touched, and a 2 MiB
// page costs little more than a 4 KiB one, so a table of some megabytes is better backed
// by huge pages. Only a hint: where the system has none to give, nothing changes.
#pragma once

#include <cstddef>
#include <vector>

namespace pstorian {

// Advises huge pages for the whole 2 MiB stretches within [p, p + bytes).
void prefer_huge_pages(const void* p, std::size_t bytes);

// The same for the room a vector has reserved; call it before the room is filled.
template <typename T>
void prefer_huge_pages(const std::vector<T>& v) {
  prefer_huge_pages(v.data(), v.capacity() * sizeof(T));
}

}  // namespace pstorian
