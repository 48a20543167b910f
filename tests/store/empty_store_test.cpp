// The empty store image: its fixed check values, its allocation maps, its two B-trees and
// what other readers of the format make of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "format/crc.h"
#include "format/endian.h"
#include "format/signature.h"
#include "pst/heap_reader.h"
#include "store/empty_store_image.h"
#include "temp_dir.h"

namespace pstorian {
namespace {

using Image = std::span<const std::uint8_t>;

struct Node {
  std::uint32_t bid_data, bid_sub, parent;
};

// Walks a B-tree from its root page and collects the leaf entries, checking every page's
// trailer on the way.
template <typename Visit>
void walk(Image img, std::uint32_t bid, std::uint32_t ib, std::uint8_t ptype, Visit visit) {
  const auto page = img.subspan(ib, 512);
  ASSERT_EQ(page[500], ptype);
  ASSERT_EQ(pst::load_le16(page, 502), pst::block_signature(ib, bid));
  ASSERT_EQ(pst::load_le32(page, 504), bid);
  ASSERT_EQ(pst::load_le32(page, 508), pst::crc32(page.first(500)));
  for (std::size_t i = 0; i < page[496]; ++i) {
    const auto e = page.subspan(i * page[498], page[498]);
    if (page[499] == 0)
      visit(e);
    else
      walk(img, pst::load_le32(e, 4), pst::load_le32(e, 8), ptype, visit);
  }
}

std::map<std::uint32_t, Node> nodes(Image img) {
  std::map<std::uint32_t, Node> out;
  walk(img, pst::load_le32(img, 184), pst::load_le32(img, 188), 0x81, [&](Image e) {
    out[pst::load_le32(e, 0)] = {pst::load_le32(e, 4), pst::load_le32(e, 8), pst::load_le32(e, 12)};
  });
  return out;
}

using BlockEntry = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t>;

std::vector<BlockEntry> blocks(Image img) {
  std::vector<BlockEntry> out;
  walk(img, pst::load_le32(img, 192), pst::load_le32(img, 196), 0x80, [&](Image e) {
    out.emplace_back(pst::load_le32(e, 0), pst::load_le32(e, 4), pst::load_le16(e, 8),
                     pst::load_le16(e, 10));
  });
  return out;
}

std::vector<std::uint8_t> block_data(Image img, std::uint32_t bid) {
  for (const auto& [id, ib, cb, cref] : blocks(img))
    if (id == bid) return {img.begin() + ib, img.begin() + ib + cb};
  return {};
}

std::size_t zero_bits(Image bits) {
  std::size_t n = 0;
  for (const auto b : bits) n += static_cast<std::size_t>(8 - std::popcount(b));
  return n;
}

TEST(EmptyStoreImage, IsTheFixedFileWithItsCheckValues) {
  const Image img = EmptyStoreImage();
  ASSERT_EQ(img.size(), 49152u);
  EXPECT_EQ(std::string(img.begin(), img.begin() + 4), "!BDN");
  EXPECT_EQ(pst::load_le32(img, 168), img.size());  // ibFileEof
  EXPECT_EQ(pst::load_le32(img, 4), 0x1A006362u);   // dwCRCPartial
  EXPECT_EQ(pst::load_le32(img, 0x4400 + 508), 0x1DC8C922u);
  EXPECT_EQ(pst::load_le32(img, 0x4600 + 508), 0x6D893EB0u);
  const std::vector<std::uint8_t> pmap_end = {0xFF, 0xFF, 0xFF, 0xFF, 0x83, 0x83, 0x00, 0x00,
                                              0x00, 0x46, 0x00, 0x00, 0xB0, 0x3E, 0x89, 0x6D};
  EXPECT_EQ(std::vector<std::uint8_t>(img.begin() + 0x47F0, img.begin() + 0x4800), pmap_end);
  // The free page at 0x4A00 is an empty BBT leaf: wSig 0x4A02, dwCRC 0x9B293263.
  const std::vector<std::uint8_t> free_page_end = {0x00, 0x29, 0x0C, 0x00, 0x80, 0x80, 0x02, 0x4A,
                                                   0x02, 0x00, 0x00, 0x00, 0x63, 0x32, 0x29, 0x9B};
  EXPECT_EQ(std::vector<std::uint8_t>(img.begin() + 0x4BF0, img.begin() + 0x4C00), free_page_end);
  EXPECT_EQ(img[461], 0);  // not encoded
  EXPECT_TRUE(std::all_of(img.begin() + 0x8D40, img.end(), [](auto b) { return b == 0; }));
  EXPECT_EQ(EmptyStoreImage().data(), img.data());  // built once
}

TEST(EmptyStoreImage, AllocationMapsAgreeWithTheHeaderAndTheContent) {
  const Image img = EmptyStoreImage();
  // AMap bits inside the file: 0x4400..0xBFFF is 496 units, of which 241 free.
  const Image amap = img.subspan(0x4404, 496);
  EXPECT_EQ(zero_bits(amap.first(496 / 8)), 241u);
  EXPECT_EQ(zero_bits(amap), 241u);  // everything past the end of file is marked allocated
  EXPECT_EQ(pst::load_le32(img, 176), 241u * 64);
  const Image pmap = img.subspan(0x4604, 496);
  EXPECT_EQ(zero_bits(pmap), 11u);
  EXPECT_EQ(pst::load_le32(img, 180), 11u * 512);
  EXPECT_EQ(pmap[0], 0xE1);
  EXPECT_EQ(pmap[2], 0xA4);

  auto allocated = [&](std::uint32_t ib, std::uint32_t size) {
    for (std::uint32_t u = (ib - 0x4400) / 64; u <= (ib + size - 1 - 0x4400) / 64; ++u)
      if ((amap[u / 8] & (0x80 >> (u % 8))) == 0) return false;
    return true;
  };
  for (const auto& [bid, ib, cb, cref] : blocks(img))
    EXPECT_TRUE(allocated(ib, cb + 12u)) << std::hex << bid;
  for (const std::uint32_t page : {0x4800u, 0x5200u, 0x5600u, 0x6800u, 0x6E00u})
    EXPECT_TRUE(allocated(page, 512)) << std::hex << page;
}

TEST(EmptyStoreImage, BlockTableIsTheListedOne) {
  // bid, offset, data size, reference count: the sizes come out of the heap layout.
  const std::vector<BlockEntry> expected = {
      {0x4, 0x5800, 100, 15},  {0x8, 0x5880, 172, 15},  {0xC, 0x5940, 172, 16},
      {0x10, 0x5A00, 188, 3},  {0x14, 0x5B00, 164, 2},  {0x18, 0x5BC0, 100, 2},
      {0x1C, 0x5C40, 92, 2},   {0x48, 0x63C0, 108, 2},  {0x50, 0x6280, 96, 2},
      {0x58, 0x6440, 84, 2},   {0x74, 0x7700, 94, 2},   {0x7C, 0x7780, 102, 2},
      {0x84, 0x7600, 202, 2},  {0x88, 0x6300, 82, 2},   {0x90, 0x7900, 88, 2},
      {0x98, 0x7980, 336, 2},  {0xA0, 0x7B00, 236, 2},  {0xAC, 0x5E80, 124, 2},
      {0xC0, 0x5CC0, 120, 2},  {0xD4, 0x7C00, 118, 2},  {0xE8, 0x7D80, 116, 2},
      {0xFC, 0x7CC0, 110, 2},  {0x118, 0x8380, 322, 2}, {0x11C, 0x6100, 108, 2},
      {0x174, 0x5E00, 16, 2},  {0x194, 0x7E80, 112, 2}, {0x198, 0x8180, 330, 2},
      {0x19C, 0x8600, 300, 2}, {0x1A0, 0x5D80, 4, 2},   {0x1A8, 0x7F00, 204, 2},
      {0x1AC, 0x8500, 204, 2}, {0x1B0, 0x8940, 360, 2}, {0x1B4, 0x8000, 236, 2},
      {0x1B8, 0x8AC0, 604, 2},
  };
  const Image img = EmptyStoreImage();
  EXPECT_EQ(blocks(img), expected);
  for (const auto& [bid, ib, cb, cref] : blocks(img)) {
    const std::uint32_t t = ib + (cb + 12u + 63) / 64 * 64 - 12;
    EXPECT_EQ(pst::load_le16(img, t), cb);
    EXPECT_EQ(pst::load_le16(img, t + 2), pst::block_signature(ib, bid));
    EXPECT_EQ(pst::load_le32(img, t + 4), bid);
    EXPECT_EQ(pst::load_le32(img, t + 8), pst::crc32(img.subspan(ib, cb))) << std::hex << bid;
  }
}

TEST(EmptyStoreImage, NodeTreeHoldsEveryFolderUnderItsParent) {
  const Image img = EmptyStoreImage();
  EXPECT_EQ(pst::load_le32(img, 184), 0x11Du);
  const auto root = img.subspan(0x6E00, 512);
  EXPECT_EQ(root[499], 1);
  EXPECT_EQ(pst::load_le32(root, 12), 0x806Fu);
  EXPECT_EQ(pst::load_le32(root, 24), 0x814Fu);

  const auto all = nodes(img);
  EXPECT_EQ(all.size(), 77u);
  EXPECT_EQ(all.at(0x122).parent, 0x122u);  // the root folder is its own parent
  std::set<std::uint32_t> folders;
  for (const auto& [nid, n] : all) {
    const auto type = nid & 0x1F;
    EXPECT_EQ(n.bid_sub, 0u);
    if (type != 0x02 && type != 0x03) {
      EXPECT_EQ(n.parent, 0u) << std::hex << nid;
      continue;
    }
    folders.insert(nid);
    ASSERT_TRUE(all.contains(n.parent)) << std::hex << nid;
    EXPECT_EQ(n.parent & 0x1F, 0x02u);
    if (type != 0x02) continue;
    for (const std::uint32_t table : {0xBu, 0xCu, 0xDu})
      EXPECT_TRUE(all.contains(nid + table)) << std::hex << nid + table;
  }
  EXPECT_EQ(folders.size(), 16u);
}

std::string text_at(const test::HeapReader& heap, std::uint32_t hid) {
  if (hid == 0) return "";
  const auto s = heap.get(hid);
  return {s.begin(), s.end()};
}

TEST(EmptyStoreImage, NamesTheStoreAndListsTheTenFolders) {
  const Image img = EmptyStoreImage();
  const test::HeapReader store({block_data(img, 0x98)});
  const auto props = store.bth(store.user_root());
  EXPECT_EQ(text_at(store, pst::load_le32(props.at(0x3001), 2)), "Personal Folders");
  const auto subtree = store.get(pst::load_le32(props.at(0x35E0), 2));
  EXPECT_EQ(pst::load_le32(subtree, 20), 0x8022u);

  const test::HeapReader table({block_data(img, nodes(img).at(0x802D).bid_data)});
  const auto info = table.get(table.user_root());
  const std::size_t row_size = pst::load_le16(info, 8);
  const auto matrix = table.get(pst::load_le32(info, 14));
  std::vector<std::string> names;
  for (std::size_t at = 0; at < matrix.size(); at += row_size)
    names.push_back(text_at(table, pst::load_le32(matrix, at + 8)));
  const std::vector<std::string> expected = {"Deleted Items", "Inbox",    "Outbox",  "Sent Items",
                                             "Calendar",      "Contacts", "Journal", "Notes",
                                             "Tasks",         "Drafts"};
  EXPECT_EQ(names, expected);
}

// Readers take a map stream stored as no value (HNID 0) for one kept in a subnode, and fail
// at open: the GUID, entry and string streams are all values, and the string stream names
// what the entry stream says it does.
TEST(EmptyStoreImage, NameToIdMapHoldsEveryStreamAsAValue) {
  const Image img = EmptyStoreImage();
  const test::HeapReader map({block_data(img, 0x1B0)});
  const auto props = map.bth(map.user_root());
  std::map<int, std::vector<std::uint8_t>> streams;
  for (const int id : {2, 3, 4}) {
    const std::uint32_t hnid = pst::load_le32(props.at(static_cast<std::uint64_t>(id)), 2);
    ASSERT_NE(hnid, 0u) << id;
    const auto value = map.get(hnid);
    streams[id].assign(value.begin(), value.end());
    EXPECT_FALSE(streams[id].empty()) << id;
  }
  const auto& entries = streams[3];
  const auto& strings = streams[4];
  ASSERT_EQ(entries.size(), 8u * 8);
  const std::size_t last = entries.size() - 8;
  EXPECT_EQ(pst::load_le16(entries, last + 4), 2 << 1 | 1);  // PS_PUBLIC_STRINGS, by string
  EXPECT_EQ(pst::load_le16(entries, last + 6), 7);
  const std::uint32_t at = pst::load_le32(entries, last);
  ASSERT_LE(at + 4 + 16, strings.size());
  EXPECT_EQ(pst::load_le32(strings, at), 16u);
  std::string name;
  for (std::size_t i = 0; i < 16; i += 2) name += static_cast<char>(strings[at + 4 + i]);
  EXPECT_EQ(name, "Keywords");
}

std::string form_test_name(const ::testing::TestParamInfo<FileForm>& param) {
  return std::string(pst::form_name(param.param));
}

// The file of either form: the 64-bit one holds the same nodes and folders.
class EmptyStoreFile : public ::testing::TestWithParam<FileForm> {
 protected:
  void SetUp() override {
    file_ = dir_.path() / "empty.pst";
    test::write_file(file_, EmptyStoreImage(GetParam()));
  }
  test::TempDir dir_;
  std::filesystem::path file_;
};

TEST_P(EmptyStoreFile, StructuralCheckerFindsNothingWrong) {
  const std::string tool = PSTORIAN_SHARED_DIR "/tools/pstcheck.py";
  if (!std::filesystem::exists(tool)) GTEST_SKIP() << "pstcheck.py not found";
  int status = -1;
  const std::string out = test::run("python3 '" + tool + "' '" + file_.string() + "'", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("pstcheck: 0 errors, 0 warnings, 77 nodes, 34 blocks"), std::string::npos)
      << out;
}

const char* const kTenFolders[] = {"Deleted Items", "Inbox",   "Outbox", "Sent Items", "Calendar",
                                   "Contacts",      "Journal", "Notes",  "Tasks",      "Drafts"};

TEST_P(EmptyStoreFile, LibpffExportsTheTenFolders) {
  if (!test::have_program("pffexport")) GTEST_SKIP() << "pffexport not installed";
  int status = -1;
  const std::string info = test::run("pffinfo '" + file_.string() + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << info;
  EXPECT_NE(info.find(GetParam() == FileForm::kUnicode ? "64-bit" : "32-bit"), std::string::npos)
      << info;

  const auto target = dir_.path() / "export";
  const std::string out =
      test::run("pffexport -q -t '" + target.string() + "' '" + file_.string() + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  const auto top = dir_.path() / "export.export" / "Top of Personal Folders";
  for (const char* name : kTenFolders)
    EXPECT_TRUE(std::filesystem::is_directory(top / name)) << name << "\n" << out;
}

TEST_P(EmptyStoreFile, LibpstReadsTheStoreNameAndTheTenFolders) {
  if (!test::have_program("readpst")) GTEST_SKIP() << "readpst not installed";
  const auto target = dir_.path() / "readpst";
  std::filesystem::create_directory(target);
  int status = -1;
  const std::string out =
      test::run("readpst -o '" + target.string() + "' '" + file_.string() + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("\"Personal Folders\" - 10 items done"), std::string::npos) << out;
  for (const char* name : kTenFolders)
    EXPECT_NE(out.find("Processing Folder \"" + std::string(name) + "\""), std::string::npos)
        << name << "\n"
        << out;
}

INSTANTIATE_TEST_SUITE_P(BothForms, EmptyStoreFile,
                         ::testing::Values(FileForm::kAnsi, FileForm::kUnicode),
                         form_test_name);

}  // namespace
}  // namespace pstorian
