// The embedded mail client through its automation interfaces: stores in the profile, folder
// collections, items, entry ids, the helper objects and the failures callers rely on.
#include <gtest/gtest.h>

#include <algorithm>

#include "pst/messaging/entry_id.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/mail_profile.h"
#include "mailclient/automation/ole_date.h"
#include "mail_client_support.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using namespace automation;

class MailClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MailProfile::instance().clear();
    file_ = test::empty_store(dir_, "out.pst");
    factory_ = make_mail_client_factory();
    ns_ = factory_->CreateApplication(kApplicationProgId)->GetNamespace(u"MAPI");
    ns_->AddStore(path16(file_));
    top_ = ns_->get_Folders()->Item(1);
  }
  void TearDown() override { MailProfile::instance().clear(); }

  static std::u16string path16(const fs::path& p) {
    const std::string s = p.string();
    return std::u16string(s.begin(), s.end());
  }

  // A message saved the way the export saves one; returns its entry id.
  std::u16string save_message(const std::shared_ptr<Folder>& folder, std::u16string_view subject,
                              std::int32_t flags = 1) {
    auto helper = std::dynamic_pointer_cast<HelperFolder>(factory_->CreateHelper(kHelperFolderProgId));
    helper->put_BoundObject(folder);
    auto message = helper->get_Messages()->Add(u"IPM.Note");
    message->put_Property(tag::kMessageFlags, flags);
    message->Save();
    const auto id = message->get_EntryID();
    auto item = ns_->GetItemFromID(id, folder->get_StoreID());
    item->put_Subject(subject);
    item->Close(kSaveModeSave);
    return id;
  }

  test::TempDir dir_;
  fs::path file_;
  std::shared_ptr<AutomationFactory> factory_;
  std::shared_ptr<Namespace> ns_;
  std::shared_ptr<Folder> top_;
};

TEST_F(MailClientTest, TopFolderHoldsTheStandardFoldersFoundIgnoringCase) {
  const auto folders = top_->get_Folders();
  EXPECT_EQ(folders->Count(), 10);
  EXPECT_NO_THROW(folders->Item(u"Deleted Items"));
  EXPECT_NO_THROW(folders->Item(u"dELETED iTEMS"));
  EXPECT_EQ(folders->Item(u"INBOX")->get_StoreID(), top_->get_StoreID());
  EXPECT_THROW(folders->Item(u"Inbox "), AutomationError);
  EXPECT_THROW(folders->Item(u"Lost&Found"), AutomationError);
  EXPECT_THROW(folders->Item(0), AutomationError);
  EXPECT_THROW(folders->Item(11), AutomationError);
  EXPECT_EQ(folders->Item(u"calendar")->get_DefaultMessageClass(), u"IPM.Appointment");
  EXPECT_EQ(folders->Item(u"Inbox")->get_DefaultMessageClass(), u"IPM.Note");
}

TEST_F(MailClientTest, AddCreatesFoldersOfEachTypeAndRefusesBadNames) {
  const auto folders = top_->get_Folders();
  const std::pair<std::int32_t, std::u16string_view> kinds[] = {
      {kFolderMail, u"IPM.Note"},       {kFolderCalendar, u"IPM.Appointment"},
      {kFolderContacts, u"IPM.Contact"}, {kFolderJournal, u"IPM.Activity"},
      {kFolderNotes, u"IPM.StickyNote"}, {kFolderTasks, u"IPM.Task"}};
  for (const auto& [type, message_class] : kinds) {
    const std::u16string name = u"Kind " + std::u16string(1, char16_t(u'A' + type));
    const auto created = folders->Add(name, type);
    EXPECT_EQ(created->get_DefaultMessageClass(), message_class);
    EXPECT_EQ(folders->Item(name)->get_DefaultMessageClass(), message_class);
  }
  EXPECT_EQ(folders->Count(), 16);
  EXPECT_THROW(folders->Add(u"", kFolderMail), AutomationError);
  EXPECT_THROW(folders->Add(u"kind g", kFolderMail), AutomationError);  // "Kind G" exists
  EXPECT_THROW(folders->Add(u"Other", 7), AutomationError);
  // Accented names compare without case too, and nest.
  const auto resumes = folders->Add(u"Résumés", kFolderMail);
  EXPECT_NO_THROW(folders->Item(u"RÉSUMÉS"));
  const auto deep = resumes->get_Folders()->Add(u"2024", kFolderMail)->get_Folders()->Add(u"Q1", kFolderTasks);
  EXPECT_EQ(top_->get_Folders()->Item(u"résumés")->get_Folders()->Item(u"2024")->get_Folders()->Count(), 1);
  EXPECT_EQ(deep->get_Folders()->Count(), 0);
}

