#include "export/time_conversion.h"

#include <cmath>
#include <limits>

#include "format/endian.h"

namespace pstorian {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kFileTimeUnitsPerSecond = 10'000'000;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// mktime over local fields, daylight saving time decided by the library; nothing on failure.
// (-1 also names 1969-12-31 23:59:59 UTC, a time that no caller here accepts anyway.)
std::optional<std::int64_t> local_fields_to_time(std::tm fields) {
  fields.tm_isdst = -1;
  const std::time_t t = std::mktime(&fields);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

}  // namespace

std::optional<std::int64_t> filetime_to_unix(std::uint64_t filetime) {
  if (filetime > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  const auto units = static_cast<std::int64_t>(filetime) - static_cast<std::int64_t>(kFileTimeOf1970);
  // Round towards minus infinity so that times before 1970 keep their second.
  std::int64_t seconds = units / kFileTimeUnitsPerSecond;
  if (units % kFileTimeUnitsPerSecond < 0) --seconds;
  return seconds;
}

std::optional<std::tm> filetime_to_local_fields(std::uint64_t filetime) {
  const auto seconds = filetime_to_unix(filetime);
  if (!seconds) return std::nullopt;
  const auto t = static_cast<std::time_t>(*seconds);
  std::tm fields{};
  if (localtime_r(&t, &fields) == nullptr) return std::nullopt;
  return fields;
}

std::int64_t display_time(std::uint64_t filetime) {
  const auto local = filetime_to_local_fields(filetime);
  if (!local || local->tm_year < 0) return 0;  // tm_year counts from 1900
  const auto t = local_fields_to_time(*local);
  if (!t || *t <= 0) return 0;
  // The UTC fields of the time, read back as if they were local ones.
  const auto tt = static_cast<std::time_t>(*t);
  std::tm utc{};
  if (gmtime_r(&tt, &utc) == nullptr) return 0;
  return local_fields_to_time(utc).value_or(0);
}

std::string ctime_text(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  char buffer[64] = {};  // ctime_r needs 26 bytes; a five-digit year needs a few more
  std::tm check{};
  if (localtime_r(&t, &check) == nullptr || check.tm_year > 9999 - 1900) return {};
  if (ctime_r(&t, buffer) == nullptr) return {};
  std::string text(buffer);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

double ole_date_from_fields(const std::tm& fields) {
  const std::int64_t days = days_from_civil(fields.tm_year + 1900LL, fields.tm_mon + 1LL,
                                            fields.tm_mday) +
                            static_cast<std::int64_t>(kOleDateOf1970);
  const double fraction =
      (fields.tm_hour * 3600.0 + fields.tm_min * 60.0 + fields.tm_sec) / kSecondsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

double ole_date_from_time(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm fields{};
  if (localtime_r(&t, &fields) == nullptr) return 0.0;
  return ole_date_from_fields(fields);
}

std::optional<std::int64_t> ole_date_to_unix(double ole_date) {
  // Beyond about ±2.9 million years the double no longer holds whole seconds.
  if (!std::isfinite(ole_date) || std::fabs(ole_date) > 1e9) return std::nullopt;
  const double whole = std::trunc(ole_date);
  const double fraction = std::fabs(ole_date - whole);
  const auto days = static_cast<std::int64_t>(whole) - static_cast<std::int64_t>(kOleDateOf1970);
  return days * kSecondsPerDay + std::llround(fraction * kSecondsPerDay);
}

std::string listing_date_text(double ole_date) {
  if (!(ole_date > 0.0)) return {};
  const auto seconds = ole_date_to_unix(ole_date);
  if (!seconds) return {};
  std::string text = ctime_text(*seconds);
  if (!text.empty()) text += '\n';
  return text;
}

MailTimes mail_times(std::optional<std::uint64_t> client_submit_time,
                     std::optional<std::uint64_t> message_delivery_time,
                     std::span<const std::uint8_t> conversation_index) {
  MailTimes times;
  if (client_submit_time) {
    times.sent = display_time(*client_submit_time);
    if (times.sent != 0) times.date_text = ctime_text(times.sent);
  }
  if (message_delivery_time) times.received = display_time(*message_delivery_time);
  if (!client_submit_time && !message_delivery_time && conversation_index.size() >= 8) {
    const std::int64_t t = display_time(pst::load_le64(conversation_index, 0));
    if (t != 0) {
      times.received = t;
      times.date_text = ctime_text(t);
    }
  }
  return times;
}

}  // namespace pstorian
