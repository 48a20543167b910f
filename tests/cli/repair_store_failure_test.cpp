// A repair whose output store cannot be written to the end: the disk fills up part-way, into
// a new store and into an existing one that the user asked to keep. The repair says what
// failed and where, exits 1, leaves the old output as it was, keeps what it wrote under a
// name that says it is incomplete, counts only what that file holds, and the file is sound.
// Adding to a kept store never writes an item twice.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <span>
#include <sstream>
#include <string>

#include "cli/repair_command.h"
#include "export/mail_client.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/mail_profile.h"
#include "pst/messaging/message_store.h"
#include "mailclient/automation/sample_mailbox.h"
#include "pst/ndb/store_file.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

struct WriteFailure {
  WriteFailure(std::int64_t after, int error) { StoreFile::fail_writes_after(after, error); }
  ~WriteFailure() { StoreFile::fail_writes_after(-1, 0); }
  WriteFailure(const WriteFailure&) = delete;
  WriteFailure& operator=(const WriteFailure&) = delete;
};

class RepairStoreFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_.path() / "mailbox.pst";
    write_sample(1);
    output_ = dir_.path() / "mailbox Recovered.pst";
    incomplete_ = dir_.path() / "mailbox Recovered (incomplete).pst";
  }
  // The source: `messages` messages in four folders, drawn with `seed`.
  void write_sample(std::uint32_t seed, int messages = 2500) {
    fs::remove(source_);
    test::write_file(source_, EmptyStoreImage());
    SampleOptions options;
    options.folders = 4;
    options.messages = messages;
    options.largest_body = 8000;
    options.seed = seed;
    fill_sample_mailbox(*make_mail_client_factory(), source_, options);
    MailProfile::instance().clear();
  }
  void TearDown() override { MailProfile::instance().clear(); }

  int repair(bool keep_existing, std::string& said) {
    cli::RepairOptions options;
    options.source = source_.string();
    options.overwrite = !keep_existing;
    options.keep_existing = keep_existing;
    std::ostringstream out, err;
    const int rc = cli::run_repair(options, make_mail_client(), out, err, false);
    said = out.str() + err.str();
    return rc;
  }

  // The messages of every folder of a store, read back from the file.
  static std::size_t messages_in(const fs::path& file) {
    MessageStore store(file);
    std::size_t count = 0;
    std::vector<std::uint32_t> folders{store.top_folder()};
    while (!folders.empty()) {
      const std::uint32_t f = folders.back();
      folders.pop_back();
      count += store.messages(f).size();
      for (const std::uint32_t sub : store.subfolders(f)) folders.push_back(sub);
    }
    return count;
  }

  static int written_in_summary(const std::string& said) {
    std::smatch m;
    if (!std::regex_search(said, m, std::regex("Items written: +([0-9]+)"))) return -1;
    return std::stoi(m[1]);
  }

  static std::string pstcheck(const fs::path& file) {
    const std::string tool = PSTORIAN_SHARED_DIR "/tools/pstcheck.py";
    if (!fs::exists(tool)) return "skipped";
    const std::string report = test::run("python3 '" + tool + "' '" + file.string() + "' 2>&1");
    const auto last = report.rfind("pstcheck:");
    return last == std::string::npos ? report : report.substr(last);
  }

  test::TempDir dir_;
  fs::path source_, output_, incomplete_;
};

// A full disk part-way: the old output stays byte for byte as it was, what was written is
// kept under a name that says it is incomplete, sound, and the summary counts what it holds.
TEST_F(RepairStoreFailure, AFullDiskLeavesTheOldOutputAndKeepsWhatWasWrittenAsIncomplete) {
  std::string said;
  ASSERT_EQ(repair(false, said), 0) << said;
  const std::vector<std::uint8_t> old = test::read_file(output_);
  int rc = 0;
  {
    // Room for the first checkpoints of the export, not for all of them.
    const WriteFailure disk_full(3'000'000, ENOSPC);
    rc = repair(false, said);
  }
  EXPECT_EQ(rc, 1) << said;
  EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
  EXPECT_NE(said.find(incomplete_.string()), std::string::npos) << said;
  EXPECT_NE(said.find("Result:                 failed"), std::string::npos) << said;
  EXPECT_EQ(said.find("Processing of selected PST file is complete"), std::string::npos) << said;
  EXPECT_TRUE(test::read_file(output_) == old);
  const int written = written_in_summary(said);
  ASSERT_GT(written, 0) << said;
  EXPECT_LT(written, 2500) << said;
  EXPECT_NE(said.find("Items written:          " + std::to_string(written) + " (" +
                      std::to_string(written) + " mail)"),
            std::string::npos)
      << said;
  EXPECT_EQ(messages_in(incomplete_), static_cast<std::size_t>(written));
  const std::string report = pstcheck(incomplete_);
  EXPECT_TRUE(report == "skipped" || report.find("0 errors, 0 warnings") != std::string::npos)
      << report;
}

