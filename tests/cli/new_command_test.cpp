// `pstorian-cli new`: the command a user runs to make a fresh personal folder file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

std::string cli(const std::string& args, int& status) {
  // Standard input is not a terminal here, as in scripts.
  return test::run(std::string("'") + PSTORIAN_CLI + "' " + args + " </dev/null 2>&1", &status);
}

TEST(NewCommand, WritesRefusesWithoutATerminalAndOverwritesOnRequest) {
  test::TempDir dir;
  const fs::path file = dir.path() / "fresh.pst";
  const auto image = EmptyStoreImage();
  int status = -1;

  std::string out = cli("new '" + file.string() + "'", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(test::read_file(file), std::vector<std::uint8_t>(image.begin(), image.end()));

  const std::vector<std::uint8_t> other = {1, 2, 3};
  test::write_file(file, other);
  out = cli("new '" + file.string() + "'", status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("already exists"), std::string::npos) << out;
  EXPECT_NE(out.find("--overwrite"), std::string::npos) << out;
  EXPECT_EQ(test::read_file(file), other);

  out = cli("new --overwrite '" + file.string() + "'", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(test::read_file(file).size(), 49152u);

  // Overwriting cannot help when the folder is missing: a clear failure with its reason.
  out = cli("new --overwrite '" + (dir.path() / "missing" / "x.pst").string() + "'", status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("cannot create"), std::string::npos) << out;
  EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;

  out = cli("new", status);
  EXPECT_EQ(status, 2) << out;  // usage error
}

}  // namespace
}  // namespace pstorian
