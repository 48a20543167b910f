// Whole items read back from crafted files: messages and folders written the way the mail
// client writes them (heaps of several blocks, values in subnodes and data trees, recipient
// and attachment tables, attachments with nested subnode trees and embedded messages), and
// damaged or hostile variants of them, which must give partial content and never more than
// the file holds.
#include "engine/content_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "engine/item_extraction.h"
#include "engine/named_property_map.h"
#include "engine/synthetic_node.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

using testing::bytes_of;
using testing::NodeBuilder;
using testing::pc_blocks;
using testing::subnode_block;
using testing::SyntheticFile;
using testing::tc_blocks;

constexpr std::uint32_t kMessageNid = 0x200024;
constexpr std::uint32_t kRecipientTable = 0x692;
constexpr std::uint32_t kAttachmentTable = 0x671;
constexpr std::uint32_t kSubject = 0x0037001E;
constexpr std::uint32_t kBody = 0x1000001E;
constexpr std::uint32_t kMessageClass = 0x001A001E;
constexpr std::uint32_t kDisplayName = 0x3001001E;
constexpr std::uint32_t kRecipientType = 0x0C150003;
constexpr std::uint32_t kAttachMethod = 0x37050003;
constexpr std::uint32_t kAttachFilename = 0x3704001E;
constexpr std::uint32_t kAttachDataBinary = 0x37010102;
constexpr std::uint32_t kAttachDataObject = 0x3701000D;
constexpr std::uint32_t kAttachPathname = 0x3708001E;

Bytes filled(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed * 7) >> 3);
  return b;
}

Bytes le(std::initializer_list<std::uint32_t> words) {
  Bytes b;
  for (std::uint32_t w : words)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  return b;
}