// A repair looks each folder up by name among its siblings and adds it when missing: that
// must cost the same however many siblings there are, so 2 N folders cost twice the node
// lookups of N (looking through every sibling made it four times). Names keep their rules
// meanwhile: the first of equal names wins, and a renamed folder is found by its new name.
TEST_F(MailClientTest, FoldersAreFoundAndAddedAtTheSameCostAmongManySiblings) {
  const auto store = MailProfile::instance().stores().front();
  const auto lookups_to_fill = [&](std::u16string_view parent_name, int n) {
    const auto parent = top_->get_Folders()->Add(parent_name, kFolderMail);
    store->checkpoint();
    const std::size_t before = store->node_lookups();
    for (int i = 0; i < n; ++i) {
      const std::string digits = std::to_string(i);
      const std::u16string name = u"Folder " + std::u16string(digits.begin(), digits.end());
      const auto folders = parent->get_Folders();
      EXPECT_THROW(folders->Item(name), AutomationError);
      folders->Add(name, kFolderMail);
    }
    store->checkpoint();
    EXPECT_EQ(parent->get_Folders()->Count(), n);
    return store->node_lookups() - before;
  };
  const std::size_t n = lookups_to_fill(u"Few", 200);
  const std::size_t twice = lookups_to_fill(u"Many", 400);
  EXPECT_LE(twice, 2 * n + n / 5) << n << " lookups for 200 folders";

  const std::uint32_t many = *store->find_subfolder(store->top_folder(), u"many");
  const std::uint32_t first = *store->find_subfolder(many, u"FOLDER 7");
  const std::uint32_t second = store->create_folder(many, "folder 7", "IPF.Note");
  EXPECT_EQ(store->find_subfolder(many, u"Folder 7"), first);
  store->rename_folder(first, "Seven");
  EXPECT_EQ(store->find_subfolder(many, u"folder 7"), second);
  EXPECT_EQ(store->find_subfolder(many, u"seven"), first);
  EXPECT_EQ(store->find_subfolder(many, u"Folder 400"), std::nullopt);
}

TEST_F(MailClientTest, StoreIdHoldsTheAbsolutePathAndTheSameFileIsAttachedOnce) {
  const auto id = from_hex_text(top_->get_StoreID());
  ASSERT_TRUE(id);
  const std::u16string text = top_->get_StoreID();
  EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
  }));
  const std::string path = fs::absolute(file_).string();
  ASSERT_GT(id->size(), path.size() + 1);
  EXPECT_EQ(id->back(), 0);
  EXPECT_EQ(std::string(id->end() - 1 - static_cast<std::ptrdiff_t>(path.size()), id->end() - 1), path);

  // Another spelling of the same file keeps one entry; a second file comes after it.
  ns_->AddStore(path16(dir_.path() / "." / "out.pst"));
  EXPECT_EQ(ns_->get_Folders()->Count(), 1);
  const auto second = test::empty_store(dir_, "second.pst");
  ns_->AddStore(path16(second));
  EXPECT_EQ(ns_->get_Folders()->Count(), 2);
  EXPECT_NE(ns_->get_Folders()->Item(2)->get_StoreID(), top_->get_StoreID());
  // A later application, after the mail client was ended, finds them at the same places.
  terminate_mail_client();
  const auto later = factory_->CreateApplication(u"outlook.application")->GetNamespace(u"MAPI");
  EXPECT_EQ(later->get_Folders()->Item(1)->get_StoreID(), top_->get_StoreID());
  EXPECT_EQ(later->get_Folders()->Item(2)->get_Folders()->Count(), 10);
}

TEST_F(MailClientTest, AddStoreRefusesWhatIsNotA32BitStore) {
  const auto garbage = dir_.path() / "garbage.pst";
  test::write_file(garbage, std::vector<std::uint8_t>(70000, 0x41));
  EXPECT_THROW(ns_->AddStore(path16(garbage)), AutomationError);
  EXPECT_THROW(ns_->AddStore(path16(dir_.path() / "missing.pst")), AutomationError);
  EXPECT_THROW(ns_->AddStore(u""), AutomationError);
  auto cut = test::read_file(file_);
  cut.resize(20000);
  test::write_file(dir_.path() / "cut.pst", cut);
  EXPECT_THROW(ns_->AddStore(path16(dir_.path() / "cut.pst")), AutomationError);
  EXPECT_EQ(ns_->get_Folders()->Count(), 1);
}

