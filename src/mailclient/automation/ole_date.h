// Dates cross the automation interfaces as OLE automation dates (days since 1899-12-30 with
// the time of day as the fraction) and are stored as FILETIMEs (100-nanosecond intervals
// since 1601-01-01). Both are taken as universal time.
#pragma once

#include <cstdint>

#include "mailclient/automation/automation.h"
#include "pst/messaging/filetime.h"

namespace pstorian {

// Dates before 1601 are stored as 0.
std::uint64_t ole_date_to_filetime(automation::OleDate date);
automation::OleDate filetime_to_ole_date(std::uint64_t filetime);

}  // namespace pstorian