Bytes utf16(std::u16string_view s) {
  Bytes b;
  for (char16_t c : s) {
    b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return b;
}

StoredProperty prop(std::uint32_t tag, Bytes value) {
  return {tag, std::move(value)};
}
StoredProperty text(std::uint32_t tag, const std::string& s) {
  return {tag, bytes_of(s)};
}
StoredProperty number(std::uint32_t tag, std::uint32_t n) {
  return StoredProperty::int32(tag, n);
}

const ContentProperty* find(const ContentProperties& properties, std::uint32_t tag) {
  for (const ContentProperty& p : properties)
    if (p.tag == tag) return &p;
  return nullptr;
}

std::vector<std::uint32_t> tags_of(const ContentProperties& properties) {
  std::vector<std::uint32_t> tags;
  for (const ContentProperty& p : properties) tags.push_back(p.tag);
  return tags;
}

// Columns laid out one after the other, existence bits in the same order.
std::vector<TableColumn> columns(std::initializer_list<std::pair<std::uint32_t, std::uint8_t>> cells) {
  std::vector<TableColumn> out;
  std::uint16_t at = 0;
  std::uint8_t bit = 0;
  for (const auto& [tag, size] : cells) {
    out.push_back({tag, at, size, bit++});
    at = static_cast<std::uint16_t>(at + size);
  }
  return out;
}

std::optional<ItemRecord> decode(SyntheticFile& f, ObjectIndex o) {
  const MemorySource file = f.source();
  const NodeReader reader(file, f.tables);
  ensure_named_property_map(reader, f.tables);
  return decode_item(reader, f.tables.objects[o]);
}

// The content of the message `o`, which must decode.
MessageContent content_of(SyntheticFile& f, ObjectIndex o) {
  const auto item = decode(f, o);
  if (!item || !item->content) {
    ADD_FAILURE() << "message not decoded whole";
    return {};
  }
  return *item->content;
}

// A message of `properties` with `tables` subnodes added by the caller to `msg`.
ObjectIndex add_message(NodeBuilder& msg, const std::vector<StoredProperty>& properties,
                        std::uint32_t nid = kMessageNid) {
  return msg.add_object(nid, pc_blocks(properties, msg));
}

// ---------------------------------------------------------------------------------------
// Heaps of several blocks

TEST(ContentReaderTest, HeapsOverSeveralBlocksAreReadWhole) {
  SyntheticFile f;
  f.tables.encoded = true;
  std::vector<StoredProperty> properties{text(kMessageClass, "IPM.Note"), text(kSubject, "Multi"),
                                         text(kBody, "The body")};
  for (std::uint32_t i = 0; i < 12; ++i)
    properties.push_back(prop(pst::prop_tag(static_cast<std::uint16_t>(0x6800 + i), pst::kPtBinary),
                              filled(3000, i)));
  NodeBuilder msg(f);
  const auto blocks = pc_blocks(properties, msg);
  ASSERT_GE(blocks.size(), 4u);  // two 3000-byte values to a block
  const ObjectIndex o = msg.add_object(kMessageNid, blocks);

  const auto item = decode(f, o);
  ASSERT_TRUE(item.has_value());
  // The fields come from the same read as the content.
  EXPECT_EQ(item->kind, ItemKind::kMail);
  EXPECT_EQ(item->message->subject->text, "Multi");
  EXPECT_EQ(item->message->body, "The body");
  ASSERT_NE(item->content, nullptr);
  ASSERT_EQ(item->content->properties.size(), properties.size());
  std::sort(properties.begin(), properties.end(),
            [](const auto& a, const auto& b) { return a.tag < b.tag; });
  for (std::size_t i = 0; i < properties.size(); ++i) {
    EXPECT_EQ(item->content->properties[i].tag, properties[i].tag);
    EXPECT_EQ(item->content->properties[i].value, properties[i].value);
  }

  // A later block whose page map is broken costs the values it holds, not the message.
  auto broken = blocks;
  pst::store_le16(broken[2], 0, 0xFFF0);
  SyntheticFile g;
  NodeBuilder damaged(g);
  const auto partial = decode(g, damaged.add_object(kMessageNid, broken));
  ASSERT_TRUE(partial.has_value());
  EXPECT_EQ(partial->message->subject->text, "Multi");
  const auto& kept = partial->content->properties;
  EXPECT_LT(kept.size(), properties.size());
  EXPECT_GE(kept.size(), properties.size() - 2);
  for (const ContentProperty& p : kept) {
    const auto original = std::find_if(properties.begin(), properties.end(),
                                       [&](const auto& q) { return q.tag == p.tag; });
    ASSERT_NE(original, properties.end());
    EXPECT_EQ(p.value, original->value);
  }
}

TEST(ContentReaderTest, PropertyTreesWithIndexLevelsAreReadWhole) {
  // More records than one heap allocation holds: the BTH gets an index level, whose records
  // are no properties.
  SyntheticFile f;
  std::vector<StoredProperty> properties{text(kMessageClass, "IPM.Note"), text(kSubject, "Many")};
  for (std::uint32_t i = 0; i < 600; ++i)
    properties.push_back(number(pst::prop_tag(static_cast<std::uint16_t>(0x6000 + i), pst::kPtLong), i));
  NodeBuilder msg(f);
  const auto item = decode(f, add_message(msg, properties));
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->message->subject->text, "Many");
  const MessageContent& content = *item->content;
  ASSERT_EQ(content.properties.size(), properties.size());
  const ContentProperty* last = find(content.properties, 0x6257'0003);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->value, le({599}));
}

TEST(ContentReaderTest, NameMapsInHeapsOfSeveralBlocksAreBuilt) {
  SyntheticFile f;
  Bytes entries;
  for (std::uint16_t i = 0; i < 430; ++i) {
    Bytes e(8, 0);
    pst::store_le32(e, 0, 0x8500u + i);
    pst::store_le16(e, 4, 0x0002);  // PS_MAPI, numeric
    pst::store_le16(e, 6, i);
    entries.insert(entries.end(), e.begin(), e.end());
  }
  NodeBuilder map(f);
  const auto blocks = pc_blocks(
      {prop(0x00020102, Bytes(2000, 1)), prop(0x00030102, entries), prop(0x00040102, Bytes(3000, 0))},
      map);
  ASSERT_GE(blocks.size(), 2u);
  map.add_object(pst::kNidNameToIdMap, blocks);
  const MemorySource file = f.source();
  const NodeReader reader(file, f.tables);
  EXPECT_EQ(build_named_property_map(reader, f.tables), NamedMapResult::kBuilt);
  EXPECT_EQ(f.tables.named_props.size(), 430u);
}

// ---------------------------------------------------------------------------------------
// Property types

TEST(ContentReaderTest, EveryPropertyTypeComesWithItsStoredBytes) {
  const Bytes guid = filled(16, 3);
  const Bytes mv_strings = [] {
    Bytes b = le({2, 12, 15});
    for (char c : std::string("abcde")) b.push_back(static_cast<std::uint8_t>(c));
    return b;
  }();
  const std::vector<StoredProperty> properties{
      prop(0x60010002, {0x34, 0x12}),                       // PT_SHORT
      number(0x60020003, 0x01020304),                       // PT_LONG
      prop(0x60030004, {0, 0, 0x80, 0x3F}),                 // PT_FLOAT
      prop(0x60040005, filled(8, 4)),                       // PT_DOUBLE
      prop(0x60050006, filled(8, 5)),                       // PT_CURRENCY
      prop(0x60060007, filled(8, 6)),                       // PT_APPTIME
      prop(0x6007000A, le({0x8004010F})),                   // PT_ERROR
      prop(0x6008000B, {1}),                                // PT_BOOLEAN
      prop(0x60090014, filled(8, 9)),                       // PT_I8
      prop(0x600A0040, filled(8, 10)),                      // PT_SYSTIME
      prop(0x600B0048, guid),                               // PT_CLSID
      text(0x600C001E, "8-bit text \xE9"),                  // PT_STRING8
      prop(0x600D001F, utf16(u"UTF-16 text \u20AC")),        // PT_UNICODE
      prop(0x600E0102, filled(40, 14)),                     // PT_BINARY
      text(0x600F001E, ""),                                 // an empty value
      prop(0x60101002, {1, 0, 2, 0, 3, 0}),                 // PT_MV_SHORT
      prop(0x60111003, le({7, 8, 9})),                      // PT_MV_LONG
      prop(0x60121014, filled(16, 18)),                     // PT_MV_I8
      prop(0x60131040, filled(24, 19)),                     // PT_MV_SYSTIME
      prop(0x60141048, filled(32, 20)),                     // PT_MV_CLSID
      prop(0x6015101E, mv_strings),                         // PT_MV_STRING8
      prop(0x6016101F, le({1, 8, 0x00620061})),             // PT_MV_UNICODE
      prop(0x60171102, le({2, 12, 14, 0xAAAA})),            // PT_MV_BINARY
      prop(0x60180102, filled(20000, 24)),                  // in a subnode
  };
  SyntheticFile f;
  f.tables.encoded = true;
  NodeBuilder msg(f);
  const MessageContent content = content_of(f, add_message(msg, properties));
  ASSERT_EQ(content.properties.size(), properties.size());
  for (std::size_t i = 0; i < properties.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(content.properties[i].tag, properties[i].tag);
    EXPECT_EQ(content.properties[i].value, properties[i].value);
    EXPECT_FALSE(content.properties[i].name.has_value());
  }
}

TEST(ContentReaderTest, ValuesThatDoNotFitTheirTypeAreLeftOut) {
  using testing::hid;
  using testing::PcProp;
  SyntheticFile f;
  f.add_block(0x20, testing::property_context({
                        {0x0037, 0x001E, 0, bytes_of("kept")},
                        {0x6001, 0x0033, 7},                     // no such type
                        {0x6002, 0x0040, 0, Bytes(5, 1)},        // a time of 5 bytes
                        {0x6003, 0x1003, 0, Bytes(6, 1)},        // 32-bit values in 6 bytes
                        {0x6004, 0x101E, 0, le({1000, 8})},      // more strings than bytes
                        {0x6005, 0x1102, 0, le({2, 16, 12, 0})}, // offsets going back
                        {0x6006, 0x0102, 0x7FE0},                // a heap id naming nothing
                        {0x6007, 0x0102, 0x1E5F},                // a subnode that is not there
                        {0x6008, 0x0003, 9},
                    }));
  const ObjectIndex o = f.tables.objects.create(kMessageNid, nullptr, f.tables.find_block(0x20), true);
  const MessageContent content = content_of(f, o);
  EXPECT_EQ(tags_of(content.properties), (std::vector<std::uint32_t>{kSubject, 0x60080003}));
}

// ---------------------------------------------------------------------------------------
// Named properties

TEST(ContentReaderTest, NamedPropertiesAreCarriedByName) {
  const Bytes custom_set = filled(16, 77);
  Bytes guids = filled(16, 11);  // stream GUID 3
  guids.insert(guids.end(), custom_set.begin(), custom_set.end());  // stream GUID 4
  Bytes strings;
  auto add_string = [&](std::u16string_view s) {
    const auto at = static_cast<std::uint32_t>(strings.size());
    const Bytes text = utf16(s);
    const Bytes length = le({static_cast<std::uint32_t>(text.size())});
    strings.insert(strings.end(), length.begin(), length.end());
    strings.insert(strings.end(), text.begin(), text.end());
    strings.resize((strings.size() + 3) / 4 * 4, 0);
    return at;
  };
  const std::uint32_t keywords = add_string(u"Keywords");
  const std::uint32_t header = add_string(u"X-Nachricht-\u00DCber");
  Bytes entries;
  auto add_entry = [&](std::uint32_t name, std::uint16_t guid_index, bool string, std::uint16_t index) {
    Bytes e(8, 0);
    pst::store_le32(e, 0, name);
    pst::store_le16(e, 4, static_cast<std::uint16_t>(guid_index << 1 | (string ? 1 : 0)));
    pst::store_le16(e, 6, index);
    entries.insert(entries.end(), e.begin(), e.end());
  };
  add_entry(0x8501, 1, false, 0);       // 0x8000: PS_MAPI, a reminder's delta
  add_entry(0x00018233, 4, false, 1);   // 0x8001: the second stream GUID, a 32-bit number
  add_entry(keywords, 2, true, 2);      // 0x8002: PS_PUBLIC_STRINGS, by string
  add_entry(header, 3, true, 3);        // 0x8003: the first stream GUID, by string
  add_entry(0x8100, 9, false, 4);       // 0x8004: a GUID the stream does not hold

  SyntheticFile f;
  NodeBuilder map(f);
  map.add_object(pst::kNidNameToIdMap,
                 pc_blocks({prop(0x00020102, guids), prop(0x00030102, entries),
                            prop(0x00040102, strings)},
                           map));
  NodeBuilder msg(f);
  const auto item = decode(f, add_message(msg, {text(kMessageClass, "IPM.Appointment"),
                                                number(0x80000003, 15), number(0x80010003, 1),
                                                text(0x8002001E, "red"), text(0x8003001E, "x"),
                                                number(0x80040003, 4), number(0x80050003, 5)}));
  ASSERT_TRUE(item.has_value());
  const ContentProperties& p = item->content->properties;
  ASSERT_EQ(p.size(), 7u);
  const Bytes mapi{0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  auto guid_of = [](const ContentProperty& q) { return Bytes(q.name->guid.begin(), q.name->guid.end()); };
  ASSERT_TRUE(p[1].name.has_value());
  EXPECT_EQ(guid_of(p[1]), mapi);
  EXPECT_EQ(p[1].name->lid, 0x8501u);
  EXPECT_EQ(guid_of(p[2]), custom_set);
  EXPECT_EQ(p[2].name->lid, 0x00018233u);  // all 32 bits of a numeric name
  Bytes public_strings = mapi;
  public_strings[0] = 0x29;
  EXPECT_EQ(guid_of(p[3]), public_strings);
  EXPECT_FALSE(p[3].name->lid.has_value());
  EXPECT_EQ(p[3].name->name, u"Keywords");
  EXPECT_EQ(guid_of(p[4]), filled(16, 11));
  EXPECT_EQ(p[4].name->name, u"X-Nachricht-\u00DCber");
  // Without a property set, or without an entry, a named id keeps its id and has no name.
  EXPECT_EQ(p[5].id(), 0x8004);
  EXPECT_FALSE(p[5].name.has_value());
  EXPECT_EQ(p[6].id(), 0x8005);
  EXPECT_FALSE(p[6].name.has_value());
  // The field extraction still sees the numeric name in place of the id.
  ASSERT_TRUE(item->appointment.has_value());
  EXPECT_EQ(item->appointment->reminder_delta, 15u);
}

TEST(ContentReaderTest, StringNamesBeyondSixtyFourKilobytesOfTheStreamAreFound) {
  Bytes strings(0x11000, 0);
  const Bytes name = utf16(u"Far");
  const Bytes length = le({static_cast<std::uint32_t>(name.size())});
  strings.insert(strings.end(), length.begin(), length.end());
  strings.insert(strings.end(), name.begin(), name.end());
  Bytes entries(8, 0);
  pst::store_le32(entries, 0, 0x11000);
  pst::store_le16(entries, 4, 0x0005);  // PS_PUBLIC_STRINGS, by string
  const auto map = parse_named_property_streams(entries, strings);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].name, "Far");
  ASSERT_TRUE(map[0].full_name.has_value());
  EXPECT_EQ(map[0].full_name->name, u"Far");
}

