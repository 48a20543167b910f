// The export driver over an in-memory mail client: which folders are made where, which
// mail items arrive in which folder with which properties, and what the user is told.
#include "export/pst_exporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "export/fake_mail_client.h"
#include "export/mailbox_builder.h"
#include "export/recording_host.h"
#include "export/store_entry_path.h"
#include "format/endian.h"
#include "store/empty_store_image.h"

namespace pstorian {
namespace {

using fake::FakeClient;
using fake::FakeFolder;
using fake::FakeItem;
using fake::FakeStore;
using fake::long_prop;
using fake::MailboxBuilder;
using fake::RecordingHost;
using fake::text_prop;
using fake::time_prop;
namespace tag = automation::tag;

// FILETIME of 2020-03-04 05:06:07 UTC and of 1850-01-01.
constexpr std::uint64_t kFiletime2020 = 132277719670000000ull;
constexpr std::uint64_t kFiletime1850 = 78576480000000000ull;

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  // Runs a whole export of the builder's mailbox into the fake client.
  ExportSummary run_export(JobGate* gate = nullptr) {
    source_ = box.write(dir.path());
    if (output_.empty()) output_ = dir.path() / "mailbox Recovered.pst";
    ExportSettings settings{source_, output_, codepage_};
    settings.existing_output = existing_;
    settings.current_only = current_only_;
    if (max_items_per_folder) settings.max_items_per_folder = max_items_per_folder;
    CPstExporter exporter(settings, client.mail_client());
    OpenGate open;
    exporter.run(box.file.tables, host, host, gate ? *gate : open);
    return exporter.summary();
  }

  FakeFolder& output_root() {
    FakeStore* store = client.store_at(output_.string());
    EXPECT_NE(store, nullptr);
    return *store->root;
  }
  static std::string text(const automation::PropertyValue& v) {
    const auto* s = std::get_if<std::u16string>(&v);
    return s ? fake::utf8(*s) : "<none>";
  }

  test::TempDir dir;
  MailboxBuilder box;
  FakeClient client;
  RecordingHost host;
  std::int32_t max_items_per_folder = 0;  // 0: the format's own limit
  std::filesystem::path source_, output_;  // output_: set before run_export to choose it
  ExistingOutput existing_ = ExistingOutput::kAsk;
  bool current_only_ = false;
  std::string codepage_ = "WINDOWS-1252";  // empty: the file's own
};

// The usual shape of a personal folder file: a root without parent, the top of the personal
// folders below it, and the user's folders below that.
struct Standard {
  ObjectIndex root, top, inbox;
};
Standard standard_folders(MailboxBuilder& box) {
  Standard s;
  s.root = box.folder(0x122, "Root - Mailbox");
  s.top = box.folder(0x8022, "Top of Personal Folders", s.root);
  s.inbox = box.folder(0x8082, "Inbox", s.top);
  return s;
}

// One export of a fresh mailbox, one message in its Inbox, written as dir/mailbox.pst, into
// `output`.
ExportSummary export_one_message(FakeClient& client, RecordingHost& host,
                                 const std::filesystem::path& dir,
                                 const std::filesystem::path& output,
                                 ExistingOutput existing = ExistingOutput::kAsk) {
  MailboxBuilder box;
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  ExportSettings settings{box.write(dir), output, "WINDOWS-1252"};
  settings.existing_output = existing;
  CPstExporter exporter(settings, client.mail_client());
  OpenGate open;
  exporter.run(box.file.tables, host, host, open);
  return exporter.summary();
}

TEST_F(ExportTest, FoldersAreRecreatedBelowTheStoreRootWithoutTheFilesOwnFolders) {
  const Standard s = standard_folders(box);
  const ObjectIndex projects = box.folder(0x8102, "Projects", s.top);
  box.folder(0x8122, "Views", projects);  // special name mid-path
  const ObjectIndex views_child = box.folder(0x8142, "Plans", projects);
  box.folder(0x8162, "Dates", views_child, "IPF.Appointment");
  box.folder(0x8182, "People", s.top, "IPF.Contact");
  box.folder(0x81A2, "views", s.top);  // differs from a special name in case only

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);

  FakeFolder& root = output_root();
  EXPECT_EQ(root.child("Top of Personal Folders"), nullptr);
  EXPECT_EQ(root.child("Root - Mailbox"), nullptr);
  ASSERT_NE(root.child("Projects"), nullptr);
  EXPECT_EQ(root.child("Projects")->child("Views"), nullptr);
  ASSERT_NE(root.child("Projects")->child("Plans"), nullptr);
  const FakeFolder* dates = root.child("Projects")->child("Plans")->child("Dates");
  ASSERT_NE(dates, nullptr);
  EXPECT_EQ(dates->type, automation::kFolderCalendar);
  ASSERT_NE(root.child("People"), nullptr);
  EXPECT_EQ(root.child("People")->type, automation::kFolderContacts);
  EXPECT_NE(root.child("views"), nullptr);
  // The existing Inbox is opened, not made a second time.
  EXPECT_EQ(root.subfolders.size(), 4u + 3u);
  EXPECT_EQ(summary.folders_recreated, 5);

  // The tree gets every primary folder; the top-level one because it has children.
  EXPECT_TRUE(host.saw("tree Root - Mailbox under 1"));
  EXPECT_TRUE(host.saw("tree Top of Personal Folders under 2"));
  EXPECT_TRUE(host.saw("tree Inbox under 3"));
}

// What the Japanese mail client calls the file's own folders and the Inbox, and a subject,
// in code page 932.
constexpr char kJapaneseTop[] =
    "Outlook \x83\x66\x81\x5B\x83\x5E \x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x83\x67"
    "\x83\x62\x83\x76";
constexpr char kJapaneseSearchRoot[] = "\x8C\x9F\x8D\xF5\x83\x74\x83\x48\x83\x8B\x83\x5F";
constexpr char kJapaneseDeleted[] = "\x8D\xED\x8F\x9C\x8D\xCF\x82\xDD\x83\x41\x83\x43\x83\x65\x83\x80";
constexpr char kJapaneseInbox[] = "\x8E\xF3\x90\x4D\x83\x67\x83\x8C\x83\x43";
constexpr char kJapaneseSubject[] = "\x89\xEF\x8B\x63\x82\xCC\x8C\x8F";

