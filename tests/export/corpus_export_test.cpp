// A whole export of the real files of the corpus into the in-memory mail client: the scan,
// the decoding and the export together. Every mail item that the decoding finds under a
// listed folder must arrive in the output store under that folder's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "cli/items_report.h"
#include "engine/pst_scanner.h"
#include "export/fake_mail_client.h"
#include "export/pst_exporter.h"
#include "export/recording_host.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus_files() {
  std::vector<fs::path> files;
  const fs::path dir = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.path().extension() == ".pst") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void count_items(const fake::FakeFolder& folder, std::map<std::string, int>& by_folder,
                 int& total) {
  if (!folder.items.empty())
    by_folder[fake::utf8(folder.name)] += static_cast<int>(folder.items.size());
  total += static_cast<int>(folder.items.size());
  for (const auto& f : folder.subfolders) count_items(*f, by_folder, total);
}

TEST(CorpusExportTest, EveryPlacedMailItemArrivesInItsFolder) {
  const auto files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "corpus not available";
  setenv("TZ", "UTC", 1);
  tzset();
  const auto converter = CodepageConverter::open(kDefaultCodepage);
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    // What the decoding finds, for comparison.
    RecoveryTables reference;
    NullProgress quiet;
    OpenGate gate;
    ASSERT_EQ(CPstScanner(reference, quiet, gate).scan(file), ScanOutcome::kCompleted);
    const auto report = collect_items(reference, file.string(), *converter);
    ASSERT_TRUE(report.has_value());
    std::map<std::uint32_t, const ReportedFolder*> folders;
    for (const auto& f : report->folders) folders.emplace(f.node_id, &f);
    std::map<std::string, int> expected_by_folder;
    for (const auto& item : report->items) {
      if (item.kind != ItemKind::kMail) continue;
      const auto f = folders.find(item.parent_id);
      if (f != folders.end()) ++expected_by_folder[f->second->name];
    }

    RecoveryTables tables;
    ASSERT_EQ(CPstScanner(tables, quiet, gate).scan(file), ScanOutcome::kCompleted);
    test::TempDir dir;
    fake::FakeClient client;
    fake::RecordingHost host;
    const fs::path output = dir.path() / "out Recovered.pst";
    CPstExporter exporter({file, output, std::string(kDefaultCodepage)}, client.mail_client());
    exporter.run(tables, host, host, gate);
    const ExportSummary& summary = exporter.summary();
    EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
    EXPECT_EQ(summary.mail_items_skipped, 0);

    const fake::FakeStore* store = client.store_at(output.string());
    ASSERT_NE(store, nullptr);
    std::map<std::string, int> by_folder;
    int total = 0;
    count_items(*store->root, by_folder, total);
    EXPECT_EQ(total, summary.mail_items_written);
    // Folders of one name are merged, so compare per name; Lost&Found holds the rest. The
    // decoding lists every version: those that are not current are in the folder of the same
    // name below "Recovered Items", or were not written again when identical to one written.
    for (const auto& [name, count] : expected_by_folder) {
      const int lost = name == "Lost&Found" ? summary.items_in_lost_and_found : 0;
      EXPECT_GE(by_folder[name] - lost + summary.identical_copies, count) << name;
    }
    EXPECT_EQ(summary.current_items_written + summary.earlier_versions_written +
                  summary.unlisted_items_written,
              summary.mail_items_written);
    EXPECT_EQ(by_folder["Lost&Found"], summary.items_in_lost_and_found);
    EXPECT_TRUE(host.saw("message Processing of selected PST file is complete"));
    EXPECT_TRUE(fs::exists(output) || !summary.exported);
  }
}

// Damaged copies made with the shared tool export without a fault: every item the export
// reports written is in the store, and the store is found and closed.
TEST(CorpusExportTest, DamagedCopiesExportWhatTheScanFinds) {
  const auto files = corpus_files();
  const fs::path damage = fs::path(PSTORIAN_SHARED_DIR) / "tools" / "pstdamage.py";
  if (files.empty() || !fs::exists(damage) || !fs::exists("/usr/bin/python3")) {
    GTEST_SKIP() << "corpus or damage tool not available";
  }
  test::TempDir dir;
  for (const fs::path& file : files) {
    for (const char* recipe :
         {"zero-header", "zero-btrees", "garbage-pages:5", "bitflip:50", "truncate:0.7", "combo"}) {
      SCOPED_TRACE(file.filename().string() + " " + recipe);
      const fs::path copy = dir.path() / "damaged.pst";
      const std::string cmd = "/usr/bin/python3 '" + damage.string() + "' '" + file.string() +
                              "' '" + copy.string() + "' --recipe " + recipe +
                              " --seed 1 >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0) continue;  // the recipe does not apply
      RecoveryTables tables;
      NullProgress quiet;
      OpenGate gate;
      CPstScanner(tables, quiet, gate).scan(copy);
      fake::FakeClient client;
      fake::RecordingHost host;
      const fs::path output = dir.path() / "damaged Recovered.pst";
      CPstExporter exporter({copy, output, std::string(kDefaultCodepage)}, client.mail_client());
      exporter.run(tables, host, host, gate);
      const ExportSummary& summary = exporter.summary();
      if (summary.outcome == ExportOutcome::kNoObjects) continue;
      EXPECT_EQ(summary.outcome, ExportOutcome::kCompleted);
      EXPECT_EQ(static_cast<int>(client.all_items().size()), summary.mail_items_written);
      EXPECT_EQ(client.closes, 1);
      fs::remove(output);
    }
  }
}

}  // namespace
}  // namespace pstorian
