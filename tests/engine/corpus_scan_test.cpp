// Scans of the real sample files, intact and with their header or B-tree roots destroyed:
// every node of the intact node B-tree must be among the objects, and the data encoded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "engine/pst_scanner.h"
#include "nbt_walker.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
const fs::path kCorpus = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi";
const fs::path kUnicodeCorpus = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "unicode";
const fs::path kDamage = fs::path(PSTORIAN_SHARED_DIR) / "tools" / "pstdamage.py";

std::vector<fs::path> corpus_files(const fs::path& folder = kCorpus) {
  std::vector<fs::path> files;
  if (fs::is_directory(folder))
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().extension() == ".pst") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

struct Found {
  std::set<std::uint32_t> node_ids;
  bool encoded = false;
  bool cyclic = false;
  pst::FileForm form = pst::FileForm::kAnsi;
  std::size_t objects = 0;
};

Found scan(const fs::path& path) {
  RecoveryTables tables;
  NullProgress progress;
  OpenGate gate;
  CPstScanner scanner(tables, progress, gate);
  EXPECT_EQ(scanner.scan(path), ScanOutcome::kCompleted);
  Found f;
  for (ObjectIndex x : tables.objects.pre_order()) f.node_ids.insert(tables.objects[x].node_id);
  f.encoded = tables.encoded;
  f.cyclic = tables.cyclic;
  f.form = tables.form;
  f.objects = tables.objects.size();
  return f;
}

void expect_all_found(const std::set<std::uint32_t>& expected, const Found& found) {
  std::vector<std::uint32_t> missing;
  for (std::uint32_t nid : expected)
    if (!found.node_ids.count(nid)) missing.push_back(nid);
  EXPECT_TRUE(missing.empty()) << missing.size() << " of " << expected.size()
                               << " nodes missing, first 0x" << std::hex << missing.front();
}

TEST(CorpusScan, FindsEveryNodeOfTheIntactTreeAndTheEncoding) {
  const auto files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kCorpus;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto walk = testing_pst::walk_nbt(testing_pst::read_file(file));
    ASSERT_FALSE(walk.node_ids.empty());
    const Found found = scan(file);
    expect_all_found(walk.node_ids, found);
    EXPECT_TRUE(found.encoded);
    EXPECT_EQ(found.form, pst::FileForm::kAnsi);
  }
}

// The encoding each Unicode sample is stored with, by its name.
void expect_encoding_of(const fs::path& file, const Found& found) {
  const std::string name = file.filename().string();
  const bool plain = name.find("plain") != std::string::npos;
  const bool cyclic = name.find("cyclic") != std::string::npos;
  EXPECT_EQ(found.cyclic, cyclic);
  EXPECT_EQ(found.encoded, !plain && !cyclic);
}

TEST(CorpusScan, FindsEveryNodeOfUnicodeFilesAndTheirEncoding) {
  const auto files = corpus_files(kUnicodeCorpus);
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kUnicodeCorpus;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto walk = testing_pst::walk_nbt_unicode(testing_pst::read_file(file));
    ASSERT_FALSE(walk.node_ids.empty());
    const Found found = scan(file);
    EXPECT_EQ(found.form, pst::FileForm::kUnicode);
    expect_all_found(walk.node_ids, found);
    expect_encoding_of(file, found);
  }
}

void expect_same_nodes_without_header_or_roots(const fs::path& folder, pst::FileForm form) {
  const auto files = corpus_files(folder);
  if (files.empty() || !fs::exists(kDamage)) GTEST_SKIP() << "no corpus or damage tool";
  const fs::path dir = fs::temp_directory_path() / ("pstorian_damaged_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (const fs::path& file : files) {
    const auto original = testing_pst::read_file(file);
    const auto walk = form == pst::FileForm::kUnicode ? testing_pst::walk_nbt_unicode(original)
                                                      : testing_pst::walk_nbt(original);
    for (const std::string recipe : {"zero-header", "zero-roots"}) {
      SCOPED_TRACE(file.filename().string() + " " + recipe);
      const fs::path damaged = dir / (recipe + "-" + file.filename().string());
      const std::string cmd = "python3 '" + kDamage.string() + "' '" + file.string() + "' '" +
                              damaged.string() + "' --recipe " + recipe + " >/dev/null";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
      std::set<std::uint32_t> expected = walk.node_ids;
      if (recipe == std::string("zero-roots") && walk.leaf_pages.count(walk.root)) {
        // The root is the only leaf: its entries are gone with it, unless a stale copy of
        // the page survives elsewhere. Then nothing of the tree is left to expect.
        expected.clear();
      }
      const Found found = scan(damaged);
      EXPECT_EQ(found.form, form);
      expect_all_found(expected, found);
      if (!expected.empty()) {
        if (form == pst::FileForm::kUnicode)
          expect_encoding_of(file, found);
        else
          EXPECT_TRUE(found.encoded);
      }
      fs::remove(damaged);
    }
  }
  fs::remove_all(dir);
}

TEST(CorpusScan, FindsTheSameNodesWithoutHeaderOrRoots) {
  expect_same_nodes_without_header_or_roots(kCorpus, pst::FileForm::kAnsi);
}

TEST(CorpusScan, FindsTheSameNodesOfUnicodeFilesWithoutHeaderOrRoots) {
  expect_same_nodes_without_header_or_roots(kUnicodeCorpus, pst::FileForm::kUnicode);
}

}  // namespace
}  // namespace pstorian
