#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "export/time_conversion.h"

namespace pstorian {
namespace {

// Runs each test under one TZ setting and restores the previous one afterwards. POSIX rule
// strings need no time zone database.
class TimeZones : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", GetParam(), 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

INSTANTIATE_TEST_SUITE_P(Zones, TimeZones,
                         ::testing::Values("UTC0", "EST5EDT,M3.2.0,M11.1.0",
                                           "CET-1CEST,M3.5.0,M10.5.0/3", "<+0530>-5:30",
                                           "NZST-12NZDT,M9.5.0,M4.1.0/3"));

// FILETIMEs of some UTC times.
constexpr std::uint64_t kJul2024 = 0x1dad6b36605d800;  // 2024-07-15 12:34:56 UTC
constexpr std::uint64_t kJan1980 = 0x1a8e87a5bda3780;  // 1980-01-02 02:03:55 UTC
constexpr std::uint64_t kJan2010 = 0x1ca8b4fd672b780;  // 2010-01-02 02:03:55 UTC
constexpr std::uint64_t kMar1850 = 0x117574130790000;  // 1850-03-01 00:00:00 UTC
constexpr std::uint64_t kMay1965 = 0x198786eda2c0000;  // 1965-05-05 00:00:00 UTC

std::vector<std::uint8_t> le_bytes(std::uint64_t v, std::size_t size) {
  std::vector<std::uint8_t> bytes(size, 0xEE);
  for (std::size_t i = 0; i < 8 && i < size; ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return bytes;
}

TEST_P(TimeZones, DisplayTimeShowsTheUtcFieldsOfTheFileTimeInEveryZone) {
  EXPECT_EQ(ctime_text(display_time(kJul2024)), "Mon Jul 15 12:34:56 2024");
  EXPECT_EQ(ctime_text(display_time(kJan1980)), "Wed Jan  2 02:03:55 1980");
  EXPECT_EQ(ctime_text(display_time(kJan2010)), "Sat Jan  2 02:03:55 2010");
  // The OLE date handed to the store holds the same UTC fields.
  EXPECT_NEAR(ole_date_from_time(display_time(kJul2024)), 45488.52425925926, 1e-9);
  EXPECT_NEAR(ole_date_from_time(display_time(kJan1980)), 29222.086053240742, 1e-9);
}

TEST_P(TimeZones, TimesBefore1970Before1900OrPastTheRangeGiveZero) {
  EXPECT_EQ(display_time(kMar1850), 0);
  EXPECT_EQ(display_time(kMay1965), 0);
  EXPECT_EQ(display_time(0), 0);
  EXPECT_EQ(display_time(0xFFFFFFFFFFFFFFFFull), 0);
  EXPECT_EQ(display_time(0x8000000000000000ull), 0);
  // A time of 0 is still handed over, as the OLE date of the local fields of 1970-01-01.
  const double zero = ole_date_from_time(0);
  EXPECT_NEAR(zero, kOleDateOf1970, 14.0 / 24) << "within a day's zone offset of 1970";
}

TEST_P(TimeZones, MailTimesFollowSubmitDeliveryAndConversationIndexRules) {
  const auto conversation = le_bytes(kJan2010, 22);

  const MailTimes both = mail_times(kJul2024, kJan1980, conversation);
  EXPECT_EQ(both.sent, display_time(kJul2024));
  EXPECT_EQ(both.received, display_time(kJan1980));
  EXPECT_EQ(both.date_text, "Mon Jul 15 12:34:56 2024");

  const MailTimes delivery_only = mail_times(std::nullopt, kJan1980, conversation);
  EXPECT_EQ(delivery_only.sent, 0);
  EXPECT_EQ(delivery_only.received, display_time(kJan1980));
  EXPECT_FALSE(delivery_only.date_text) << "only the submit time gives the date cell";

  const MailTimes from_index = mail_times(std::nullopt, std::nullopt, conversation);
  EXPECT_EQ(from_index.sent, 0);
  EXPECT_EQ(from_index.received, display_time(kJan2010));
  EXPECT_EQ(from_index.date_text, "Sat Jan  2 02:03:55 2010");

  // A submit time before 1900 is present but unusable: no sent time, no date, and the
  // conversation index is not consulted.
  const MailTimes old = mail_times(kMar1850, std::nullopt, conversation);
  EXPECT_EQ(old.sent, 0);
  EXPECT_EQ(old.received, 0);
  EXPECT_FALSE(old.date_text);

  // An index too short to hold a FILETIME, or one holding an unusable time, gives nothing.
  const auto short_index = le_bytes(kJan2010, 7);
  EXPECT_FALSE(mail_times(std::nullopt, std::nullopt, short_index).date_text);
  EXPECT_EQ(mail_times(std::nullopt, std::nullopt, le_bytes(kMar1850, 22)).received, 0);
  EXPECT_FALSE(mail_times(std::nullopt, std::nullopt, {}).date_text);
}

TEST_P(TimeZones, ListingDateIsTheUniversalOleDateRenderedInLocalTime) {
  const double ole = 29222.086053240742;  // 1980-01-02 02:03:55 UTC
  const std::time_t t = 315626635;
  char expected[64] = {};
  ASSERT_NE(ctime_r(&t, expected), nullptr);
  EXPECT_EQ(listing_date_text(ole), expected);
  EXPECT_EQ(listing_date_text(ole).back(), '\n');
  EXPECT_EQ(listing_date_text(0.0), "");
  EXPECT_EQ(listing_date_text(-5.5), "");
}

TEST(OleDates, FieldsEncodeDaysAndFractionWithTheOddEncodingBefore1900) {
  std::tm fields{};
  fields.tm_year = 1899 - 1900;
  fields.tm_mon = 11;
  fields.tm_mday = 30;
  EXPECT_DOUBLE_EQ(ole_date_from_fields(fields), 0.0);
  fields.tm_mday = 29;
  fields.tm_hour = 6;
  EXPECT_DOUBLE_EQ(ole_date_from_fields(fields), -1.25);
  EXPECT_EQ(ole_date_to_unix(-1.25), -25569LL * 86400 - 86400 + 6 * 3600);
  fields = {};
  fields.tm_year = 1850 - 1900;
  fields.tm_mon = 2;
  fields.tm_mday = 1;
  EXPECT_DOUBLE_EQ(ole_date_from_fields(fields), -18201.0);
  EXPECT_EQ(ole_date_to_unix(kOleDateOf1970 + 0.5), 43200);
  EXPECT_FALSE(ole_date_to_unix(1e300));
}

TEST(FileTimes, ConvertToSecondsRoundingDownBefore1970) {
  EXPECT_EQ(filetime_to_unix(kFileTimeOf1970), 0);
  EXPECT_EQ(filetime_to_unix(kFileTimeOf1970 + 15'000'000), 1);
  EXPECT_EQ(filetime_to_unix(kFileTimeOf1970 - 5'000'000), -1);
  EXPECT_EQ(filetime_to_unix(kJan1980), 315626635);
  EXPECT_FALSE(filetime_to_unix(0x8000000000000000ull));
}

}  // namespace
}  // namespace pstorian