// An entry id of the source store naming `nid`.
Bytes store_entry_id(std::uint32_t nid) {
  Bytes id(20, 0x5A);
  for (int i = 0; i < 4; ++i) id.push_back(static_cast<std::uint8_t>(nid >> (8 * i)));
  return id;
}

// A Japanese store: the top of its personal folders elsewhere than usual, named by the store
// only; its messages in code page 932.
struct Localised {
  ObjectIndex top, inbox;
};
Localised japanese_folders(MailboxBuilder& box) {
  box.node(0x21, kNoObject, true,
           {fake::binary_prop(0x35E0, store_entry_id(0x8042)),
            fake::binary_prop(0x35E7, store_entry_id(0x8062)),
            fake::binary_prop(0x35E3, store_entry_id(0x80E2))});
  const ObjectIndex root = box.unnamed_folder(0x122, kNoObject);
  Localised l;
  l.top = box.folder(0x8042, kJapaneseTop, root);
  box.folder(0x8062, kJapaneseSearchRoot, root);
  l.inbox = box.folder(0x8082, kJapaneseInbox, l.top);
  box.folder(0x80E2, kJapaneseDeleted, l.top);
  box.message(0x200024, l.inbox, {text_prop(0x0037, kJapaneseSubject), long_prop(0x3FFD, 932)});
  return l;
}

TEST_F(ExportTest, TheFilesOwnFoldersAreKnownByRoleAndItsTextsReadInItsCodePage) {
  codepage_.clear();
  const Localised l = japanese_folders(box);
  box.folder(0x80A2, kJapaneseInbox, l.top);  // a second copy of the same folder
  const ObjectIndex sub = box.folder(0x80C2, "Projects", l.inbox);
  box.message(0x200044, sub, {text_prop(0x0037, "plain"), long_prop(0x3FFD, 932)});
  box.message(0x200064, l.inbox, {text_prop(0x0037, kJapaneseSubject)});
  // A contents table whose first row lists a message with its body: a table, not an item.
  box.node(0x804E, kNoObject, true,
           {text_prop(0x001A, "IPM.Note"), text_prop(0x0037, "row"), text_prop(0x1000, "b")});

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_EQ(client.codepage, "CP932");
  FakeFolder& root = output_root();
  // The output's own top and deleted items take the source's names.
  EXPECT_EQ(fake::utf8(root.name),
            "Outlook \u30C7\u30FC\u30BF \u30D5\u30A1\u30A4\u30EB\u306E\u30C8\u30C3\u30D7");
  EXPECT_NE(root.child("\u524A\u9664\u6E08\u307F\u30A2\u30A4\u30C6\u30E0"), nullptr);
  EXPECT_EQ(root.child("Deleted Items"), nullptr);
  EXPECT_EQ(root.child("Lost&Found"), nullptr);
  EXPECT_EQ(summary.mail_items_written, 3);
  EXPECT_EQ(root.child("Outlook \u30C7\u30FC\u30BF \u30D5\u30A1\u30A4\u30EB\u306E\u30C8\u30C3\u30D7"),
            nullptr);
  EXPECT_EQ(root.child("\u691C\u7D22\u30D5\u30A9\u30EB\u30C0"), nullptr);
  const FakeFolder* inbox = root.child("\u53D7\u4FE1\u30C8\u30EC\u30A4");
  ASSERT_NE(inbox, nullptr);
  EXPECT_EQ(std::count_if(root.subfolders.begin(), root.subfolders.end(),
                          [&](const auto& f) { return f.get() == inbox; }),
            1);
  ASSERT_EQ(inbox->items.size(), 2u);
  ASSERT_NE(inbox->child("Projects"), nullptr);
  EXPECT_EQ(inbox->child("Projects")->items.size(), 1u);
  EXPECT_EQ(summary.folders_recreated, 2);
  // The items' own texts go to the store as the source holds them.
  ASSERT_NE(inbox->items[0]->content, nullptr);
  const auto& properties = inbox->items[0]->content->properties;
  const auto subject = std::find_if(properties.begin(), properties.end(),
                                    [](const auto& p) { return p.id() == 0x0037; });
  ASSERT_NE(subject, properties.end());
  EXPECT_EQ(std::string(subject->value.begin(), subject->value.end()), kJapaneseSubject);
  // The window shows the folder in its own script.
  EXPECT_TRUE(std::any_of(host.log.begin(), host.log.end(), [](const std::string& e) {
    return e.starts_with("tree \u53D7\u4FE1\u30C8\u30EC\u30A4 under");
  }));
}

// A store whose entry id for a folder of its structure (the top, the views, the common
// views, the search root) names the Inbox, a folder below the top: the Inbox stays a folder.
class MisnamedStructureTest : public ExportTest,
                              public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(MisnamedStructureTest, AFolderBelowTheTopIsNoPartOfTheStructure) {
  box.node(0x21, kNoObject, true, {fake::binary_prop(GetParam(), store_entry_id(0x8082))});
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "mail")});
  const ObjectIndex projects = box.folder(0x8102, "Projects", s.inbox);
  box.message(0x200044, projects, {text_prop(0x0037, "plan")});

  run_export();
  FakeFolder& root = output_root();
  EXPECT_TRUE(root.items.empty());
  ASSERT_EQ(root.child("Inbox")->items.size(), 1u);
  ASSERT_NE(root.child("Inbox")->child("Projects"), nullptr);
  EXPECT_EQ(root.child("Inbox")->child("Projects")->items.size(), 1u);
  EXPECT_EQ(root.child("Projects"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Roles, MisnamedStructureTest,
                         ::testing::Values(0x35E0, 0x35E5, 0x35E6, 0x35E7));

TEST_F(ExportTest, AGivenCodePageOutranksTheFilesOwn) {
  codepage_ = "WINDOWS-1251";
  japanese_folders(box);
  run_export();
  EXPECT_EQ(client.codepage, "WINDOWS-1251");
  // Read in the wrong code page, the file's top folder is still known by its role.
  EXPECT_EQ(output_root().subfolders.size(), 4u + 1u);
}

TEST_F(ExportTest, MailGoesToItsFolderAndConsecutiveItemsReuseIt) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "one")});
  box.message(0x200044, s.inbox, {text_prop(0x0037, "two")});
  const ObjectIndex work = box.folder(0x8102, "Work", s.top);
  box.message(0x200064, work, {text_prop(0x0037, "three")});

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.mail_items_written, 3);
  FakeFolder& root = output_root();
  ASSERT_EQ(root.child("Inbox")->items.size(), 2u);
  EXPECT_EQ(fake::utf8(root.child("Inbox")->items[0]->subject), "one");
  ASSERT_EQ(root.child("Work")->items.size(), 1u);

  // One look-up of the Inbox for both of its items, then one for Work.
  const std::vector<std::string> expected = {
      "Populating folder Inbox", "show 4", "clear", "row ||one|",  "row ||two|",
      "Populating folder Work",  "show 5", "clear", "row ||three|"};
  std::vector<std::string> seen;
  for (const auto& e : host.log) {
    if (e.rfind("Populating", 0) == 0 || e.rfind("show", 0) == 0 || e == "clear" ||
        e.rfind("row", 0) == 0) {
      seen.push_back(e);
    }
  }
  EXPECT_EQ(seen, expected);
  // Created, saved twice and moved into the folder the helper folder was bound to.
  EXPECT_EQ(root.child("Inbox")->items[0]->saves, 2);
  // The client ends before the complete file takes the output's name.
  ASSERT_GE(client.log.size(), 2u);
  EXPECT_EQ(client.log[client.log.size() - 2], "close");
  EXPECT_EQ(client.log.back(), "renamed");
}

