// Which version of a node is current: the file's own node B-tree read page by page as a
// trusting reader would (and refused where a page does not check out), and the roles that
// the export writes each version by.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/byte_source.h"
#include "engine/current_versions.h"
#include "engine/pst_scanner.h"
#include "format/layout.h"
#include "pst/ndb/btree_page.h"
#include "pst/ndb/file_header.h"
#include "pst/ndb/store_file.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

// A file of a header, a root page at 0x4800 and two leaf pages below it, in either form.
// The 64-bit form's message names blocks whose ids need more than 32 bits.
class LiveFile {
 public:
  static constexpr Bref kRoot{0x1000, 0x4800};
  static constexpr Bref kLeft{0x1004, 0x4A00};
  static constexpr Bref kRight{0x1008, 0x4C00};
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(0x5000, 0);
  FileForm form;
  std::uint64_t wide;  // added to the message's block ids

  explicit LiveFile(FileForm f = FileForm::kAnsi)
      : form(f), wide(f == FileForm::kUnicode ? 0x300000000 : 0) {
    FileHeader header;
    header.form = form;
    header.nbt = kRoot;
    header.file_eof = bytes.size();
    put(0, build_file_header(header));
    const std::vector<NbtEntry> left{{0x21, 0x100, 0, 0}, {0x122, 0x104, 0, 0x122}};
    const std::vector<NbtEntry> right{{0x200004, wide + 0x10C, wide + 0x110, 0x8022},
                                      {0x200024, 0x114, 0, 0x8022}};
    put_root({{0x21, kLeft}, {0x200004, kRight}});
    put(kLeft.ib, build_nbt_leaf(left, kLeft, form));
    put(kRight.ib, build_nbt_leaf(right, kRight, form));
  }
  void put_root(const std::vector<BTreeChild>& children) {
    put(kRoot.ib, build_intermediate_page(pst::kPageNbt, children, 1, kRoot, form));
  }
  template <typename Bytes>
  void put(std::size_t at, const Bytes& b) {
    std::copy(b.begin(), b.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  }
  LiveNodeIndex read() const { return read_live_nodes(MemorySource(bytes)); }
};

class LiveNodes : public ::testing::TestWithParam<FileForm> {};

TEST_P(LiveNodes, ASoundTreeGivesEveryEntryAndSaysItIsComplete) {
  const LiveFile file(GetParam());
  const LiveNodeIndex live = file.read();
  EXPECT_TRUE(live.root_sound);
  EXPECT_TRUE(live.complete);
  ASSERT_EQ(live.nodes.size(), 4u);
  const LiveNode& message = live.nodes.at(0x200004);
  EXPECT_EQ(message.data_block_id, file.wide + 0x10C);
  EXPECT_EQ(message.subnode_block_id, file.wide + 0x110);
  EXPECT_EQ(message.parent_id, 0x8022u);
  EXPECT_EQ(live.nodes.at(0x122).parent_id, 0x122u);
  EXPECT_TRUE(node_btree_reads_whole(MemorySource(file.bytes)));
}

TEST_P(LiveNodes, APageThatDoesNotCheckOutIsNotRead) {
  {
    LiveFile file(GetParam());  // a leaf page changed after its check value was made
    file.bytes[LiveFile::kRight.ib + 3] ^= 1;
    const LiveNodeIndex live = file.read();
    EXPECT_TRUE(live.root_sound);
    EXPECT_FALSE(live.complete);
    EXPECT_EQ(live.nodes.size(), 2u);
    EXPECT_EQ(live.nodes.count(0x200004), 0u);
    EXPECT_FALSE(node_btree_reads_whole(MemorySource(file.bytes)));
  }
  {
    LiveFile file(GetParam());  // the root page stands at another place than the header says
    file.put(0x4E00, std::vector<std::uint8_t>(file.bytes.begin() + LiveFile::kRoot.ib,
                                               file.bytes.begin() + LiveFile::kRoot.ib + 512));
    std::fill_n(file.bytes.begin() + LiveFile::kRoot.ib, 512, 0);
    const LiveNodeIndex live = file.read();
    EXPECT_FALSE(live.root_sound);
    EXPECT_TRUE(live.nodes.empty());
  }
  {
    LiveFile file(GetParam());  // the header's check value fails
    file.bytes[40] ^= 1;
    EXPECT_FALSE(file.read().root_sound);
  }
  {
    LiveFile file(GetParam());  // the root names itself as its second child
    file.put_root({{0x21, LiveFile::kLeft}, {0x200004, LiveFile::kRoot}});
    const LiveNodeIndex live = file.read();  // read once, then refused
    EXPECT_TRUE(live.root_sound);
    EXPECT_FALSE(live.complete);
    EXPECT_EQ(live.nodes.size(), 2u);
  }
  {
    LiveFile file(GetParam());  // the file ends inside the second leaf page
    file.bytes.resize(LiveFile::kRight.ib + 300);
    const LiveNodeIndex live = file.read();
    EXPECT_TRUE(live.root_sound);
    EXPECT_FALSE(live.complete);
    EXPECT_EQ(live.nodes.size(), 2u);
  }
  EXPECT_FALSE(read_live_nodes(MemorySource(std::vector<std::uint8_t>(100, 0))).root_sound);
}

TEST(LiveNodes, PagesOfTheOtherFormAreNotRead) {
  // The 64-bit header naming pages of the 32-bit form: each page is checked as one of the
  // form the header gives.
  LiveFile file(FileForm::kUnicode);
  const LiveFile narrow(FileForm::kAnsi);
  std::copy(narrow.bytes.begin() + LiveFile::kRoot.ib, narrow.bytes.end(),
            file.bytes.begin() + LiveFile::kRoot.ib);
  EXPECT_FALSE(file.read().root_sound);
}

INSTANTIATE_TEST_SUITE_P(BothForms, LiveNodes,
                         ::testing::Values(FileForm::kAnsi, FileForm::kUnicode),
                         [](const ::testing::TestParamInfo<FileForm>& param) {
                           return std::string(pst::form_name(param.param));
                         });

// A store of the 64-bit form as our own writer leaves it: its node B-tree of several levels
// read back whole, a node it removed no longer named, and that node's earlier version not
// taken as current.
TEST(LiveNodes, AStoreOfTheWideFormWrittenByOurWriterReadsBackWhole) {
  test::TempDir dir;
  const auto path = dir.path() / "wide.pst";
  test::write_file(path, EmptyStoreImage(FileForm::kUnicode));
  std::uint32_t removed = 0;
  std::vector<std::uint8_t> before_removal;
  std::map<std::uint32_t, NbtEntry> expected;
  {
    StoreFile store(path);
    const NbtEntry* model = store.find_node(pst::kNidMessageStore);
    ASSERT_NE(model, nullptr);
    const NbtEntry copy = *model;
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t nid = store.next_nid(pst::kNodeInternal);
      store.put_node({nid, copy.bid_data, copy.bid_sub, 0});
      store.add_reference(copy.bid_data);
      if (i == 150) removed = nid;
    }
    store.commit();
    before_removal = test::read_file(path);
    store.remove_node(removed);
    store.commit();
    ASSERT_GE(store.nbt_levels(), 2u);
    store.for_each_node([&](const NbtEntry& e) { expected[e.nid] = e; });
  }
  const std::vector<std::uint8_t> bytes = test::read_file(path);
  const LiveNodeIndex live = read_live_nodes(MemorySource(bytes));
  EXPECT_TRUE(live.root_sound);
  EXPECT_TRUE(live.complete);
  ASSERT_EQ(live.nodes.size(), expected.size());
  for (const auto& [nid, e] : expected) {
    const auto found = live.nodes.find(nid);
    ASSERT_NE(found, live.nodes.end()) << nid;
    EXPECT_EQ(found->second.data_block_id, e.bid_data) << nid;
    EXPECT_EQ(found->second.subnode_block_id, e.bid_sub) << nid;
    EXPECT_EQ(found->second.parent_id, e.nid_parent) << nid;
  }
  EXPECT_EQ(live.nodes.count(removed), 0u);

