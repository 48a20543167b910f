// What a repair may do to the file at its output name, run as a user runs it: the program
// stopped by a signal, killed, cut off from its reader or its disk at any moment leaves an
// existing output byte for byte as it was; two repairs into one name never lose a run's
// work; a FIFO or a device node at the name stays what it is; and each way a repair ends is
// said one way, in text and in JSON.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// The program started with `args`, its output in files of `dir`, nothing on its input.
class Running {
 public:
  Running(const std::vector<std::string>& args, const fs::path& dir) {
    std::vector<char*> argv;
    std::string cli = PSTORIAN_CLI;
    argv.push_back(cli.data());
    args_ = args;
    for (std::string& a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    in_ = dir / "empty";
    posix_spawn_file_actions_addopen(&actions, 0, in_.c_str(), O_RDONLY | O_CREAT, 0644);
    out_ = dir / "run.out";
    err_ = dir / "run.err";
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, cli.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }

  bool started() const { return pid_ > 0; }
  void signal(int number) { ::kill(pid_, number); }
  // The raw wait status.
  int wait() {
    if (!waited_) {
      ::waitpid(pid_, &status_, 0);
      waited_ = true;
    }
    return status_;
  }
  std::string out() const { return slurp(out_); }
  std::string err() const { return slurp(err_); }

 private:
  static std::string slurp(const fs::path& p) {
    const auto bytes = test::read_file(p);
    return std::string(bytes.begin(), bytes.end());
  }
  std::vector<std::string> args_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool waited_ = false;
  fs::path in_, out_, err_;
};

class OutputReplacement : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_.path() / "box.pst";
    output_ = dir_.path() / "box Recovered.pst";
    logs_ = dir_.path() / "logs";
    fs::create_directories(logs_);
    empty_ = logs_ / "empty";
    test::write_file(empty_, std::vector<std::uint8_t>{});
    incomplete_ = dir_.path() / "box Recovered (incomplete).pst";
    int status = 0;
    const std::string said =
        test::run(quoted(PSTORIAN_CLI) + " sample " + quoted(source_) + " --messages 4000 2>&1",
                  &status);
    ASSERT_EQ(status, 0) << said;
  }

  // A repair with `flags`; its exit status.
  int repair(const std::string& flags, std::string* said = nullptr) {
    int status = 0;
    const std::string out = test::run(quoted(PSTORIAN_CLI) + " repair " + quoted(source_) + " " +
                                          flags + " <" + quoted(empty_) + " 2>&1",
                                      &status);
    if (said) *said = out;
    return status;
  }

  static nlohmann::json json_of(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
  }

  test::TempDir dir_;
  fs::path source_, output_, incomplete_, logs_;
  fs::path empty_;  // standard input: nothing to answer with
};

// Stopped, killed or cut off at moments spread over the whole run, the repair never leaves
// the old output other than it was: either it completed and replaced it, or it is untouched.
TEST_F(OutputReplacement, AnInterruptedRepairLeavesTheOldOutputAsItWas) {
  ASSERT_EQ(repair(""), 0);
  const std::vector<std::uint8_t> old = test::read_file(output_);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(repair("--overwrite -o " + quoted(dir_.path() / "timing")), 0);
  const auto whole = std::chrono::steady_clock::now() - t0;

  struct Case {
    const char* name;
    int signal;  // 0: standard output is a pipe whose reader goes
  };
  const Case cases[] = {{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGKILL", SIGKILL},
                        {"closed stdout", 0}};
  std::mt19937 random(20261208);
  int cut_short = 0;
#if defined(__SANITIZE_ADDRESS__)
  constexpr int kRounds = 1;  // every run is many times slower there
#else
  constexpr int kRounds = 3;
#endif
  for (const Case& c : cases) {
    for (int round = 0; round < kRounds; ++round) {
      const auto moment = std::chrono::duration_cast<std::chrono::microseconds>(
          whole * std::uniform_real_distribution<double>(0.02, 0.7)(random));
      SCOPED_TRACE(std::string(c.name) + " after " + std::to_string(moment.count()) + " us");
      int status = 0;
      std::string said;
      if (c.signal != 0) {
        Running run({"repair", source_.string(), "--overwrite"}, logs_);
        ASSERT_TRUE(run.started());
        std::this_thread::sleep_for(moment);
        run.signal(c.signal);
        status = run.wait();
        said = run.err();
      } else {
        // The reader takes the first status line and goes.
        said = test::run("bash -c \"" + quoted(PSTORIAN_CLI) + " repair " + quoted(source_) +
                         " --overwrite <" + quoted(empty_) + " 2>&1 | head -c 10 >" +
                         quoted(logs_ / "head") + "; exit \\${PIPESTATUS[0]}\"");
      }
      // A repair that completed replaced the file; any other end left it as it was.
      if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0 && c.signal != 0)) {
        ++cut_short;
        EXPECT_TRUE(test::read_file(output_) == old) << said;
      }
      // A later repair is not held up by what this one left.
      EXPECT_EQ(repair("--overwrite", &said), 0) << said;
      test::write_file(output_, old);
      for (const auto& e : fs::directory_iterator(dir_.path()))
        if (e.path().filename().string().find("(incomplete") != std::string::npos)
          fs::remove(e.path());
    }
  }
  // Most moments fall inside the run; how many depends on the machine's load.
  EXPECT_GT(cut_short, kRounds + 1);
}