TEST_F(ExportTest, SameNamedFoldersAreMergedAndUnplacedMailGoesToLostAndFound) {
  const Standard s = standard_folders(box);
  const ObjectIndex a1 = box.folder(0x8102, "Archive", s.top);
  const ObjectIndex a2 = box.folder(0x8122, "archive", s.top);
  box.message(0x200024, a1, {text_prop(0x0037, "first")});
  box.message(0x200044, a2, {text_prop(0x0037, "second")});
  // A message below a folder object without a name: its folder was never listed.
  const ObjectIndex nameless = box.unnamed_folder(0x8142, s.top);
  box.message(0x200064, nameless, {text_prop(0x0037, "unplaced")});
  // Orphans: kept with a body, dropped without.
  box.message(0x200084, kNoObject, {text_prop(0x0037, "orphan"), text_prop(0x1000, "text")});
  box.message(0x2000A4, kNoObject, {text_prop(0x0037, "bodiless")});

  const ExportSummary summary = run_export();
  FakeFolder& root = output_root();
  ASSERT_NE(root.child("Archive"), nullptr);
  EXPECT_EQ(root.child("archive"), nullptr);
  EXPECT_EQ(root.child("Archive")->items.size(), 2u);
  const FakeFolder* lost = root.child("Lost&Found");
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(lost->type, automation::kFolderMail);
  ASSERT_EQ(lost->items.size(), 2u);
  EXPECT_EQ(fake::utf8(lost->items[0]->subject), "unplaced");
  EXPECT_EQ(fake::utf8(lost->items[1]->subject), "orphan");
  EXPECT_EQ(summary.mail_items_written, 4);
  EXPECT_EQ(summary.items_in_lost_and_found, 2);
  EXPECT_EQ(host.count_prefix("populating folder Lost&Found"), 2);
  // The list is cleared for the unplaced item but not for the orphan.
  EXPECT_EQ(host.count_prefix("clear"), 3);
}

TEST_F(ExportTest, AnOrphanDoesNotBecomeTheFolderOfTheNextItemsOfTheLastParent) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "before")});
  box.message(0x200044, kNoObject, {text_prop(0x0037, "orphan"), text_prop(0x1000, "b")});
  // A later version of the root, the top and the Inbox, with one more message of the Inbox.
  const ObjectIndex root_again = box.folder(0x122, "Root - Mailbox", kNoObject, "IPF.Note", false);
  const ObjectIndex top_again =
      box.folder(0x8022, "Top of Personal Folders", root_again, "IPF.Note", false);
  const ObjectIndex inbox_again = box.folder(0x8082, "Inbox", top_again, "IPF.Note", false);
  box.message(0x200064, inbox_again, {text_prop(0x0037, "after")});

  run_export();
  FakeFolder& root = output_root();
  EXPECT_EQ(root.child("Inbox")->items.size(), 2u);
  ASSERT_NE(root.child("Lost&Found"), nullptr);
  EXPECT_EQ(root.child("Lost&Found")->items.size(), 1u);
}

// Message 0x200024 in two versions in the Inbox, the newer one also found again (the same
// blocks) in the folder it was moved out of; message 0x200044 once, in that folder.
struct TwoVersions {
  ObjectIndex earlier, current, moved_copy;
};
TwoVersions two_versions(MailboxBuilder& box, const Standard& s) {
  const ObjectIndex projects = box.folder(0x8102, "Projects", s.top);
  TwoVersions v;
  v.earlier = box.message(0x200024, s.inbox, {text_prop(0x0037, "first draft")});
  v.current = box.message(0x200024, s.inbox, {text_prop(0x0037, "final")});
  ObjectTree& tree = box.file.tables.objects;
  v.moved_copy = tree.create(0x200024, nullptr, tree[v.current].data_block, true);
  tree.append_child(projects, v.moved_copy);
  box.message(0x200044, projects, {text_prop(0x0037, "plan")});
  return v;
}

