// A file whose items all name one data tree that names one 8 KB block a million times
// (bench/hostile_files.py repeated-block) claims gigabytes in a few hundred kilobytes. Its
// repair must stay within a small multiple of the file: output at most twice the source
// and 10 MB, the repair's peak memory within its budget (a tenth of the source and
// 100 MB), every real item written and the blocks left out counted. Both forms of the file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/cli_run.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

constexpr int kItems = 40;

// Under AddressSanitizer its own bookkeeping (shadow memory, freed blocks held back) outweighs
// the budget whatever the repair does: the memory is measured in plain builds only.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string quoted(const fs::path& p) {
  return "'" + p.string() + "'";
}

// Runs `command` in a process of its own and gives its exit status and the peak memory of
// what it ran, in bytes, as that process's children account for it.
struct Measured {
  int status = -1;
  long peak_bytes = 0;
};
Measured run_measured(const std::string& command) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(channel[0]);
    const int raw = std::system(command.c_str());
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const long result[2] = {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, usage.ru_maxrss * 1024};
    (void)!::write(channel[1], result, sizeof result);
    ::_exit(0);
  }
  ::close(channel[1]);
  long result[2] = {-1, 0};
  const bool read = pid > 0 && ::read(channel[0], result, sizeof result) == sizeof result;
  ::close(channel[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return read ? Measured{static_cast<int>(result[0]), result[1]} : Measured{};
}

class RepeatedBlockTest : public ::testing::TestWithParam<bool> {};

TEST_P(RepeatedBlockTest, TheRepairStaysWithinTheFileAndKeepsEveryItem) {
  if (std::system("python3 -c 'pass' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  const bool unicode = GetParam();
  test::TempDir dir;
  const fs::path base = dir.path() / "base.pst";
  const fs::path crafted = dir.path() / "crafted.pst";
  test::CliRun made =
      test::run_captured("'" PSTORIAN_CLI "' sample " + quoted(base) + " --rich --messages " +
                             std::to_string(kItems) + (unicode ? " --unicode" : ""),
                         dir.path());
  ASSERT_EQ(made.status, 0) << made.err;
  made = test::run_captured("python3 '" PSTORIAN_SOURCE_DIR "/bench/hostile_files.py' repeated-block " +
                                quoted(crafted) + " --base " + quoted(base),
                            dir.path());
  ASSERT_EQ(made.status, 0) << made.err;
  // Every item's body is the tree: a million names of the block each.
  EXPECT_EQ(made.out.rfind(std::to_string(kItems) + " messages name one block ", 0), 0u) << made.out;

  const fs::path out = dir.path() / "out";
  const fs::path summary = dir.path() / "summary.json";
  const Measured run = run_measured("'" PSTORIAN_CLI "' repair " + quoted(crafted) + " -o " +
                                    quoted(out) + " --json </dev/null >" + quoted(summary) +
                                    " 2>/dev/null");
  ASSERT_EQ(run.status, 0);
  std::ifstream in(summary);
  const nlohmann::json s = nlohmann::json::parse(in, nullptr, false);
  ASSERT_TRUE(s.is_object());

  const auto source_size = static_cast<long>(fs::file_size(crafted));
  const auto output_size = static_cast<long>(fs::file_size(out / "crafted Recovered.pst"));
  EXPECT_LE(output_size, 2 * source_size + (10L << 20));
  EXPECT_GT(run.peak_bytes, 0);
  if (!kSanitized) {
    EXPECT_LE(run.peak_bytes, source_size / 10 + (100L << 20));
  }
  EXPECT_EQ(s.value("mail_items_written", -1), kItems);
  EXPECT_EQ(s.value("current_items_written", -1), kItems);
  EXPECT_EQ(s.value("items_in_lost_and_found", -1), 0);
  // At least the repeated names of every item's tree.
  EXPECT_GE(s.value("repeated_blocks_dropped", 0), kItems);
}

INSTANTIATE_TEST_SUITE_P(BothForms, RepeatedBlockTest, ::testing::Values(false, true),
                         [](const auto& form) { return form.param ? "Unicode" : "Ansi"; });

}  // namespace
}  // namespace pstorian
