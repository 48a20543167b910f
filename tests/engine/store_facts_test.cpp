// The file's own account of itself: the folders its message store names, and the code page
// its messages (else its locale) give for the 8-bit texts.
#include "engine/store_facts.h"

#include <gtest/gtest.h>

#include "engine/synthetic_file.h"
#include "format/endian.h"

namespace pstorian {
namespace {

using testing::PcProp;

PcProp number(std::uint16_t id, std::uint32_t value) {
  return PcProp{id, 0x0003, value, std::nullopt};
}
PcProp binary(std::uint16_t id, Bytes value) {
  return PcProp{id, 0x0102, 0, std::move(value)};
}
// An entry id of this store: flags, the record key, the node id.
Bytes entry_id(std::uint32_t nid) {
  Bytes id(20, 0x11);
  const Bytes tail = testing::le32_bytes(nid);
  id.insert(id.end(), tail.begin(), tail.end());
  return id;
}

class StoreFactsTest : public ::testing::Test {
 protected:
  // Adds a version of node `nid` in a block of id `block` (the next id when 0).
  void add(std::uint32_t nid, const std::vector<PcProp>& props, std::uint32_t block = 0) {
    if (block == 0) block = next_block_ += 4;
    file.add_block(block, testing::property_context(props));
    file.tables.objects.append_top_level(
        file.tables.objects.create(nid, nullptr, file.tables.find_block(block), true));
  }
  StoreRoles roles() {
    const MemorySource source = file.source();
    return read_store_roles(NodeReader(source, file.tables));
  }
  std::optional<std::string> codepage() {
    const MemorySource source = file.source();
    return file_codepage(NodeReader(source, file.tables));
  }

  testing::SyntheticFile file;
  std::uint32_t next_block_ = 0x40;
};

TEST_F(StoreFactsTest, TheStoreNamesItsStructuralFoldersByEntryId) {
  add(0x21, {binary(0x35E0, entry_id(0x8042)), binary(0x35E3, entry_id(0x8102)),
             binary(0x35E7, entry_id(0x8062)), binary(0x35E6, Bytes(16, 0))});
  const StoreRoles r = roles();
  EXPECT_EQ(r.ipm_subtree, 0x8042u);
  EXPECT_EQ(r.wastebasket, 0x8102u);
  EXPECT_EQ(r.finder, 0x8062u);
  EXPECT_EQ(r.common_views, std::nullopt);  // no entry id of 24 bytes
  // The deleted items are the user's folder; the default top is not one when the store
  // names another.
  EXPECT_EQ(structural_folder_nodes(r), (std::vector<std::uint32_t>{0x122, 0x8042, 0x8062}));
}

// The store's node is rewritten as folders are made, and its earlier states survive in the
// file: the version found first may predate the folders (a French store's search root then
// came back as a folder of the user's). Each role comes from the newest version naming it.
TEST_F(StoreFactsTest, EachRoleComesFromTheNewestVersionOfTheStoreThatNamesIt) {
  add(0x21, {number(0x66A1, 0x040C)}, 0x100);  // before any folder was made
  add(0x21, {binary(0x35E0, entry_id(0x8022)), binary(0x35E7, entry_id(0x8062))}, 0x300);
  add(0x21, {binary(0x35E7, entry_id(0x8042)), binary(0x35E3, entry_id(0x8102))}, 0x200);
  const StoreRoles r = roles();
  EXPECT_EQ(r.ipm_subtree, 0x8022u);
  EXPECT_EQ(r.finder, 0x8062u);       // the newest says so, not the one found last
  EXPECT_EQ(r.wastebasket, 0x8102u);  // only an earlier version names it
  EXPECT_EQ(structural_folder_nodes(r), (std::vector<std::uint32_t>{0x122, 0x8022, 0x8062}));
  EXPECT_EQ(codepage(), "WINDOWS-1252");  // the store's locale, from the version that has one
}

TEST_F(StoreFactsTest, WithoutTheStoreTheRootAndTheUsualTopAreStructural) {
  EXPECT_EQ(roles().ipm_subtree, std::nullopt);
  EXPECT_EQ(structural_folder_nodes(roles()), (std::vector<std::uint32_t>{0x122, 0x8022}));
  EXPECT_EQ(codepage(), std::nullopt);
}

TEST_F(StoreFactsTest, TheMessagesVoteForTheirCodePage) {
  add(0x21, {number(0x66A1, 0x0419)});  // a Russian locale, outvoted by the messages
  add(0x200024, {number(0x3FFD, 932)});
  add(0x200044, {number(0x3FDE, 50220)});            // ISO-2022-JP: stored as 932
  add(0x200064, {number(0x3FFD, 65001), number(0x3FF1, 0x0411)});  // Unicode: the locale says
  add(0x200084, {number(0x3FFD, 1252)});
  add(0x2000A4, {number(0x3FFD, 1200)});  // says nothing of 8-bit texts
  EXPECT_EQ(codepage(), "CP932");
  // The fields of a file of the 64-bit form hold its Unicode text narrowed to Windows-1252.
  file.tables.form = pst::FileForm::kUnicode;
  EXPECT_EQ(codepage(), "WINDOWS-1252");
}

// Counts what is read through it.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(const ByteSource& inner) : inner_(inner) {}
  std::uint64_t size() const override { return inner_.size(); }
  void read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    read += out.size();
    inner_.read_at(offset, out);
  }
  mutable std::uint64_t read = 0;

