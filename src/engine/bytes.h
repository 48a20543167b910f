// The owned byte string used for every value read from the source file: it keeps its
// length, may hold zero bytes, and an absent value is a std::optional without one.
#pragma once

#include <cstdint>
#include <vector>

namespace pstorian {

using Bytes = std::vector<std::uint8_t>;

}  // namespace pstorian
