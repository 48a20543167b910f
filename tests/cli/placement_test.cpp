// Where a whole repair puts folders and items, through the real mail client: a folder beside
// the top of the personal folders stays beside it in the output, and real files whose old
// node B-tree pages name other folders' blocks come back with every item in its folder as
// libpff sees the two files (skipped when the corpus, the tools or Debian's pypff are not
// there).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

#include "cli/cli_run.h"
#include "format/layout.h"
#include "pst/messaging/message_store.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

void add_message(MessageStore& store, std::uint32_t folder, const std::string& subject) {
  PropertyBag message;
  message.set_string(prop::kSubject, subject);
  message.set_string(prop::kBody, subject);
  store.save_message(folder, 0, std::move(message));
}

TEST(Placement, AFolderBesideTheTopStaysAtTheRootWithItsItems) {
  test::TempDir dir;
  const fs::path source = dir.path() / "beside.pst";
  test::write_file(source, EmptyStoreImage());
  {
    MessageStore store(source);
    const std::uint32_t freebusy =
        store.create_folder(pst::kNidRootFolder, "Freebusy Data", "IPF.Note");
    add_message(store, freebusy, "free");
    add_message(store, store.create_folder(freebusy, "Below", "IPF.Note"), "below");
    add_message(store, store.create_folder(store.top_folder(), "Projects", "IPF.Note"), "plan");
    store.close();
  }

  const test::RepairRun run = test::repair_json(source, dir.path() / "out");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.summary.value("items_in_lost_and_found", -1), 0);
  MessageStore output(dir.path() / "out" / "beside Recovered.pst");
  EXPECT_FALSE(output.find_subfolder(output.top_folder(), u"Freebusy Data"));
  const auto freebusy = output.find_subfolder(pst::kNidRootFolder, u"Freebusy Data");
  ASSERT_TRUE(freebusy);
  EXPECT_EQ(output.parent_folder(*freebusy), pst::kNidRootFolder);
  EXPECT_EQ(output.messages(*freebusy).size(), 1u);
  const auto below = output.find_subfolder(*freebusy, u"Below");
  ASSERT_TRUE(below);
  EXPECT_EQ(output.messages(*below).size(), 1u);
  const auto projects = output.find_subfolder(output.top_folder(), u"Projects");
  ASSERT_TRUE(projects);
  EXPECT_EQ(output.messages(*projects).size(), 1u);
  EXPECT_EQ(output.parent_folder(pst::kNidRootFolder), std::nullopt);
}

// Files of other writers: folders whose old entries name another folder's data block (the
// Inbox read as "Calendar", Sent Items as nameless or as the top of the store), a list kept
// as an old version, and a contents table whose first row was written as a second copy.
TEST(Placement, RealFilesComeBackWithEveryItemInItsFolder) {
  const fs::path tools = fs::path(PSTORIAN_SHARED_DIR) / "tools";
  const fs::path wild = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "wild";
  int status = 1;
  test::run("/usr/bin/python3 -c 'import sys; sys.path.append(\"/usr/lib/python3/dist-packages\");"
            " import pypff' >/dev/null 2>&1",
            &status);
  if (status != 0 || !fs::exists(tools / "pstdiff.py") || !fs::exists(wild))
    GTEST_SKIP() << "corpus, tools or pypff missing";
  test::TempDir dir;
  for (const char* name :
       {"aspose-cpp-Outlook-623f7081", "process-pst-flags_jane_doe-0eadded4",
        "java-libpst-dist-list-c86841da", "hht-pst_to_msg-simple-5fdcc31a"}) {
    SCOPED_TRACE(name);
    const fs::path source = wild / (std::string(name) + ".pst");
    const test::RepairRun run = test::repair_json(source, dir.path());
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.summary.value("items_in_lost_and_found", -1), 0);
    const auto diff = nlohmann::json::parse(
        test::run("/usr/bin/python3 '" + (tools / "pstdiff.py").string() + "' '" +
                  source.string() + "' '" +
                  (dir.path() / (std::string(name) + " Recovered.pst")).string() +
                  "' --json 2>/dev/null"),
        nullptr, false);
    ASSERT_TRUE(diff.is_object());
    EXPECT_GT(diff.value("original_items", 0), 0);
    EXPECT_EQ(diff.value("same_folder", -1), diff.value("original_items", 0));
  }
}

}  // namespace
}  // namespace pstorian
