// `pstorian-cli sample`: a synthetic mailbox written through the embedded mail client.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

std::string cli(const std::string& args, int& status) {
  return test::run(std::string("'") + PSTORIAN_CLI + "' " + args + " </dev/null 2>&1", &status);
}

TEST(SampleCommand, WritesAValidMailboxAndKeepsExistingFiles) {
  test::TempDir dir;
  const fs::path file = dir.path() / "sample.pst";
  int status = -1;
  std::string out = cli("sample '" + file.string() + "' --folders 4 --messages 30 --seed 3", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Wrote 4 folders and 30 messages"), std::string::npos) << out;
  const std::string tool = PSTORIAN_SHARED_DIR "/tools/pstcheck.py";
  if (fs::exists(tool)) {
    const std::string report = test::run("python3 '" + tool + "' '" + file.string() + "'");
    EXPECT_NE(report.find("pstcheck: 0 errors, 0 warnings"), std::string::npos) << report;
  }
  const auto size = fs::file_size(file);
  // An existing file stays unless --overwrite is given; the same seed gives the same size.
  out = cli("sample '" + file.string() + "' --messages 5", status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_EQ(fs::file_size(file), size);
  out = cli("sample '" + file.string() + "' --folders 4 --messages 30 --seed 3 --overwrite", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(fs::file_size(file), size);
  out = cli("sample '" + file.string() + "' --messages -1 --overwrite", status);
  EXPECT_NE(status, 0) << out;
}

}  // namespace
}  // namespace pstorian
