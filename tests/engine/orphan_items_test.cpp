// Orphaned items found among the blocks no node uses: the folder and node id a contents table
// row gives one, and the subnode tree it gets back (the one unused subnode block that holds
// every subnode its property context names, and only when no other block and no other
// orphan fits as well, so that no item is given another's body or attachments).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/contents_tables.h"
#include "engine/item_extraction.h"
#include "engine/orphan_items.h"
#include "format/endian.h"
#include "synthetic_node.h"

namespace pstorian {
namespace {

using testing::NodeBuilder;
using testing::PcProp;
using testing::SyntheticFile;

Bytes bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

class OrphanSubnodes : public ::testing::Test {
 protected:
  // A message of `subject` whose body is kept in subnode `body_nid`, its property context in
  // a block and its subnode tree (holding the body and `extra` more subnodes) in another, no
  // node naming either. Returns the subnode block's id.
  std::uint32_t add_message(const std::string& subject, std::uint32_t body_nid,
                            const std::vector<std::uint32_t>& extra = {}) {
    NodeBuilder tree(file_);
    tree.add_subnode(body_nid, {bytes_of("the body of " + subject)});
    for (const std::uint32_t nid : extra) tree.add_subnode(nid, {bytes_of("row data")});
    file_.add_block(file_.new_block_id(false),
                    testing::property_context({{0x001A, 0x001E, 0, bytes_of("IPM.Note")},
                                               {0x0037, 0x001E, 0, bytes_of(subject)},
                                               {0x1000, 0x001E, body_nid}}));
    return tree.write_subnode_tree();
  }

  // The body each orphan was given, by subject; "" without a subnode tree.
  std::map<std::string, std::string> bodies() {
    const MemorySource source = file_.source();
    const NodeReader reader(source, file_.tables);
    add_orphaned_items(source, reader, file_.tables, {});
    std::map<std::string, std::string> out;
    for (ObjectIndex x = 0; x < file_.tables.objects.size(); ++x) {
      const std::optional<ItemRecord> item = decode_item(reader, file_.tables.objects[x]);
      if (!item || !item->content) continue;
      const ContentProperty* subject = cell_of(item->content->properties, 0x0037);
      const ContentProperty* body = cell_of(item->content->properties, 0x1000);
      if (subject == nullptr) continue;
      out[std::string(subject->value.begin(), subject->value.end())] =
          body ? std::string(body->value.begin(), body->value.end()) : "";
    }
    return out;
  }

  SyntheticFile file_;
};

TEST_F(OrphanSubnodes, EachOrphanGetsTheTreeThatHoldsItsOwnSubnodes) {
  // Ids of their own, as a writer counting for the whole file gives them; the second
  // message's tree holds more than its body.
  add_message("first", 0x805F);
  add_message("second", 0x80BF, {0x692, 0x671});
  const auto got = bodies();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got.at("first"), "the body of first");
  EXPECT_EQ(got.at("second"), "the body of second");
}

TEST_F(OrphanSubnodes, WhereSubnodeIdsRepeatNoTreeIsGiven) {
  // Two messages whose bodies share one subnode id: either tree fits either message.
  add_message("first", 0x3F);
  add_message("second", 0x3F);
  const auto got = bodies();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got.at("first"), "");
  EXPECT_EQ(got.at("second"), "");
}

TEST_F(OrphanSubnodes, ATreeThatFitsTwoOrphansGoesToNeither) {
  // The second message's tree was lost: the first one's fits both.
  add_message("first", 0x3F);
  file_.add_block(file_.new_block_id(false),
                  testing::property_context({{0x001A, 0x001E, 0, bytes_of("IPM.Note")},
                                             {0x0037, 0x001E, 0, bytes_of("second")},
                                             {0x1000, 0x001E, 0x3F}}));
  const auto got = bodies();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got.at("first"), "");
  EXPECT_EQ(got.at("second"), "");
}

TEST_F(OrphanSubnodes, ALeafOfAnotherUnusedTreeDoesNotMakeItAmbiguous) {
  // An intermediate subnode block over two leaf blocks, both unused: the leaf holding the
  // body lies within the intermediate one, which is the message's tree.
  NodeBuilder tree(file_);
  tree.add_subnode(0x805F, {bytes_of("the body of first")});
  tree.add_subnode(0x692, {bytes_of("row data")});
  const std::uint32_t leaf_a = tree.write_subnode_tree();
  NodeBuilder rest(file_);
  rest.add_subnode(0x8065, {bytes_of("an attachment")});
  const std::uint32_t leaf_b = rest.write_subnode_tree();
  Bytes top(4 + 2 * 8, 0);
  top[0] = 0x02;
  top[1] = 1;
  top[2] = 2;
  pst::store_le32(top, 4, 0x692);
  pst::store_le32(top, 8, leaf_a);
  pst::store_le32(top, 12, 0x8065);
  pst::store_le32(top, 16, leaf_b);
  file_.add_block(file_.new_block_id(true), top);
  file_.add_block(file_.new_block_id(false),
                  testing::property_context({{0x001A, 0x001E, 0, bytes_of("IPM.Note")},
                                             {0x0037, 0x001E, 0, bytes_of("first")},
                                             {0x1000, 0x001E, 0x805F}}));
  const auto got = bodies();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got.at("first"), "the body of first");
  // The message's tree is the intermediate block, which names the attachment too.
  for (ObjectIndex x = 0; x < file_.tables.objects.size(); ++x) {
    const BlockRef* sub = file_.tables.objects[x].subnode_block;
    ASSERT_NE(sub, nullptr);
    EXPECT_TRUE(pst::is_internal_block(static_cast<std::uint32_t>(sub->id)));
    EXPECT_NE(sub->id, leaf_a);
  }
}

