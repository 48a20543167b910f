#include "pst/messaging/filetime.h"

#include <chrono>

namespace pstorian {

std::uint64_t filetime_now() {
  const auto since_1970 = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  return static_cast<std::uint64_t>(since_1970) * 10 + 116444736000000000ULL;
}

}  // namespace pstorian
