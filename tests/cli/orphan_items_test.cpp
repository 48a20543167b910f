// Items whose node B-tree entries were lost with their leaf pages: their property blocks are
// still in the file, and a repair finds them, places them by their folders' contents tables
// where those survived, and puts the rest into Lost&Found. Made from our own sample, so it
// runs without the corpus; the comparison with the original needs pypff and pstdiff.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";
const fs::path kPstdiff = fs::path(PSTORIAN_SHARED_DIR) / "tools" / "pstdiff.py";

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::vector<char> read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const fs::path& p, const std::vector<char>& bytes) {
  std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

nlohmann::json repair_json(const fs::path& source, const fs::path& folder) {
  const std::string out =
      test::run(std::string("'") + PSTORIAN_CLI + "' repair " + quoted(source) + " -o " +
                quoted(folder) + " --overwrite --json </dev/null 2>/dev/null");
  return nlohmann::json::parse(out, nullptr, false);
}

// pstdiff's count of original items found in their own folder; -1 without the tools.
int same_folder(const fs::path& original, const fs::path& recovered) {
  int status = 1;
  test::run(kPython + " -c 'import pypff' >/dev/null 2>&1", &status);
  if (status != 0 || !fs::exists(kPstdiff)) return -1;
  const nlohmann::json diff = nlohmann::json::parse(
      test::run(kPython + " " + quoted(kPstdiff) + " --json " + quoted(original) + " " +
                quoted(recovered) + " 2>/dev/null"),
      nullptr, false);
  return diff.is_object() ? diff.value("same_folder", -1) : -1;
}

class OrphanItems : public ::testing::Test {
 protected:
  void SetUp() override {
    original_ = dir_.path() / "mailbox.pst";
    int status = -1;
    test::run(std::string("'") + PSTORIAN_CLI + "' sample " + quoted(original_) +
                  " --folders 4 --messages 400 >/dev/null 2>&1",
              &status);
    ASSERT_EQ(status, 0);
    bytes_ = read_all(original_);
  }
  fs::path recovered(const std::string& stem) const {
    return dir_.path() / "out" / (stem + " Recovered.pst");
  }

  test::TempDir dir_;
  fs::path original_;
  std::vector<char> bytes_;
};

TEST_F(OrphanItems, AFileCutShortOfEveryLeafPageStillGivesItsMessages) {
  // The node B-tree's pages are written last, at the end of the file.
  std::vector<char> cut(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(bytes_.size() * 8 / 10));
  const fs::path damaged = dir_.path() / "cut.pst";
  write_all(damaged, cut);
  const nlohmann::json summary = repair_json(damaged, dir_.path() / "out");
  ASSERT_TRUE(summary.is_object());
  const int found = summary.value("orphans_found", 0);
  EXPECT_GE(found, 200) << summary.dump();
  EXPECT_EQ(summary.value("mail_items_written", 0), summary.value("items_in_lost_and_found", -1));
  EXPECT_GE(summary.value("mail_items_written", 0), found - 5);
}

TEST_F(OrphanItems, MessagesOfLostLeafPagesGoBackToTheFolderTheirContentsTableNames) {
  // Zero every second node B-tree leaf page that lists only messages: the folders and their
  // contents tables keep their entries, many messages lose theirs.
  std::vector<char> damaged_bytes = bytes_;
  int leaf = 0, zeroed = 0;
  for (std::size_t page = 0x4400; page + 512 <= damaged_bytes.size(); page += 512) {
    const auto* p = reinterpret_cast<const unsigned char*>(damaged_bytes.data() + page);
    const bool nbt_leaf = p[497] == 31 && p[498] == 16 && p[499] == 0 && p[500] == 0x81 &&
                          p[501] == 0x81 && p[496] <= 31;
    // Only pages of message entries, so that the folders themselves survive.
    bool messages_only = nbt_leaf && p[496] > 0;
    for (int e = 0; messages_only && e < p[496]; ++e) messages_only = (p[16 * e] & 0x1F) == 0x04;
    if (messages_only && leaf++ % 2 == 1) {
      std::fill_n(damaged_bytes.begin() + static_cast<std::ptrdiff_t>(page), 512, 0);
      ++zeroed;
    }
  }
  ASSERT_GE(zeroed, 3);
  const fs::path damaged = dir_.path() / "pages.pst";
  write_all(damaged, damaged_bytes);
  const nlohmann::json summary = repair_json(damaged, dir_.path() / "out");
  ASSERT_TRUE(summary.is_object());
  EXPECT_GE(summary.value("orphans_found", 0), 50) << summary.dump();
  EXPECT_GE(summary.value("orphans_placed", 0), 25) << summary.dump();

  const int same = same_folder(original_, recovered("pages"));
  if (same < 0) GTEST_SKIP() << "pypff or pstdiff missing";
  // Every message whose entry survived, and every one a table placed, is in its folder.
  EXPECT_GE(same, 400 - summary.value("orphans_found", 0) + summary.value("orphans_placed", 0) - 5);
}

}  // namespace
}  // namespace pstorian
