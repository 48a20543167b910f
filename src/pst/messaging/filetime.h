// Times as the store keeps them: FILETIMEs, 100-nanosecond intervals since 1601-01-01 UTC.
#pragma once

#include <cstdint>

namespace pstorian {

// The current time as a FILETIME.
std::uint64_t filetime_now();

}  // namespace pstorian