TEST_F(ExportTest, TheCurrentVersionGoesIntoItsFolderAndAnEarlierOneIntoRecoveredItems) {
  const Standard s = standard_folders(box);
  two_versions(box, s);
  const ExportSummary summary = run_export();
  FakeFolder& root = output_root();
  ASSERT_EQ(root.child("Inbox")->items.size(), 1u);
  EXPECT_EQ(fake::utf8(root.child("Inbox")->items[0]->subject), "final");
  ASSERT_EQ(root.child("Projects")->items.size(), 1u);
  EXPECT_EQ(fake::utf8(root.child("Projects")->items[0]->subject), "plan");
  // Below "Recovered Items" in the path of the folder it was found in, structural folders
  // left out as everywhere.
  FakeFolder* recovered = root.child("Recovered Items");
  ASSERT_NE(recovered, nullptr);
  EXPECT_TRUE(recovered->items.empty());
  ASSERT_NE(recovered->child("Inbox"), nullptr);
  ASSERT_EQ(recovered->child("Inbox")->items.size(), 1u);
  EXPECT_EQ(fake::utf8(recovered->child("Inbox")->items[0]->subject), "first draft");
  EXPECT_EQ(recovered->child("Projects"), nullptr);  // the moved copy is the current one

  // The window's tree shows the output folder, so the row can be opened from it: "Recovered
  // Items" under the root item, its "Inbox" below, and that folder shown as it fills.
  const TreeItemId tree_root = 1;  // the first item the host hands out, at the reset
  const TreeItemId tree_recovered = host.added("Recovered Items", tree_root);
  ASSERT_NE(tree_recovered, kNoTreeItem);
  const TreeItemId tree_inbox = host.added("Inbox", tree_recovered);
  ASSERT_NE(tree_inbox, kNoTreeItem);
  EXPECT_TRUE(host.saw("show " + std::to_string(tree_inbox)));

  EXPECT_EQ(summary.mail_items_written, 3);
  EXPECT_EQ(summary.current_items_written, 2);
  EXPECT_EQ(summary.earlier_versions_written, 1);
  EXPECT_EQ(summary.unlisted_items_written, 0);
  EXPECT_EQ(summary.identical_copies, 1);
  EXPECT_EQ(summary.versions_left_out, 0);
  EXPECT_EQ(summary.items_in_lost_and_found, 0);
}

TEST_F(ExportTest, OnlyTheCurrentVersionsWhenAskedFor) {
  const Standard s = standard_folders(box);
  two_versions(box, s);
  current_only_ = true;
  const ExportSummary summary = run_export();
  FakeFolder& root = output_root();
  EXPECT_EQ(root.child("Recovered Items"), nullptr);
  ASSERT_EQ(root.child("Inbox")->items.size(), 1u);
  EXPECT_EQ(fake::utf8(root.child("Inbox")->items[0]->subject), "final");
  EXPECT_EQ(summary.mail_items_written, 2);
  EXPECT_EQ(summary.current_items_written, 2);
  EXPECT_EQ(summary.versions_left_out, 1);
  EXPECT_EQ(summary.identical_copies, 1);
}

// A folder found in two versions, its items below the first (the first entry of the node
// wins the tree) and the second the current one (the newer data block): the current one
// says what the folder is and where, whatever the first says.
struct FolderVersions {
  const char* first_name;  // nullptr: the first version has no name
  const char* first_class;
  bool first_below_inbox;  // else below the top, as the current version
  const char* current_name;
  friend void PrintTo(const FolderVersions& c, std::ostream* os) {
    *os << (c.first_name ? c.first_name : "<no name>") << " -> " << c.current_name;
  }
};

class FolderVersionTest : public ExportTest,
                          public ::testing::WithParamInterface<FolderVersions> {};

TEST_P(FolderVersionTest, ItemsGoWhereTheCurrentVersionOfTheirFolderIs) {
  const FolderVersions& c = GetParam();
  const Standard s = standard_folders(box);
  const ObjectIndex parent = c.first_below_inbox ? s.inbox : s.top;
  const ObjectIndex first = c.first_name ? box.folder(0x80C2, c.first_name, parent, c.first_class)
                                         : box.unnamed_folder(0x80C2, parent);
  box.message(0x200024, first, {text_prop(0x0037, "one")});
  box.message(0x200044, first, {text_prop(0x0037, "two")});
  box.folder(0x80C2, c.current_name, s.top, "IPF.Note", false);

  const ExportSummary summary = run_export();
  FakeFolder& root = output_root();
  const FakeFolder* folder = root.child(c.current_name);
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->items.size(), 2u);
  EXPECT_EQ(folder->type, automation::kFolderMail);
  EXPECT_TRUE(root.items.empty());
  EXPECT_EQ(summary.items_in_lost_and_found, 0);
  if (c.first_name) {
    EXPECT_EQ(root.child(c.first_name), nullptr);
  }
  EXPECT_TRUE(root.child("Inbox")->subfolders.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, FolderVersionTest,
    ::testing::Values(
        // An old entry whose data block now holds another folder's properties.
        FolderVersions{"Calendar", "IPF.Appointment", false, "Sent Items"},
        // One whose block holds no name, or the name of the file's own top folder.
        FolderVersions{nullptr, "", false, "Sent Items"},
        FolderVersions{"Top of Outlook data file", "IPF.Note", false, "Sent Items"},
        // A folder renamed and moved out of the Inbox since.
        FolderVersions{"Old plans", "IPF.Note", true, "Plans"}));

TEST_F(ExportTest, ATableNodeIsNoItemThoughItsFirstRowIsMail) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "one")});
  // The Inbox's contents table, its first row of class IPM.Note, found below the Inbox.
  constexpr std::uint32_t kTableBlock = 0x10000;
  box.file.add_block(kTableBlock, testing::table_context(0x0E070003, 0x001A001E,
                                                         {{1, "IPM.Note"}}));
  ObjectTree& tree = box.file.tables.objects;
  tree.append_child(s.inbox,
                    tree.create(0x808E, nullptr, box.file.tables.find_block(kTableBlock), true));

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.mail_items_written, 1);
  EXPECT_EQ(output_root().child("Inbox")->items.size(), 1u);
}