TEST_F(MailClientTest, EntryIdsRoundTripAndBadIdsFail) {
  const auto inbox = top_->get_Folders()->Item(u"Inbox");
  const auto id = save_message(inbox, u"first");
  const auto item = ns_->GetItemFromID(id, inbox->get_StoreID());
  EXPECT_EQ(item->get_Subject(), u"first");
  std::u16string lower = id;
  for (auto& c : lower) c = static_cast<char16_t>(c >= u'A' && c <= u'F' ? c + 32 : c);
  EXPECT_EQ(ns_->GetItemFromID(lower, inbox->get_StoreID())->get_Subject(), u"first");

  EXPECT_THROW(ns_->GetItemFromID(u"", inbox->get_StoreID()), AutomationError);
  EXPECT_THROW(ns_->GetItemFromID(u"XYZ", inbox->get_StoreID()), AutomationError);
  EXPECT_THROW(ns_->GetItemFromID(id.substr(0, 46), inbox->get_StoreID()), AutomationError);
  // Another node id: a folder's, and one that does not exist.
  const auto bytes = *from_hex_text(id);
  const RecordKey key = parse_message_entry_id(bytes)->store;
  EXPECT_THROW(ns_->GetItemFromID(to_hex_text(message_entry_id(key, 0x8082)), inbox->get_StoreID()),
               AutomationError);
  EXPECT_THROW(ns_->GetItemFromID(to_hex_text(message_entry_id(key, 0x7FFFFF04)),
                                  inbox->get_StoreID()),
               AutomationError);
  // The right message with the id of a store that is not attached.
  const auto other = test::empty_store(dir_, "other.pst");
  const std::u16string other_id = to_hex_text(store_entry_id(key, fs::absolute(other).string()));
  EXPECT_THROW(ns_->GetItemFromID(id, other_id), AutomationError);
}

TEST_F(MailClientTest, ItemsListMessagesInOrderAndMoveBetweenFolders) {
  const auto folders = top_->get_Folders();
  const auto a = folders->Add(u"A", kFolderMail);
  const auto b = folders->Add(u"B", kFolderMail);
  std::vector<std::u16string> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(save_message(a, u"m" + std::u16string(1, u'0' + i)));
  ASSERT_EQ(a->get_Items()->Count(), 5);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(a->get_Items()->Item(i + 1)->get_Subject(), u"m" + std::u16string(1, u'0' + i));
  EXPECT_THROW(a->get_Items()->Item(6), AutomationError);

  const auto moved = ns_->GetItemFromID(ids[1], a->get_StoreID())->Move(*b);
  EXPECT_EQ(moved->get_Subject(), u"m1");
  EXPECT_EQ(a->get_Items()->Count(), 4);
  EXPECT_EQ(b->get_Items()->Count(), 1);
  EXPECT_EQ(a->get_Items()->Item(2)->get_Subject(), u"m2");
  // Moving into the folder it is in changes nothing.
  ns_->GetItemFromID(ids[0], a->get_StoreID())->Move(*a);
  EXPECT_EQ(a->get_Items()->Count(), 4);

  // A folder of another store is no destination.
  const auto second = test::empty_store(dir_, "second.pst");
  ns_->AddStore(path16(second));
  const auto elsewhere = ns_->get_Folders()->Item(2)->get_Folders()->Item(u"Inbox");
  EXPECT_THROW(ns_->GetItemFromID(ids[2], a->get_StoreID())->Move(*elsewhere), AutomationError);

  // Counts and rows reach the file at the checkpoint when the client ends.
  terminate_mail_client();
  EXPECT_TRUE(test::validator_says(file_, "pstcheck: 0 errors, 0 warnings"));
  if (!test::has_pypff()) return;
  const auto dump = test::pypff_dump(file_);
  std::map<std::string, std::size_t> counts;
  for (const auto& f : dump)
    if (!f["path"].empty()) counts[f["path"].back().get<std::string>()] = f["messages"].size();
  EXPECT_EQ(counts["A"], 4u);
  EXPECT_EQ(counts["B"], 1u);
}

TEST_F(MailClientTest, AMessageSavedAgainKeepsItsAttachmentsAndRecipients) {
  const fs::path corpus = PSTORIAN_SHARED_DIR "/corpus/ansi/outlook2000-73-messages.pst";
  if (!fs::exists(corpus)) GTEST_SKIP() << "corpus not found";
  const fs::path copy = dir_.path() / "outlook.pst";
  fs::copy_file(corpus, copy);
  fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
  ns_->AddStore(path16(copy));
  const auto deleted = ns_->get_Folders()->Item(2)->get_Folders()->Item(u"Deleted Items");
  ASSERT_GE(deleted->get_Items()->Count(), 2);
  // Saved twice: once into a checkpoint, and again before the next one.
  for (int round = 0; round < 2; ++round) {
    const auto item = deleted->get_Items()->Item(1);
    item->put_Subject(u"saved again " + std::u16string(1, u'0' + round));
    item->Close(kSaveModeSave);
    if (round == 0) terminate_mail_client();
    if (round == 0) {
      ns_ = factory_->CreateApplication(kApplicationProgId)->GetNamespace(u"MAPI");
      ns_->AddStore(path16(copy));
    }
  }
  const auto again = ns_->get_Folders()->Item(2)->get_Folders()->Item(u"Deleted Items");
  const auto second = again->get_Items()->Item(2);
  second->put_Subject(u"second");
  second->Close(kSaveModeSave);
  terminate_mail_client();

  EXPECT_TRUE(test::validator_says(copy, "pstcheck: 0 errors,"));
  if (!test::has_pypff()) return;
  const auto dump = test::pypff_dump(copy);
  std::map<std::string, std::int64_t> attachments;
  for (const auto& f : dump)
    if (!f["path"].empty() && f["path"].back() == "Deleted Items")
      for (const auto& m : f["messages"]) attachments[m["subject"].get<std::string>()] = m["attachments"];
  EXPECT_EQ(attachments["saved again 1"], 8);
  EXPECT_EQ(attachments["second"], 8);
}

