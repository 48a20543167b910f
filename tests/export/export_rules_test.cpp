// The rules of the export that need no mail client: store paths inside store ids, the
// structural folder names, folder types, and the choices made for a mail item.
#include "export/export_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "export/fake_mail_client.h"
#include "export/store_entry_path.h"
#include "export/wide_text.h"

namespace pstorian {
namespace {

using fake::hex_text;

TEST(StoreEntryPathTest, FindsDriveLetterAndPosixPaths) {
  using namespace std::string_literals;
  EXPECT_EQ(StoreEntryPath(hex_text("\0\0\x38\x11mspst.dll\0C:\\Mail\\old.pst\0\0"s)),
            "C:\\Mail\\old.pst");
  EXPECT_EQ(StoreEntryPath(hex_text("\0\0\x12/x\0\x01\x02/home/ann/a b.pst\0"s)),
            "/home/ann/a b.pst");
  // A path without a terminating zero runs to the end of the identifier.
  EXPECT_EQ(StoreEntryPath(hex_text("\0\0/tmp/x.pst"s)), "/tmp/x.pst");
  // ":\" as the very first bytes has no drive letter; no path at all gives nothing.
  EXPECT_EQ(StoreEntryPath(hex_text(":\\Mail\0"s)), std::nullopt);
  EXPECT_EQ(StoreEntryPath(hex_text("\0\x01\x02\x03\0"s)), std::nullopt);
  EXPECT_EQ(StoreEntryPath(u""), std::nullopt);
  // ":\" inside a POSIX path is part of a folder's name; "/" inside a drive path is a
  // separator.
  EXPECT_EQ(StoreEntryPath(hex_text("\0\0\x0C\0\0\0/home/ann/a:\\b/x.pst\0"s)),
            "/home/ann/a:\\b/x.pst");
  EXPECT_EQ(StoreEntryPath(hex_text("\0\0\x0C\0\0\0C:\\Mail/x.pst\0"s)), "C:\\Mail/x.pst");
}

TEST(StoreEntryPathTest, DecodesUpperCaseHexPairsOnly) {
  // A pair stops at its first non-digit, keeping the digits before it.
  EXPECT_EQ(decode_store_id(u"4142"), "AB");
  EXPECT_EQ(decode_store_id(u"4g"), std::string(1, '\x04'));
  EXPECT_EQ(decode_store_id(u"4a"), std::string(1, '\x04'));
  EXPECT_EQ(decode_store_id(u"g1"), std::string(1, '\0'));
  EXPECT_EQ(decode_store_id(u"414"), "A\x04");
  // Long identifiers are decoded only up to the limit.
  EXPECT_EQ(decode_store_id(std::u16string(4 * kStoreIdDecodeLimit, u'A')).size(),
            kStoreIdDecodeLimit);
}

TEST(FolderRulesTest, SpecialNamesAreExactAndFolderTypesFollowTheKind) {
  EXPECT_TRUE(is_special_folder_name("Top of Personal Folders"));
  EXPECT_TRUE(is_special_folder_name("Root - Public"));
  EXPECT_TRUE(is_special_folder_name("Top of Outlook data file"));
  EXPECT_TRUE(is_special_folder_name("Views"));
  EXPECT_FALSE(is_special_folder_name("views"));
  EXPECT_FALSE(is_special_folder_name("Views "));
  EXPECT_FALSE(is_special_folder_name("Lost&Found"));
  EXPECT_EQ(folder_type_code(ItemKind::kAppointment), 9);
  EXPECT_EQ(folder_type_code(ItemKind::kContact), 10);
  EXPECT_EQ(folder_type_code(ItemKind::kJournal), 11);
  EXPECT_EQ(folder_type_code(ItemKind::kStickyNote), 12);
  EXPECT_EQ(folder_type_code(ItemKind::kTask), 13);
  EXPECT_EQ(folder_type_code(ItemKind::kDistList), 6);
  EXPECT_EQ(folder_type_code(ItemKind::kNone), 6);
  EXPECT_EQ(fit_folder_name(std::string(300, 'x')).size(), kFolderNameLimit);
  EXPECT_EQ(fit_folder_name(std::string("ab\0cd", 5)), "ab");
  // Characters are counted, and a cut never splits one.
  std::string japanese;
  for (int i = 0; i < 300; ++i) japanese += "\u30C8";
  EXPECT_EQ(fit_folder_name(japanese), japanese.substr(0, 3 * kFolderNameLimit));
  EXPECT_EQ(fit_folder_name("a\u30C8b", 2), "a\u30C8");
}

TEST(MailRulesTest, MessageFlagsAboveSevenBecomeRead) {
  ItemRecord record;
  EXPECT_EQ(message_flags_value(record), 1);
  record.message.emplace();
  for (std::uint32_t f : {0u, 3u, 7u}) {
    record.message->message_flags = f;
    EXPECT_EQ(message_flags_value(record), static_cast<std::int32_t>(f));
  }
  for (std::uint32_t f : {8u, 0x400u, 0xFFFFFFFFu}) {
    record.message->message_flags = f;
    EXPECT_EQ(message_flags_value(record), 1);
  }
}

TEST(MailRulesTest, ReceiverPrefersDisplayToThenRepresentingThenReceivedBy) {
  MessageProps m;
  EXPECT_EQ(choose_receiver(m), std::nullopt);
  m.received_by_email_address = "by@x";
  EXPECT_EQ(choose_receiver(m), "by@x");
  m.received_representing_email_address = "rep@x";
  EXPECT_EQ(choose_receiver(m), "rep@x");
  m.display_to = "";  // present, even empty
  EXPECT_EQ(choose_receiver(m), "");
}

TEST(MailRulesTest, SenderNameAndAddressCountOnlyBeyondTheirMinimumLengths) {
  MessageProps m;
  m.sent_representing_name = "Ann";              // 3 bytes: ignored
  m.sent_representing_email_address = "a@b.cd";  // 6 bytes
  SenderChoice c = choose_sender(m);
  EXPECT_EQ(c.row_text, "a@b.cd");
  EXPECT_EQ(c.display_sender, "[a@b.cd]");

  m.sent_representing_name = "Annie";
  m.sent_representing_email_address = "a@b.c";  // 5 bytes: ignored
  c = choose_sender(m);
  EXPECT_EQ(c.row_text, "Annie");
  EXPECT_EQ(c.display_sender, "Annie");

  m.sent_representing_email_address = "ann@b.cd";
  EXPECT_EQ(choose_sender(m).display_sender, "Annie[ann@b.cd]");

  c = choose_sender(MessageProps{});
  EXPECT_EQ(c.row_text, std::nullopt);
  EXPECT_EQ(c.display_sender, std::nullopt);
}

TEST(MailRulesTest, AddressTypeFallsBackInItsOwnOrder) {
  MessageProps m;
  EXPECT_EQ(choose_address_type(m), "SMTP");
  m.sender_address_type = "X400";
  EXPECT_EQ(choose_address_type(m), "X400");
  m.sender_address_type = "EX";
  EXPECT_EQ(choose_address_type(m), "SMTP");
  m.sender_address_type = "X400";
  m.sent_representing_address_type = "EX";  // short: SMTP, the sender's is not consulted
  EXPECT_EQ(choose_address_type(m), "SMTP");
  m.sent_representing_address_type = "FAX";
  EXPECT_EQ(choose_address_type(m), "FAX");
  m.sent_representing_address_type = std::string(200, 'A');  // too long: the sender's
  EXPECT_EQ(choose_address_type(m), "X400");
  m.sender_address_type = std::string(200, 'B');
  EXPECT_EQ(choose_address_type(m), "SMTP");
}

TEST(MailRulesTest, ShortStoredTimesCountAsPresentButUnusable) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  MessageProps m;
  m.client_submit_time = Bytes{1, 2, 3};
  m.conversation_index = Bytes(22, 0x40);
  const MailTimes t = item_times(m);
  EXPECT_EQ(t.sent, 0);
  EXPECT_EQ(t.received, 0);
  EXPECT_EQ(t.date_text, std::nullopt);
}

TEST(WideTextTest, RoundTripsAndReplacesMalformedInput) {
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16("Grüße 😀")), "Grüße 😀");
  EXPECT_EQ(utf8_to_utf16("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(utf8_to_utf16("\xE2\x28\xA1x"), u"\uFFFD(\uFFFDx");
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace pstorian