// A folder listing messages by their row: node id, subject and delivery time.
class OrphanPlacement : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kFolder = 0x8022;
  static constexpr std::uint64_t kDelivered = 0x01D0000012345678;

  OrphanPlacement() {
    folder_ = file_.tables.objects.create(kFolder, nullptr, block(message_pc("folder")), true);
    file_.tables.objects.append_top_level(folder_);
  }
  static Bytes time_bytes() {
    Bytes t(8);
    pst::store_le64(t, 0, kDelivered);
    return t;
  }
  static Bytes message_pc(const std::string& subject) {
    return testing::property_context({{0x001A, 0x001E, 0, bytes_of("IPM.Note")},
                                      {0x0037, 0x001E, 0, bytes_of(subject)},
                                      {0x0E06, 0x0040, 0, time_bytes()}});
  }
  const BlockRef* block(const Bytes& data) {
    const std::uint32_t id = file_.new_block_id(false);
    file_.add_block(id, data);
    return file_.tables.find_block(id);
  }
  void list(std::uint32_t node_id, const std::string& subject) {
    rows_[kFolder].push_back({ContentProperty{0x67F20003, {}, {}},
                              ContentProperty{0x0037001E, {}, bytes_of(subject)},
                              ContentProperty{0x0E060040, {}, time_bytes()}});
    pst::store_le32(rows_[kFolder].back()[0].value = Bytes(4), 0, node_id);
  }
  // A message the scan found in the folder.
  void recover(std::uint32_t node_id, const std::string& subject) {
    const ObjectIndex x = file_.tables.objects.create(node_id, nullptr, block(message_pc(subject)), true);
    file_.tables.objects.append_child(folder_, x);
  }
  // Searches, with one orphaned block of `subject`; the node id it was given and whether it
  // went into the folder.
  std::pair<std::uint32_t, bool> search(const std::string& subject) {
    const BlockRef* orphan = block(message_pc(subject));
    const MemorySource source = file_.source();
    const NodeReader reader(source, file_.tables);
    add_orphaned_items(source, reader, file_.tables, rows_);
    for (ObjectIndex x = 0; x < file_.tables.objects.size(); ++x)
      if (file_.tables.objects[x].data_block == orphan)
        return {file_.tables.objects[x].node_id, file_.tables.objects[x].parent == folder_};
    return {0, false};
  }

  SyntheticFile file_;
  ObjectIndex folder_ = kNoObject;
  ContentsRows rows_;
};

TEST_F(OrphanPlacement, ARowOfItsOwnPlacesIt) {
  list(0x200024, "hello");
  EXPECT_EQ(search("hello"), std::make_pair(0x200024u, true));
  EXPECT_EQ(file_.tables.orphans_placed, 1u);
}

TEST_F(OrphanPlacement, AmongMessagesThatLookAlikeItTakesTheOneNotFound) {
  // Two messages of one subject and time; the scan found the first.
  list(0x200024, "hello");
  list(0x200044, "hello");
  recover(0x200024, "hello");
  EXPECT_EQ(search("hello"), std::make_pair(0x200044u, true));
}

TEST_F(OrphanPlacement, AmongMessagesThatLookAlikeAndWereAllFoundItStandsAlone) {
  // It cannot be told which one it is a version of: it would stand beside one of them, as
  // its newest version, in its place.
  list(0x200024, "hello");
  list(0x200044, "hello");
  recover(0x200024, "hello");
  recover(0x200044, "hello");
  const auto [node_id, in_folder] = search("hello");
  EXPECT_NE(node_id, 0x200024u);
  EXPECT_NE(node_id, 0x200044u);
  EXPECT_FALSE(in_folder);
  EXPECT_EQ(file_.tables.orphans_placed, 0u);
}

TEST_F(OrphanPlacement, TheOneMessageOfItsRowFoundAlreadyGetsItAsAVersion) {
  list(0x200024, "hello");
  recover(0x200024, "hello");
  EXPECT_EQ(search("hello"), std::make_pair(0x200024u, true));
}

}  // namespace
}  // namespace pstorian
