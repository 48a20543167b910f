// The subnode tree an orphaned item gets back: the one unused subnode block that holds every
// subnode its property context names, and only when no other block and no other orphan fits
// as well, so that no item is given another's body or attachments.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/item_extraction.h"
#include "engine/orphan_items.h"
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

}  // namespace
}  // namespace pstorian
