#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "job/console_reporter.h"
#include "job/progress_thread.h"
#include "job/second_thread.h"

namespace pstorian {
namespace {

using namespace std::chrono_literals;

// Records what a worker reports, with the thread each call came from.
class RecordingHost final : public JobHost {
 public:
  void show_message(std::string_view text, std::string_view) override {
    messages.emplace_back(text);
  }
  bool ask_yes_no(std::string_view, std::string_view) override { return false; }
  void set_stop_enabled(bool enabled) override { stop_enabled = enabled; }
  void set_tree_ready(bool ready) override { tree_ready = ready; }
  void set_output_store_index(int) override {}
  std::vector<std::string> messages;
  bool stop_enabled = false;
  bool tree_ready = false;
};

class CountingProgress final : public ProgressSink {
 public:
  void set_range(int, int high) override { range_high = high; }
  void set_position(int p) override { position = p; }
  void set_step(int s) override { step_size = s; }
  void step() override { position += step_size; }
  void set_status(std::string_view text) override { status = text; }
  int range_high = 0, position = 0, step_size = 0;
  std::string status;
};

TEST(CProgressThread, ScanModeFillsTheTablesDrivesProgressThenRunsTheFinishedStep) {
  RecoveryTables tables;
  CountingProgress progress;
  std::atomic<bool> finished = false;
  std::thread::id scan_thread;
  {
    CProgressThread thread(tables);
    thread.set_scan(
        "/mail/old.pst",
        [&](const std::string& path, RecoveryTables& t, ProgressSink& p, JobGate& gate) {
          scan_thread = std::this_thread::get_id();
          EXPECT_EQ(path, "/mail/old.pst");
          p.set_range(0, 500);
          p.set_step(250);
          p.set_status("Scanning file...");
          while (t.objects.size() < 2 && gate.pass()) {
            t.objects.append_top_level(t.objects.create(0x21, nullptr, nullptr, true));
            p.step();
          }
          return ScanOutcome::kNotOpened;  // handed on as it is
        },
        progress);
    thread.set_finished([&] { finished = true; });
    EXPECT_TRUE(thread.scan_mode());
    thread.start();
    ASSERT_TRUE(thread.worker().wait_for(2s));
    EXPECT_TRUE(thread.worker().done());
    EXPECT_EQ(thread.scan_outcome(), ScanOutcome::kNotOpened);
  }
  EXPECT_NE(scan_thread, std::this_thread::get_id());
  EXPECT_TRUE(finished);
  EXPECT_EQ(tables.objects.size(), 2u);
  EXPECT_EQ(progress.position, 500);
  EXPECT_EQ(progress.status, "Scanning file...");
}

class GateBoundExport final : public ExportJob {
 public:
  explicit GateBoundExport(std::atomic<int>& items) : items_(items) {}
  void run(RecoveryTables&, Reporter& reporter, JobHost& host, JobGate& gate) override {
    reporter.tree_reset();
    while (gate.pass()) {
      reporter.list_add_fields({"a", "b", "c", "d"});
      ++items_;
      std::this_thread::sleep_for(200us);
    }
    // A cancelled export still closes its output and says so.
    host.set_stop_enabled(false);
    host.show_message("closed", "Pstorian");
  }