TEST_F(ExportTest, AMessageWhoseClassWasDamagedOrLostIsWrittenAsTheMailItCarries) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "typo")}, "IPM.Notu");
  box.node(0x200044, s.inbox, true, {text_prop(0x0037, "no class"), text_prop(0x1000, "b")});
  box.message(0x200064, s.inbox, {text_prop(0x0037, "post")}, "IPM.Post");  // a class of its own
  box.node(0x200084, s.inbox, true, {long_prop(0x0E07, 1)});  // no class, nothing of mail
  box.message(0x2000A8, s.inbox, {text_prop(0x0037, "view")}, "IPM.Notu");  // no message node

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.mail_items_written, 3);
  EXPECT_EQ(summary.written_by_kind.at(ItemKind::kMail), 2);
  EXPECT_EQ(summary.written_by_kind.at(ItemKind::kOther), 1);
  const auto& items = output_root().child("Inbox")->items;
  ASSERT_EQ(items.size(), 3u);
  for (const auto& item : items) {
    const std::string subject = fake::utf8(item->subject);
    SCOPED_TRACE(subject);
    const std::string expected = subject == "post" ? "IPM.Post" : "IPM.Note";
    ASSERT_NE(item->content, nullptr);
    const auto cls = std::find_if(item->content->properties.begin(),
                                  item->content->properties.end(),
                                  [](const ContentProperty& p) { return p.id() == 0x001A; });
    ASSERT_NE(cls, item->content->properties.end());
    EXPECT_EQ(std::string(cls->value.begin(), cls->value.end()), expected);
    EXPECT_EQ(std::count_if(item->content->properties.begin(), item->content->properties.end(),
                            [](const ContentProperty& p) { return p.id() == 0x001A; }),
              1);
  }
}

TEST_F(ExportTest, EveryKindOfItemIsWrittenIntoItsFolder) {
  const Standard s = standard_folders(box);
  const ObjectIndex cal = box.folder(0x8102, "Calendar", s.top, "IPF.Appointment");
  box.message(0x200024, cal, {text_prop(0x0037, "meeting")}, "IPM.Appointment");
  box.message(0x200044, cal, {text_prop(0x0037, "meeting 2")}, "IPM.Schedule.Meeting.Request");
  box.message(0x200064, s.inbox, {text_prop(0x0037, "call")}, "IPM.Contact");
  box.message(0x200084, s.inbox, {text_prop(0x0037, "report")}, "REPORT.IPM.Note.NDR");
  // A node that is no message (an associated item) is counted, not written.
  box.message(0x2000A8, s.inbox, {text_prop(0x0037, "view")}, "IPM.Microsoft.FolderDesign");

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.mail_items_written, 4);
  EXPECT_EQ(summary.written_by_kind.at(ItemKind::kAppointment), 1);
  EXPECT_EQ(summary.written_by_kind.at(ItemKind::kOther), 2);
  EXPECT_EQ(summary.written_by_kind.at(ItemKind::kContact), 1);
  EXPECT_EQ(summary.not_exported.at(ItemKind::kOther), 1);
  EXPECT_EQ(output_root().child("Calendar")->type, automation::kFolderCalendar);
  EXPECT_EQ(output_root().child("Calendar")->items.size(), 2u);
  EXPECT_EQ(output_root().child("Inbox")->items.size(), 2u);
}

// The value an item written whole holds for a property id, as the source held it.
const ContentProperty* stored(const FakeItem& item, std::uint16_t id) {
  if (!item.content) return nullptr;
  for (const ContentProperty& p : item.content->properties)
    if (p.id() == id) return &p;
  return nullptr;
}

TEST_F(ExportTest, ItemsKeepTheSourcesValuesAndGetDerivedOnesOnlyWhereTheSourceLacksThem) {
  const Standard s = standard_folders(box);
  box.message(
      0x200024, s.inbox,
      {text_prop(0x0037, "flags"), long_prop(0x0E07, 9), long_prop(0x0017, 2), long_prop(0x1090, 2),
       long_prop(0x1080, 261), text_prop(0x1000, "the body"), text_prop(0x0E04, "Ann Lee"),
       text_prop(0x0078, "rep@x.org"), text_prop(0x0042, "Bob Roe"),
       text_prop(0x0065, "bob@roe.org"), text_prop(0x0064, "EX"), text_prop(0x0C1E, "X400"),
       time_prop(0x0039, kFiletime2020), time_prop(0x0E06, kFiletime2020)});
  box.message(
      0x200044, s.inbox,
      {text_prop(0x0037, "plain"), long_prop(0x0E07, 5), text_prop(0x0078, "rep@x.org"),
       text_prop(0x0076, "by@x.org"), text_prop(0x0042, "Bob"), text_prop(0x0065, "bob@roe.org"),
       text_prop(0x0C1E, "X400"), time_prop(0x0E06, kFiletime2020)});

  run_export();
  const auto& items = output_root().child("Inbox")->items;
  ASSERT_EQ(items.size(), 2u);
  const FakeItem& a = *items[0];
  ASSERT_NE(a.content, nullptr);
  // Flags above 7, "EX", a representing name without its address: all as the source has them.
  EXPECT_EQ(std::get<std::int32_t>(a.properties.at(tag::kMessageFlags)), 9);
  EXPECT_EQ(text(a.properties.at(tag::kSentRepresentingName)), "Bob Roe");
  EXPECT_EQ(text(a.properties.at(tag::kSentRepresentingAddrType)), "EX");
  EXPECT_EQ(text(a.properties.at(tag::kSenderAddrType)), "X400");
  EXPECT_EQ(std::get<std::int32_t>(a.properties.at(tag::kIconIndex)), 261);
  EXPECT_NE(stored(a, 0x0039), nullptr);
  // The sender's name is what the source lacks: derived from its representing sender.
  EXPECT_EQ(text(a.properties.at(tag::kSenderName)), "Bob Roe[bob@roe.org]");
  EXPECT_TRUE(host.saw("row Bob Roe|Ann Lee|flags|Wed Mar  4 05:06:07 2020"));

  const FakeItem& b = *items[1];
  ASSERT_NE(b.content, nullptr);
  EXPECT_EQ(text(b.properties.at(tag::kSenderName)), "[bob@roe.org]");
  EXPECT_EQ(text(b.properties.at(tag::kSenderAddrType)), "X400");
  EXPECT_EQ(b.properties.count(tag::kIconIndex), 0u);
  // A delivery time without a submit time: no date cell, and no submit time made up.
  EXPECT_TRUE(host.saw("row bob@roe.org|rep@x.org|plain|"));
  EXPECT_EQ(b.properties.count(tag::kClientSubmitTime), 0u);
  EXPECT_EQ(stored(b, 0x0039), nullptr);
}

