// Time conversions of the mail export and the folder listing.
//
// The source file stores times as FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
// The export works in seconds since 1970 and hands the output store OLE automation dates:
// days since 1899-12-30 as a double, the fraction being the time of day. Before that day
// the OLE encoding is odd: the integral part counts days backwards while the fraction still
// counts forwards (-1.25 is 1899-12-29 06:00).
//
// All conversions use the C library's local time (TZ), so their results depend on it.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>

namespace pstorian {

// FILETIME of 1970-01-01 00:00:00 UTC.
inline constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000ull;
// OLE date of 1970-01-01 00:00:00.
inline constexpr double kOleDateOf1970 = 25569.0;

// Seconds since 1970 (rounded down) of a FILETIME; nothing for values past the signed 64-bit
// range, which no calendar conversion accepts.
std::optional<std::int64_t> filetime_to_unix(std::uint64_t filetime);

// The local calendar fields of a FILETIME; nothing when it cannot be converted.
std::optional<std::tm> filetime_to_local_fields(std::uint64_t filetime);

// The display time of a FILETIME: seconds since 1970 whose local rendering shows the UTC
// calendar fields of the FILETIME. The export stores it so that the recovered message shows
// the time as the original file held it. 0 when the time cannot be converted, lies before
// 1900 in local time, or is not after 1970.
std::int64_t display_time(std::uint64_t filetime);

// ctime text of a time ("Mon Jul 15 12:34:56 2024", 24 characters) without its newline;
// empty when the time cannot be rendered.
std::string ctime_text(std::int64_t seconds);

// OLE date of calendar fields (year, month, day, hours, minutes, seconds of `fields`).
double ole_date_from_fields(const std::tm& fields);
// OLE date of the local calendar fields of a time in seconds since 1970; the date of 1970
// local midnight's counterpart for 0. 0.0 when the time cannot be converted.
double ole_date_from_time(std::int64_t seconds);
// Seconds since 1970 of an OLE date taken as universal time (rounded to the second).
std::optional<std::int64_t> ole_date_to_unix(double ole_date);

// The date cell of a listed item: for a date above 0, taken as universal time, the ctime
// text of that time in local time, newline included; otherwise empty.
std::string listing_date_text(double ole_date);

// The times of one exported mail item.
struct MailTimes {
  std::int64_t sent = 0;      // display time of the submit time, 0 when absent or unusable
  std::int64_t received = 0;  // display time of the delivery time (or conversation index)
  std::optional<std::string> date_text;  // the list's date cell; none when no date applies
};

// The rules of a mail item's times: the submit time gives the sent time and the date text,
// the delivery time the received time. Only when neither is present at all (a present but
// unusable value counts as present) do the first eight bytes of the conversation index, read
// as a little-endian FILETIME, give the received time and the date text.
MailTimes mail_times(std::optional<std::uint64_t> client_submit_time,
                     std::optional<std::uint64_t> message_delivery_time,
                     std::span<const std::uint8_t> conversation_index);

}  // namespace pstorian
