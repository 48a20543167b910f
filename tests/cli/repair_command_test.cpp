// `pstorian-cli repair`: its usage errors, what it says when no mail client is there, and a
// whole repair of a corpus file into the in-memory mail client.
#include "cli/repair_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "export/fake_mail_client.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

int run_cli(const std::string& args, std::string* output = nullptr) {
  int status = 0;
  const std::string out =
      test::run(std::string("'") + PSTORIAN_CLI + "' " + args + " </dev/null 2>&1", &status);
  if (output) *output = out;
  return status;
}

fs::path corpus_file() {
  const fs::path dir = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi";
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.path().extension() == ".pst") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files.empty() ? fs::path() : files.front();
}

TEST(RepairCommandTest, UsageErrorsExitWithTwo) {
  test::TempDir dir;
  const fs::path source = dir.path() / "box.pst";
  test::write_file(source, std::vector<std::uint8_t>(1024, 0));
  std::string out;
  EXPECT_EQ(run_cli("repair '" + (dir.path() / "box.txt").string() + "'", &out), 2);
  EXPECT_NE(out.find("does not end in .pst"), std::string::npos);
  EXPECT_EQ(run_cli("repair --overwrite --keep-existing '" + source.string() + "'"), 2);
  EXPECT_EQ(run_cli("repair --codepage NO-SUCH-PAGE '" + source.string() + "'"), 2);
  // An existing output without a terminal to ask and without a flag to decide.
  test::write_file(dir.path() / "box Recovered.pst", std::vector<std::uint8_t>{1});
  EXPECT_EQ(run_cli("repair '" + source.string() + "'", &out), 2);
  EXPECT_NE(out.find("--keep-existing"), std::string::npos);
  EXPECT_EQ(run_cli("repair"), 2);
}

TEST(RepairCommandTest, NothingFoundOrNoMailClientExitsWithOne) {
  test::TempDir dir;
  const fs::path source = dir.path() / "zeros.PST";
  test::write_file(source, std::vector<std::uint8_t>(64 * 1024, 0));
  std::string out;
  EXPECT_EQ(run_cli("repair '" + source.string() + "'", &out), 1);
  EXPECT_NE(out.find("nothing recovered from " + source.string() +
                     ": it is not a personal folder file"),
            std::string::npos)
      << out;
  EXPECT_EQ(run_cli("repair '" + (dir.path() / "missing.pst").string() + "'"), 1);

  const fs::path real = corpus_file();
  if (real.empty()) GTEST_SKIP() << "corpus not available";
  cli::RepairOptions options;
  options.source = real.string();
  options.output_folder = dir.path().string();
  std::ostringstream text, err;
  fake::FakeClient client;
  client.refuse_application = true;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text, err, false), 1);
  EXPECT_NE(err.str().find("outlook is not properly installed."), std::string::npos);
  EXPECT_EQ(text.str().find("Processing of selected PST file is complete"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.path() / (real.stem().string() + " Recovered.pst")));
}

TEST(RepairCommandTest, ARepairWritesTheStoreAndSummarisesIt) {
  const fs::path real = corpus_file();
  if (real.empty()) GTEST_SKIP() << "corpus not available";
  test::TempDir dir;
  cli::RepairOptions options;
  options.source = real.string();
  options.output_folder = (dir.path() / ".." / dir.path().filename()).string();  // made absolute
  std::ostringstream text, err;
  fake::FakeClient client;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text, err, false), 0) << err.str();
  const std::string out = text.str();
  EXPECT_NE(out.find("Scanning file..."), std::string::npos);
  EXPECT_NE(out.find("Collecting Objects..."), std::string::npos);
  EXPECT_NE(out.find("Processing of selected PST file is complete"), std::string::npos);
  EXPECT_NE(out.find("Items written:"), std::string::npos);
  const fs::path output = dir.path() / (real.stem().string() + " Recovered.pst");
  EXPECT_TRUE(fs::exists(output));
  EXPECT_NE(client.store_at(output.string()), nullptr);

  // Again, keeping the file: a copy of it is attached, filled, and then takes its name.
  options.keep_existing = true;
  std::ostringstream again;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), again, err, false), 0) << err.str();
  ASSERT_EQ(client.stores.size(), 2u);
  EXPECT_EQ(client.stores.back()->path, output.string());
  EXPECT_FALSE(fs::exists(dir.path() / (real.stem().string() + " Recovered (incomplete).pst")));
}

TEST(RepairCommandTest, AMissingOutputFolderIsMadeAndAnUnusableOneStopsBeforeTheScan) {
  const fs::path real = corpus_file();
  if (real.empty()) GTEST_SKIP() << "corpus not available";
  test::TempDir dir;
  cli::RepairOptions options;
  options.source = real.string();
  options.output_folder = (dir.path() / "new" / "folder").string();
  std::ostringstream text, err;
  fake::FakeClient client;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text, err, false), 0) << err.str();
  EXPECT_TRUE(fs::exists(dir.path() / "new" / "folder" / (real.stem().string() + " Recovered.pst")));

  // A file where the folder should be: refused at once, nothing scanned.
  test::write_file(dir.path() / "plain", std::vector<std::uint8_t>(4, 0));
  options.output_folder = (dir.path() / "plain").string();
  std::ostringstream text2, err2;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text2, err2, false), 1);
  EXPECT_NE(err2.str().find("cannot create the output folder"), std::string::npos) << err2.str();
  EXPECT_EQ(text2.str().find("Scanning file..."), std::string::npos);
}

}  // namespace
}  // namespace pstorian