  RecoveryTables tables;
  NullProgress progress;
  OpenGate gate;
  CPstScanner scanner(tables, progress, gate);
  // The writer reuses the pages the removal freed, so the node's version comes from the
  // file as it was before: the state a stale page of a damaged file shows.
  ASSERT_EQ(scanner.scan(MemorySource(before_removal)), ScanOutcome::kCompleted);
  ASSERT_NE(tables.objects.find(removed), kNoObject);
  const std::vector<VersionRole> roles = decide_versions(tables, live);
  for (ObjectIndex x = 0; x < tables.objects.size(); ++x)
    EXPECT_TRUE(tables.objects[x].node_id != removed || roles[x] != VersionRole::kCurrent) << x;
  EXPECT_EQ(roles[tables.objects.find(pst::kNidMessageStore)], VersionRole::kCurrent);

  // With its root page damaged the tree says nothing.
  std::vector<std::uint8_t> damaged = bytes;
  const auto header = parse_file_header(damaged);
  ASSERT_TRUE(header.has_value());
  damaged[header->nbt.ib + 7] ^= 0x10;
  EXPECT_FALSE(read_live_nodes(MemorySource(damaged)).root_sound);
}

// Folders 0x8022 and 0x8042 at the top; message 0x200004 in three versions (an earlier one,
// the current one, and the current one again in the folder it was moved from) and message
// 0x200024 twice with the same blocks.
struct Versions {
  RecoveryTables tables;
  ObjectIndex inbox, moved_from, earlier, current, current_again, other, other_again;

