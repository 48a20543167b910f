// Writes that fail: a checkpoint cut off at any write leaves the file at the last one that
// completed, nothing written later lands on top of a failed one, a second writer is refused,
// and a folder stops at the most rows a table of the file can number.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "format/layout.h"
#include "pst/messaging/message_store.h"
#include "pst/ndb/node_writer.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/ndb/store_file.h"
#include "mailclient/mail_client_support.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using test::WriteFailure;
using test::add_node;

// The changes of one checkpoint: enough new data to grow the file, and nodes replaced and
// removed so that the maps free space too.
void change(StoreFile& store, const std::vector<std::uint32_t>& earlier) {
  for (int i = 0; i < 60; ++i) add_node(store, i % 6 == 0 ? 12000 : 1500, 0x5A);
  for (std::size_t i = 0; i < earlier.size(); i += 3) store.remove_node(earlier[i]);
}

// Every node's data, read back through a fresh open.
std::vector<Bytes> contents(const fs::path& file) {
  StoreFile store(file);
  std::vector<Bytes> out;
  store.for_each_node([&](const NbtEntry& e) {
    if (e.bid_data != 0) out.push_back(store.read_bytes(e.bid_data));
  });
  return out;
}

Bytes head(const fs::path& file) {
  Bytes bytes = test::read_file(file);
  bytes.resize(pst::unicode::kHeaderSize);
  return bytes;
}

class StoreFailureInForm : public ::testing::TestWithParam<FileForm> {};

TEST_P(StoreFailureInForm, ACheckpointCutOffAtAnyWriteLeavesTheLastOne) {
  test::TempDir dir;
  const fs::path base = test::empty_store(dir, "base.pst", GetParam());
  std::vector<std::uint32_t> earlier;
  {
    StoreFile store(base);
    for (int i = 0; i < 40; ++i) earlier.push_back(add_node(store, 3000, static_cast<std::uint8_t>(i)));
    store.commit();
  }
  const auto before = contents(base);
  const Bytes header = head(base);
  const auto size = fs::file_size(base);

  // Fail after 0 bytes, after a few, and then after ever more, until the checkpoint fits:
  // on the way the failure lands in the growth, the blocks, the maps and the header.
  int failures = 0;
  bool completed = false;
  for (std::int64_t after = 0; !completed; after = after < 1024 ? after + 256 : after * 3 / 2) {
    SCOPED_TRACE("failing after " + std::to_string(after) + " bytes");
    const fs::path file = dir.path() / ("copy-" + std::to_string(after) + ".pst");
    fs::copy_file(base, file);
    {
      StoreFile store(file);
      change(store, earlier);
      {
        const WriteFailure failure(after, ENOSPC);
        try {
          store.commit();
          completed = true;
        } catch (const StoreError& e) {
          ++failures;
          EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos)
              << e.what();
          EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        }
      }
      if (!completed) {
        EXPECT_FALSE(store.failure().empty());
        // Nothing more is written over the failed checkpoint, even with room again.
        const Bytes now = test::read_file(file);
        EXPECT_THROW(store.commit(), StoreError);
        EXPECT_EQ(test::read_file(file), now);
      }
    }
    if (completed) break;
    EXPECT_EQ(head(file), header);
    EXPECT_EQ(fs::file_size(file), size);
    EXPECT_EQ(contents(file), before);
    if (failures % 4 == 1) {
      const std::string report = test::pstcheck(file);
      EXPECT_TRUE(report == "skipped" || report.find("0 errors, 0 warnings") != std::string::npos)
          << report;
    }
    fs::remove(file);
  }
  EXPECT_GT(failures, 8);
}

INSTANTIATE_TEST_SUITE_P(BothForms, StoreFailureInForm,
                         ::testing::Values(FileForm::kAnsi, FileForm::kUnicode),
                         test::form_test_name);

TEST(StoreFailure, ASecondWriterIsRefusedWhileTheFirstHoldsTheFile) {
  test::TempDir dir;
  const fs::path file = test::empty_store(dir, "store.pst");
  std::optional<StoreFile> first(std::in_place, file);
  try {
    StoreFile second(file);
    ADD_FAILURE() << "a second writer was let in";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
  }
  first.reset();
  EXPECT_NO_THROW(StoreFile{file});
}

PropertyBag message(const std::string& subject) {
  PropertyBag p;
  p.set_string(prop::kSubject, subject);
  return p;
}

TEST(StoreFailure, AFailedStoreRefusesEverythingUntilClosedAndThenReadsItsLastCheckpoint) {
  test::TempDir dir;
  const fs::path file = test::empty_store(dir, "store.pst");
  MessageStore store(file);
  const std::uint32_t inbox = store.create_folder(store.top_folder(), "Inbox", "IPF.Note");
  const std::uint32_t kept = store.save_message(inbox, 0, message("kept"));
  store.checkpoint();
  store.save_message(inbox, 0, message("lost"));
  {
    const WriteFailure failure(0, EIO);
    EXPECT_THROW(store.checkpoint(), StoreFailedError);
  }
  EXPECT_NE(store.failure().find("Input/output error"), std::string::npos) << store.failure();
  // Every call refuses, a checkpoint too, though the disk would take it now.
  EXPECT_THROW(store.messages(inbox), StoreFailedError);
  EXPECT_THROW(store.save_message(inbox, 0, message("later")), StoreFailedError);
  EXPECT_THROW(store.checkpoint(), StoreFailedError);
  // Closing writes nothing and says so once more.
  const Bytes on_disk = test::read_file(file);
  EXPECT_THROW(store.close(), StoreFailedError);
  EXPECT_EQ(test::read_file(file), on_disk);
  EXPECT_TRUE(store.failure().empty());
  // Opened again: the last checkpoint, and it can be added to.
  EXPECT_EQ(store.messages(inbox), std::vector<std::uint32_t>{kept});
  store.save_message(inbox, 0, message("after"));
  store.close();
  EXPECT_EQ(store.messages(inbox).size(), 2u);
  store.close();
  const std::string report = test::pstcheck(file);
  EXPECT_TRUE(report == "skipped" || report.find("0 errors, 0 warnings") != std::string::npos)
      << report;
}

TEST(StoreFailure, AFolderHoldsAsManyMessagesAsItsTableCanNumber) {
  test::TempDir dir;
  const fs::path file = test::empty_store(dir, "store.pst");
  MessageStore store(file);
  const std::uint32_t inbox = store.create_folder(store.top_folder(), "Inbox", "IPF.Note");
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; i < pst::kMaxTableRows; ++i) last = store.save_message(inbox, 0, PropertyBag{});
  EXPECT_THROW(store.save_message(inbox, 0, PropertyBag{}), FolderFullError);
  // Saving one it holds again is no new row.
  EXPECT_NO_THROW(store.save_message(inbox, last, message("again")));
  const std::uint32_t other = store.create_folder(store.top_folder(), "Other", "IPF.Note");
  const std::uint32_t moved = store.save_message(other, 0, PropertyBag{});
  EXPECT_THROW(store.move_message(moved, inbox), FolderFullError);
  store.close();
  EXPECT_EQ(store.messages(inbox).size(), pst::kMaxTableRows);
  store.close();
  const std::string report = test::pstcheck(file);
  EXPECT_TRUE(report == "skipped" || report.find("0 errors, 0 warnings") != std::string::npos)
      << report;
}

}  // namespace
}  // namespace pstorian
