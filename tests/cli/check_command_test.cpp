// pstorian-cli as a user and a script run it: `check` on sound, damaged and unreadable
// files, `repair --json`, `--version`, and the main job's own damage step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/cli_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using pstorian::test::CliRun;

const fs::path kShared = PSTORIAN_SHARED_DIR;

class CliCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pstorian_check_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  CliRun shell(const std::string& command) {
    return pstorian::test::run_captured(command + " </dev/null", dir_);
  }
  CliRun cli(const std::string& args) {
    return shell(std::string("'") + PSTORIAN_CLI + "' " + args);
  }

  // A small mailbox written by the mail client.
  fs::path sample(const std::string& name, int messages = 40) {
    const fs::path file = dir_ / name;
    const CliRun r = cli("sample '" + file.string() + "' --folders 5 --messages " +
                         std::to_string(messages) + " --seed 7");
    EXPECT_EQ(r.status, 0) << r.err;
    return file;
  }

  fs::path dir_;
};

TEST_F(CliCheck, ASoundFileExitsZeroAndSaysWhatAReaderAndARepairGet) {
  const fs::path file = sample("mailbox.pst", 40);
  CliRun r = cli("check '" + file.string() + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("verdict:  sound (0 errors, 0 warnings)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("40 items"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("The file is sound."), std::string::npos) << r.out;

  r = cli("check --json '" + file.string() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["sound"], true);
  EXPECT_EQ(j["form"], "ansi");
  EXPECT_EQ(j["errors"], 0);
  EXPECT_EQ(j["findings"].size(), 0u);
  EXPECT_EQ(j["reader"]["items"], 40);
  // Five folders of the sample and the store's own ones; the repair decodes each message.
  EXPECT_GE(j["reader"]["folders"].get<int>(), 5);
  EXPECT_EQ(j["repair"]["items"], 40);
}

TEST_F(CliCheck, ADamagedFileExitsOneAndNamesTheDamage) {
  const fs::path file = sample("mailbox.pst", 30);
  const fs::path damaged = dir_ / "damaged.pst";
  // The main job's own damage step: the roots, then the header.
  CliRun r = shell("python3 '" PSTORIAN_SOURCE_DIR "/scripts/damage-sample.py' '" + file.string() +
                   "' '" + damaged.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("header zeroed"), std::string::npos) << r.out;
  r = cli("check --json '" + damaged.string() + "'");
  EXPECT_EQ(r.status, 1) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["sound"], false);
  ASSERT_GE(j["findings"].size(), 1u);
  EXPECT_EQ(j["findings"][0]["area"], "header");
  EXPECT_NE(j["findings"][0]["text"].get<std::string>().find("zeroed"), std::string::npos);
  EXPECT_EQ(j["reader"]["items"], 0);
  EXPECT_EQ(j["repair"]["items"], 30);

  r = shell("python3 '" PSTORIAN_SOURCE_DIR "/scripts/damage-sample.py' '" + file.string() + "' '" +
            damaged.string() + "' --zero-roots");
  ASSERT_EQ(r.status, 0) << r.err;
  r = cli("check '" + damaged.string() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("error   node B-tree: the root page at"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("error   block B-tree: the root page at"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("The file is damaged"), std::string::npos) << r.out;
  // The source of the damage step is only read.
  EXPECT_EQ(cli("check '" + file.string() + "'").status, 0);
}

TEST_F(CliCheck, AFileThatCannotBeReadIsNoVerdict) {
  CliRun r = cli("check '" + (dir_ / "nope.pst").string() + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(cli("check '" + dir_.string() + "'").status, 2);
  EXPECT_EQ(cli("check").status, 2);
}

TEST_F(CliCheck, EveryCorpusFileIsSound) {
  std::vector<fs::path> files;
  for (const char* form : {"ansi", "unicode"})
    if (fs::is_directory(kShared / "corpus" / form))
      for (const auto& e : fs::directory_iterator(kShared / "corpus" / form))
        if (e.path().extension() == ".pst") files.push_back(e.path());
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kShared;
  for (const fs::path& file : files) {
    const CliRun r = cli("check --json '" + file.string() + "'");
    EXPECT_EQ(r.status, 0) << file << "\n" << r.out << r.err;
    const json j = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << file;
    EXPECT_EQ(j["errors"], 0) << file << "\n" << r.out;
    EXPECT_GT(j["reader"]["folders"].get<int>(), 1) << file;
    // A repair of a sound 32-bit file finds at least what a reader finds.
    if (j["form"] == "ansi") {
      EXPECT_GE(j["repair"]["items"].get<int>(), j["reader"]["items"].get<int>()) << file;
    }
  }
}

// Each recipe of the shared damage tool, on two corpus files: exit 1 and the damage named in
// the area where a reader meets it.
TEST_F(CliCheck, EveryDamageRecipeIsFoundAndNamed) {
  const fs::path tool = kShared / "tools" / "pstdamage.py";
  const fs::path corpus = kShared / "corpus" / "ansi";
  if (!fs::exists(tool) || !fs::is_directory(corpus)) GTEST_SKIP() << "no shared tools or corpus";
  const std::map<std::string, std::vector<std::string>> named = {
      {"zero-header", {"header"}},
      {"zero-roots", {"node B-tree", "block B-tree"}},
      {"zero-btrees", {"node B-tree", "block B-tree"}},
      {"zero-pages:2", {}},
      {"garbage-pages:5", {}},
      {"truncate:0.7", {"header"}},
      {"bitflip:50", {}},
      {"zero-amaps", {"allocation maps"}},
      {"combo", {"header"}},
  };
  for (const char* name : {"outlook97-294-messages.pst", "outlook2000-73-messages.pst"}) {
    for (const auto& [recipe, areas] : named) {
      const fs::path damaged = dir_ / "damaged.pst";
      const CliRun made =
          shell("/usr/bin/python3 '" + tool.string() + "' '" + (corpus / name).string() + "' '" +
                damaged.string() + "' --recipe " + recipe + " --seed 1");
      if (made.status == 1) continue;  // the recipe does not apply to this file
      ASSERT_EQ(made.status, 0) << recipe << made.err;
      const CliRun r = cli("check --json '" + damaged.string() + "'");
      EXPECT_EQ(r.status, 1) << name << " " << recipe << "\n" << r.out;
      const json j = json::parse(r.out, nullptr, false);
      ASSERT_FALSE(j.is_discarded()) << r.out;
      ASSERT_GE(j["findings"].size(), 1u) << name << " " << recipe;
      for (const std::string& area : areas) {
        bool found = false;
        for (const json& f : j["findings"])
          found = found || (f["area"] == area && f["severity"] == "error");
        EXPECT_TRUE(found) << name << " " << recipe << ": nothing named in " << area << "\n"
                           << j["findings"].dump(1);
      }
    }
  }
}

TEST_F(CliCheck, RepairJsonIsTheWholeSummaryAndNothingElse) {
  const fs::path file = sample("mailbox.pst", 25);
  const fs::path damaged = dir_ / "damaged.pst";
  ASSERT_EQ(shell("python3 '" PSTORIAN_SOURCE_DIR "/scripts/damage-sample.py' '" + file.string() +
                  "' '" + damaged.string() + "'")
                .status,
            0);
  CliRun r = cli("repair --json '" + damaged.string() + "' -o '" + (dir_ / "out").string() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);  // no status line around it
  EXPECT_EQ(j["outcome"], "completed");
  EXPECT_EQ(j["exit_status"], 0);
  EXPECT_EQ(j["mail_items_written"], 25);
  EXPECT_EQ(j["written_by_kind"]["mail"], 25) << j.dump(1);
  EXPECT_EQ(j["items_in_lost_and_found"], 0);
  EXPECT_EQ(j["mail_items_skipped"], 0);
  EXPECT_GE(j["folders_recreated"].get<int>(), 5);
  EXPECT_TRUE(j["not_exported"].is_object());
  EXPECT_TRUE(j["continued_folders"].is_array());
  EXPECT_TRUE(j["seconds"].is_number());
  EXPECT_EQ(j["source"], damaged.string());
  const fs::path output = j["output"].get<std::string>();
  EXPECT_EQ(output.filename(), "damaged Recovered.pst");
  EXPECT_TRUE(fs::exists(output));
  // The recovered file is sound, and a reader reaches every message in it.
  r = cli("check --json '" + output.string() + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(json::parse(r.out)["reader"]["items"], 25);

  // Nothing to recover: still one object, with the outcome and the exit status.
  const fs::path zeros = dir_ / "zeros.pst";
  std::ofstream(zeros, std::ios::binary) << std::string(0x20000, '\0');
  r = cli("repair --json '" + zeros.string() + "' -o '" + (dir_ / "out2").string() + "'");
  EXPECT_EQ(r.status, 1);
  const json none = json::parse(r.out);
  EXPECT_EQ(none["outcome"], "no_objects");
  EXPECT_EQ(none["exit_status"], 1);
  EXPECT_EQ(none["mail_items_written"], 0);
}

TEST_F(CliCheck, VersionIsPrintedAndExitsZero) {
  const CliRun r = cli("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("pstorian-cli ") + PSTORIAN_VERSION + "\n");
}

}  // namespace