  Versions() {
    for (const std::uint32_t id : {0x100u, 0x104u, 0x108u, 0x10Cu, 0x110u, 0x114u})
      tables.blocks.add(id, id * 0x40, 20);
    auto block = [&](std::uint32_t id) { return tables.find_block(id); };
    ObjectTree& tree = tables.objects;
    inbox = tree.create(0x8022, nullptr, block(0x100), true);
    moved_from = tree.create(0x8042, nullptr, block(0x104), true);
    tree.append_top_level(inbox);
    tree.append_top_level(moved_from);
    earlier = tree.create(0x200004, nullptr, block(0x108), true);
    current = tree.create(0x200004, block(0x110), block(0x10C), false);
    current_again = tree.create(0x200004, block(0x110), block(0x10C), true);
    other = tree.create(0x200024, nullptr, block(0x114), true);
    other_again = tree.create(0x200024, nullptr, block(0x114), true);
    tree.append_child(inbox, earlier);
    tree.append_child(inbox, current);
    tree.append_child(inbox, other);
    tree.append_child(moved_from, current_again);
    tree.append_child(moved_from, other_again);
  }
};

TEST(VersionRoles, TheFilesOwnTreeNamesTheCurrentVersion) {
  Versions v;
  LiveNodeIndex live;
  live.root_sound = live.complete = true;
  live.nodes = {{0x8022, {0x100, 0, 0x122}},
                {0x8042, {0x104, 0, 0x122}},
                {0x200004, {0x10C, 0x110, 0x8022}}};
  const std::vector<VersionRole> roles = decide_versions(v.tables, live);
  EXPECT_EQ(roles[v.inbox], VersionRole::kCurrent);
  EXPECT_EQ(roles[v.current], VersionRole::kCurrent);  // its parent is the one named
  EXPECT_EQ(roles[v.current_again], VersionRole::kIdentical);
  EXPECT_EQ(roles[v.earlier], VersionRole::kEarlier);
  // The tree was read whole and no longer holds 0x200024: deleted, kept once.
  EXPECT_EQ(roles[v.other], VersionRole::kUnlisted);
  EXPECT_EQ(roles[v.other_again], VersionRole::kIdentical);

  // A tree read only in part cannot tell a deleted node: the newest version is current.
  live.complete = false;
  const std::vector<VersionRole> partial = decide_versions(v.tables, live);
  EXPECT_EQ(partial[v.current], VersionRole::kCurrent);
  EXPECT_EQ(partial[v.other], VersionRole::kCurrent);
  EXPECT_EQ(partial[v.other_again], VersionRole::kIdentical);
}

