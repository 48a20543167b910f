#include <gtest/gtest.h>

#include "job/output_naming.h"

namespace pstorian {
namespace {

TEST(OutputNaming, AcceptsExactlyTheSixExtensionForms) {
  for (const char* ok : {"/d/x.pst", "/d/x.PST", "/d/x.Pst", "/d/x.pST", "/d/x.pSt", "/d/x.psT"}) {
    EXPECT_TRUE(accepted_pst_extension(ok)) << ok;
  }
  for (const char* bad : {"/d/x.PsT", "/d/x.PSt", "/d/x.ost", "/d/x.pst.bak", "pst", ""}) {
    EXPECT_FALSE(accepted_pst_extension(bad)) << bad;
  }
}

TEST(OutputNaming, NamesTheOutputBesideTheSourceAndInAnotherFolder) {
  auto n = name_output_beside("/home/ann/mail/old.PST");
  ASSERT_TRUE(n);
  EXPECT_EQ(n->base_name, "old");
  EXPECT_EQ(n->output_folder, "/home/ann/mail/");
  EXPECT_EQ(n->output_path, "/home/ann/mail/old Recovered.pst");

  auto root = name_output_beside("/a.pst");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->output_folder, "/");
  EXPECT_EQ(root->output_path, "/a Recovered.pst");

  auto dotted = name_output_beside("/m/my.archive.pSt");
  ASSERT_TRUE(dotted);
  EXPECT_EQ(dotted->output_path, "/m/my.archive Recovered.pst");

  EXPECT_FALSE(name_output_beside("/m/x.PsT"));
  auto bare = name_output_beside("x.pst");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->output_path, "./x Recovered.pst");

  EXPECT_EQ(output_path_in("/", "old"), "/old Recovered.pst");
  EXPECT_EQ(output_path_in("/out", "old"), "/out/old Recovered.pst");
  EXPECT_EQ(output_path_in("/out/", "old"), "/out/old Recovered.pst");
}

}  // namespace
}  // namespace pstorian