TEST_F(ExportTest, ConversationIndexDatesTheListRowOfItemsWithoutAnyTime) {
  const Standard s = standard_folders(box);
  Bytes index(22, 0);
  for (int i = 0; i < 8; ++i) {
    index[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(kFiletime2020 >> (8 * i));
  }
  box.message(0x200024, s.inbox, {text_prop(0x0037, "indexed"), fake::binary_prop(0x0071, index)});
  box.message(0x200044, s.inbox,
              {text_prop(0x0037, "old"), time_prop(0x0039, kFiletime1850),
               fake::binary_prop(0x0071, index)});

  run_export();
  const auto& items = output_root().child("Inbox")->items;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_TRUE(host.saw("row ||indexed|Wed Mar  4 05:06:07 2020"));
  // The row is dated, the item is not: a time the source lacks stays absent from it.
  EXPECT_EQ(items[0]->properties.count(tag::kMessageDeliveryTime), 0u);
  EXPECT_EQ(stored(*items[0], 0x0E06), nullptr);
  // A submit time before 1900 is present but unusable: no date, and the index is not used.
  EXPECT_TRUE(host.saw("row ||old|"));
  EXPECT_EQ(items[1]->properties.count(tag::kMessageDeliveryTime), 0u);
  ASSERT_NE(stored(*items[1], 0x0039), nullptr);
}

TEST_F(ExportTest, ARefusedFolderNameSendsItsMailToTheParent) {
  const Standard s = standard_folders(box);
  const ObjectIndex bad = box.folder(0x8102, "Bad", s.inbox);
  box.message(0x200024, bad, {text_prop(0x0037, "kept")});
  client.refused_names.insert(u"Bad");
  run_export();
  EXPECT_EQ(output_root().child("Inbox")->child("Bad"), nullptr);
  EXPECT_EQ(output_root().child("Inbox")->items.size(), 1u);
}

TEST_F(ExportTest, AFailingPropertyStepStillWritesAndListsTheItem) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "refused"), text_prop(0x1000, "body")});
  client.refused_subjects.insert(u"refused");
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.mail_items_written, 1);
  ASSERT_EQ(output_root().child("Inbox")->items.size(), 1u);
  EXPECT_EQ(fake::utf8(output_root().child("Inbox")->items[0]->body), "body");
  EXPECT_TRUE(host.saw("row ||refused|"));
}

TEST_F(ExportTest, AnItemThatCannotBeCreatedIsSkippedAndTheWalkGoesOn) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "a")});
  box.message(0x200044, s.inbox, {text_prop(0x0037, "b")});
  client.fail_message_save = true;
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_EQ(summary.mail_items_written, 0);
  EXPECT_EQ(summary.mail_items_skipped, 2);
  EXPECT_EQ(host.count_prefix("row"), 0);
}

TEST_F(ExportTest, AnItemWhoseSaveFailsIsCountedApartFromTheWrittenOnes) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "a")});
  box.message(0x200044, s.inbox, {text_prop(0x0037, "b")});
  client.fail_item_close = true;
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_EQ(summary.mail_items_written, 0);
  EXPECT_EQ(summary.mail_items_skipped, 2);
  EXPECT_EQ(host.count_prefix("row"), 0);
}

TEST_F(ExportTest, AFullFolderGoesOnInNumberedSiblings) {
  const Standard s = standard_folders(box);
  const ObjectIndex work = box.folder(0x8102, "Work", s.top);
  std::uint32_t nid = 0x200004;
  for (int i = 0; i < 5; ++i) box.message(nid += 0x20, s.inbox, {text_prop(0x0037, "in")});
  box.message(nid += 0x20, work, {text_prop(0x0037, "work")});
  // The Inbox again, after another folder: it goes on where it stopped.
  const ObjectIndex inbox_again = box.folder(0x8082, "Inbox", s.top, "IPF.Note", false);
  for (int i = 0; i < 3; ++i) box.message(nid += 0x20, inbox_again, {text_prop(0x0037, "in")});
  max_items_per_folder = 3;

  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_EQ(summary.mail_items_written, 9);
  FakeFolder& root = output_root();
  EXPECT_EQ(root.child("Inbox")->items.size(), 3u);
  ASSERT_NE(root.child("Inbox (2)"), nullptr);
  EXPECT_EQ(root.child("Inbox (2)")->items.size(), 3u);
  ASSERT_NE(root.child("Inbox (3)"), nullptr);
  EXPECT_EQ(root.child("Inbox (3)")->items.size(), 2u);
  EXPECT_EQ(root.child("Work")->items.size(), 1u);
  ASSERT_EQ(summary.continued_folders.size(), 1u);
  EXPECT_EQ(summary.continued_folders[0].path, "Inbox");
  EXPECT_EQ(summary.continued_folders[0].siblings,
            (std::vector<std::string>{"Inbox (2)", "Inbox (3)"}));
}

TEST_F(ExportTest, AStoreThatCannotBeWrittenEndsTheExportWithTheReason) {
  const Standard s = standard_folders(box);
  std::uint32_t nid = 0x200004;
  for (int i = 0; i < 6; ++i) box.message(nid += 0x20, s.inbox, {text_prop(0x0037, "m")});
  client.store_fails_at_save = 4;  // the fourth new message
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kStoreFailed);
  EXPECT_NE(summary.store_failure.find("No space left on device"), std::string::npos);
  // Nothing more was tried after the failure, and the counts are what the store holds.
  EXPECT_EQ(summary.mail_items_written, 3);
  EXPECT_EQ(summary.written_by_kind.at(ItemKind::kMail), 3);
  EXPECT_EQ(summary.current_items_written, 3);
  EXPECT_EQ(summary.mail_items_skipped, 0);
  // The store keeps its staging name, which says it is incomplete; the output name is free.
  EXPECT_FALSE(std::filesystem::exists(output_));
  EXPECT_EQ(summary.incomplete_file, (dir.path() / "mailbox Recovered (incomplete).pst").string());
  EXPECT_TRUE(summary.output_file.empty());
  FakeStore* store = client.store_at(summary.incomplete_file);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->root->child("Inbox")->items.size(), 3u);
  EXPECT_FALSE(host.saw("message Processing of selected PST file is complete"));
  EXPECT_EQ(host.count_prefix("message The recovered PST file could not be written: cannot write " +
                              summary.incomplete_file + ": No space left on device"),
            1);
}

// ---------------------------------------------------------------------------------------
// Opening the output store and the end of the export