// Adding to a kept store works on a copy: the store is not touched by a repair that fails.
TEST_F(RepairStoreFailure, AStoreTheUserKeptIsNotTouchedByAFailedRepairIntoIt) {
  std::string said;
  ASSERT_EQ(repair(false, said), 0) << said;
  ASSERT_EQ(messages_in(output_), 2500u);
  const std::vector<std::uint8_t> old = test::read_file(output_);
  // Other mail to add: a larger sample of another seed, so that the copy has to grow more
  // than once.
  write_sample(2, 8000);
  int rc = 0;
  {
    // The copy grows by an eighth of its size at a time: room for a few of those.
    const WriteFailure disk_full(12'000'000, ENOSPC);
    rc = repair(true, said);
  }
  EXPECT_EQ(rc, 1) << said;
  EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
  EXPECT_TRUE(test::read_file(output_) == old);
  const int written = written_in_summary(said);
  ASSERT_GT(written, 0) << said;
  EXPECT_EQ(messages_in(incomplete_), 2500u + static_cast<std::size_t>(written));
  const std::string report = pstcheck(incomplete_);
  EXPECT_TRUE(report == "skipped" || report.find("0 errors, 0 warnings") != std::string::npos)
      << report;
}

// Adding never writes an item twice: a repair run again adds nothing, and one cut short is
// completed by running it again, every item then held once.
TEST_F(RepairStoreFailure, AddingAgainWritesEachItemOnce) {
  std::string said;
  ASSERT_EQ(repair(false, said), 0) << said;
  EXPECT_EQ(repair(true, said), 0) << said;
  EXPECT_EQ(written_in_summary(said), 0) << said;
  EXPECT_NE(said.find("Already in the output:  2500"), std::string::npos) << said;
  EXPECT_EQ(messages_in(output_), 2500u);

  // Another mailbox added, cut short by a full disk, then added again in full.
  write_sample(2, 8000);
  {
    const WriteFailure disk_full(12'000'000, ENOSPC);
    ASSERT_EQ(repair(true, said), 1) << said;
  }
  fs::remove(incomplete_);
  ASSERT_EQ(repair(true, said), 0) << said;
  EXPECT_EQ(written_in_summary(said), 8000) << said;
  EXPECT_EQ(messages_in(output_), 10500u);
  ASSERT_EQ(repair(true, said), 0) << said;
  EXPECT_EQ(written_in_summary(said), 0) << said;
  EXPECT_EQ(messages_in(output_), 10500u);
}

// The same with a real file system that fills up: a small tmpfs in a private mount
// namespace. Needs the right to make one; skipped otherwise.
TEST_F(RepairStoreFailure, ARealFullFileSystem) {
  const fs::path mount = dir_.path() / "small";
  fs::create_directories(mount);
  int status = 0;
  test::run("unshare -m true 2>/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "no private mount namespaces here";
  const fs::path kept = dir_.path() / "kept.pst";
  const fs::path script = dir_.path() / "full.sh";
  const std::string text =
      "mount -t tmpfs -o size=3m tmpfs '" + mount.string() + "' || exit 99\n'" PSTORIAN_CLI
      "' repair '" + source_.string() + "' -o '" + mount.string() + "' --overwrite\nrc=$?\ncp '" +
      (mount / "mailbox Recovered (incomplete).pst").string() + "' '" + kept.string() +
      "'\nexit $rc\n";
  test::write_file(script, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  const std::string said = test::run("unshare -m sh '" + script.string() + "' 2>&1 </dev/null", &status);
  if (status == 99) GTEST_SKIP() << "cannot mount a tmpfs here: " << said;
  EXPECT_EQ(status, 1) << said;
  EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
  ASSERT_TRUE(fs::exists(kept)) << said;
  EXPECT_EQ(messages_in(kept), static_cast<std::size_t>(written_in_summary(said))) << said;
  const std::string report = pstcheck(kept);
  EXPECT_TRUE(report == "skipped" || report.find("0 errors, 0 warnings") != std::string::npos)
      << report;
}

}  // namespace
}  // namespace pstorian