// A second repair into the name another one is writing is refused with the reason; the first
// one's work is whole.
TEST_F(OutputReplacement, TwoRepairsIntoOneNameLoseNothing) {
  Running first({"repair", source_.string(), "--json"}, logs_);
  ASSERT_TRUE(first.started());
  const fs::path lock = dir_.path() / ".box Recovered.pst.lock";
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!fs::exists(lock) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(fs::exists(lock));
  std::string said;
  const int second = repair("--overwrite", &said);
  const int status = first.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << first.err();
  if (second == 0) {
    // The first one ended before the second looked: it ran after it, whole.
    GTEST_SKIP() << "the first repair ended before the second started";
  }
  EXPECT_EQ(second, 1) << said;
  EXPECT_NE(said.find("another repair is writing " + output_.string()), std::string::npos)
      << said;
  const nlohmann::json summary = json_of(first.out());
  EXPECT_EQ(summary.value("result", ""), "complete");
  EXPECT_EQ(summary.value("mail_items_written", 0), 4000);
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_FALSE(fs::exists(incomplete_));
  // The output holds every item once: a repair adding to it finds all of them there.
  ASSERT_EQ(repair("--keep-existing --json", &said), 0) << said;
  EXPECT_EQ(json_of(said.substr(said.find('{'))).value("items_already_held", 0), 4000);
}