 private:
  std::atomic<int>& items_;
};

TEST(CProgressThread, ExportModeRunsTheJobUntilCancelledAndTheJobUnwinds) {
  RecoveryTables tables;
  std::ostringstream out;
  ConsoleReporter reporter(out);
  RecordingHost host;
  host.stop_enabled = true;
  std::atomic<int> items = 0;
  CProgressThread thread(tables);
  thread.set_export(std::make_unique<GateBoundExport>(items), reporter, host);
  EXPECT_TRUE(thread.export_mode());
  thread.start();
  for (int i = 0; i < 2000 && items < 3; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_GE(items, 3);

  thread.control().pause();
  for (int i = 0; i < 2000 && !thread.control().parked(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(thread.control().parked());
  EXPECT_FALSE(thread.worker().done());

  thread.control().cancel();
  ASSERT_TRUE(thread.worker().wait_for(2s));
  EXPECT_FALSE(host.stop_enabled);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(reporter.counts().mail_items_written, items.load());
}

TEST(CProgressThread, NeitherModeRunsNothingAndAThrowingScanStillClosesTheDialog) {
  RecoveryTables tables;
  {
    CProgressThread idle(tables);
    EXPECT_FALSE(idle.scan_mode());
    EXPECT_FALSE(idle.export_mode());
    idle.start();
    EXPECT_TRUE(idle.worker().wait_for(2s));
    EXPECT_TRUE(idle.worker().error().empty());
  }
  CountingProgress progress;
  std::atomic<bool> finished = false;
  CProgressThread thread(tables);
  thread.set_scan("/nowhere.pst",
                  [](const std::string&, RecoveryTables&, ProgressSink&, JobGate&) -> ScanOutcome {
                    throw std::runtime_error("cannot open");
                  },
                  progress);
  thread.set_finished([&] { finished = true; });
  thread.start();
  ASSERT_TRUE(thread.worker().wait_for(2s));
  EXPECT_TRUE(finished);
  EXPECT_EQ(thread.worker().error(), "cannot open");
}

TEST(CProgressThread, DestroyingARunningThreadCancelsAndJoinsIt) {
  RecoveryTables tables;
  CountingProgress progress;
  std::atomic<bool> unwound = false;
  {
    CProgressThread thread(tables);
    thread.set_scan("/x.pst",
                    [&](const std::string&, RecoveryTables&, ProgressSink&, JobGate& gate) {
                      while (gate.pass()) std::this_thread::sleep_for(100us);
                      unwound = true;
                      return ScanOutcome::kCancelled;
                    },
                    progress);
    thread.start();
    thread.control().pause();
  }
  EXPECT_TRUE(unwound);
}

class PathLister final : public FolderLister {
 public:
  void list(const std::vector<PathEntry>& path, Reporter& reporter, JobHost& host,
            JobGate& gate) override {
    host.set_stop_enabled(true);
    reporter.list_clear_items();
    for (const PathEntry& entry : path) {
      if (!gate.pass()) break;
      reporter.list_add_item({entry.name, "", "", ""});
    }
    host.set_stop_enabled(false);
  }
};

TEST(CSecondThread, RunsTheListerOnTheGivenPathThenTheFinishedStep) {
  std::ostringstream out;
  ConsoleReporter reporter(out);
  RecordingHost host;
  std::atomic<bool> finished = false;
  CSecondThread thread;
  thread.set_listing(std::make_unique<PathLister>(), {{"Top"}, {"Inbox"}}, reporter, host);
  thread.set_finished([&] { finished = true; });
  thread.start();
  ASSERT_TRUE(thread.worker().wait_for(2s));
  EXPECT_TRUE(finished);
  EXPECT_EQ(out.str(), "Top\t\t\t\nInbox\t\t\t\n");
  EXPECT_FALSE(host.stop_enabled);
}

TEST(ListingRules, MailClassPrefixInEitherCaseRowTextLimitAndItemCountText) {
  EXPECT_TRUE(is_mail_message_class("IPM.Note"));
  EXPECT_TRUE(is_mail_message_class("ipm.note.SMIME"));
  EXPECT_TRUE(is_mail_message_class("IpM.nOtE"));
  EXPECT_FALSE(is_mail_message_class("IPM.Appointment"));
  EXPECT_FALSE(is_mail_message_class("IPM.Not"));

  EXPECT_EQ(fit_row_text(std::string(499, 'a')).size(), 499u);
  EXPECT_EQ(fit_row_text(std::string(500, 'a')).size(), 498u);
  EXPECT_EQ(fit_row_text(std::string(600, 's')).size(), 498u);
  // Characters, not bytes: 499 two-byte characters stay whole, 600 are cut to 498.
  std::string umlauts;
  for (int i = 0; i < 499; ++i) umlauts += "\xC3\xA4";
  EXPECT_EQ(fit_row_text(umlauts), umlauts);
  EXPECT_EQ(fit_row_text(umlauts + "\xC3\xA4").size(), 996u);

  EXPECT_EQ(items_in_folder_text(5), "There are 5 items in this folder");
}

TEST(ConsoleReporter, CountsFoldersItemsAndLostAndFoundAndPrintsTheStatusTexts) {
  std::ostringstream out;
  ConsoleReporter reporter(out, [](std::string_view) { return true; });
  const TreeItemId root = reporter.tree_reset();
  FolderNodeRecord inbox{0x8042, 0x8022, "Inbox", kNoTreeItem, 1};
  reporter.tree_add_folder(inbox, {0, root});
  EXPECT_NE(inbox.tree_item, kNoTreeItem);
  EXPECT_NE(inbox.tree_item, root);
  reporter.status_populating("Inbox");
  reporter.list_add_fields({});
  reporter.status_populating(std::nullopt);
  reporter.list_add_fields({});
  reporter.list_add_fields({});
  EXPECT_EQ(reporter.counts().folders_recreated, 1);
  EXPECT_EQ(reporter.counts().mail_items_written, 3);
  EXPECT_EQ(reporter.counts().items_in_lost_and_found, 2);
  EXPECT_EQ(out.str(), "Populating folder Inbox\npopulating folder Lost&Found\n");
  EXPECT_TRUE(reporter.ask_yes_no("Replace?", "Pstorian"));
}

TEST(ConsoleProgress, DrawsABarOnlyOnATerminalAndEndsItBeforeAStatusLine) {
  std::ostringstream plain;
  {
    ConsoleProgress p(plain, false);
    p.set_range(0, 500);
    p.set_position(250);
    p.set_status("Collecting Objects...");
  }
  EXPECT_EQ(plain.str(), "Collecting Objects...\n");

  std::ostringstream tty;
  {
    ConsoleProgress p(tty, true);
    p.set_range(0, 500);
    p.set_step(250);
    p.step();
    p.set_status("Collecting Objects...");
  }
  EXPECT_NE(tty.str().find("] 50%\nCollecting Objects...\n"), std::string::npos) << tty.str();
}

}  // namespace
}  // namespace pstorian
