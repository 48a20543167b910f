#include "mailclient/automation/ole_date.h"

#include <cmath>

namespace pstorian {
namespace {

// Days from 1601-01-01 to 1899-12-30, FILETIME ticks in a day, and in a millisecond.
constexpr double kEpochDays = 109205.0;
constexpr double kTicksPerDay = 864000000000.0;
constexpr double kMillisecondsPerDay = 86400000.0;
constexpr std::uint64_t kTicksPerMillisecond = 10000;

}  // namespace

std::uint64_t ole_date_to_filetime(automation::OleDate date) {
  // A negative OLE date counts whole days backwards but its fraction forwards.
  double days = date.days;
  if (days < 0) {
    const double whole = std::ceil(days);
    const double fraction = whole - days;
    days = whole + fraction;
  }
  // A day count near today holds its fraction to under a microsecond, so a whole second
  // stored as a date comes back a hair early or late; rounded to ticks it would read one
  // second early to anyone who truncates to seconds. Dates are rounded to the millisecond.
  const double milliseconds = std::round((days + kEpochDays) * kMillisecondsPerDay);
  if (!(milliseconds > 0)) return 0;
  if (milliseconds >= 1.8e15) return ~std::uint64_t{0} >> 1;
  return static_cast<std::uint64_t>(milliseconds) * kTicksPerMillisecond;
}

automation::OleDate filetime_to_ole_date(std::uint64_t filetime) {
  const double days = static_cast<double>(filetime) / kTicksPerDay - kEpochDays;
  if (days >= 0) return {days};
  const double whole = std::floor(days);
  const double fraction = days - whole;
  return {fraction == 0 ? whole : whole - fraction};
}


}  // namespace pstorian
