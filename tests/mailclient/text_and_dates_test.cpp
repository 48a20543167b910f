// Conversions at the automation boundary: OLE dates to stored times and back, UTF-16 texts
// to the configured 8-bit code page and back, and entry identifiers as hex text.
#include <gtest/gtest.h>

#include "pst/messaging/entry_id.h"
#include "mailclient/automation/ole_date.h"
#include "pst/messaging/text_codec.h"

namespace pstorian {
namespace {

using automation::OleDate;

constexpr std::uint64_t kOleEpoch = 94353120000000000ULL;  // 1899-12-30 00:00
constexpr std::uint64_t kDay = 864000000000ULL;

TEST(OleDates, ConvertToFileTimesBothWays) {
  EXPECT_EQ(ole_date_to_filetime({0.0}), kOleEpoch);
  EXPECT_EQ(ole_date_to_filetime({25569.0}), 116444736000000000ULL);  // 1970-01-01
  EXPECT_EQ(ole_date_to_filetime({45352.5}), kOleEpoch + 45352 * kDay + kDay / 2);
  // Before 1899-12-30 the fraction still counts forwards: -1.25 is 1899-12-29 06:00.
  EXPECT_EQ(ole_date_to_filetime({-1.25}), kOleEpoch - kDay * 3 / 4);
  EXPECT_EQ(filetime_to_ole_date(kOleEpoch - kDay * 3 / 4), OleDate{-1.25});
  EXPECT_EQ(filetime_to_ole_date(kOleEpoch - kDay * 2), OleDate{-2.0});
  for (const double d : {0.0, 1.5, 36526.25, 45352.999988425926, 2958465.0})
    EXPECT_NEAR(filetime_to_ole_date(ole_date_to_filetime({d})).days, d, 1e-9) << d;
  // Dates before 1601 have no stored form.
  EXPECT_EQ(ole_date_to_filetime({-110000.0}), 0u);
  EXPECT_GT(filetime_now(), ole_date_to_filetime({45000.0}));
}

TEST(OleDates, WholeSecondsComeBackExactly) {
  // Times written as whole seconds must not read one second early after passing through a
  // date: a day count near today holds its fraction to under a microsecond only.
  constexpr std::uint64_t kSecond = 10000000;
  for (std::uint64_t s = 13238994798; s < 13238994798 + 2000; s += 7) {
    const std::uint64_t filetime = s * kSecond;
    ASSERT_EQ(ole_date_to_filetime(filetime_to_ole_date(filetime)), filetime) << s;
    const double days = static_cast<double>(s - 9435312000) / 86400.0;  // seconds since 1899-12-30
    ASSERT_EQ(ole_date_to_filetime({days}), filetime) << s;
  }
  EXPECT_EQ(ole_date_to_filetime({45352.5}) % kSecond, 0u);
}

TEST(TextCodec, StoresTextInTheCodePageAndReadsItBack) {
  const TextCodec cp1252;
  EXPECT_EQ(cp1252.encode(u"Café €5"), std::string("Caf\xE9 \x80" "5"));
  EXPECT_EQ(cp1252.decode("Caf\xE9 \x80" "5"), u"Café €5");
  EXPECT_EQ(cp1252.encode(u"snow \u2603 and \U0001F600!"), "snow ? and ?!");
  EXPECT_EQ(cp1252.encode(u""), "");
  EXPECT_EQ(cp1252.decode(std::string("a\x81" "b", 3)), u"a\uFFFDb");  // 0x81 is undefined
  EXPECT_EQ(cp1252.codepage_number(), 1252u);
  // Plain ASCII takes a short way only where the code page keeps ASCII as it is.
  EXPECT_EQ(cp1252.encode(u"plain text"), "plain text");
  EXPECT_EQ(cp1252.decode("plain text"), u"plain text");
  const TextCodec ebcdic("IBM037");
  EXPECT_EQ(ebcdic.encode(u"AB"), "\xC1\xC2");
  EXPECT_EQ(ebcdic.decode("\xC1\xC2"), u"AB");

  const TextCodec cp1251("CP1251");
  EXPECT_EQ(cp1251.encode(u"Привет"), "\xCF\xF0\xE8\xE2\xE5\xF2");
  EXPECT_EQ(cp1251.codepage_number(), 1251u);
  EXPECT_THROW(TextCodec("NO-SUCH-CODEPAGE"), std::invalid_argument);
}

TEST(EntryIds, TravelAsUpperCaseHexText) {
  const RecordKey key = {0x81, 0x61, 0x34, 0xE5, 0xF5, 0x8F, 0x67, 0x45,
                         0x8D, 0x0A, 0x88, 0xDA, 0xED, 0xA6, 0x6F, 0x6B};
  const auto id = message_entry_id(key, 0x200024);
  const std::u16string text = to_hex_text(id);
  EXPECT_EQ(text, u"00000000816134E5F58F67458D0A88DAEDA66F6B24002000");
  const auto back = parse_message_entry_id(*from_hex_text(text));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->nid, 0x200024u);
  EXPECT_EQ(back->store, key);
  EXPECT_FALSE(from_hex_text(u"ABC"));
  EXPECT_FALSE(from_hex_text(u"0G"));
  EXPECT_FALSE(parse_message_entry_id(std::vector<std::uint8_t>(23, 0)));
  std::vector<std::uint8_t> flagged = id;
  flagged[0] = 1;
  EXPECT_FALSE(parse_message_entry_id(flagged));

  const auto store = store_entry_id(key, "/home/ann/mail/out.pst");
  EXPECT_EQ(store.back(), 0);
  EXPECT_EQ(std::string(store.end() - 23, store.end() - 1), "/home/ann/mail/out.pst");
}

}  // namespace
}  // namespace pstorian
