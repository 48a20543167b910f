// Items whose node B-tree entries were lost with their leaf pages: their property blocks are
// still in the file, and a repair finds them, places them by their folders' contents tables
// where those survived, and puts the rest into Lost&Found. Made from our own sample, so it
// runs without the corpus; the comparison with the original needs pypff and pstdiff.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
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

// pstdiff's comparison of the two files; null without the tools.
nlohmann::json pstdiff(const fs::path& original, const fs::path& recovered) {
  int status = 1;
  test::run(kPython + " -c 'import pypff' >/dev/null 2>&1", &status);
  if (status != 0 || !fs::exists(kPstdiff)) return nullptr;
  nlohmann::json diff = nlohmann::json::parse(
      test::run(kPython + " " + quoted(kPstdiff) + " --json " + quoted(original) + " " +
                quoted(recovered) + " 2>/dev/null"),
      nullptr, false);
  return diff.is_object() ? diff : nullptr;
}

// pstdiff's count of original items found in their own folder; -1 without the tools.
int same_folder(const fs::path& original, const fs::path& recovered) {
  const nlohmann::json diff = pstdiff(original, recovered);
  return diff.is_object() ? diff.value("same_folder", -1) : -1;
}

// Whether the 512 bytes at `p` are a node B-tree leaf page of the form, and the node id of
// each of its entries.
struct LeafPage {
  bool leaf = false;
  std::vector<std::uint32_t> nodes;
};
LeafPage leaf_page(const unsigned char* p, bool unicode) {
  // The counts follow the entries; the page type follows them (and 4 bytes of padding in
  // the 64-bit form).
  const std::size_t counts = unicode ? 488 : 496, type = unicode ? 496 : 500;
  const unsigned max = unicode ? 15 : 31, size = unicode ? 32 : 16;
  LeafPage page;
  page.leaf = p[counts + 1] == max && p[counts + 2] == size && p[counts + 3] == 0 &&
              p[type] == 0x81 && p[type + 1] == 0x81 && p[counts] <= max;
  for (unsigned e = 0; page.leaf && e < p[counts]; ++e)
    page.nodes.push_back(static_cast<std::uint32_t>(p[size * e] | p[size * e + 1] << 8 |
                                                    p[size * e + 2] << 16 |
                                                    static_cast<unsigned>(p[size * e + 3]) << 24));
  return page;
}

// Zeroes every `every`th node B-tree leaf page that lists only messages, so that the folders
// and their contents tables keep their entries; returns how many.
int zero_message_leaf_pages(std::vector<char>& bytes, bool unicode, int every) {
  int leaf = 0, zeroed = 0;
  for (std::size_t page = 0x4400; page + 512 <= bytes.size(); page += 512) {
    const LeafPage p =
        leaf_page(reinterpret_cast<const unsigned char*>(bytes.data() + page), unicode);
    bool messages_only = p.leaf && !p.nodes.empty();
    for (const std::uint32_t node : p.nodes) messages_only &= (node & 0x1F) == 0x04;
    if (messages_only && leaf++ % every == every - 1) {
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(page), 512, 0);
      ++zeroed;
    }
  }
  return zeroed;
}

// Made in each form of the file; the parameter is whether it is the 64-bit one.
class OrphanItems : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    original_ = dir_.path() / "mailbox.pst";
    int status = -1;
    test::run(std::string("'") + PSTORIAN_CLI + "' sample " + quoted(original_) +
                  " --folders 4 --messages 400" + (GetParam() ? " --unicode" : "") +
                  " >/dev/null 2>&1",
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

TEST_P(OrphanItems, AFileCutShortOfEveryLeafPageStillGivesItsMessages) {
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

TEST_P(OrphanItems, MessagesOfLostLeafPagesGoBackToTheFolderTheirContentsTableNames) {
  // Zero every second node B-tree leaf page that lists only messages: the folders and their
  // contents tables keep their entries, many messages lose theirs.
  std::vector<char> damaged_bytes = bytes_;
  const int zeroed = zero_message_leaf_pages(damaged_bytes, GetParam(), 2);
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

// A file of the cyclic encoding, whose blocks are each encoded with their own id as the key:
// a block is recognised as a message's by its decoded first bytes. Its writer gave each
// message subnode ids of its own, so each orphan gets back the subnode tree its lost entry
// named, and with it its long bodies and attachments.
TEST(OrphanItemsOfTheCorpus, MessagesOfACyclicallyEncodedFileComeBackWhole) {
  const fs::path original =
      fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "unicode" / "outlook2003-cyclic-36-messages.pst";
  if (!fs::exists(original)) GTEST_SKIP() << "corpus missing";
  test::TempDir dir;
  std::vector<char> bytes = read_all(original);
  ASSERT_GE(zero_message_leaf_pages(bytes, true, 1), 1);
  const fs::path damaged = dir.path() / "cyclic.pst";
  write_all(damaged, bytes);
  const nlohmann::json summary = repair_json(damaged, dir.path() / "out");
  ASSERT_TRUE(summary.is_object());
  EXPECT_GE(summary.value("orphans_found", 0), 20) << summary.dump();
  EXPECT_GE(summary.value("orphans_placed", 0), 20) << summary.dump();
  // Without their trees the orphans keep 81 of the file's 284 attachments.
  EXPECT_GE(summary.value("attachments_written", 0), 240) << summary.dump();

  const nlohmann::json diff = pstdiff(original, dir.path() / "out" / "cyclic Recovered.pst");
  if (diff.is_null()) GTEST_SKIP() << "pypff or pstdiff missing";
  EXPECT_GE(diff.value("attachments_equal", 0), 240) << diff.dump();
  EXPECT_GE(diff.value("bodies_equal", 0), 55) << diff.dump();
}

INSTANTIATE_TEST_SUITE_P(BothForms, OrphanItems, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "unicode" : "ansi");
                         });

}  // namespace
}  // namespace pstorian
