#include "cli/items_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "engine/btree_tables.h"
#include "format/endian.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

TEST(ItemsReportTest, FiletimesPrintAsUtc) {
  Bytes t(8);
  pst::store_le64(t, 0, 116444736000000000ull);  // 1970-01-01
  EXPECT_EQ(filetime_to_iso8601(t), "1970-01-01T00:00:00Z");
  pst::store_le64(t, 0, 126990720000000000ull + 10'000'000ull * 3661);
  EXPECT_EQ(filetime_to_iso8601(t), "2003-06-03T01:01:01Z");
  EXPECT_EQ(filetime_to_iso8601(Bytes(8, 0)), std::nullopt);
  EXPECT_EQ(filetime_to_iso8601(Bytes(4, 1)), std::nullopt);
  EXPECT_EQ(filetime_to_iso8601(std::nullopt), std::nullopt);
}

TEST(ItemsReportTest, ListsFoldersAndTheirMessages) {
  const fs::path path = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi" / "pstsdk-sample2.pst";
  if (!fs::exists(path)) GTEST_SKIP() << "corpus file missing";
  RecoveryTables tables;
  ASSERT_TRUE(testing::fill_tables_from_btrees(path.string(), tables));
  const auto cp = CodepageConverter::open(kDefaultCodepage);
  ASSERT_TRUE(cp.has_value());
  const auto report = collect_items(tables, path.string(), *cp);
  ASSERT_TRUE(report.has_value());

  nlohmann::json j = {{"blocks", 1}};
  add_items_json(*report, j);
  EXPECT_EQ(j["blocks"], 1);  // the scan's own keys stay
  const auto folder = std::find_if(j["folders"].begin(), j["folders"].end(),
                                   [](const nlohmann::json& f) { return f["name"] == "Sample2"; });
  ASSERT_NE(folder, j["folders"].end());
  EXPECT_EQ((*folder)["kind"], "mail");
  ASSERT_EQ(j["items"].size(), 1u);
  const nlohmann::json& item = j["items"][0];
  EXPECT_EQ(item["parent_id"], (*folder)["node_id"]);
  EXPECT_EQ(item["class"], "IPM.Note");
  EXPECT_EQ(item["subject"], "Here is a sample message");
  EXPECT_EQ(item["sender_name"], "Terry Mahaffey");
  EXPECT_EQ(item["submit_time"], "2010-03-15T17:12:05Z");
  EXPECT_EQ(item["body_size"], 79);

  std::ostringstream text;
  print_items_text(*report, text);
  const std::string out = text.str();
  // The item is printed under its folder.
  const auto at_folder = out.find("\"Sample2\"\n");
  ASSERT_NE(at_folder, std::string::npos);
  EXPECT_EQ(out.find("  item 0x00200024 mail \"IPM.Note\" subject=\"Here is a sample message\""),
            at_folder + 10);
}

TEST(ItemsReportTest, RefusesUnknownCodePagesAndUnreadableFiles) {
  RecoveryTables tables;
  nlohmann::json j;
  std::ostringstream out, err;
  EXPECT_FALSE(
      run_items_report(tables, "/nonexistent.pst", "NO-SUCH-CODEPAGE", false, j, out, err));
  EXPECT_NE(err.str().find("unknown code page"), std::string::npos);
  EXPECT_FALSE(run_items_report(tables, "/nonexistent.pst", "CP1251", true, j, out, err));
  EXPECT_NE(err.str().find("cannot open"), std::string::npos);
  EXPECT_TRUE(out.str().empty());
  EXPECT_TRUE(j.is_null());
}

}  // namespace
}  // namespace pstorian
