// `pstorian-cli repair` and what must never go wrong around it: the source is only ever read
// (links named like the output included), --overwrite replaces or fails with the reason, No
// cancels, odd names and odd inputs are answered at once, and a failed standard output or an
// interrupt ends the run with a clear status and the output store closed.
//
// Tests may run as root, whom mode bits do not stop: writes to the source are then caught with
// inotify (an open for writing shows on close, a mode change as an attribute change), and the
// cases that need a folder the process cannot write run the program as "nobody" (setpriv).
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <streambuf>

#include "cli/repair_command.h"
#include "export/pst_exporter.h"
#include "export/fake_mail_client.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpusFile =
    fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi" / "outlook97-294-messages.pst";

std::string quoted(const fs::path& p) {
  std::string out = "'";
  for (const char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `pstorian-cli ARGS` through the shell (standard input not a terminal), with `prefix`
// in front (a ulimit, setpriv); standard error is kept with standard output.
int run_cli(const std::string& args, std::string* output = nullptr,
            const std::string& prefix = "") {
  int status = 0;
  const std::string out = test::run(
      prefix + "'" + std::string(PSTORIAN_CLI) + "' " + args + " </dev/null 2>&1", &status);
  if (output) *output = out;
  return status;
}

// A copy of the corpus file at `path`, readable by everyone.
bool copy_corpus(const fs::path& path) {
  if (!fs::exists(kCorpusFile)) return false;
  fs::copy_file(kCorpusFile, path, fs::copy_options::overwrite_existing);
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
  return true;
}

// The prefix that runs the program as a user whom mode bits bind: nothing when this process
// is not root, setpriv to "nobody" when it is; no value when root cannot drop its rights here.
std::optional<std::string> unprivileged() {
  if (::geteuid() != 0) return std::string();
  const std::string setpriv = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  int status = -1;
  test::run(setpriv + "test -x '" + std::string(PSTORIAN_CLI) + "' 2>/dev/null", &status);
  if (status != 0) return std::nullopt;
  return setpriv;
}

// What happened to a file's contents and mode while it was watched.
class WriteWatch {
 public:
  explicit WriteWatch(const fs::path& file) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) ::inotify_add_watch(fd_, file.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE);
  }
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;
  ~WriteWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Every event seen so far (IN_MODIFY, IN_ATTRIB, IN_CLOSE_WRITE), or-ed together.
  std::uint32_t events() {
    alignas(inotify_event) char buffer[4096];
    std::uint32_t seen = 0;
    for (;;) {
      const ssize_t n = fd_ >= 0 ? ::read(fd_, buffer, sizeof buffer) : -1;
      if (n <= 0) return seen;
      for (ssize_t at = 0; at < n;) {
        inotify_event event{};
        std::memcpy(&event, buffer + at, sizeof event);
        seen |= event.mask;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
  }

 private:
  int fd_;
};

struct FileState {
  std::vector<std::uint8_t> bytes;
  fs::perms mode{};
  std::int64_t mtime_ns = 0;
  bool operator==(const FileState&) const = default;
};

FileState state_of(const fs::path& file) {
  struct stat st {};
  ::stat(file.c_str(), &st);
  return {test::read_file(file), fs::status(file).permissions(),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// `name` made anew as a hard or a symbolic link to `target`.
void link_as(const fs::path& name, const fs::path& target, bool hard) {
  fs::remove(name);
  if (hard)
    fs::create_hard_link(target, name);
  else
    fs::create_symlink(target, name);
}

constexpr auto kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

TEST(RepairSafetyTest, TheSourceIsNeverWrittenThroughALinkNamedLikeTheOutput) {
  test::TempDir dir;
  const fs::path source = dir.path() / "box.pst";
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  fs::permissions(source, kReadOnly);
  const fs::path output = dir.path() / "box Recovered.pst";
  const FileState before = state_of(source);
  for (const bool hard : {false, true}) {
    for (const std::string flag : {"--keep-existing", "--overwrite"}) {
      link_as(output, source, hard);
      WriteWatch watch(source);
      std::string out;
      EXPECT_EQ(run_cli("repair " + flag + " " + quoted(source), &out), 1) << out;
      EXPECT_NE(out.find("itself (a link to it)"), std::string::npos) << out;
      EXPECT_EQ(out.find("Scanning file..."), std::string::npos) << out;
      EXPECT_EQ(watch.events(), 0u) << flag << (hard ? " hard link" : " symbolic link");
      EXPECT_TRUE(state_of(source) == before) << flag;
    }
  }

  // A link to an unrelated read-only file: --overwrite replaces the link, and the file it
  // led to keeps its bytes and its mode.
  fs::remove(output);
  const fs::path unrelated = dir.path() / "unrelated.pst";
  test::write_file(unrelated, std::vector<std::uint8_t>{1, 2, 3});
  fs::permissions(unrelated, kReadOnly);
  const FileState unrelated_before = state_of(unrelated);
  for (const bool hard : {false, true}) {
    link_as(output, unrelated, hard);
    WriteWatch watch(unrelated);
    std::string out;
    EXPECT_EQ(run_cli("repair --overwrite " + quoted(source), &out), 0) << out;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(output)));
    EXPECT_GT(fs::file_size(output), 49152u);
    EXPECT_EQ(watch.events() & (IN_MODIFY | IN_CLOSE_WRITE), 0u);
    EXPECT_TRUE(state_of(unrelated).bytes == unrelated_before.bytes);
    EXPECT_EQ(state_of(unrelated).mode, kReadOnly);
  }
}

TEST(RepairSafetyTest, AReadOnlySourceInAReadOnlyFolderIsOnlyRead) {
  test::TempDir dir;
  const fs::path folder = dir.path() / "locked";
  fs::create_directory(folder);
  const fs::path source = folder / "box.pst";
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  fs::permissions(source, kReadOnly);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  const FileState before = state_of(source);
  WriteWatch watch(source);
  std::string out;
  EXPECT_EQ(run_cli("repair " + quoted(source) + " -o " + quoted(dir.path() / "out"), &out), 0)
      << out;
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "box Recovered.pst"));
  EXPECT_EQ(watch.events(), 0u);
  EXPECT_TRUE(state_of(source) == before);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// --overwrite replaces the old file or fails with the reason, leaving the old file whole:
// never a silent success that added to it.
TEST(RepairSafetyTest, OverwriteReplacesOrFailsWithItsReason) {
  test::TempDir dir;
  const fs::path source = dir.path() / "box.pst";
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  const fs::path output = dir.path() / "box Recovered.pst";
  std::string out;
  ASSERT_EQ(run_cli("repair " + quoted(source), &out), 0) << out;
  const std::vector<std::uint8_t> old = test::read_file(output);

  // The empty store (48 KiB) is over a 10 KiB file size limit.
  EXPECT_EQ(run_cli("repair --overwrite " + quoted(source), &out, "ulimit -f 10; "), 1) << out;
  const fs::path staging = dir.path() / "box Recovered (incomplete).pst";
  EXPECT_NE(out.find("cannot write " + staging.string() + ": File too large"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("could not be attached"), std::string::npos) << out;
  EXPECT_EQ(test::read_file(output), old);
  EXPECT_FALSE(fs::exists(staging));

  const std::optional<std::string> as_user = unprivileged();
  if (!as_user) GTEST_SKIP() << "cannot run the program as an unprivileged user";
  // The folder (root's, or read-only) cannot take the new file: said before the scan.
  fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(run_cli("repair --overwrite " + quoted(source), &out, *as_user), 1) << out;
  fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_NE(out.find("cannot write to the output folder"), std::string::npos) << out;
  EXPECT_NE(out.find("Permission denied"), std::string::npos) << out;
  EXPECT_EQ(out.find("Scanning file..."), std::string::npos) << out;
  EXPECT_EQ(test::read_file(output), old);
}

// Reads standard input from `answer` while alive.
class TypedAnswer {
 public:
  explicit TypedAnswer(const std::string& answer)
      : in_(answer), old_(std::cin.rdbuf(in_.rdbuf())) {}
  TypedAnswer(const TypedAnswer&) = delete;
  TypedAnswer& operator=(const TypedAnswer&) = delete;
  ~TypedAnswer() { std::cin.rdbuf(old_); }

 private:
  std::istringstream in_;
  std::streambuf* old_;
};

// Standard error while alive, for the prompt.
class CapturedErr {
 public:
  CapturedErr() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
  CapturedErr(const CapturedErr&) = delete;
  CapturedErr& operator=(const CapturedErr&) = delete;
  ~CapturedErr() { std::cerr.rdbuf(old_); }
  std::string text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* old_;
};

TEST(RepairSafetyTest, NoAtThePromptCancelsAndLeavesTheFileUntouched) {
  if (!fs::exists(kCorpusFile)) GTEST_SKIP() << "corpus not available";
  test::TempDir dir;
  cli::RepairOptions options;
  options.source = kCorpusFile.string();
  options.output_folder = dir.path().string();
  const fs::path output = dir.path() / "outlook97-294-messages Recovered.pst";
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  for (const std::string answer : {"\n", "n\n", ""}) {  // Return takes the default, N
    test::write_file(output, old);
    fake::FakeClient client;
    std::ostringstream out, err;
    int status = -1;
    std::string prompt;
    {
      TypedAnswer typed(answer);
      CapturedErr captured;
      status = cli::run_repair(options, client.mail_client(), out, err, true);
      prompt = captured.text();
    }
    EXPECT_EQ(status, 1);
    EXPECT_NE(prompt.find("Do you want to overwrite existing pst file?"), std::string::npos);
    EXPECT_NE(prompt.find("y: replace it"), std::string::npos) << prompt;
    EXPECT_NE(prompt.find("N: cancel the repair"), std::string::npos) << prompt;
    EXPECT_NE(err.str().find("cancelled"), std::string::npos) << err.str();
    EXPECT_EQ(test::read_file(output), old);
    EXPECT_TRUE(client.stores.empty());
  }

  fake::FakeClient client;
  std::ostringstream out, err;
  TypedAnswer typed("y\n");
  CapturedErr captured;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), out, err, true), 0) << err.str();
  EXPECT_NE(test::read_file(output), old);
  EXPECT_NE(client.store_at(output.string()), nullptr);
}