 private:
  const ByteSource& inner_;
};

TEST_F(StoreFactsTest, TheGuessReadsTheRecordsOfEachMessageAndNoneOfItsValues) {
  // Messages whose bodies fill the file, one of them a tree naming its block a thousand
  // times: the code page lies in their records, and the bodies are never read.
  Bytes tree(8, 0);
  tree[0] = 0x01;
  tree[1] = 0x01;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    const std::uint32_t piece = 0x1000 + 4 * (i % 500);
    if (i < 500) file.add_block(piece, Bytes(8000, 0x41));
    const Bytes id = testing::le32_bytes(piece);
    tree.insert(tree.end(), id.begin(), id.end());
  }
  pst::store_le16(tree, 2, 1000);
  file.add_block(0x802, tree);
  file.add_block(0x806, testing::subnode_block({{{0x8001, 0x802, 0}}}));
  for (std::uint32_t m = 0; m < 4; ++m) {
    const std::uint32_t block = next_block_ += 4;
    file.add_block(block, testing::property_context(
                              {PcProp{0x1000, 0x001E, 0x8001}, number(0x3FFD, 1251)}));
    file.tables.objects.append_top_level(file.tables.objects.create(
        0x200024 + 0x20 * m, file.tables.find_block(0x806), file.tables.find_block(block), true));
  }
  const MemorySource source = file.source();
  const CountingSource counting(source);
  EXPECT_EQ(file_codepage(NodeReader(counting, file.tables)), "WINDOWS-1251");
  EXPECT_LT(counting.read, 4096u);
  EXPECT_GT(source.size(), 4'000'000u);
}

TEST_F(StoreFactsTest, WithoutMessagesThatSayTheStoresLocaleDecides) {
  add(0x21, {number(0x66A1, 0x0419)});
  add(0x200024, {number(0x0E07, 1)});
  EXPECT_EQ(codepage(), "WINDOWS-1251");
}

TEST(CodepageNamesTest, WindowsAndInternetCodePagesAndLocales) {
  EXPECT_EQ(codepage_name(932), "CP932");
  EXPECT_EQ(codepage_name(1250), "WINDOWS-1250");
  EXPECT_EQ(codepage_name(1258), "WINDOWS-1258");
  EXPECT_EQ(codepage_name(51932), "CP932");
  EXPECT_EQ(codepage_name(20866), "WINDOWS-1251");
  EXPECT_EQ(codepage_name(28591), "WINDOWS-1252");
  EXPECT_EQ(codepage_name(65001), std::nullopt);
  EXPECT_EQ(codepage_name(1200), std::nullopt);
  EXPECT_EQ(codepage_name(1259), std::nullopt);

  EXPECT_EQ(locale_codepage(0x0411), 932u);
  EXPECT_EQ(locale_codepage(0x0804), 936u);
  EXPECT_EQ(locale_codepage(0x0404), 950u);
  EXPECT_EQ(locale_codepage(0x0412), 949u);
  EXPECT_EQ(locale_codepage(0x0C1A), 1251u);
  EXPECT_EQ(locale_codepage(0x041A), 1250u);
  EXPECT_EQ(locale_codepage(0x0409), 1252u);
  EXPECT_EQ(locale_codepage(0x0000), 1252u);

  EXPECT_EQ(entry_id_node(entry_id(0x8022)), 0x8022u);
  EXPECT_EQ(entry_id_node(Bytes(23, 0)), std::nullopt);
}

}  // namespace
}  // namespace pstorian