TEST_F(ExportTest, TheOutputStoreIsFoundByThePathInItsStoreIdAmongOtherStores) {
  client.attach("/elsewhere/other.pst");
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_EQ(host.output_store_index, 2);
  EXPECT_TRUE(std::filesystem::exists(output_));
  EXPECT_EQ(client.stores[1]->path, output_.string());
  EXPECT_EQ(client.closes, 1);
  // Once the store is found the tree and the list are set up; the run ends in this order.
  ASSERT_GE(host.log.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(host.log.begin() + 1, host.log.begin() + 3),
            (std::vector<std::string>{"reset", "columns"}));
  EXPECT_EQ(std::vector<std::string>(host.log.end() - 4, host.log.end()),
            (std::vector<std::string>{"status clear", "stop off",
                                      "message Processing of selected PST file is complete",
                                      "tree ready"}));
}

TEST_F(ExportTest, AStoreThatCannotBeAttachedIsReportedAndLeavesNoFile) {
  client.refuse_add_store = true;
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kStoreNotOpened);
  // The mail client's reason comes with the message.
  EXPECT_TRUE(host.saw("message " + std::string(kStoreNotOpenedText) + "\ncannot open store"));
  EXPECT_EQ(summary.error, "cannot open store");
  EXPECT_FALSE(host.saw("message Processing of selected PST file is complete"));
  EXPECT_FALSE(std::filesystem::exists(output_));
  EXPECT_EQ(client.closes, 1);
  EXPECT_TRUE(host.saw("tree ready"));
}

TEST_F(ExportTest, AStoreIdHoldingThePathInAnotherLetterCaseIsNotTheOutputStore) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  // The client attaches the file under a path spelled differently.
  client.refuse_add_store = true;
  std::string upper = (dir.path() / "MAILBOX Recovered.pst").string();
  client.attach(upper);
  EXPECT_EQ(run_export().outcome, ExportOutcome::kStoreNotOpened);
}

TEST_F(ExportTest, NoMailClientIsReportedOnceWithoutTheCompletionMessage) {
  client.refuse_application = true;
  standard_folders(box);
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kNoMailClient);
  EXPECT_EQ(host.count_prefix("message "), 1);
  EXPECT_TRUE(host.saw("message outlook is not properly installed."));
  EXPECT_FALSE(std::filesystem::exists(output_));
}

TEST_F(ExportTest, AMissingHelperStopsBeforeAnythingIsWritten) {
  client.refused_helpers.insert(std::u16string(automation::kHelperDistListProgId));
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kNoHelperObjects);
  EXPECT_TRUE(host.saw("message " + std::string(kNoHelperText)));
  EXPECT_EQ(host.count_prefix("reset"), 0);
  EXPECT_FALSE(std::filesystem::exists(output_));
}

TEST_F(ExportTest, AKeptExistingFileIsUsedWithoutAQuestionAndNeverDeleted) {
  // Nothing is exported: one top-level folder and an orphan without a body.
  box.folder(0x122, "Root - Mailbox");
  box.message(0x200024, kNoObject, {text_prop(0x0037, "no body")});
  const std::vector<std::uint8_t> old = {1, 2, 3, 4};
  test::write_file(dir.path() / "mailbox Recovered.pst", old);
  existing_ = ExistingOutput::kKeep;
  run_export();
  EXPECT_EQ(host.count_prefix("ask "), 0);
  // The mail client adds to a copy, which goes again when nothing was added to it.
  const auto copy = dir.path() / "mailbox Recovered (incomplete).pst";
  EXPECT_EQ(client.log.front(), "AddStore " + copy.string());
  EXPECT_EQ(test::read_file(output_), old);
  EXPECT_FALSE(std::filesystem::exists(copy));
}

// No to the overwrite question cancels: the existing file is neither replaced nor added to,
// and the mail client never sees it. Yes replaces it.
TEST_F(ExportTest, NoToTheOverwriteQuestionCancelsWithTheFileUntouched) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  const std::vector<std::uint8_t> old = {1, 2, 3, 4};
  test::write_file(dir.path() / "mailbox Recovered.pst", old);
  host.answer_yes = false;
  ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kOutputDeclined);
  EXPECT_TRUE(host.saw("ask Do you want to overwrite existing pst file?"));
  EXPECT_TRUE(host.saw("message " + std::string(kOutputKeptText)));
  EXPECT_FALSE(host.saw("message Processing of selected PST file is complete"));
  EXPECT_EQ(client.log, std::vector<std::string>{"close"});
  EXPECT_EQ(test::read_file(output_), old);

  host.answer_yes = true;
  summary = export_one_message(client, host, dir.path(), output_);
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_EQ(summary.mail_items_written, 1);
  EXPECT_NE(test::read_file(output_), old);
}

// An output name that leads to the source (a symbolic or a hard link beside it) is refused
// whatever was asked for, before anything is written or attached.
TEST_F(ExportTest, AnOutputThatIsTheSourceIsRefusedBeforeAnythingIsTouched) {
  const std::filesystem::path source = dir.path() / "mailbox.pst";
  const std::filesystem::path output = dir.path() / "mailbox Recovered.pst";
  for (const bool hard : {false, true}) {
    for (const ExistingOutput existing :
         {ExistingOutput::kAsk, ExistingOutput::kReplace, ExistingOutput::kKeep}) {
      std::filesystem::remove(output);
      std::filesystem::remove(source);
      test::write_file(source, std::vector<std::uint8_t>{1});
      if (hard)
        std::filesystem::create_hard_link(source, output);
      else
        std::filesystem::create_symlink(source, output);
      // The link is made beside the source that the export writes (the same name).
      FakeClient fresh;
      RecordingHost seen;
      seen.answer_yes = true;
      MailboxBuilder one;
      const Standard s = standard_folders(one);
      one.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
      const std::vector<std::uint8_t> written = [&] {
        const auto path = one.write(dir.path());  // rewrites the linked file's bytes
        return test::read_file(path);
      }();
      ExportSettings settings{source, output, "WINDOWS-1252"};
      settings.existing_output = existing;
      CPstExporter exporter(settings, fresh.mail_client());
      OpenGate open;
      exporter.run(one.file.tables, seen, seen, open);
      EXPECT_EQ(exporter.summary().outcome, ExportOutcome::kOutputIsSource);
      EXPECT_TRUE(seen.saw("message " + std::string(kOutputIsSourceText)));
      EXPECT_EQ(seen.count_prefix("ask "), 0);
      EXPECT_TRUE(fresh.stores.empty());
      EXPECT_EQ(test::read_file(source), written);
      EXPECT_TRUE(hard ? std::filesystem::is_regular_file(std::filesystem::symlink_status(output))
                       : std::filesystem::is_symlink(output));
    }
  }
}

