// A block whose trailer was damaged while its data was spared is passed by the scan, which
// knows blocks by their trailers; the file's block B-tree still names it. When that block
// holds a folder's properties, every message of the folder depends on it: repaired, they
// must stay in their folder rather than go to Lost&Found. In both forms of the file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "engine/index_blocks.h"
#include "engine/pst_scanner.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"
#include "format/layout_unicode.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

class DamagedTrailer : public ::testing::TestWithParam<bool> {};

void scan(const ByteSource& source, RecoveryTables& tables) {
  NullProgress progress;
  OpenGate gate;
  CPstScanner(tables, progress, gate).scan(source);
}

::testing::AssertionResult write_sample(const fs::path& file, int messages, int folders,
                                        bool unicode) {
  const auto made = test::run_captured(
      "'" + std::string(PSTORIAN_CLI) + "' sample '" + file.string() + "' --messages " +
          std::to_string(messages) + " --folders " + std::to_string(folders) +
          (unicode ? " --unicode" : ""),
      file.parent_path());
  if (made.status == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << made.err;
}

// Writes `bytes` over the file at `at`, as damage would.
::testing::AssertionResult overwrite(const fs::path& file, std::uint64_t at,
                                     std::span<const std::uint8_t> bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  const bool written = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(),
                                           static_cast<off_t>(at)) ==
                                      static_cast<ssize_t>(bytes.size());
  if (fd >= 0) ::close(fd);
  return written ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << file;
}

// The data block of a folder that holds messages: the folder and the place of its messages
// are what losing the block would cost.
const BlockRef* folder_with_messages(const RecoveryTables& tables) {
  for (ObjectIndex x = 0; x < tables.objects.size(); ++x) {
    const ObjectNode& o = tables.objects[x];
    if (pst::node_type(o.node_id) != pst::kNodeNormalFolder || o.data_block == nullptr) continue;
    for (ObjectIndex c = o.first_child; c != kNoObject; c = tables.objects[c].next_sibling)
      if (pst::node_type(tables.objects[c].node_id) == pst::kNodeNormalMessage)
        return o.data_block;
  }
  return nullptr;
}

TEST_P(DamagedTrailer, TheBlockBTreeStillFindsAFoldersBlockAndItsMessagesStayInPlace) {
  const bool unicode = GetParam();
  test::TempDir dir;
  const fs::path source = dir.path() / "sample.pst";
  ASSERT_TRUE(write_sample(source, 300, 6, unicode));

  std::uint64_t trailer_at = 0;
  const std::uint32_t trailer_size =
      unicode ? pst::unicode::kBlockTrailerSize : pst::kBlockTrailerSize;
  BlockRef damaged{};
  {
    const auto file = SourceFile::open(source);
    ASSERT_TRUE(file.has_value());
    RecoveryTables tables;
    scan(*file, tables);
    const BlockRef* block = folder_with_messages(tables);
    ASSERT_NE(block, nullptr);
    damaged = *block;
    const std::uint64_t span = (block->size + trailer_size + 63) / 64 * 64;
    trailer_at = block->offset + span - trailer_size;
  }
  // A zeroed trailer, the data untouched.
  ASSERT_TRUE(overwrite(source, trailer_at, std::vector<std::uint8_t>(trailer_size, 0)));

  const auto file = SourceFile::open(source);
  ASSERT_TRUE(file.has_value());
  RecoveryTables tables;
  scan(*file, tables);
  const BlockRef* found = tables.find_block(damaged.id);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->offset, damaged.offset);
  EXPECT_EQ(found->size, damaged.size);

  const test::RepairRun run = test::repair_json(source, dir.path() / "out");
  ASSERT_EQ(run.status, 0) << run.out;
  ASSERT_TRUE(run.summary.is_object()) << run.out;
  EXPECT_EQ(run.summary.value("items_in_lost_and_found", -1), 0) << run.out;
  EXPECT_EQ(run.summary.value("current_items_written", -1), 300) << run.out;
}

// Where the block B-tree names a block and the sound trailer of another block stands at the
// end of that place, the entry is stale (a later block took the place): it is not taken. A
// file whose blocks were all found needs nothing from the tree, and one of the other form
// gives nothing.
TEST_P(DamagedTrailer, AnEntryWhereAnotherBlocksTrailerStandsIsNotTaken) {
  const bool unicode = GetParam();
  const pst::FileForm form = unicode ? pst::FileForm::kUnicode : pst::FileForm::kAnsi;
  const std::uint32_t trailer_size =
      unicode ? pst::unicode::kBlockTrailerSize : pst::kBlockTrailerSize;
  test::TempDir dir;
  const fs::path source = dir.path() / "sample.pst";
  ASSERT_TRUE(write_sample(source, 20, 2, unicode));
  BlockRef taken{};
  std::uint64_t newer = 0;
  {
    const auto file = SourceFile::open(source);
    ASSERT_TRUE(file.has_value());
    RecoveryTables tables;
    scan(*file, tables);
    EXPECT_TRUE(blocks_only_the_index_names(*file, tables.blocks, form).empty());
    EXPECT_TRUE(blocks_only_the_index_names(
                    *file, BlockIndex{},
                    unicode ? pst::FileForm::kAnsi : pst::FileForm::kUnicode)
                    .empty());
    const BlockRef* block = folder_with_messages(tables);
    ASSERT_NE(block, nullptr);
    taken = *block;
    tables.blocks.for_each_id([&](const BlockRef& b) { newer = std::max(newer, b.id); });
    newer += 4;
  }
  {  // the place now ends with the trailer of a newer block of the same size
    const auto file = SourceFile::open(source);
    ASSERT_TRUE(file.has_value());
    std::vector<std::uint8_t> data(taken.size);
    file->read_at(taken.offset, data);
    std::vector<std::uint8_t> trailer(trailer_size, 0);
    pst::store_le16(trailer, 0, static_cast<std::uint16_t>(taken.size));
    pst::store_le16(trailer, 2,
                    pst::block_signature(static_cast<std::uint32_t>(taken.offset),
                                         static_cast<std::uint32_t>(newer)));
    if (unicode) {
      pst::store_le32(trailer, 4, pst::crc32(data));
      pst::store_le64(trailer, 8, newer);
    } else {
      pst::store_le32(trailer, 4, static_cast<std::uint32_t>(newer));
      pst::store_le32(trailer, 8, pst::crc32(data));
    }
    const std::uint64_t span = (taken.size + trailer_size + 63) / 64 * 64;
    ASSERT_TRUE(overwrite(source, taken.offset + span - trailer_size, trailer));
  }
  const auto file = SourceFile::open(source);
  ASSERT_TRUE(file.has_value());
  RecoveryTables tables;
  scan(*file, tables);
  ASSERT_NE(tables.find_block(newer), nullptr);
  EXPECT_EQ(tables.find_block(newer)->offset, taken.offset);
  EXPECT_EQ(tables.find_block(taken.id), nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothForms, DamagedTrailer, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "unicode" : "ansi"; });

}  // namespace
}  // namespace pstorian
