// The listing of one folder of the output store through the mail client.
#include "export/folder_item_lister.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "export/fake_mail_client.h"
#include "export/recording_host.h"
#include "export/wide_text.h"

namespace pstorian {
namespace {

using fake::FakeClient;
using fake::FakeFolder;
using fake::FakeItem;
using fake::RecordingHost;

class ListerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    client.attach("/other.pst");
    store = client.attach("/out/x Recovered.pst").root.get();
  }
  std::shared_ptr<FakeItem> add_item(FakeFolder& folder, std::string subject) {
    auto item = std::make_shared<FakeItem>();
    item->client = &client;
    item->folder = &folder;
    item->subject = utf8_to_utf16(subject);
    folder.items.push_back(item);
    return item;
  }
  void list(std::vector<std::string> names, int index = 2) {
    std::vector<PathEntry> path;
    for (auto& n : names) path.push_back(PathEntry{n});
    FolderItemLister lister(client.mail_client(), index);
    OpenGate gate;
    lister.list(path, host, host, gate);
  }

  FakeClient client;
  FakeFolder* store = nullptr;
  RecordingHost host;
};

TEST_F(ListerTest, ListsTheMailOfTheFolderAtThePathPassingOverUnknownNames) {
  FakeFolder& work = *store->add_child("Work", automation::kFolderMail);
  auto a = add_item(work, std::string(600, 's'));
  a->to = u"Ann";
  a->properties[automation::tag::kSenderName] = std::u16string(u"Bob[bob@x.org]");
  a->properties[automation::tag::kMessageDeliveryTime] = automation::OleDate{43894.25};
  add_item(work, "no date");

  list({"Top of Personal Folders", "Work"});
  ASSERT_EQ(host.rows.size(), 2u);
  EXPECT_EQ(host.rows[0].sender, "Bob[bob@x.org]");
  EXPECT_EQ(host.rows[0].receiver, "Ann");
  EXPECT_EQ(host.rows[0].subject, std::string(498, 's'));
  EXPECT_EQ(host.rows[0].date, "Wed Mar  4 06:00:00 2020\n");
  EXPECT_EQ(host.rows[1].date, "");
  EXPECT_EQ(host.log.front(), "stop on");
  EXPECT_EQ(host.log[1], "clear");
  EXPECT_EQ(host.log.back(), "stop off");
}

TEST_F(ListerTest, AFolderOfAnotherKindOnlyTellsItsCount) {
  FakeFolder& cal = *store->add_child("Dates", automation::kFolderCalendar);
  for (int i = 0; i < 5; ++i) add_item(cal, "m");
  store->add_child("Empty dates", automation::kFolderCalendar);
  list({"Dates"});
  EXPECT_TRUE(host.saw("message There are 5 items in this folder"));
  EXPECT_TRUE(host.rows.empty());
  host.log.clear();
  list({"Empty dates"});
  EXPECT_EQ(host.count_prefix("message"), 0);
  EXPECT_TRUE(host.saw("clear"));
}

TEST_F(ListerTest, PathOfUnknownNamesListsTheStoreRootAndNoStoreListsNothing) {
  add_item(*store, "at the root");
  list({"Nowhere", "Else"});
  ASSERT_EQ(host.rows.size(), 1u);
  EXPECT_EQ(host.rows[0].subject, "at the root");

  host.log.clear();
  host.rows.clear();
  list({"Nowhere"}, 0);
  EXPECT_TRUE(host.log.empty());

  client.refuse_application = true;
  list({"Nowhere"});
  EXPECT_TRUE(host.saw("message outlook is not properly installed."));
  EXPECT_TRUE(host.rows.empty());
}

}  // namespace
}  // namespace pstorian