// ---------------------------------------------------------------------------------------
// Recipients

TEST(ContentReaderTest, RecipientsAreEveryRowWithTheCellsItHas) {
  const auto cols = columns({{kTagLtpRowId, 4},
                             {kRecipientType, 4},
                             {kDisplayName, 4},
                             {0x3003001E, 4},  // e-mail address
                             {0x39FE001F, 4},  // SMTP address, UTF-16
                             {0x0FFF0102, 4},  // entry id
                             {0x30070040, 8},  // a time: an 8-byte cell
                             {0x5FFD0002, 2},  // a 16-bit cell
                             {0x0E0F000B, 1}}); // a boolean: a 1-byte cell
  std::vector<TableRow> rows;
  for (std::uint32_t r = 0; r < 3; ++r) {
    TableRow row{number(kTagLtpRowId, r), number(kRecipientType, r + 1),
                 text(kDisplayName, "Person " + std::to_string(r)),
                 prop(0x39FE001F, utf16(u"p@example.org")), prop(0x0FFF0102, filled(30, r)),
                 prop(0x30070040, filled(8, r)), prop(0x5FFD0002, {7, 0}), prop(0x0E0F000B, {1})};
    if (r != 1) row.push_back(text(0x3003001E, "p" + std::to_string(r) + "@example.org"));
    rows.push_back(std::move(row));
  }
  rows[2][2] = text(kDisplayName, std::string(5000, 'n'));  // a name in a subnode

  SyntheticFile f;
  f.tables.encoded = true;
  NodeBuilder msg(f);
  NodeBuilder table(f);
  msg.add_subnode(kRecipientTable, tc_blocks(cols, rows, table), &table);
  const MessageContent content = content_of(f, add_message(msg, {text(kSubject, "To three")}));
  ASSERT_EQ(content.recipients.size(), 3u);
  for (std::size_t r = 0; r < 3; ++r) {
    SCOPED_TRACE(r);
    const ContentProperties& got = content.recipients[r];
    EXPECT_EQ(got.size(), rows[r].size());
    for (const StoredProperty& p : rows[r]) {
      const ContentProperty* q = find(got, p.tag);
      ASSERT_NE(q, nullptr) << std::hex << p.tag;
      EXPECT_EQ(q->value, p.value) << std::hex << p.tag;
    }
  }
  EXPECT_EQ(find(content.recipients[1], 0x3003001E), nullptr);  // its bit is clear
}

