// Whole messages written into a real store and read back with the mail client's own reader:
// every property with its bytes, named ones by name, recipient rows with every column they
// carry, attachments of every method with embedded messages, and all of it kept when the
// message is saved again the way a repair completes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "content_reader.h"
#include "format/endian.h"
#include "mail_client_support.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/sample_items.h"
#include "pst/messaging/content_writer.h"
#include "mailclient/automation/mail_profile.h"
#include "pst/messaging/message_store.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace automation;

Bytes le32(std::uint32_t v) {
  Bytes b(4);
  pst::store_le32(b, 0, v);
  return b;
}

Bytes text(std::string_view s) {
  return {s.begin(), s.end()};
}

ContentProperty property(std::uint32_t tag, Bytes value) {
  return {tag, std::nullopt, std::move(value)};
}

ContentProperty named(std::uint32_t source_tag, PropertyName name, Bytes value) {
  return {source_tag, std::move(name), std::move(value)};
}

const ContentProperty* find_tag(const ContentProperties& list, std::uint32_t tag) {
  for (const auto& p : list)
    if (p.tag == tag) return &p;
  return nullptr;
}

std::vector<std::uint32_t> column_tags(const StoreFile& file, std::uint32_t message,
                                       std::uint32_t table) {
  const auto subnodes = file.read_subnodes(file.find_node(message)->bid_sub);
  const auto contents = read_table_context(HeapView(file.read_data(subnodes.at(table).bid_data)),
                                           [](std::uint32_t) -> Bytes { return {}; });
  std::vector<std::uint32_t> tags;
  for (const auto& c : contents.columns) tags.push_back(c.tag);
  return tags;
}

class MessageContentTest : public ::testing::Test {
 protected:
  void SetUp() override { file_ = test::empty_store(dir_, "out.pst"); }

  // Writes each content as a message of a new folder, then closes the store.
  std::vector<std::uint32_t> write(
      const std::vector<std::shared_ptr<const MessageContent>>& contents) {
    MessageStore store(file_);
    const std::uint32_t folder = store.create_folder(store.top_folder(), "Whole", "IPF.Note");
    std::vector<std::uint32_t> nids;
    for (const auto& c : contents)
      nids.push_back(store.save_message(folder, 0, store.content_properties(*c), c.get()));
    store.close();
    return nids;
  }

  test::TempDir dir_;
  fs::path file_;
};