// A FIFO or a device node at the output name stays what it is, whatever --overwrite says, for
// every command that writes a store.
TEST_F(OutputReplacement, ANameThatIsNoRegularFileIsRefusedAndLeftAsItIs) {
  struct Kind {
    const char* name;
    mode_t mode;
  };
  for (const Kind& kind : {Kind{"FIFO", S_IFIFO}, Kind{"character device", S_IFCHR}}) {
    SCOPED_TRACE(kind.name);
    fs::remove(output_);
    // The same device numbers as the null device, made in the test's own folder.
    if (::mknod(output_.c_str(), kind.mode | 0600, makedev(1, 3)) != 0) {
      if (kind.mode == S_IFCHR) continue;  // making devices needs privileges
      FAIL() << "cannot make a FIFO";
    }
    for (const std::string& command :
         {"repair " + quoted(source_) + " --overwrite",
          "repair " + quoted(source_) + " --keep-existing", "new " + quoted(output_) + " --overwrite",
          "sample " + quoted(output_) + " --overwrite"}) {
      int status = 0;
      const std::string said =
          test::run(quoted(PSTORIAN_CLI) + " " + command + " <" + quoted(empty_) + " 2>&1", &status);
      EXPECT_NE(status, 0) << command << ": " << said;
      EXPECT_NE(said.find("not a regular file"), std::string::npos) << command << ": " << said;
      struct stat st {};
      ASSERT_EQ(::lstat(output_.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & S_IFMT, kind.mode) << command;
    }
  }
}

// Complete, nothing recovered, stopped, failed: said the same way in the text and the JSON;
// only a complete repair names an output, and only one that wrote something an incomplete
// file.
TEST_F(OutputReplacement, EachEndIsSaidOneWay) {
  std::string said;
  ASSERT_EQ(repair("--json", &said), 0) << said;
  nlohmann::json j = json_of(said);
  EXPECT_EQ(j.value("result", ""), "complete");
  EXPECT_EQ(j["output"], output_.string());
  EXPECT_TRUE(j["incomplete_output"].is_null());
  EXPECT_TRUE(j["error"].is_null());

  // Failed: a file size limit over the first checkpoints, under the whole output.
  const std::vector<std::uint8_t> old = test::read_file(output_);
  int status = 0;
  said = test::run("ulimit -f 4000; " + quoted(PSTORIAN_CLI) + " repair " + quoted(source_) +
                       " --overwrite --json 2>" + quoted(logs_ / "err") + " <" + quoted(empty_),
                   &status);
  EXPECT_EQ(status, 1) << said;
  j = json_of(said);
  EXPECT_EQ(j.value("result", ""), "failed") << said;
  EXPECT_TRUE(j["output"].is_null());
  EXPECT_EQ(j["incomplete_output"], incomplete_.string());
  const auto err = test::read_file(logs_ / "err");
  EXPECT_NE(std::string(err.begin(), err.end()).find("File too large"), std::string::npos);
  EXPECT_TRUE(fs::exists(incomplete_));
  EXPECT_TRUE(test::read_file(output_) == old);
  fs::remove(incomplete_);

  // Nothing recovered: no output named, the reason given.
  const fs::path jpeg = dir_.path() / "photo.pst";
  std::vector<std::uint8_t> bytes(50000, 0x5A);
  bytes[0] = 0xFF;
  bytes[1] = 0xD8;
  test::write_file(jpeg, bytes);
  said = test::run(quoted(PSTORIAN_CLI) + " repair " + quoted(jpeg) + " --json 2>" +
                       quoted(logs_ / "err"),
                   &status);
  EXPECT_EQ(status, 1);
  j = json_of(said);
  EXPECT_EQ(j.value("result", ""), "nothing recovered");
  EXPECT_TRUE(j["output"].is_null());
  EXPECT_NE(j.value("error", "").find("not a personal folder file"), std::string::npos) << said;
  EXPECT_FALSE(fs::exists(dir_.path() / "photo Recovered.pst"));

  // Stopped: SIGINT once the export has begun.
  Running run({"repair", source_.string(), "--overwrite", "--json"}, logs_);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!fs::exists(incomplete_) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  run.signal(SIGINT);
  status = run.wait();
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the repair ended before it was stopped";
  EXPECT_EQ(WEXITSTATUS(status), 130) << run.err();
  j = json_of(run.out());
  EXPECT_EQ(j.value("result", ""), "stopped") << run.out();
  EXPECT_TRUE(j["output"].is_null());
  EXPECT_NE(run.err().find("was left as it was"), std::string::npos) << run.err();
}

// A repair stopped part-way, then run again adding to what there is, gives every item once;
// once more, it adds nothing.
TEST_F(OutputReplacement, AnInterruptedRepairIsCompletedByRunningItAgain) {
  {
    Running run({"repair", source_.string()}, logs_);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(incomplete_) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms);
    run.signal(SIGTERM);
    run.wait();
  }
  std::string said;
  ASSERT_EQ(repair("--keep-existing --json", &said), 0) << said;
  nlohmann::json j = json_of(said.substr(said.find('{')));
  EXPECT_EQ(j.value("mail_items_written", 0) + j.value("items_already_held", 0), 4000);
  ASSERT_EQ(repair("--keep-existing --json", &said), 0) << said;
  j = json_of(said.substr(said.find('{')));
  EXPECT_EQ(j.value("mail_items_written", -1), 0);
  EXPECT_EQ(j.value("items_already_held", 0), 4000);
}

}  // namespace
}  // namespace pstorian