TEST(RepairSafetyTest, NamesThatAreNotUtf8AndFoldersHoldingColonBackslashRepair) {
  test::TempDir dir;
  const fs::path source = dir.path() / "caf\xE9.pst";  // Latin-1
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  std::string out;
  EXPECT_EQ(run_cli("repair " + quoted(source), &out), 0) << out;
  EXPECT_TRUE(fs::exists(dir.path() / "caf\xE9 Recovered.pst"));

  const fs::path odd = dir.path() / "a:\\b";
  EXPECT_EQ(run_cli("repair " + quoted(source) + " -o " + quoted(odd), &out), 0) << out;
  EXPECT_TRUE(fs::exists(odd / "caf\xE9 Recovered.pst"));

  int status = -1;
  const std::string json = test::run(
      "'" + std::string(PSTORIAN_CLI) + "' scan --json " + quoted(source) + " 2>/dev/null",
      &status);
  EXPECT_EQ(status, 0);
  const nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << json;
  EXPECT_EQ(parsed["file"], (dir.path() / "caf\xEF\xBF\xBD.pst").string());
}

TEST(RepairSafetyTest, OddSourcesAndCodePagesAreAnsweredBeforeAnythingIsMade) {
  test::TempDir dir;
  const fs::path fifo = dir.path() / "pipe.pst";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::string out;
  // A FIFO without a writer would block an open for ever; `timeout` exits with 124.
  EXPECT_EQ(run_cli("repair " + quoted(fifo), &out, "timeout 20 "), 1) << out;
  EXPECT_NE(out.find("not a regular file"), std::string::npos) << out;
  EXPECT_EQ(run_cli("scan " + quoted(fifo), &out, "timeout 20 "), 1) << out;

  // A 64-bit header and nothing else: nothing to recover.
  const fs::path wide = dir.path() / "wide.pst";
  std::vector<std::uint8_t> header(64 * 1024, 0);
  std::memcpy(header.data(), "!BDN", 4);
  header[10] = 23;
  test::write_file(wide, header);
  EXPECT_EQ(run_cli("repair " + quoted(wide) + " -o " + quoted(dir.path() / "made"), &out), 1)
      << out;
  // Without its header a file of the 64-bit form is told by its blocks, and repaired into a
  // store of the same form.
  const fs::path unicode_sample =
      fs::path(PSTORIAN_SHARED_DIR) / "corpus/unicode/tika-variousBodyTypes.pst";
  if (fs::exists(unicode_sample)) {
    std::ifstream in(unicode_sample, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::fill(bytes.begin(), bytes.begin() + 564, std::uint8_t{0});
    const fs::path headless = dir.path() / "headless.pst";
    test::write_file(headless, bytes);
    EXPECT_EQ(run_cli("repair " + quoted(headless) + " -o " + quoted(dir.path() / "made"), &out),
              0)
        << out;
    std::ifstream made(dir.path() / "made" / "headless Recovered.pst", std::ios::binary);
    std::vector<char> head(12);
    made.read(head.data(), 12);
    EXPECT_EQ(head[10], 23) << "a 64-bit source gives a 64-bit store";
  }

  const fs::path source = dir.path() / "box.pst";
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  for (const std::string page : {"UTF-16", "UTF-32", "UTF-7", "EBCDIC-US"}) {
    EXPECT_EQ(run_cli("repair --codepage " + page + " " + quoted(source), &out), 2) << out;
    EXPECT_NE(out.find("does not keep ASCII"), std::string::npos) << out;
    EXPECT_EQ(run_cli("scan --items --codepage " + page + " " + quoted(source), &out), 2) << out;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "box Recovered.pst"));
  EXPECT_EQ(run_cli("repair --codepage CP1251 " + quoted(source), &out), 0) << out;

  const std::optional<std::string> as_user = unprivileged();
  if (!as_user) GTEST_SKIP() << "cannot run the program as an unprivileged user";
  const fs::path locked = dir.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(run_cli("repair " + quoted(source) + " -o " + quoted(locked), &out, *as_user), 1)
      << out;
  EXPECT_NE(
      out.find("cannot write to the output folder " + locked.string() + ": Permission denied"),
      std::string::npos)
      << out;
  EXPECT_EQ(out.find("Scanning file..."), std::string::npos) << out;
}

