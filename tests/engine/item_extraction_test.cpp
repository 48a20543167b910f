#include "engine/item_extraction.h"

#include <gtest/gtest.h>

#include "engine/synthetic_file.h"
#include "format/endian.h"

namespace pstorian {
namespace {

using testing::bytes_of;
using testing::le32_bytes;

PropValue text(std::uint32_t id, const std::string& s) {
  return PropValue{id, 0x001E, bytes_of(s), {}};
}
PropValue unicode(std::uint32_t id, const std::u16string& s) {
  Bytes b;
  for (const char16_t c : s) {
    b.push_back(static_cast<std::uint8_t>(c & 0xFF));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return PropValue{id, 0x001F, b, {}};
}
PropValue binary(std::uint32_t id, const Bytes& b) {
  return PropValue{id, 0x0102, b, {}};
}
PropValue number(std::uint32_t id, std::uint32_t n) {
  return PropValue{id, 0x0003, le32_bytes(n), {}};
}
PropValue unread(std::uint32_t id) {
  return PropValue{id, 0x001E, std::nullopt, {}};
}

ItemRecord extracted(std::vector<PropValue> values) {
  PropRow row{1, std::move(values)};
  ItemRecord item;
  extract(row, item);
  return item;
}

TEST(ItemExtractionTest, MessageClassesCompareWithoutCaseContainerClassesExactly) {
  EXPECT_EQ(kind_of_message_class("IPM.Note"), ItemKind::kMail);
  EXPECT_EQ(kind_of_message_class("ipm.note"), ItemKind::kMail);
  EXPECT_EQ(kind_of_message_class("IPM.NOTE.SMIME"), ItemKind::kMail);
  EXPECT_EQ(kind_of_message_class("IPM.Contact"), ItemKind::kContact);
  EXPECT_EQ(kind_of_message_class("IPM.Appointment"), ItemKind::kAppointment);
  EXPECT_EQ(kind_of_message_class("IPM.StickyNote"), ItemKind::kStickyNote);
  EXPECT_EQ(kind_of_message_class("IPM.Activity"), ItemKind::kJournal);
  EXPECT_EQ(kind_of_message_class("IPM.Task"), ItemKind::kTask);
  EXPECT_EQ(kind_of_message_class("IPM.DistList"), ItemKind::kDistList);
  EXPECT_EQ(kind_of_message_class("IPM.Schedule.Meeting.Request"), ItemKind::kOther);
  EXPECT_EQ(kind_of_message_class("IPM.Not"), ItemKind::kOther);  // shorter than the pattern
  EXPECT_EQ(kind_of_message_class(""), ItemKind::kOther);

  EXPECT_EQ(kind_of_container_class("IPF.Note"), ItemKind::kMail);
  EXPECT_EQ(kind_of_container_class("ipf.note"), ItemKind::kOther);
  EXPECT_EQ(kind_of_container_class("IPF.Journal"), ItemKind::kJournal);
  EXPECT_EQ(kind_of_container_class("IPF.Appointment"), ItemKind::kAppointment);
  EXPECT_EQ(kind_of_container_class("IPF.Contact"), ItemKind::kContact);
  EXPECT_EQ(kind_of_container_class("IPF.StickyNote"), ItemKind::kStickyNote);
  EXPECT_EQ(kind_of_container_class("IPF.Task"), ItemKind::kTask);
  EXPECT_EQ(kind_of_container_class("IPM.DISTLIST"), ItemKind::kDistList);

  // The first message class of a row counts; a container class always overrides.
  const ItemRecord two = extracted({text(0x001A, "IPM.Contact"), text(0x001A, "IPM.Note")});
  EXPECT_EQ(two.kind, ItemKind::kContact);
  EXPECT_EQ(two.item_class, "IPM.Contact");
  const ItemRecord folder = extracted({text(0x001A, "IPM.Note"), text(0x3613, "IPF.Appointment")});
  EXPECT_EQ(folder.kind, ItemKind::kAppointment);
  EXPECT_EQ(folder.item_class, "IPF.Appointment");
  EXPECT_EQ(extracted({text(0x0037, "no class")}).kind, ItemKind::kNone);
}

TEST(ItemExtractionTest, SubjectPrefixMarkersAreSplitOff) {
  const auto subject = [](const Bytes& stored) {
    return extracted({binary(0x0037, stored)}).message->subject;
  };
  Bytes marked{0x01, 0x04};
  for (char c : std::string("RE: Hello")) marked.push_back(static_cast<std::uint8_t>(c));
  const auto s = subject(marked);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->prefix_marker, 1);
  EXPECT_EQ(s->prefix_length, 4);
  EXPECT_EQ(s->text, "RE: Hello");

  const auto plain = subject(bytes_of("Hello"));
  EXPECT_EQ(plain->prefix_marker, 0);
  EXPECT_EQ(plain->text, "Hello");
  // A subject starting with a letter of the code page above 0x7F is plain text.
  EXPECT_EQ(subject(Bytes{0xDC, 'b', 'e', 'r'})->text,
            "\xDC"
            "ber");
  // A sign-extended prefix length, and a lone marker byte.
  EXPECT_EQ(subject(Bytes{0x01, 0xFF, 'x'})->prefix_length, -1);
  EXPECT_EQ(subject(Bytes{0x01})->text, "");
  EXPECT_FALSE(subject(Bytes{}).has_value());
  EXPECT_FALSE(extracted({unread(0x0037)}).message->subject.has_value());
}

TEST(ItemExtractionTest, MessageFieldsFollowTheirSpecialRules) {
  const ItemRecord html = extracted({text(0x1013, std::string(100, 'h'))});
  ASSERT_TRUE(html.message->html_body.has_value());
  EXPECT_EQ(html.message->html_body->size(), 126u);
  EXPECT_TRUE(html.message->html_body->starts_with("<HTML><BODY>hhh"));
  EXPECT_TRUE(html.message->html_body->ends_with("hhh</BODY></HTML>"));

  const ItemRecord rtf = extracted({binary(0x1009, Bytes(33, 7))});
  EXPECT_EQ(rtf.message->rtf_compressed->size(), 33u);

  // extraBinary: 0x801F only while empty, 0x803B and 0x806F always, 0x80A2 while empty and
  // afterwards into the contact's third address type.
  const ItemRecord first = extracted({binary(0x801F, {1}), binary(0x801F, {2})});
  EXPECT_EQ(first.message->extra_binary, Bytes({1}));
  const ItemRecord replaced =
      extracted({binary(0x801F, {1}), binary(0x803B, {3}), binary(0x806F, {4, 4})});
  EXPECT_EQ(replaced.message->extra_binary, Bytes({4, 4}));
  const ItemRecord a2 = extracted({binary(0x80A2, {5}), text(0x80A2, "SMTP")});
  EXPECT_EQ(a2.message->extra_binary, Bytes({5}));
  EXPECT_EQ(a2.contact->email3_address_type, "SMTP");
  EXPECT_FALSE(extracted({binary(0x80A2, {5})}).contact.has_value());

  // 0x1000 and 0x6619 both fill the body; the later one wins.
  EXPECT_EQ(extracted({text(0x1000, "one"), text(0x6619, "two")}).message->body, "two");
}

TEST(ItemExtractionTest, UnicodeTextFillsTheFieldsAsSingleByteText) {
  const ItemRecord item = extracted({unicode(0x0037, u"\x01\x04RE: \u00DCber \u20AC5"),
                                     unicode(0x0E04, u"\u4E2D x"),
                                     unicode(0x1000, u"whole body"),
                                     unicode(0x6619, u"whole")});
  ASSERT_TRUE(item.message->subject.has_value());
  EXPECT_EQ(item.message->subject->prefix_length, 4);
  EXPECT_EQ(item.message->subject->text, "RE: \xDC" "ber \x80" "5");
  EXPECT_EQ(item.message->display_to, "? x");  // a character Windows-1252 lacks
  // The Unicode form's 0x6619 is the body's first characters: it leaves the body whole, and
  // fills it only when there is none.
  EXPECT_EQ(item.message->body, "whole body");
  EXPECT_EQ(extracted({unicode(0x6619, u"preview")}).message->body, "preview");
}

TEST(ItemExtractionTest, ValuesWithoutDataGiveEmptyTextAndLeaveNumbersAlone) {
  PropValue no_number = number(0x0017, 0);
  no_number.data.reset();
  const ItemRecord item = extracted({number(0x0017, 2), no_number, unread(0x0E04), unread(0x0039)});
  EXPECT_EQ(item.message->importance, 2u);
  EXPECT_EQ(item.message->display_to, "");
  EXPECT_EQ(item.message->client_submit_time, Bytes{});
  // Text keeps embedded zero bytes and its length.
  EXPECT_EQ(extracted({binary(0x0E04, {'a', 0, 'b'})}).message->display_to, std::string("a\0b", 3));
  // A property no field lists creates no part.
  const ItemRecord unknown = extracted({number(0x0E08, 9), text(0x3A58, "ignored")});
  EXPECT_FALSE(unknown.message.has_value());
  EXPECT_FALSE(unknown.contact.has_value());
}

TEST(ItemExtractionTest, DisplayNameFillsFileUnderUntilAFileUnderValueFollows) {
  const ItemRecord folder = extracted({text(0x3001, "Inbox"), number(0x3602, 7)});
  EXPECT_EQ(folder.display_name, "Inbox");
  EXPECT_EQ(folder.contact->file_under, "Inbox");
  EXPECT_EQ(folder.folder->content_count, 7u);

  const ItemRecord contact = extracted({text(0x3001, "Ann Smith"), text(0x8005, "Smith, Ann")});
  EXPECT_EQ(contact.display_name, "Ann Smith");
  EXPECT_EQ(contact.contact->file_under, "Smith, Ann");
}

TEST(ItemExtractionTest, KindPartsAreFilledWhateverTheItem) {
  const ItemRecord item = extracted({
      text(0x001A, "IPM.Contact"),
      binary(0x8085, {9, 9, 9}),  // a contact's entry id lands in the appointment part
      number(0x3A4D, 0x00010002),
      number(0x3A0E, 0x00010000),
      number(0x3A40, 0x00000100),
      text(0x8700, "Phone call"),
      text(0x8712, "E-mail"),
      number(0x8B00, 3),
      number(0x8101, 2),
      binary(0x8105, Bytes(8, 1)),
  });
  EXPECT_EQ(item.appointment->email1_original_entry_id, Bytes({9, 9, 9}));
  EXPECT_EQ(item.contact->gender, 2);
  EXPECT_EQ(item.contact->mail_permission, 0u);  // flag: the low 16 bits only
  EXPECT_EQ(item.contact->send_rich_info, 1u);
  EXPECT_EQ(item.journal->log_type, "E-mail");
  EXPECT_EQ(item.note->note_color, 3u);
  EXPECT_EQ(item.task->task_status, 2u);
  EXPECT_EQ(item.task->task_due_date, Bytes(8, 1));
}

// A one-off entry id: flags, provider id, version, flags word, then the three strings.
Bytes one_off(bool wide, const std::vector<std::string>& strings) {
  static constexpr std::uint8_t kHead[] = {0,    0,    0,    0,    0x81, 0x2B, 0x1F, 0xA4,
                                           0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD,
                                           0x01, 0x0F, 0x54, 0x02, 0,    0,    0,    0};
  Bytes e(std::begin(kHead), std::end(kHead));
  e[23] = wide ? 0x80 : 0;
  for (const std::string& s : strings) {
    for (char c : s) {
      e.push_back(static_cast<std::uint8_t>(c));
      if (wide) e.push_back(0);
    }
    e.push_back(0);
    if (wide) e.push_back(0);
  }
  return e;
}

Bytes member_list(const std::vector<Bytes>& entries, std::size_t pad = 0) {
  Bytes v = le32_bytes(static_cast<std::uint32_t>(entries.size()));
  std::size_t at = 4 + 4 * entries.size();
  for (const Bytes& e : entries) {
    const Bytes off = le32_bytes(static_cast<std::uint32_t>(at));
    v.insert(v.end(), off.begin(), off.end());
    at += e.size();
  }
  for (const Bytes& e : entries) v.insert(v.end(), e.begin(), e.end());
  v.resize(v.size() + pad);
  return v;
}

TEST(ItemExtractionTest, OneOffMembersInBothStringForms) {
  Bytes not_one_off = one_off(false, {"Xy", "SMTP", "x@example.com"});
  not_one_off[4] = 0x80;
  const ItemRecord item = extracted(
      {binary(0x8054, member_list({one_off(false, {"Al", "EX", "al@example.com"}), not_one_off,
                                   one_off(true, {"Bob", "SMTP", "bob@example.com"}),
                                   one_off(false, {"", "", ""})}))});
  ASSERT_TRUE(item.dist_list.has_value());
  const DistListMembers& d = *item.dist_list;
  ASSERT_EQ(d.members.size(), 2u);             // the entry that is no one-off entry id is skipped
  EXPECT_EQ(d.members[0].display_name, "Al");  // 2 characters: kept in single-byte form
  EXPECT_FALSE(d.members[0].address_type.has_value());  // 2 characters: dropped
  EXPECT_EQ(d.members[0].email_address, "al@example.com");
  EXPECT_FALSE(d.members[1].display_name.has_value());  // appended with nothing stored
  ASSERT_EQ(d.wide_members.size(), 1u);
  EXPECT_FALSE(d.wide_members[0].display_name.has_value());  // 3 characters: dropped when wide
  EXPECT_EQ(d.wide_members[0].address_type, u"SMTP");
  EXPECT_EQ(d.wide_members[0].email_address, u"bob@example.com");
}

TEST(ItemExtractionTest, OneOffMemberListsBeyondTheirLimitsAreIgnoredOrCut) {
  std::vector<Bytes> many(300, one_off(false, {"Name", "SMTP", "a@b.cd"}));
  const ItemRecord big = extracted({binary(0x8054, member_list(many))});
  ASSERT_TRUE(big.dist_list.has_value());
  EXPECT_TRUE(big.dist_list->members.empty());

  // A count claiming more members than the value can hold.
  Bytes short_value = member_list({one_off(false, {"Name", "SMTP", "a@b.cd"})});
  pst::store_le32(short_value, 0, 2);
  EXPECT_TRUE(extracted({binary(0x8054, short_value)}).dist_list->members.empty());

  // An offset pointing beyond the value: that member is skipped.
  Bytes wild = member_list(
      {one_off(false, {"Name", "SMTP", "a@b.cd"}), one_off(false, {"Name", "SMTP", "a@b.cd"})});
  pst::store_le32(wild, 8, 0xFFFFFF00);
  EXPECT_EQ(extracted({binary(0x8054, wild)}).dist_list->members.size(), 1u);

  // A last string running into the value's end stops there.
  Bytes open_end = member_list({one_off(false, {"Name", "SMTP", "a@b.cd"})});
  open_end.pop_back();
  const ItemRecord cut = extracted({binary(0x8054, open_end)});
  ASSERT_EQ(cut.dist_list->members.size(), 1u);
  EXPECT_EQ(cut.dist_list->members[0].email_address, "a@b.cd");
}

TEST(ItemExtractionTest, DecodeItemNeedsADataBlockAndAReadableHeap) {
  testing::SyntheticFile f;
  f.add_block(0x20, testing::property_context({{0x001A, 0x001E, 0, bytes_of("IPM.Note")},
                                               {0x0037, 0x001E, 0, bytes_of("Hi")}}));
  f.add_block(0x24, Bytes(64, 0));
  const ObjectIndex good =
      f.tables.objects.create(0x200024, nullptr, f.tables.find_block(0x20), true);
  const ObjectIndex junk =
      f.tables.objects.create(0x200044, nullptr, f.tables.find_block(0x24), true);
  const ObjectIndex none = f.tables.objects.create(0x200064, nullptr, nullptr, true);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const auto item = decode_item(reader, f.tables.objects[good]);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->kind, ItemKind::kMail);
  EXPECT_EQ(item->message->subject->text, "Hi");
  EXPECT_FALSE(decode_item(reader, f.tables.objects[junk]).has_value());
  EXPECT_FALSE(decode_item(reader, f.tables.objects[none]).has_value());
}

// Some writers give a folder none of the counts and entry ids that mark one: its node type
// says what it is. A message node with the same properties stays an item.
TEST(ItemExtractionTest, AFolderNodeIsAFolderWithoutCounts) {
  testing::SyntheticFile f;
  f.add_block(0x20, testing::property_context({{0x3001, 0x001E, 0, bytes_of("Attivit\xE0")},
                                               {0x3613, 0x001E, 0, bytes_of("IPF.Task")}}));
  const ObjectIndex folder =
      f.tables.objects.create(0x8082, nullptr, f.tables.find_block(0x20), true);
  const ObjectIndex message =
      f.tables.objects.create(0x200024, nullptr, f.tables.find_block(0x20), true);
  const MemorySource file = f.source();
  NodeReader reader(file, f.tables);
  const auto as_folder = decode_item(reader, f.tables.objects[folder]);
  ASSERT_TRUE(as_folder.has_value());
  EXPECT_TRUE(as_folder->folder.has_value());
  EXPECT_EQ(as_folder->display_name, "Attivit\xE0");
  EXPECT_FALSE(decode_item(reader, f.tables.objects[message])->folder.has_value());
}

}  // namespace
}  // namespace pstorian