TEST(ContentReaderTest, RecipientRowsKeptInASubnodeAreAllRead) {
  const auto cols = columns({{kTagLtpRowId, 4}, {kRecipientType, 4}, {kDisplayName, 4}});
  std::vector<TableRow> rows;
  for (std::uint32_t r = 0; r < 2500; ++r)
    rows.push_back({number(kTagLtpRowId, r), number(kRecipientType, 1),
                    text(kDisplayName, "R" + std::to_string(r))});
  SyntheticFile f;
  NodeBuilder msg(f);
  NodeBuilder table(f);
  msg.add_subnode(kRecipientTable, tc_blocks(cols, rows, table), &table);
  const MessageContent content = content_of(f, add_message(msg, {text(kSubject, "Many")}));
  ASSERT_EQ(content.recipients.size(), rows.size());
  const ContentProperty* last = find(content.recipients[2499], kDisplayName);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->value, bytes_of("R2499"));
}

// ---------------------------------------------------------------------------------------
// Attachments

// The attachment table of `nids` (attachment subnode ids), with a method and a name each.
std::vector<Bytes> attachment_table(const std::vector<std::uint32_t>& nids, NodeBuilder& sink) {
  const auto cols = columns({{kTagLtpRowId, 4}, {kAttachMethod, 4}, {kAttachFilename, 4}});
  std::vector<TableRow> rows;
  for (std::uint32_t nid : nids)
    rows.push_back({number(kTagLtpRowId, nid), number(kAttachMethod, 1),
                    text(kAttachFilename, "row " + std::to_string(nid))});
  return tc_blocks(cols, rows, sink);
}