// A stream that takes `lines_ok` lines and then fails, as a closed pipe or a full disk does;
// `on_line` sees each line it took.
class FailingOutput final : public std::streambuf {
 public:
  explicit FailingOutput(int lines_ok) : lines_ok_(lines_ok) {}
  std::function<void(const std::string&)> on_line;
  int lines() const { return lines_; }

 protected:
  int_type overflow(int_type c) override {
    if (lines_ >= lines_ok_) return traits_type::eof();
    if (c == '\n') {
      ++lines_;
      if (on_line) on_line(line_);
      line_.clear();
    } else {
      line_.push_back(static_cast<char>(c));
    }
    return c;
  }

 private:
  int lines_ok_;
  int lines_ = 0;
  std::string line_;
};

TEST(RepairSafetyTest, AFailedStandardOutputStopsTheRepairWithTheStoreClosed) {
  test::TempDir dir;
  const fs::path source = dir.path() / "box.pst";
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  // Standard error to the pipe, standard output to the full device.
  const std::string cli = "'" + std::string(PSTORIAN_CLI) + "' ";
  int status = -1;
  std::string out = test::run(cli + "repair " + quoted(source) + " 2>&1 >/dev/full", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("cannot write to standard output: No space left on device"), std::string::npos)
      << out;
  EXPECT_FALSE(fs::exists(dir.path() / "box Recovered.pst"));
  out = test::run(cli + "scan " + quoted(source) + " 2>&1 >/dev/full", &status);
  EXPECT_EQ(status, 1) << out;
  // A reader that has gone: without the fix the program died of SIGPIPE (141).
  test::run("bash -c \"'" + std::string(PSTORIAN_CLI) + "' repair --overwrite " + quoted(source) +
                " 2>/dev/null | true; exit \\${PIPESTATUS[0]}\"",
            &status);
  EXPECT_EQ(status, 1);

  // Failing mid-export (at the fourth line, "Populating folder Inbox"): the export stops and
  // the store is closed with what was written, fewer items than a whole repair writes.
  cli::RepairOptions options;
  options.source = source.string();
  options.output_folder = (dir.path() / "whole").string();
  std::ostringstream whole_text, err;
  fake::FakeClient whole;
  ASSERT_EQ(cli::run_repair(options, whole.mail_client(), whole_text, err, false), 0);
  options.output_folder = (dir.path() / "mid").string();
  FailingOutput failing(3);
  std::ostream text(&failing);
  fake::FakeClient client;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text, err, false), 1);
  EXPECT_NE(err.str().find("cannot write to standard output"), std::string::npos) << err.str();
  EXPECT_EQ(client.closes, 1);
  // Kept under a name that says it is incomplete, never under the output's.
  const fs::path kept = dir.path() / "mid" / "box Recovered (incomplete).pst";
  EXPECT_FALSE(fs::exists(dir.path() / "mid" / "box Recovered.pst"));
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_NE(err.str().find("what was written is kept in " + kept.string()), std::string::npos)
      << err.str();
  const fake::FakeStore* store = client.store_at(kept.string());
  ASSERT_NE(store, nullptr);
  EXPECT_LT(client.all_items().size(), whole.all_items().size());
}

