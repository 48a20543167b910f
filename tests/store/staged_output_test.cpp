// The lock of an output name and the names of staging files: what a second holder meets, what
// a holder that died leaves, and names that must stay within the file system's limit.
#include "store/staged_output.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

TEST(OutputLock, OneHolderAtATimeAndNothingLeftBehind) {
  test::TempDir dir;
  const fs::path output = dir.path() / "a Recovered.pst";
  std::string error;
  {
    std::optional<OutputLock> first = OutputLock::acquire(output, error);
    ASSERT_TRUE(first) << error;
    EXPECT_TRUE(fs::exists(dir.path() / ".a Recovered.pst.lock"));
    // A second lock, in this process or another, is refused with the holder's id.
    bool held = false;
    EXPECT_FALSE(OutputLock::acquire(output, error, &held));
    EXPECT_TRUE(held);
    EXPECT_NE(error.find("(process " + std::to_string(::getpid()) + ")"), std::string::npos)
        << error;
    const pid_t child = ::fork();
    if (child == 0) _exit(OutputLock::acquire(output, error) ? 1 : 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_FALSE(fs::exists(dir.path() / ".a Recovered.pst.lock"));
  // A lock file whose holder died (its lock went with it) is taken over.
  const pid_t child = ::fork();
  if (child == 0) {
    std::string e;
    const auto lock = OutputLock::acquire(output, e);
    _exit(lock ? 0 : 1);  // no destructor: as if killed
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::exists(dir.path() / ".a Recovered.pst.lock"));
  EXPECT_TRUE(OutputLock::acquire(output, error)) << error;
}

TEST(StagingNames, SayIncompleteAndFitTheNameLimit) {
  EXPECT_EQ(staging_path_for("/m/a Recovered.pst", 1), fs::path("/m/a Recovered (incomplete).pst"));
  EXPECT_EQ(staging_path_for("/m/a Recovered.pst", 3),
            fs::path("/m/a Recovered (incomplete 3).pst"));
  EXPECT_EQ(staging_path_for("b.pst", 1), fs::path("./b (incomplete).pst"));
  // A name near the limit is cut, never in the middle of a character.
  std::string long_name;
  while (long_name.size() < 240) long_name += "\xC3\xA9";  // é
  const fs::path staged = staging_path_for("/m/" + long_name + ".pst", 12);
  EXPECT_LE(staged.filename().string().size(), 255u);
  EXPECT_TRUE(staged.filename().string().ends_with("\xC3\xA9 (incomplete 12).pst"));
  EXPECT_LE(lock_path_for("/m/" + long_name + long_name + ".pst").filename().string().size(),
            255u);
}

}  // namespace
}  // namespace pstorian
