// A whole repair judged from the outside: the output store must be structurally sound for
// the shared validator, and repairing an undamaged file must bring back every message into
// the folder it came from. Kept to two small files so the suite stays quick; skips when the
// corpus, the tools or Debian's pypff are not there.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";
const fs::path kTools = fs::path(PSTORIAN_SHARED_DIR) / "tools";
const fs::path kCorpus = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi";

bool have_tools() {
  int status = 1;
  test::run(kPython + " -c 'import pypff' >/dev/null 2>&1", &status);
  return status == 0 && fs::exists(kTools / "pstcheck.py") && fs::exists(kTools / "pstscore.py") &&
         fs::exists(kTools / "pstdamage.py");
}

nlohmann::json run_json(const std::string& command) {
  const std::string out = test::run(command + " 2>/dev/null");
  return nlohmann::json::parse(out, nullptr, false);
}

// Repairs `source` into `folder` and returns the output path ("" when the repair failed).
fs::path repair(const fs::path& source, const fs::path& folder) {
  int status = -1;
  const std::string out =
      test::run(std::string("'") + PSTORIAN_CLI + "' repair '" + source.string() + "' -o '" +
                    folder.string() + "' --overwrite </dev/null 2>&1",
                &status);
  EXPECT_EQ(status, 0) << out;
  const fs::path output = folder / (source.stem().string() + " Recovered.pst");
  return status == 0 && fs::exists(output) ? output : fs::path();
}

void expect_sound(const fs::path& output) {
  const nlohmann::json check = run_json(kPython + " '" + (kTools / "pstcheck.py").string() +
                                        "' --json '" + output.string() + "'");
  ASSERT_TRUE(check.is_object()) << output;
  EXPECT_EQ(check.value("errors", -1), 0) << check.dump();
}

class RepairQuality : public ::testing::TestWithParam<const char*> {};

TEST_P(RepairQuality, UndamagedFileComesBackWholeAndDamagedCopyStaysSound) {
  const fs::path original = kCorpus / GetParam();
  if (!fs::exists(original) || !have_tools()) GTEST_SKIP() << "corpus, tools or pypff missing";
  test::TempDir dir;

  const fs::path output = repair(original, dir.path());
  ASSERT_FALSE(output.empty());
  expect_sound(output);
  const nlohmann::json score =
      run_json(kPython + " '" + (kTools / "pstscore.py").string() + "' '" + original.string() +
               "' '" + output.string() + "' --mail-only --json");
  ASSERT_TRUE(score.is_object());
  EXPECT_EQ(score.value("recovered_pct", 0.0), 100.0) << score.dump();
  EXPECT_EQ(score.value("same_folder_pct", 0.0), 100.0) << score.dump();

  // The damage that defeats ordinary readers: header and B-tree roots gone.
  const fs::path roots = dir.path() / "roots.pst";
  const fs::path damaged = dir.path() / "damaged.pst";
  const std::string damage = kPython + " '" + (kTools / "pstdamage.py").string() + "' ";
  int status = -1;
  test::run(damage + "'" + original.string() + "' '" + roots.string() +
                "' --recipe zero-roots --seed 1 >/dev/null 2>&1 && " + damage + "'" +
                roots.string() + "' '" + damaged.string() +
                "' --recipe zero-header --seed 1 >/dev/null 2>&1",
            &status);
  ASSERT_EQ(status, 0);
  fs::create_directories(dir.path() / "out");
  const fs::path repaired = repair(damaged, dir.path() / "out");
  ASSERT_FALSE(repaired.empty());
  expect_sound(repaired);
}

INSTANTIATE_TEST_SUITE_P(Corpus, RepairQuality,
                         ::testing::Values("outlook2000-73-messages.pst", "pstsdk-test_ansi.pst",
                                           "pstsdk-sample2.pst"));

}  // namespace
}  // namespace pstorian