TEST(RepairSafetyTest, CtrlCExitsWith130AfterClosingTheStore) {
  if (!fs::exists(kCorpusFile)) GTEST_SKIP() << "corpus not available";
  test::TempDir dir;
  cli::RepairOptions options;
  options.source = kCorpusFile.string();
  options.output_folder = dir.path().string();
  FailingOutput lines(1000000);
  lines.on_line = [](const std::string& line) {
    if (line.rfind("Populating folder", 0) == 0) std::raise(SIGINT);
  };
  std::ostream text(&lines);
  std::ostringstream err;
  fake::FakeClient client;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text, err, false), 130) << err.str();
  EXPECT_NE(err.str().find("interrupted"), std::string::npos) << err.str();
  EXPECT_EQ(client.closes, 1);
  const fs::path kept = dir.path() / "outlook97-294-messages Recovered (incomplete).pst";
  EXPECT_NE(err.str().find(std::string(kStoppedText) + " What was written until then"),
            std::string::npos)
      << err.str();
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(dir.path() / "outlook97-294-messages Recovered.pst"));
}

// A source that another program writes to while it is repaired: said, exit 1, and what was
// written is kept only as incomplete, since it may mix the file's two states.
TEST(RepairSafetyTest, ASourceThatChangesDuringTheRepairIsSaidAndNotPublished) {
  test::TempDir dir;
  const fs::path source = dir.path() / "box.pst";
  if (!copy_corpus(source)) GTEST_SKIP() << "corpus not available";
  cli::RepairOptions options;
  options.source = source.string();
  FailingOutput lines(1000000);
  lines.on_line = [&](const std::string& line) {
    if (line.rfind("Populating folder", 0) != 0) return;
    std::ofstream grow(source, std::ios::app | std::ios::binary);
    grow << "appended";
  };
  std::ostream text(&lines);
  std::ostringstream err;
  fake::FakeClient client;
  EXPECT_EQ(cli::run_repair(options, client.mail_client(), text, err, false), 1) << err.str();
  EXPECT_NE(err.str().find(std::string(kSourceChangedText)), std::string::npos) << err.str();
  EXPECT_FALSE(fs::exists(dir.path() / "box Recovered.pst"));
  EXPECT_TRUE(fs::exists(dir.path() / "box Recovered (incomplete).pst"));
}

}  // namespace
}  // namespace pstorian
