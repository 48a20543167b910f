// A store of the 64-bit form whose items all lie past 4 GB (the file sparse below them),
// repaired with its header wiped: the scan must find blocks and leaf pages beyond 2^32 and
// the repair must write every item whole into a 64-bit store. Needs a few MB of real disk and
// reads 4 GB of holes, so it is one case of rich items, not many.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/cli_run.h"
#include "engine/pst_scanner.h"
#include "format/layout_unicode.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/sample_mailbox.h"
#include "mailclient/mail_client_support.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

TEST(LargeUnicodeStore, ItemsPastFourGigabytesAreFoundAndRepairedWhole) {
  test::TempDir dir;
  const fs::path source = test::empty_store(dir, "wide.pst", FileForm::kUnicode);
  const std::uint64_t below = test::grow_past_four_gigabytes(source);
  SampleOptions options;
  options.rich = true;
  options.folders = 6;
  options.messages = 40;
  const SampleManifest manifest = [&] {
    const auto factory = make_mail_client_factory();
    auto written = fill_sample_mailbox(*factory, source, options);
    terminate_mail_client();
    return written;
  }();
  ASSERT_GT(fs::file_size(source), below);
  {  // wipe the header: nothing of the file's own index is to be trusted
    const std::array<std::uint8_t, pst::unicode::kHeaderSize> zeros{};
    const int fd = ::open(source.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, zeros.data(), zeros.size(), 0), static_cast<ssize_t>(zeros.size()));
    ::close(fd);
  }

  {  // the blocks come from beyond 2^32, with their 64-bit offsets intact
    RecoveryTables tables;
    NullProgress progress;
    OpenGate gate;
    CPstScanner scanner(tables, progress, gate);
    scanner.scan(source.string());
    EXPECT_EQ(tables.form, FileForm::kUnicode);
    std::size_t high = 0;
    tables.blocks.for_each_id([&](const BlockRef& b) { high += b.offset >= below ? 1 : 0; });
    EXPECT_GT(high, manifest.messages.size());
  }

  const test::RepairRun run = test::repair_json(source, dir.path() / "out");
  ASSERT_EQ(run.status, 0) << run.out;
  const nlohmann::json& summary = run.summary;
  ASSERT_TRUE(summary.is_object()) << run.out;
  int written = 0;
  for (const auto& [kind, count] : summary["written_by_kind"].items()) written += count.get<int>();
  EXPECT_EQ(written, static_cast<int>(manifest.messages.size())) << run.out;
  EXPECT_EQ(summary.value("current_items_written", -1), written);
  EXPECT_EQ(summary.value("items_in_lost_and_found", -1), 0);
  EXPECT_GT(summary.value("attachments_written", 0), 0);

  const fs::path recovered = dir.path() / "out" / "wide Recovered.pst";
  {
    StoreFile store(recovered);
    EXPECT_EQ(store.form(), FileForm::kUnicode);
  }
  EXPECT_TRUE(test::validator_says(recovered, "pstcheck: 0 errors, 0 warnings"));
}

}  // namespace
}  // namespace pstorian
