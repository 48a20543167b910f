// pstorian-cli scan as a user runs it: exit status, messages and the JSON it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_run.h"

namespace {

namespace fs = std::filesystem;

using pstorian::test::CliRun;

class ScanCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pstorian_cli_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  CliRun run(const std::string& args) {
    return pstorian::test::run_captured(std::string("'") + PSTORIAN_CLI + "' " + args, dir_);
  }

  fs::path write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    return p;
  }

  fs::path dir_;
};

TEST_F(ScanCommand, MissingOrUnreadableFileIsAnErrorWithStatusOne) {
  CliRun r = run("scan '" + (dir_ / "nope.pst").string() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
  r = run("scan '" + dir_.string() + "'");
  EXPECT_EQ(r.status, 1);
}

TEST_F(ScanCommand, ScansUnicodeFilesAndSaysWhenNothingWasFound) {
  // Nothing but a header of the 64-bit form: with no block of either form to go by, the
  // header's version names the form, and the scan finds nothing.
  std::vector<std::uint8_t> unicode(0x10000, 0);
  const char magic[] = "!BDN";
  std::copy(magic, magic + 4, unicode.begin());
  unicode[10] = 23;
  CliRun r = run("scan --json '" + write("unicode.pst", unicode).string() + "'");
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["form"], "unicode");
  r = run("scan '" + write("unicode.pst", unicode).string() + "'");
  EXPECT_NE(r.out.find("form:          unicode"), std::string::npos) << r.out;

  r = run("scan --json '" + write("zeros.pst", std::vector<std::uint8_t>(0x20000, 0)).string() + "'");
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("no personal folder data"), std::string::npos) << r.err;
  const auto zeros = nlohmann::json::parse(r.out);
  EXPECT_EQ(zeros["objects"], 0);
  // Nothing was found to tell an encoding by, and nothing of a personal folder file.
  EXPECT_EQ(zeros["personal_folder_file"], false);
  EXPECT_EQ(zeros["encoded"], false);
  EXPECT_EQ(zeros["encoding"], "unknown");
}

TEST_F(ScanCommand, JsonReportsWhatTheScanFound) {
  const fs::path sample = fs::path(PSTORIAN_SHARED_DIR) / "corpus/ansi/outlook97-294-messages.pst";
  if (!fs::exists(sample)) GTEST_SKIP() << "no corpus";
  const CliRun r = run("scan --json '" + sample.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty());  // no progress bar when standard error is no terminal
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["form"], "ansi");
  for (const char* key : {"file_size", "blocks", "leaf_pages", "node_entries", "objects", "top_level_objects", "encoded"})
    EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_EQ(j["file_size"], fs::file_size(sample));
  EXPECT_EQ(j["encoded"], true);
  EXPECT_GT(j["objects"].get<int>(), 100);

  const CliRun text = run("scan '" + sample.string() + "'");
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("data encoded:  yes"), std::string::npos) << text.out;
}

TEST_F(ScanCommand, ScansUnicodeFilesWithTheirItems) {
  const fs::path sample =
      fs::path(PSTORIAN_SHARED_DIR) / "corpus/unicode/outlook2003-cyclic-36-messages.pst";
  if (!fs::exists(sample)) GTEST_SKIP() << "no corpus";
  const CliRun r = run("scan --items --json '" + sample.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["form"], "unicode");
  EXPECT_EQ(j["encoding"], "cyclic");
  EXPECT_GT(j["objects"].get<int>(), 36);
  EXPECT_NE(r.out.find("\"items\""), std::string::npos);
}

}  // namespace