TEST_F(MailClientTest, HelperMailItemReadsAndWritesTheBoundItem) {
  const auto inbox = top_->get_Folders()->Item(u"Inbox");
  const auto id = save_message(inbox, u"props");
  auto helper = std::dynamic_pointer_cast<HelperMailItem>(factory_->CreateHelper(kHelperMailItemProgId));
  ASSERT_TRUE(helper);
  EXPECT_THROW(helper->get_SenderName(), AutomationError);  // nothing bound
  auto item = ns_->GetItemFromID(id, inbox->get_StoreID());
  helper->put_BoundObject(item);
  item->put_To(u"Zoë Adams; Bob");
  helper->put_Property(tag::kSenderName, std::u16string(u"Ann Ørsted[ann@example.com]"));
  helper->put_Property(tag::kIconIndex, std::int32_t{261});
  const OleDate delivered{45000.5};
  helper->put_Property(tag::kMessageDeliveryTime, delivered);
  EXPECT_THROW(helper->put_Property(tag::kMessageDeliveryTime, std::int32_t{3}), AutomationError);
  EXPECT_THROW(helper->put_Property(tag::kIconIndex, std::u16string(u"x")), AutomationError);
  EXPECT_THROW(item->put_Importance(3), AutomationError);
  item->Close(kSaveModeSave);

  // Read back through a fresh item after the client was ended.
  terminate_mail_client();
  auto again = ns_->GetItemFromID(id, inbox->get_StoreID());
  helper->put_BoundObject(nullptr);
  helper->put_BoundObject(again);
  EXPECT_EQ(helper->get_SenderName(), u"Ann Ørsted[ann@example.com]");
  EXPECT_EQ(helper->get_DisplayTo(), u"Zoë Adams; Bob");
  EXPECT_EQ(std::get<std::int32_t>(helper->get_Property(tag::kIconIndex)), 261);
  EXPECT_EQ(std::get<OleDate>(helper->get_Property(tag::kMessageDeliveryTime)), delivered);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(helper->get_Property(tag::kClientSubmitTime)));
  // A character the code page lacks is stored as '?'.
  again->put_Subject(u"snow \u2603");
  again->Close(kSaveModeSave);
  EXPECT_EQ(ns_->GetItemFromID(id, inbox->get_StoreID())->get_Subject(), u"snow ?");
  // Closing without saving drops the change.
  again->put_Subject(u"dropped");
  again->Close(1);
  EXPECT_EQ(again->get_Subject(), u"snow ?");
}

TEST_F(MailClientTest, FactoryCreatesEveryProgIdAndRefusesOthers) {
  for (const auto id : {kHelperFolderProgId, kHelperMailItemProgId, kHelperAppointmentItemProgId,
                        kHelperContactItemProgId, kHelperJournalItemProgId, kHelperTaskItemProgId,
                        kHelperDistListProgId, kHelperUtilsProgId})
    EXPECT_TRUE(factory_->CreateHelper(id));
  EXPECT_THROW(factory_->CreateHelper(u"RavelinDll.Nothing"), AutomationError);
  EXPECT_THROW(factory_->CreateApplication(u"Word.Application"), AutomationError);
  EXPECT_THROW(factory_->CreateApplication(kApplicationProgId)->GetNamespace(u"LDAP"),
               AutomationError);
  auto helper = std::dynamic_pointer_cast<HelperFolder>(factory_->CreateHelper(kHelperFolderProgId));
  EXPECT_THROW(helper->get_Messages(), AutomationError);
  helper->put_BoundObject(top_->get_Folders()->Item(u"Inbox"));
  auto message = helper->get_Messages()->Add(u"IPM.Note");
  EXPECT_THROW(message->get_EntryID(), AutomationError);  // not saved yet
  EXPECT_THROW(helper->get_Messages()->Add(u""), AutomationError);
}

}  // namespace
}  // namespace pstorian