TEST(ContentReaderTest, AttachmentsOfEveryMethodAreReadWithTheirData) {
  SyntheticFile f;
  f.tables.encoded = true;
  NodeBuilder msg(f);
  const Bytes large = filled(1'500'000, 1);  // a data tree of 184 blocks
  const Bytes ole = filled(3000, 2);

  NodeBuilder by_value(f);
  msg.add_subnode(0x8025,
                  pc_blocks({number(kAttachMethod, 1), text(kAttachFilename, "large.bin"),
                             prop(kAttachDataBinary, large)},
                            by_value),
                  &by_value);
  NodeBuilder by_reference(f);
  msg.add_subnode(0x8045,
                  pc_blocks({number(kAttachMethod, 2), text(kAttachPathname, "\\\\server\\a.doc")},
                            by_reference),
                  &by_reference);
  NodeBuilder ole_object(f);
  ole_object.add_subnode(0x0001'003F, {ole});
  msg.add_subnode(0x8065,
                  pc_blocks({number(kAttachMethod, 6),
                             prop(kAttachDataObject, le({0x0001'003F, 3000}))},
                            ole_object),
                  &ole_object);

  // An embedded message with a recipient and an attachment that embeds another message.
  NodeBuilder innermost(f);
  NodeBuilder innermost_attachment(f);
  innermost_attachment.add_subnode(
      0x200064, pc_blocks({text(kSubject, "Innermost")}, innermost), &innermost);
  NodeBuilder inner(f);
  inner.add_subnode(0x8025,
                    pc_blocks({number(kAttachMethod, 5), prop(kAttachDataObject, le({0x200064, 0}))},
                              innermost_attachment),
                    &innermost_attachment);
  NodeBuilder inner_table(f);
  inner.add_subnode(kAttachmentTable, attachment_table({0x8025}, inner_table), &inner_table);
  NodeBuilder inner_recipients(f);
  inner.add_subnode(kRecipientTable,
                    tc_blocks(columns({{kTagLtpRowId, 4}, {kDisplayName, 4}}),
                              {{number(kTagLtpRowId, 1), text(kDisplayName, "Inner recipient")}},
                              inner_recipients),
                    &inner_recipients);
  NodeBuilder embedded(f);
  embedded.add_subnode(0x200044, pc_blocks({text(kSubject, "Inner")}, inner), &inner);
  msg.add_subnode(0x8085,
                  pc_blocks({number(kAttachMethod, 5), prop(kAttachDataObject, le({0x200044, 0})),
                             text(kDisplayName, "Forwarded")},
                            embedded),
                  &embedded);

  NodeBuilder table(f);
  msg.add_subnode(kAttachmentTable, attachment_table({0x8025, 0x8045, 0x8065, 0x8085}, table),
                  &table);
  const MessageContent content = content_of(f, add_message(msg, {text(kSubject, "Outer")}));

  ASSERT_EQ(content.attachments.size(), 4u);
  const auto& a = content.attachments;
  EXPECT_EQ(find(a[0].properties, kAttachDataBinary)->value, large);
  EXPECT_EQ(find(a[0].properties, kAttachFilename)->value, bytes_of("large.bin"));
  EXPECT_EQ(find(a[1].properties, kAttachPathname)->value, bytes_of("\\\\server\\a.doc"));
  EXPECT_EQ(find(a[1].properties, kAttachDataBinary), nullptr);
  // An OLE object comes as its data; an embedded message as the message, without the
  // reference that named it.
  EXPECT_EQ(find(a[2].properties, kAttachDataObject)->value, ole);
  EXPECT_EQ(a[2].embedded, nullptr);
  EXPECT_EQ(find(a[3].properties, kAttachDataObject), nullptr);
  EXPECT_EQ(find(a[3].properties, kDisplayName)->value, bytes_of("Forwarded"));
  ASSERT_NE(a[3].embedded, nullptr);
  const MessageContent& e = *a[3].embedded;
  EXPECT_EQ(find(e.properties, kSubject)->value, bytes_of("Inner"));
  ASSERT_EQ(e.recipients.size(), 1u);
  EXPECT_EQ(find(e.recipients[0], kDisplayName)->value, bytes_of("Inner recipient"));
  ASSERT_EQ(e.attachments.size(), 1u);
  ASSERT_NE(e.attachments[0].embedded, nullptr);
  EXPECT_EQ(find(e.attachments[0].embedded->properties, kSubject)->value, bytes_of("Innermost"));
  EXPECT_TRUE(e.attachments[0].embedded->attachments.empty());
}

TEST(ContentReaderTest, FoldersKeepTheirPropertiesAsContent) {
  SyntheticFile f;
  NodeBuilder folder(f);
  const auto item = decode(f, folder.add_object(0x8022, pc_blocks({text(kDisplayName, "Inbox"),
                                                                   text(0x3613001E, "IPF.Note"),
                                                                   number(0x36020003, 4)},
                                                                  folder)));
  ASSERT_TRUE(item.has_value());
  ASSERT_TRUE(item->folder.has_value());
  EXPECT_EQ(item->folder->content_count, 4u);
  ASSERT_NE(item->content, nullptr);
  EXPECT_EQ(tags_of(item->content->properties),
            (std::vector<std::uint32_t>{kDisplayName, 0x36020003, 0x3613001E}));
  EXPECT_TRUE(item->content->recipients.empty());
}

// ---------------------------------------------------------------------------------------
// Damaged and hostile files

// Adds to `tree` an attachment 0x8025 embedding `message` (PC blocks, subnodes `inner`),
// and the attachment table naming it.
void add_embedding_attachment(SyntheticFile& f, NodeBuilder& tree, std::uint32_t message_nid,
                              const std::vector<Bytes>& message, const NodeBuilder& inner) {
  NodeBuilder attachment(f);
  attachment.add_subnode(message_nid, message, &inner);
  tree.add_subnode(0x8025,
                   pc_blocks({number(kAttachMethod, 5), prop(kAttachDataObject, le({message_nid, 0}))},
                             attachment),
                   &attachment);
  NodeBuilder table(f);
  tree.add_subnode(kAttachmentTable, attachment_table({0x8025}, table), &table);
}

TEST(ContentReaderTest, AFlippedPageMapEntryOrRecordsOutOfOrderCostOnlyWhatTheyBreak) {
  // Records in no order (a damaged tree, or a writer that did not sort them) are read as
  // they stand; a value whose allocation ends beyond the page map is lost alone.
  SyntheticFile f;
  Bytes heap = testing::property_context({{0x0037, 0x001E, 0, bytes_of("subject")},
                                          {0x001A, 0x001E, 0, bytes_of("IPM.Note")},
                                          {0x1000, 0x001E, 0, bytes_of("body")},
                                          {0x0E07, 0x0003, 1}});
  const std::size_t map_at = pst::load_le16(heap, 0);
  pst::store_le16(heap, map_at + 4 + 2 * 5, 0x7FF0);  // the end of allocation 5, the body
  f.add_block(0x20, heap);
  const ObjectIndex o = f.tables.objects.create(kMessageNid, nullptr, f.tables.find_block(0x20), true);
  const auto item = decode(f, o);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->kind, ItemKind::kMail);
  EXPECT_EQ(item->message->subject->text, "subject");
  EXPECT_FALSE(item->message->body.has_value());
  EXPECT_EQ(tags_of(item->content->properties),
            (std::vector<std::uint32_t>{kSubject, kMessageClass, 0x0E070003}));
}

TEST(ContentReaderTest, EmbeddedMessagesEndAtTheDepthBound) {
  SyntheticFile f;
  // Twelve messages, each embedded in the one before it, built from the innermost out.
  constexpr int kLevels = 12;
  std::vector<std::unique_ptr<NodeBuilder>> trees;
  std::vector<Bytes> inner_pc;
  for (int level = kLevels; level >= 1; --level) {
    auto tree = std::make_unique<NodeBuilder>(f);
    if (!trees.empty())
      add_embedding_attachment(f, *tree, 0x200044 + 0x20 * static_cast<std::uint32_t>(level),
                               inner_pc, *trees.back());
    inner_pc = pc_blocks({text(kSubject, "level " + std::to_string(level))}, *tree);
    trees.push_back(std::move(tree));
  }
  NodeBuilder top(f);
  add_embedding_attachment(f, top, 0x200044, inner_pc, *trees.back());
  const MessageContent content = content_of(f, add_message(top, {text(kSubject, "level 0")}));

  int depth = 0;
  for (const MessageContent* m = &content; !m->attachments.empty() && m->attachments[0].embedded;
       m = m->attachments[0].embedded.get()) {
    ++depth;
    EXPECT_EQ(find(m->attachments[0].embedded->properties, kSubject)->value,
              bytes_of("level " + std::to_string(depth)));
  }
  EXPECT_EQ(depth, ContentReader::kMaxEmbeddingDepth);
}

TEST(ContentReaderTest, SubnodeTreesThatLeadBackGivePartialContent) {
  // The attachment's nested tree is the message's own tree again, and the embedded
  // message's nested tree is the attachment's: neither is entered twice, so the attachment
  // finds no embedded message in its tree, and the message embedded in the other
  // attachment has no tables.
  SyntheticFile f;
  NodeBuilder values(f);
  const std::uint32_t looping_attachment = values.write_data(pc_blocks(
      {number(kAttachMethod, 5), prop(kAttachDataObject, le({0x200044, 0}))}, values));
  const std::uint32_t embedding_attachment = values.write_data(pc_blocks(
      {number(kAttachMethod, 5), prop(kAttachDataObject, le({0x200064, 0}))}, values));
  const std::uint32_t embedded = values.write_data(pc_blocks({text(kSubject, "Inner")}, values));
  NodeBuilder table_values(f);
  const std::uint32_t table = values.write_data(attachment_table({0x8025, 0x8045}, table_values));
  const std::uint32_t message = values.write_data(pc_blocks({text(kSubject, "Outer")}, values));
  constexpr std::uint32_t kTop = 0x7000'0002;
  constexpr std::uint32_t kInner = 0x7000'0006;
  f.add_block(kTop, subnode_block({{kAttachmentTable, table, 0},
                                   {0x8025, looping_attachment, kTop},
                                   {0x8045, embedding_attachment, kInner}}));
  f.add_block(kInner, subnode_block({{0x200064, embedded, kInner}}));
  const ObjectIndex o = f.tables.objects.create(kMessageNid, f.tables.find_block(kTop),
                                                f.tables.find_block(message), true);
  const MessageContent content = content_of(f, o);
  ASSERT_EQ(content.attachments.size(), 2u);
  EXPECT_EQ(content.attachments[0].embedded, nullptr);
  EXPECT_EQ(find(content.attachments[0].properties, kAttachDataObject), nullptr);
  EXPECT_NE(find(content.attachments[0].properties, kAttachMethod), nullptr);
  ASSERT_NE(content.attachments[1].embedded, nullptr);
  EXPECT_EQ(find(content.attachments[1].embedded->properties, kSubject)->value, bytes_of("Inner"));
  EXPECT_TRUE(content.attachments[1].embedded->attachments.empty());
}

TEST(ContentReaderTest, TablesAndAttachmentsThatCannotBeReadLeaveTheRestOfTheMessage) {
  SyntheticFile f;
  NodeBuilder msg(f);
  // Recipients: a row size far beyond the rows there are.
  const auto recipient_cols = columns({{kTagLtpRowId, 4}, {kDisplayName, 4}});
  NodeBuilder recipients(f);
  auto recipient_table = tc_blocks(
      recipient_cols, {{number(kTagLtpRowId, 1), text(kDisplayName, "Nobody")}}, recipients);
  constexpr std::size_t kTcInfoAt = 12 + 8;  // after the heap header and the index BTH header
  ASSERT_EQ(recipient_table[0][kTcInfoAt], pst::kClientTableContext);
  pst::store_le16(recipient_table[0], kTcInfoAt + 8, 0xFFFF);
  msg.add_subnode(kRecipientTable, recipient_table, &recipients);
  // Attachments: a table that is no heap any more, an attachment that is none either, and
  // one that is sound.
  NodeBuilder table(f);
  auto broken_table = attachment_table({0x8025, 0x8045}, table);
  broken_table[0][2] = 0x00;  // the heap signature
  msg.add_subnode(kAttachmentTable, broken_table, &table);
  msg.add_subnode(0x8025, {Bytes(64, 0x33)});
  NodeBuilder sound(f);
  msg.add_subnode(0x8045, pc_blocks({number(kAttachMethod, 1), prop(kAttachDataBinary, filled(10, 1))},
                                    sound),
                  &sound);
  const MessageContent content = content_of(f, add_message(msg, {text(kSubject, "Damaged")}));
  EXPECT_EQ(find(content.properties, kSubject)->value, bytes_of("Damaged"));
  EXPECT_TRUE(content.recipients.empty());
  // Without its table the message's attachments are its attachment subnodes that read.
  ASSERT_EQ(content.attachments.size(), 1u);
  EXPECT_EQ(find(content.attachments[0].properties, kAttachDataBinary)->value, filled(10, 1));

  // With its table, an attachment that cannot be read keeps what its row says.
  SyntheticFile g;
  NodeBuilder msg2(g);
  NodeBuilder table2(g);
  msg2.add_subnode(kAttachmentTable, attachment_table({0x8025}, table2), &table2);
  msg2.add_subnode(0x8025, {Bytes(64, 0x33)});
  const MessageContent rows_only = content_of(g, add_message(msg2, {text(kSubject, "Rows")}));
  ASSERT_EQ(rows_only.attachments.size(), 1u);
  EXPECT_EQ(find(rows_only.attachments[0].properties, kAttachFilename)->value,
            bytes_of("row " + std::to_string(0x8025)));
}

TEST(ContentReaderTest, AttachmentRowsNamingOneAttachmentBringItOnce) {
  // Every row of the table names the same embedded message: read once per row, a message
  // of a few blocks would come back as many times as the table has rows, at every level.
  SyntheticFile f;
  NodeBuilder inner(f);
  NodeBuilder embedding(f);
  embedding.add_subnode(0x200044, pc_blocks({text(kSubject, "Inner")}, inner), &inner);
  NodeBuilder msg(f);
  msg.add_subnode(0x8025,
                  pc_blocks({number(kAttachMethod, 5), prop(kAttachDataObject, le({0x200044, 0}))},
                            embedding),
                  &embedding);
  // The table writer refuses a row id twice: the rows are written apart and made alike.
  NodeBuilder table(f);
  std::vector<Bytes> rows = attachment_table({0x8025, 0x9A45, 0x9A65, 0x9A85}, table);
  for (Bytes& block : rows)
    for (std::size_t at = 0; at + 4 <= block.size(); ++at)
      if (const std::uint32_t id = pst::load_le32(block, at); id == 0x9A45 || id == 0x9A65 || id == 0x9A85)
        pst::store_le32(block, at, 0x8025);
  msg.add_subnode(kAttachmentTable, rows, &table);
  const ObjectIndex o = add_message(msg, {text(kSubject, "Outer")});
  const MemorySource file = f.source();
  const NodeReader reader(file, f.tables);
  const auto item = decode_item(reader, f.tables.objects[o]);
  ASSERT_TRUE(item && item->content);
  ASSERT_EQ(item->content->attachments.size(), 1u);
  ASSERT_NE(item->content->attachments[0].embedded, nullptr);
  EXPECT_EQ(reader.repeats().dropped, 3u);
}

// Stores every plain value in one subnode, whatever the value: a table whose cells all
// name the same large value.
class OneValueSink final : public SubnodeSink {
 public:
  explicit OneValueSink(NodeBuilder& tree) : tree_(tree) {}
  std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) override {
    if (unit != 1) return tree_.store(data, unit);
    if (shared_ == 0) shared_ = tree_.store(data, 1);
    return shared_;
  }

 private:
  NodeBuilder& tree_;
  std::uint32_t shared_ = 0;
};

TEST(ContentReaderTest, ValuesNamedOverAndOverStayWithinTheFile) {
  SyntheticFile f;
  NodeBuilder msg(f);
  NodeBuilder table(f);
  OneValueSink sink(table);
  const auto cols = columns({{kTagLtpRowId, 4}, {0x0FFF0102, 4}});
  std::vector<TableRow> rows;
  const StoredProperty heavy = prop(0x0FFF0102, filled(100'000, 5));
  for (std::uint32_t r = 0; r < 1000; ++r) rows.push_back({number(kTagLtpRowId, r), heavy});
  msg.add_subnode(kRecipientTable, build_table_context(cols, rows, 2, &sink), &table);
  const ObjectIndex o = add_message(msg, {text(kSubject, "Heavy")});
  const std::uint64_t file_size = f.source().size();
  const MessageContent content = content_of(f, o);
  ASSERT_EQ(content.recipients.size(), rows.size());
  std::uint64_t total = 0;
  std::size_t with_value = 0;
  for (const ContentProperties& row : content.recipients)
    for (const ContentProperty& p : row) {
      total += p.value.size();
      if (p.tag == 0x0FFF0102) ++with_value;
    }
  EXPECT_LE(total, file_size);
  EXPECT_GE(with_value, 1u);
}
}  // namespace
}  // namespace pstorian