TEST(VersionRoles, WithoutTheFilesTreeTheNewestDataBlockIsCurrent) {
  Versions v;
  const std::vector<VersionRole> roles = decide_versions(v.tables, LiveNodeIndex{});
  EXPECT_EQ(roles[v.current], VersionRole::kCurrent);  // 0x10C is newer than 0x108
  EXPECT_EQ(roles[v.earlier], VersionRole::kEarlier);
  EXPECT_EQ(roles[v.current_again], VersionRole::kIdentical);
  EXPECT_EQ(roles[v.other], VersionRole::kCurrent);
  EXPECT_EQ(roles[v.other_again], VersionRole::kIdentical);

  // A tree entry naming a block that was not found: the newest version in the folder the
  // tree names, else the newest of all.
  LiveNodeIndex live;
  live.root_sound = true;
  live.nodes = {{0x200004, {0x200, 0, 0x8042}}};
  std::vector<VersionRole> lost = decide_versions(v.tables, live);
  EXPECT_EQ(lost[v.current_again], VersionRole::kCurrent);
  EXPECT_EQ(lost[v.current], VersionRole::kIdentical);
  live.nodes = {{0x200004, {0x200, 0, 0x8062}}};
  lost = decide_versions(v.tables, live);
  EXPECT_EQ(lost[v.current], VersionRole::kCurrent);
  EXPECT_EQ(lost[v.earlier], VersionRole::kEarlier);
}

TEST(VersionRoles, BlockIdsOfTheWideFormAreComparedWhole) {
  // The tree names the older of two versions whose block ids differ only above 32 bits
  // from ids the tree does not name.
  RecoveryTables tables;
  constexpr std::uint64_t kHigh = 0x200000000;
  for (const std::uint64_t id : {0x100u, 0x108u, 0x10Cu, 0x110u})
    tables.blocks.add(kHigh + id, id * 0x40, 20);
  tables.blocks.add(0x108, 0x9000, 20);
  ObjectTree& tree = tables.objects;
  const ObjectIndex folder = tree.create(0x8022, nullptr, tables.find_block(kHigh + 0x100), true);
  tree.append_top_level(folder);
  const ObjectIndex older =
      tree.create(0x200004, tables.find_block(kHigh + 0x110), tables.find_block(kHigh + 0x108), true);
  const ObjectIndex newer = tree.create(0x200004, nullptr, tables.find_block(kHigh + 0x10C), true);
  const ObjectIndex narrow = tree.create(0x200004, nullptr, tables.find_block(0x108), true);
  for (const ObjectIndex x : {older, newer, narrow}) tree.append_child(folder, x);
  LiveNodeIndex live;
  live.root_sound = live.complete = true;
  live.nodes = {{0x8022, {kHigh + 0x100, 0, 0x122}},
                {0x200004, {kHigh + 0x108 + 1, kHigh + 0x110, 0x8022}}};
  const std::vector<VersionRole> roles = decide_versions(tables, live);
  EXPECT_EQ(roles[older], VersionRole::kCurrent);
  EXPECT_EQ(roles[newer], VersionRole::kEarlier);
  EXPECT_EQ(roles[narrow], VersionRole::kEarlier);
}

TEST(VersionRoles, WithoutTheFilesTreeTheFolderWhoseContentsTableListsTheNodeHoldsIt) {
  // The message was moved: both folders hold its newest blocks, and only the table of the
  // folder it went to lists it.
  Versions v;
  ContentsListings listings{{0x8042, {0x200004, 0x200024}}, {0x8022, {0x200044}}};
  std::vector<VersionRole> roles = decide_versions(v.tables, LiveNodeIndex{}, listings);
  EXPECT_EQ(roles[v.current_again], VersionRole::kCurrent);
  EXPECT_EQ(roles[v.current], VersionRole::kIdentical);
  EXPECT_EQ(roles[v.earlier], VersionRole::kEarlier);
  EXPECT_EQ(roles[v.other_again], VersionRole::kCurrent);

  // Listed in a folder only by an earlier version: among the listed ones the newest counts
  // before any unlisted one.
  listings = {{0x8022, {0x200004}}};
  roles = decide_versions(v.tables, LiveNodeIndex{}, listings);
  EXPECT_EQ(roles[v.current], VersionRole::kCurrent);
  EXPECT_EQ(roles[v.earlier], VersionRole::kEarlier);

  // The file's own tree still comes first.
  LiveNodeIndex live;
  live.root_sound = true;
  live.nodes = {{0x200004, {0x10C, 0x110, 0x8022}}};
  roles = decide_versions(v.tables, live, {{0x8042, {0x200004}}});
  EXPECT_EQ(roles[v.current], VersionRole::kCurrent);
}

}  // namespace
}  // namespace pstorian