// The empty store that cannot be written is reported with the system's reason, never as a
// store the mail client could not attach; a missing folder is made without a question.
TEST_F(ExportTest, AMissingFolderIsMadeAndAFailedWriteNamesItsCause) {
  const auto made = dir.path() / "new" / "folder" / "mailbox Recovered.pst";
  EXPECT_EQ(export_one_message(client, host, dir.path(), made).outcome, ExportOutcome::kCompleted);
  EXPECT_TRUE(std::filesystem::exists(made));

  test::write_file(dir.path() / "plain", std::vector<std::uint8_t>{1});
  const ExportSummary summary =
      export_one_message(client, host, dir.path(), dir.path() / "plain" / "x Recovered.pst");
  EXPECT_EQ(summary.outcome, ExportOutcome::kOutputNotWritten);
  EXPECT_NE(summary.error.find("Not a directory"), std::string::npos) << summary.error;
  EXPECT_NE(summary.error.find((dir.path() / "plain").string()), std::string::npos);
  EXPECT_EQ(host.count_prefix("message " + std::string(kOutputNotWrittenText)), 1);
  EXPECT_EQ(host.count_prefix("message " + std::string(kStoreNotOpenedText)), 0);
  EXPECT_EQ(host.count_prefix("ask "), 0);
}

// Paths are bytes: a file name in Latin-1 and a folder whose name holds ":\" both reach the
// mail client unchanged and are found again in the store ids it gives back.
TEST_F(ExportTest, OutputPathsThatAreNotPlainUtf8AreAttachedAndFound) {
  for (const std::string& folder :
       {std::string("caf\xE9"), std::string("a:\\b"), std::string("C:\\Mail")}) {
    std::filesystem::create_directory(dir.path() / folder);
    const auto output = dir.path() / folder / "caf\xE9 Recovered.pst";
    const ExportSummary summary = export_one_message(client, host, dir.path(), output);
    EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted) << folder;
    EXPECT_EQ(summary.mail_items_written, 1) << folder;
    EXPECT_NE(client.store_at(output.string()), nullptr) << folder;
  }
}

TEST_F(ExportTest, AnEmptyStoreThisExportWroteIsRemovedWhenNothingWasExported) {
  box.message(0x200024, kNoObject, {text_prop(0x0037, "no body")});
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
  EXPECT_FALSE(summary.exported);
  EXPECT_FALSE(std::filesystem::exists(output_));
}

class CancelAfter final : public JobGate {
 public:
  explicit CancelAfter(int passes) : left_(passes) {}
  bool pass() override { return left_-- > 0; }

 private:
  int left_;
};

TEST_F(ExportTest, ACancelledExportClosesTheStoreAndKeepsWhatWasWritten) {
  const Standard s = standard_folders(box);
  for (std::uint32_t i = 0; i < 5; ++i) {
    box.message(0x200024 + 0x20 * i, s.inbox, {text_prop(0x0037, "m" + std::to_string(i))});
  }
  CancelAfter gate(5);  // three folders and two messages
  const ExportSummary summary = run_export(&gate);
  EXPECT_EQ(summary.outcome, ExportOutcome::kCancelled);
  EXPECT_EQ(summary.mail_items_written, 2);
  EXPECT_EQ(client.closes, 1);
  // What was written is kept under a name that says it is incomplete, and said so.
  EXPECT_FALSE(std::filesystem::exists(output_));
  const auto kept = dir.path() / "mailbox Recovered (incomplete).pst";
  EXPECT_EQ(summary.incomplete_file, kept.string());
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_EQ(host.count_prefix("message " + std::string(kStoppedText) +
                              " What was written until then (2 items) is kept in \"" +
                              kept.string() + "\"."),
            1);
  EXPECT_FALSE(host.saw("message Processing of selected PST file is complete"));
  EXPECT_TRUE(host.saw("stop off"));
}

TEST_F(ExportTest, AnErrorMidExportStillClosesTheMailClient) {
  const Standard s = standard_folders(box);
  box.message(0x200024, s.inbox, {text_prop(0x0037, "m")});
  // The store has no "Deleted Items": the step that needs it throws past the walk.
  source_ = box.write(dir.path());
  output_ = dir.path() / "x Recovered.pst";
  FakeStore& store = client.attach((dir.path() / "x Recovered (incomplete).pst").string());
  store.root->subfolders.erase(store.root->subfolders.begin());
  ExportSettings settings{source_, output_, "WINDOWS-1252"};
  CPstExporter exporter(settings, client.mail_client());
  OpenGate gate;
  EXPECT_THROW(exporter.run(box.file.tables, host, host, gate), automation::AutomationError);
  EXPECT_EQ(exporter.summary().outcome, ExportOutcome::kFailed);
  EXPECT_EQ(client.closes, 1);
  // Nothing was written: no output, and the staging file is gone with its lock.
  EXPECT_FALSE(std::filesystem::exists(output_));
  EXPECT_TRUE(exporter.summary().incomplete_file.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x Recovered (incomplete).pst"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / ".x Recovered.pst.lock"));
}

TEST_F(ExportTest, TablesWithoutObjectsStartNoMailClient) {
  const ExportSummary summary = run_export();
  EXPECT_EQ(summary.outcome, ExportOutcome::kNoObjects);
  EXPECT_EQ(host.count_prefix("reset"), 0);
  // Nothing to show for it: not "complete".
  EXPECT_FALSE(host.saw("message Processing of selected PST file is complete"));
  EXPECT_TRUE(host.saw("message " + std::string(kNothingRecoveredText)));
  EXPECT_TRUE(client.log.empty() || client.log == std::vector<std::string>{"close"});
}

}  // namespace
}  // namespace pstorian