TEST_F(MessageContentTest, ItemsOfEveryKindComeBackWhole) {
  // The sample's items: every kind, properties of every type, named by number and by
  // string, and for the first mail attachments of every method (one over 1 MB) with a
  // message embedded in a message.
  std::vector<std::shared_ptr<const MessageContent>> items;
  for (std::size_t i = 0; i < kSampleKinds; ++i)
    items.push_back(sample_item(3, i, u"Item " + std::u16string(1, char16_t(u'A' + i))));
  const auto nids = write(items);

  StoreFile file(file_);
  const test::ContentReader reader(file);
  for (std::size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(i);
    const MessageContent back = reader.message(nids[i]);
    test::expect_content(*items[i], back);
    const bool attached = !items[i]->attachments.empty();
    ASSERT_NE(find_tag(back.properties, prop::kHasAttachments), nullptr);
    EXPECT_EQ(find_tag(back.properties, prop::kHasAttachments)->value, Bytes{attached});
    const auto flags = pst::load_le32(find_tag(back.properties, prop::kMessageFlags)->value, 0);
    EXPECT_EQ((flags & kMessageHasAttachmentsFlag) != 0, attached);
  }
  const MessageContent first = reader.message(nids[0]);
  ASSERT_EQ(first.attachments.size(), 6u);
  const auto* large = find_tag(first.attachments[2].properties, prop::kAttachDataBinary);
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(large->value.size(), kSampleLargeAttachment);
  const auto& nested = first.attachments[5].embedded;
  ASSERT_TRUE(nested && nested->attachments.size() == 2 && nested->attachments[1].embedded);
  EXPECT_EQ(nested->attachments[1].embedded->attachments.size(), 1u);
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(MessageContentTest, WhatAStoreMakesForItselfAndWhatCannotBeStoredIsLeftOut) {
  auto m = std::make_shared<MessageContent>();
  m->properties = {
      property(0x0037001E, text("kept")), property(0x0FFF0102, Bytes(24, 1)),  // entry id
      property(0x0FF90102, Bytes(16, 2)),                                      // record key
      property(0x0E090102, Bytes(24, 3)),                                      // parent entry id
      property(0x65E00102, Bytes(22, 4)),                                      // source key
      property(0x0E080003, le32(99)),                                          // size
      property(0x67F20003, le32(7)),                                           // a table's row id
      property(0x0E0A0102, Bytes(24, 5)),  // sent mail folder of the other store
      property(0x3701000D, Bytes(8, 6)),   // an object of a message
      property(0x00170003, Bytes(3, 1)),   // a number of the wrong size
      property(0x10990099, Bytes(4, 1)),   // a type the file does not know
      property(0x8005001E, text("x")),     // a named id without its name, named here
      property(0x80A9001E, text("y")),     // one without a name, free here: kept as it came
      property(0x1234100B, Bytes(2, 1)),   // a multi-valued form that does not exist
  };
  m->recipients.push_back({property(0x0C150003, le32(1)), property(0x3001001E, text("Ann")),
                           property(0x0FFF0102, Bytes(30, 7)), property(0x0FF90102, Bytes(8, 8)),
                           property(0x300B0102, text("SMTP:ANN@X"))});
  const auto nids = write({m});

  StoreFile file(file_);
  const MessageContent back = test::ContentReader(file).message(nids[0]);
  EXPECT_NE(find_tag(back.properties, 0x0037001E), nullptr);
  EXPECT_EQ(find_tag(back.properties, 0x80A9001E)->value, text("y"));
  for (const std::uint32_t gone : {0x0FFF0102u, 0x0FF90102u, 0x0E090102u, 0x65E00102u, 0x67F20003u,
                                   0x0E0A0102u, 0x3701000Du, 0x10990099u, 0x8005001Eu, 0x1234100Bu})
    EXPECT_EQ(find_tag(back.properties, gone), nullptr) << std::hex << gone;
  // The store's own size takes its place; an importance of the wrong size is left out, and
  // none is made up for it.
  EXPECT_NE(pst::load_le32(find_tag(back.properties, 0x0E080003)->value, 0), 99u);
  EXPECT_EQ(find_tag(back.properties, 0x00170003), nullptr);
  // A recipient's entry id, record key and search key are its address's: kept.
  test::expect_properties(m->recipients[0], back.recipients.at(0), ContentObject::kRecipient,
                          "recipient");
  EXPECT_NE(find_tag(back.recipients[0], 0x0FFF0102), nullptr);
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(MessageContentTest, LargeAttachmentsReachTheFileBeforeAThousandItemsDo) {
  // New blocks wait in memory for their checkpoint; a few large attachments must bring one
  // about, or a repair of a mailbox of large files holds them all in memory.
  MessageStore store(file_);
  const std::uint32_t folder = store.create_folder(store.top_folder(), "Large", "IPF.Note");
  for (int i = 0; i < 3; ++i) {
    auto m = std::make_shared<MessageContent>();
    m->properties = {property(0x0037001E, text("large"))};
    AttachmentContent a;
    a.properties = {property(0x37050003, le32(1)),
                    property(0x37010102, Bytes(std::size_t{8} << 20, static_cast<std::uint8_t>(i)))};
    m->attachments.push_back(std::move(a));
    store.save_message(folder, 0, store.content_properties(*m), m.get());
  }
  EXPECT_GT(fs::file_size(file_), std::uintmax_t{16} << 20);
  store.close();
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(MessageContentTest, RecipientRowsKeepEveryColumnAndTheDisplayListsFollowThem) {
  auto row = [](std::uint32_t type, std::string_view name) {
    return ContentProperties{property(0x0C150003, le32(type)), property(0x3001001E, text(name)),
                             property(0x3003001E, text("x@example.com"))};
  };
  auto eight_bit = std::make_shared<MessageContent>();
  eight_bit->properties = {property(0x0E04001E, text("stale")), property(0x0E02001F, Bytes{})};
  eight_bit->recipients = {row(1, "Zo\xEB"), row(2, "Ann"), row(1, "Bob"), row(3, "Eve")};
  // A column beyond the store's template, and a row without an address.
  eight_bit->recipients[1].push_back(property(0x5FF6001F, {'A', 0, 'n', 0, 'n', 0}));
  eight_bit->recipients[2].pop_back();
  auto wide = std::make_shared<MessageContent>();
  wide->recipients = {row(1, "Zo\xEB"),
                      {property(0x0C150003, le32(1)), property(0x3001001F, {'B', 0, 'o', 0})}};
  // Rows damaged past naming anyone leave the message's own lists as they are.
  auto nameless = std::make_shared<MessageContent>();
  nameless->properties = {property(0x0E04001E, text("Ann Smith")), property(0x0E03001E, text("Bob"))};
  nameless->recipients = {{property(0x0C150003, le32(1))},
                          {property(0x0C150003, le32(1)), property(0x3001001E, Bytes(9, 0))},
                          {property(0x3003001E, text("x@y"))}};
  const auto nids = write({eight_bit, wide, nameless});

  StoreFile file(file_);
  const test::ContentReader reader(file);
  const MessageContent back = reader.message(nids[0]);
  ASSERT_EQ(back.recipients.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i)
    test::expect_properties(eight_bit->recipients[i], back.recipients[i], ContentObject::kRecipient,
                            "row " + std::to_string(i));
  EXPECT_EQ(find_tag(back.recipients[2], 0x3003001E), nullptr);
  EXPECT_EQ(find_tag(back.recipients[0], 0x5FF6001F), nullptr);
  const auto columns = column_tags(file, nids[0], 0x692);
  for (const std::uint32_t tag :
       {0x0C150003u, 0x3001001Eu, 0x3003001Eu, 0x5FF6001Fu, 0x0FFF0102u, 0x67F20003u, 0x67F30003u})
    EXPECT_NE(std::find(columns.begin(), columns.end(), tag), columns.end()) << std::hex << tag;
  // The lists the message holds stay as they are (an empty one too); the one it lacks is the
  // names in row order.
  EXPECT_EQ(find_tag(back.properties, 0x0E04001E)->value, text("stale"));
  EXPECT_EQ(find_tag(back.properties, 0x0E03001E)->value, text("Ann"));
  EXPECT_EQ(find_tag(back.properties, 0x0E02001F)->value, Bytes{});
  // A name in UTF-16 makes the lists UTF-16, the 8-bit names converted from the code page.
  const MessageContent wide_back = reader.message(nids[1]);
  EXPECT_EQ(find_tag(wide_back.properties, 0x0E04001F)->value,
            Bytes({'Z', 0, 'o', 0, 0xEB, 0, ';', 0, ' ', 0, 'B', 0, 'o', 0}));
  const MessageContent nameless_back = reader.message(nids[2]);
  EXPECT_EQ(find_tag(nameless_back.properties, 0x0E04001E)->value, text("Ann Smith"));
  EXPECT_EQ(find_tag(nameless_back.properties, 0x0E03001E)->value, text("Bob"));
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(MessageContentTest, TheAttachmentTableNamesEachAttachmentAndShowsItsSummary) {
  const auto mail = sample_item(5, 0, u"Attached");
  const auto nids = write({mail});
  StoreFile file(file_);
  const auto subnodes = file.read_subnodes(file.find_node(nids[0])->bid_sub);
  const auto table = read_table_context(
      HeapView(file.read_data(subnodes.at(0x671).bid_data)),
      [&](std::uint32_t sub) { return file.read_bytes(subnodes.at(sub).bid_data); });
  ASSERT_EQ(table.rows.size(), mail->attachments.size());
  for (std::size_t i = 0; i < table.rows.size(); ++i) {
    std::map<std::uint32_t, Bytes> cells;
    for (const auto& c : table.rows[i]) cells[c.tag] = c.value;
    const std::uint32_t nid = pst::load_le32(cells.at(0x67F20003), 0);
    EXPECT_EQ(nid, 0x8025u + 0x20u * i);
    EXPECT_TRUE(subnodes.contains(nid));
    EXPECT_TRUE(cells.contains(0x67F30003));
    EXPECT_TRUE(cells.contains(prop::kAttachMethod));
    EXPECT_TRUE(cells.contains(prop::kRenderingPosition));
    EXPECT_TRUE(cells.contains(0x3001001E));
    // The writer measures what the attachment holds when no size is given.
    ASSERT_TRUE(cells.contains(prop::kAttachSize));
    EXPECT_GE(pst::load_le32(cells.at(prop::kAttachSize), 0), i == 2 ? kSampleLargeAttachment : 1u);
  }
  const auto columns = column_tags(file, nids[0], 0x671);
  for (const std::uint32_t tag : {0x3704001Eu, 0x3707001Eu, 0x370E001Eu})
    EXPECT_NE(std::find(columns.begin(), columns.end(), tag), columns.end()) << std::hex << tag;
  // More than 1 MB of data: a data tree under the attachment.
  const auto large = file.read_subnodes(subnodes.at(0x8065).bid_sub);
  ASSERT_EQ(large.size(), 1u);
  EXPECT_TRUE(pst::is_internal_block(large.begin()->second.bid_data));
}

TEST_F(MessageContentTest, MessagesEmbeddedTooDeepAreLeftOutAndTheRestIsWritten) {
  // Every level with a file large enough for a data tree, and the next level.
  std::shared_ptr<const MessageContent> chain;
  for (int level = 12; level >= 0; --level) {
    auto m = std::make_shared<MessageContent>();
    m->properties = {property(0x0037001E, text("level " + std::to_string(level)))};
    m->attachments.push_back({{property(prop::kAttachMethod, le32(1)),
                               property(prop::kAttachDataBinary, Bytes(20000, 0x33))},
                              nullptr});
    if (chain)
      m->attachments.push_back({{property(prop::kAttachMethod, le32(5))}, std::move(chain)});
    chain = std::move(m);
  }
  const auto nids = write({chain});
  StoreFile file(file_);
  MessageContent back = test::ContentReader(file).message(nids[0]);
  std::size_t depth = 0;
  const MessageContent* at = &back;
  while (at->attachments.size() == 2 && at->attachments[1].embedded) {
    EXPECT_EQ(find_tag(at->attachments[0].properties, prop::kAttachDataBinary)->value.size(),
              20000u);
    at = at->attachments[1].embedded.get();
    ++depth;
  }
  EXPECT_EQ(depth, ContentWriter::kMaxEmbeddingDepth);
  // The attachment that would have held the next level keeps its own properties.
  ASSERT_EQ(at->attachments.size(), 2u);
  EXPECT_NE(find_tag(at->attachments[1].properties, prop::kAttachMethod), nullptr);
  EXPECT_EQ(find_tag(at->attachments[1].properties, prop::kAttachDataObject), nullptr);
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(MessageContentTest, NewNamesReachTheFileOnlyWithTheCheckpointOfTheirMessages) {
  auto with_name = [](std::u16string name) {
    auto m = std::make_shared<MessageContent>();
    m->properties = {
        named(0x8000001E, {kPsPublicStrings, std::nullopt, std::move(name)}, text("v"))};
    return m;
  };
  const PropertyName kept_name{kPsPublicStrings, std::nullopt, u"Kept"};
  const PropertyName lost_name{kPsPublicStrings, std::nullopt, u"Lost"};
  std::uint32_t kept_nid = 0, lost_nid = 0;
  {
    MessageStore store(file_);
    const auto first = with_name(u"Kept");
    kept_nid =
        store.save_message(store.top_folder(), 0, store.content_properties(*first), first.get());
    store.checkpoint();
    const auto second = with_name(u"Lost");
    lost_nid =
        store.save_message(store.top_folder(), 0, store.content_properties(*second), second.get());
    {
      const test::WriteFailure full_disk(0, ENOSPC);
      EXPECT_THROW(store.checkpoint(), StoreFailedError);
    }
    EXPECT_THROW(store.close(), StoreFailedError);
    // Opened again at its last checkpoint.
    EXPECT_FALSE(store.is_message(lost_nid));
    EXPECT_TRUE(store.is_message(kept_nid));
  }
  StoreFile file(file_);
  const test::ContentReader reader(file);
  EXPECT_TRUE(reader.names().find(kept_name));
  EXPECT_FALSE(reader.names().find(lost_name));
  const MessageContent back = reader.message(kept_nid);
  test::expect_content(*with_name(u"Kept"), back);
  EXPECT_EQ(file.find_node(lost_nid), nullptr);
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(MessageContentTest, OnlyAChangeBuildsTheNodeOfAMessageSavedAgain) {
  // The export saves each item it wrote whole twice more and moves it: saved as it stands, a
  // message keeps the blocks of its node, and its size, and a move changes only its parent.
  const auto content = sample_item(5, 0, u"Saved again");
  struct Written {
    NbtEntry node;
    std::optional<std::uint32_t> size;        // when first saved
    std::optional<std::uint32_t> size_after;  // when saved again
    std::optional<std::string> subject;
  };
  const auto write_then = [&](const std::string& name, const auto& again) {
    const fs::path path = test::empty_store(dir_, name);
    Written w;
    std::uint32_t nid = 0;
    {
      MessageStore store(path);
      const std::uint32_t whole = store.create_folder(store.top_folder(), "Whole", "IPF.Note");
      const std::uint32_t other = store.create_folder(store.top_folder(), "Other", "IPF.Note");
      nid = store.save_message(whole, 0, store.content_properties(*content), content.get());
      w.size = store.load_message(nid).int32(prop::kMessageSize);
      again(store, nid, other);
      w.size_after = store.load_message(nid).int32(prop::kMessageSize);
      w.subject = store.load_message(nid).string(prop::kSubject);
      store.close();
    }
    EXPECT_TRUE(test::validator_says(path, "pstcheck: 0 errors, 0 warnings, ")) << name;
    StoreFile file(path);
    w.node = *file.find_node(nid);
    if (w.subject == "Changed") return w;
    // Whatever was built or kept, the message reads back as it was given.
    test::expect_content(*content, test::ContentReader(file).message(nid));
    return w;
  };
  const Written once = write_then("once.pst", [](MessageStore&, std::uint32_t, std::uint32_t) {});
  const Written again =
      write_then("again.pst", [](MessageStore& store, std::uint32_t nid, std::uint32_t other) {
        const std::uint32_t folder = store.folder_of(nid);
        store.save_message(folder, nid, store.load_message(nid));
        store.save_message(folder, nid, store.load_message(nid));
        store.move_message(nid, other);
      });
  EXPECT_EQ(again.node.bid_data, once.node.bid_data);
  EXPECT_EQ(again.node.bid_sub, once.node.bid_sub);
  EXPECT_NE(again.node.nid_parent, once.node.nid_parent);
  EXPECT_EQ(again.size_after, once.size);

  const Written changed =
      write_then("changed.pst", [](MessageStore& store, std::uint32_t nid, std::uint32_t) {
        const std::uint32_t folder = store.folder_of(nid);
        store.save_message(folder, nid, store.load_message(nid));
        PropertyBag p = store.load_message(nid);
        p.set_string(prop::kSubject, "Changed");
        store.save_message(folder, nid, std::move(p));
        store.save_message(folder, nid, store.load_message(nid));
      });
  EXPECT_NE(changed.node.bid_data, once.node.bid_data);
  EXPECT_EQ(changed.subject, "Changed");
}

TEST_F(MessageContentTest, AMarkedSubjectSplitsWhereItsMarkSays) {
  // 0x01, then one more than the prefix's length: the form files keep prefixed subjects in.
  MessageStore store(file_);
  PropertyBag p;
  p.set_string(prop::kSubject, "\x01\x05RE: Lunch");
  const std::uint32_t nid = store.save_message(store.top_folder(), 0, p);
  PropertyBag unmarked;
  unmarked.set_string(prop::kSubject, "\x01\x01Lunch");
  const std::uint32_t plain = store.save_message(store.top_folder(), 0, unmarked);
  EXPECT_EQ(store.load_message(nid).string(prop::kSubjectPrefix), "RE: ");
  EXPECT_EQ(store.load_message(nid).string(prop::kNormalizedSubject), "Lunch");
  EXPECT_EQ(store.load_message(plain).string(prop::kSubjectPrefix), "");
  EXPECT_EQ(store.load_message(plain).string(prop::kNormalizedSubject), "Lunch");
}

// Through the helper and the object model, as the export writes an item.
// A message given whole from a Unicode file names its class and subject as PT_UNICODE,
// where the store's own code names them as 8-bit text: its class must not be taken for
// missing (and replaced with a note's), and the folder's table must show its texts, in a
// store of either form.
TEST(UnicodeTextsGivenWholeTest, KeepTheirClassAndFillTheFoldersTableInEitherForm) {
  for (const FileForm form : {FileForm::kAnsi, FileForm::kUnicode}) {
    SCOPED_TRACE(pst::form_name(form));
    test::TempDir dir;
    const fs::path path = test::empty_store(dir, "out.pst", form);
    auto m = std::make_shared<MessageContent>();
    m->properties = {property(0x001A001F, to_utf16le(u"IPM.StickyNote")),
                     property(0x0037001F, to_utf16le(u"Caf\u00E9 \u2615"))};
    std::uint32_t folder = 0, nid = 0;
    {
      MessageStore store(path);
      folder = store.create_folder(store.top_folder(), "Notes", "IPF.StickyNote");
      nid = store.save_message(folder, 0, store.content_properties(*m), m.get());
      store.close();
    }
    StoreFile file(path);
    const MessageContent back = test::ContentReader(file).message(nid);
    ASSERT_NE(find_tag(back.properties, 0x001A001F), nullptr);
    EXPECT_EQ(find_tag(back.properties, 0x001A001F)->value, to_utf16le(u"IPM.StickyNote"));

    const NbtEntry* contents = file.find_node((folder & ~0x1Fu) | pst::kNodeContentsTable);
    ASSERT_NE(contents, nullptr);
    const TableContents table = read_table_context(HeapView(file.read_data(contents->bid_data)),
                                                   [](std::uint32_t) -> Bytes { return {}; });
    ASSERT_EQ(table.rows.size(), 1u);
    std::map<std::uint32_t, Bytes> cells;
    for (const auto& c : table.rows[0]) cells[c.tag] = c.value;
    if (form == FileForm::kUnicode) {  // the texts as given
      EXPECT_EQ(cells[0x001A001F], to_utf16le(u"IPM.StickyNote"));
      EXPECT_EQ(cells[0x0037001F], to_utf16le(u"Caf\u00E9 \u2615"));
    } else {  // in the store's code page, what it cannot show as '?'
      EXPECT_EQ(cells[0x001A001E], text("IPM.StickyNote"));
      EXPECT_EQ(cells[0x0037001E], text("Caf\xE9 ?"));
    }
  }
}

class WholeItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MailProfile::instance().clear();
    file_ = test::empty_store(dir_, "out.pst");
    factory_ = make_mail_client_factory();
    ns_ = factory_->CreateApplication(kApplicationProgId)->GetNamespace(u"MAPI");
    const std::string path = file_.string();
    ns_->AddStore(std::u16string(path.begin(), path.end()));
    inbox_ = ns_->get_Folders()->Item(1)->get_Folders()->Item(u"Inbox");
    helper_ = std::dynamic_pointer_cast<HelperFolder>(factory_->CreateHelper(kHelperFolderProgId));
    helper_->put_BoundObject(inbox_);
  }
  void TearDown() override { MailProfile::instance().clear(); }

  std::uint32_t nid_of(const std::u16string& entry_id) {
    const auto bytes = from_hex_text(entry_id);
    return parse_message_entry_id(*bytes)->nid;
  }

  test::TempDir dir_;
  fs::path file_;
  std::shared_ptr<AutomationFactory> factory_;
  std::shared_ptr<Namespace> ns_;
  std::shared_ptr<Folder> inbox_;
  std::shared_ptr<HelperFolder> helper_;
};

TEST_F(WholeItemTest, AnItemSavedAgainAndMovedKeepsItsWholeContent) {
  auto content = std::make_shared<MessageContent>(*sample_item(9, 0, u"Kept whole"));
  // The code page of its texts and its times are the item's own.
  std::erase_if(content->properties,
                [](const ContentProperty& p) { return p.tag == prop::kMessageCodepage; });
  content->properties.push_back(property(prop::kMessageCodepage, le32(1250)));
  const auto message = helper_->get_Messages()->Add(u"IPM.Note");
  message->put_Content(content);
  message->put_Property(tag::kMessageFlags, std::int32_t{0});
  message->Save();
  const std::u16string id = message->get_EntryID();
  std::vector<std::uint32_t> named_tags;
  for (const auto& p : MailProfile::instance().stores().at(0)->load_message(nid_of(id)).list())
    if (pst::tag_id(p.tag) >= 0x8000) named_tags.push_back(p.tag);
  EXPECT_FALSE(named_tags.empty());
  const auto item = ns_->GetItemFromID(id, inbox_->get_StoreID());
  item->put_Subject(u"Changed");
  item->Close(kSaveModeSave);
  item->Close(kSaveModeSave);
  const auto archive = ns_->get_Folders()->Item(1)->get_Folders()->Add(u"Archive", kFolderMail);
  item->Move(*archive);
  MailProfile::instance().clear();

  StoreFile file(file_);
  const test::ContentReader reader(file);
  const MessageContent back = reader.message(nid_of(id));
  EXPECT_EQ(file.find_node(nid_of(id))->nid_parent & 0x1F, pst::kNodeNormalFolder);
  // Named properties read back keep the ids they were given.
  std::vector<std::uint32_t> named_after;
  for (const auto& p : back.properties)
    if (p.id() >= 0x8000) named_after.push_back(p.tag);
  EXPECT_EQ(named_after, named_tags);
  MessageContent expected = *content;
  std::erase_if(expected.properties,
                [](const ContentProperty& p) { return p.id() == 0x0037 || p.id() == 0x0E07; });
  test::expect_content(expected, back);
  EXPECT_EQ(find_tag(back.properties, prop::kSubject)->value, text("Changed"));
  // The flags set after the content, with the attachment flag the store keeps.
  EXPECT_EQ(find_tag(back.properties, prop::kMessageFlags)->value,
            le32(kMessageHasAttachmentsFlag));
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(WholeItemTest, WhatIsSetAfterTheContentTakesThePlaceOfItsProperties) {
  auto content = std::make_shared<MessageContent>();
  content->properties = {property(prop::kMessageClass, text("IPM.Contact")),
                         property(prop::kImportance, le32(2)),
                         property(prop::kSensitivity, le32(1))};
  const auto before = helper_->get_Messages()->Add(u"IPM.Note");
  before->put_Property(tag::kIconIndex, std::int32_t{7});
  before->put_Content(content);  // its class replaces the one given to Add
  before->put_Property(tag::kMessageFlags, std::int32_t{3});
  before->Save();
  PropertyBag first =
      MailProfile::instance().stores().at(0)->load_message(nid_of(before->get_EntryID()));
  EXPECT_EQ(first.string(prop::kMessageClass), "IPM.Contact");
  EXPECT_EQ(first.int32(tag::kIconIndex), 7u);
  EXPECT_EQ(first.int32(prop::kMessageFlags), 3u);

  const auto after = helper_->get_Messages()->Add(u"IPM.Note");
  after->put_Content(content);
  after->put_MessageClass(u"IPM.Task");
  after->put_Property(prop::kImportance, std::monostate{});
  after->Save();
  PropertyBag second =
      MailProfile::instance().stores().at(0)->load_message(nid_of(after->get_EntryID()));
  EXPECT_EQ(second.string(prop::kMessageClass), "IPM.Task");
  // Removed, and not made up again: a message given whole lacks what it lacks.
  EXPECT_FALSE(second.int32(prop::kImportance));
  EXPECT_EQ(second.int32(prop::kSensitivity), 1u);

  EXPECT_THROW(after->put_Content(nullptr), AutomationError);
  EXPECT_THROW(after->put_Property(prop::kImportance, std::u16string(u"high")), AutomationError);
}

TEST_F(WholeItemTest, TextsStoredInUtf16ReadThroughTheItemAndTheHelper) {
  auto content = std::make_shared<MessageContent>();
  content->properties = {property(0x0037001F, {'G', 0, 0xFC, 0, 0xDF, 0, 'e', 0}),
                         property(0x0C1A001F, {'Z', 0, 'o', 0, 0xEB, 0})};
  const auto message = helper_->get_Messages()->Add(u"IPM.Note");
  message->put_Content(content);
  message->Save();
  const auto item = ns_->GetItemFromID(message->get_EntryID(), inbox_->get_StoreID());
  EXPECT_EQ(item->get_Subject(), u"Güße");
  const auto helper_item =
      std::dynamic_pointer_cast<HelperMailItem>(factory_->CreateHelper(kHelperMailItemProgId));
  helper_item->put_BoundObject(item);
  EXPECT_EQ(helper_item->get_SenderName(), u"Zoë");
  EXPECT_EQ(std::get<std::u16string>(helper_item->get_Property(0x0037001F)), u"Güße");
}

TEST_F(WholeItemTest, AMessageGivenWholeGainsNoDefaultsWhenSavedAndSavedAgain) {
  auto content = std::make_shared<MessageContent>();
  content->properties = {property(0x0037001E, text("kept as it was"))};
  const auto message = helper_->get_Messages()->Add(u"IPM.Note");
  message->put_Content(content);
  message->Save();
  const auto item = ns_->GetItemFromID(message->get_EntryID(), inbox_->get_StoreID());
  item->Close(kSaveModeSave);
  const PropertyBag stored =
      MailProfile::instance().stores().at(0)->load_message(nid_of(message->get_EntryID()));
  // A code page would change how readers label the message's text.
  EXPECT_FALSE(stored.int32(prop::kMessageCodepage));
  EXPECT_FALSE(stored.int32(prop::kImportance));
  EXPECT_FALSE(stored.int32(prop::kSensitivity));
  // What every message of a store has.
  EXPECT_TRUE(stored.int32(prop::kMessageStatus));
  EXPECT_TRUE(stored.int32(prop::kMessageFlags));
  EXPECT_TRUE(stored.int64(prop::kCreationTime));

  // A message made here gets the defaults.
  const auto made = helper_->get_Messages()->Add(u"IPM.Note");
  made->Save();
  const PropertyBag own =
      MailProfile::instance().stores().at(0)->load_message(nid_of(made->get_EntryID()));
  EXPECT_EQ(own.int32(prop::kImportance), 1u);
  EXPECT_TRUE(own.int32(prop::kMessageCodepage));
}

TEST_F(WholeItemTest, ASubjectStoredWithItsPrefixMarkReadsWithoutIt) {
  auto content = std::make_shared<MessageContent>();
  content->properties = {property(0x0037001E, {0x01, 0x05, 'R', 'E', ':', ' ', 'h', 'i'})};
  const auto message = helper_->get_Messages()->Add(u"IPM.Note");
  message->put_Content(content);
  message->Save();
  const auto item = ns_->GetItemFromID(message->get_EntryID(), inbox_->get_StoreID());
  EXPECT_EQ(item->get_Subject(), u"RE: hi");
  // The stored value keeps the mark, as the source had it.
  const PropertyBag stored =
      MailProfile::instance().stores().at(0)->load_message(nid_of(message->get_EntryID()));
  EXPECT_EQ(stored.string(prop::kSubject), std::string("\x01\x05RE: hi"));
  EXPECT_EQ(stored.string(prop::kNormalizedSubject), "hi");
}

TEST_F(WholeItemTest, AFolderTakesAnotherStoresPropertiesButKeepsWhatIsItsOwn) {
  const auto folder = ns_->get_Folders()->Item(1)->get_Folders()->Add(u"Tasks 2", kFolderMail);
  helper_->put_BoundObject(folder);
  helper_->get_Messages()->Add(u"IPM.Note")->Save();
  const PropertyName colour{kPsPublicStrings, std::nullopt, u"FolderColour"};
  helper_->put_Properties({
      property(prop::kContainerClass, text("IPF.Task")),
      property(0x3004001E, text("Aufgaben f\xFCr heute")), named(0x8123001E, colour, text("green")),
      property(prop::kDisplayName, text("Not its name")), property(prop::kContentCount, le32(4711)),
      property(prop::kSubfolders, {1}), property(0x0FFF0102, Bytes(24, 1)),
      property(0x36D00102, Bytes(24, 2)),  // a default folder of the other store
  });
  EXPECT_EQ(folder->get_DefaultMessageClass(), u"IPM.Task");
  MailProfile::instance().clear();

  MessageStore store(file_);
  std::uint32_t nid = 0;
  for (const auto f : store.subfolders(store.top_folder()))
    if (store.folder_properties(f).string(prop::kDisplayName) == "Tasks 2") nid = f;
  ASSERT_NE(nid, 0u);
  const PropertyBag p = store.folder_properties(nid);
  EXPECT_EQ(p.string(prop::kContainerClass), "IPF.Task");
  EXPECT_EQ(p.string(0x3004001E), "Aufgaben f\xFCr heute");
  EXPECT_EQ(p.int32(prop::kContentCount), 1u);
  EXPECT_EQ(p.int32(prop::kSubfolders), 0u);
  EXPECT_EQ(p.find(0x0FFF0102), nullptr);
  EXPECT_EQ(p.find(0x36D00102), nullptr);
  bool found = false;
  for (const auto& v : p.list())
    if (pst::tag_id(v.tag) >= 0x8000 && store.property_name(pst::tag_id(v.tag)) == colour) {
      EXPECT_EQ(v.value, text("green"));
      found = true;
    }
  EXPECT_TRUE(found);
  store.close();
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings, "));
}

TEST_F(WholeItemTest, AHelperFolderWithoutAFolderRefusesProperties) {
  helper_->put_BoundObject(nullptr);
  EXPECT_THROW(helper_->put_Properties({}), AutomationError);
}

}  // namespace
}  // namespace pstorian

namespace {

// Copies of a bag share their values: a change to one copy must never show in another, and
// taking over another bag's values follows set(): one tag per property id.
TEST(PropertyBagTest, CopiesStayApartAndTakingOverValuesKeepsOneTagPerId) {
  using pstorian::PropertyBag;
  PropertyBag original;
  original.set(0x1000001E, {'b', 'o', 'd', 'y'});
  original.set_int32(0x0E070003, 1);
  PropertyBag copy = original;
  copy.set(0x1000001E, {'n', 'e', 'w'});
  copy.erase(0x0E070003);
  EXPECT_EQ(*original.find(0x1000001E), (std::vector<std::uint8_t>{'b', 'o', 'd', 'y'}));
  EXPECT_EQ(original.int32(0x0E070003), 1u);
  EXPECT_EQ(copy.find(0x0E070003), nullptr);

  PropertyBag over;
  over.set(0x1000001F, {'x', 0});  // the same id as the body, another type
  over.set_int32(0x00170003, 2);
  original.set_all(over);
  EXPECT_EQ(original.find(0x1000001E), nullptr);
  EXPECT_EQ(*original.find(0x1000001F), (std::vector<std::uint8_t>{'x', 0}));
  EXPECT_EQ(original.tags(), (std::vector<std::uint32_t>{0x00170003, 0x0E070003, 0x1000001F}));
  EXPECT_EQ(over.int32(0x00170003), 2u);
}

}  // namespace
