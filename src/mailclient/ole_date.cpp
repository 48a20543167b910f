#include "mailclient/ole_date.h"

#include <chrono>
#include <cmath>

namespace pstorian {
namespace {

// Days from 1601-01-01 to 1899-12-30, and FILETIME ticks in a day.
constexpr double kEpochDays = 109205.0;
constexpr double kTicksPerDay = 864000000000.0;

}  // namespace

std::uint64_t ole_date_to_filetime(automation::OleDate date) {
  // A negative OLE date counts whole days backwards but its fraction forwards.
  double days = date.days;
  if (days < 0) {
    const double whole = std::ceil(days);
    const double fraction = whole - days;
    days = whole + fraction;
  }
  const double ticks = std::round((days + kEpochDays) * kTicksPerDay);
  if (!(ticks > 0)) return 0;
  if (ticks >= 1.8e19) return ~std::uint64_t{0} >> 1;
  return static_cast<std::uint64_t>(ticks);
}

automation::OleDate filetime_to_ole_date(std::uint64_t filetime) {
  const double days = static_cast<double>(filetime) / kTicksPerDay - kEpochDays;
  if (days >= 0) return {days};
  const double whole = std::floor(days);
  const double fraction = days - whole;
  return {fraction == 0 ? whole : whole - fraction};
}

std::uint64_t filetime_now() {
  const auto since_1970 = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  return static_cast<std::uint64_t>(since_1970) * 10 + 116444736000000000ULL;
}

}  // namespace pstorian
