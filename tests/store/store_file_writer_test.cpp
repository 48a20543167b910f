// Writing the empty store to disk: exclusive creation, the overwrite question and its
// answers, replacing without touching the old file, and failed writes that must not leave a
// file behind.
#include "store/store_file_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "store/empty_store_image.h"
#include "temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

// Answers with the scripted replies in turn (No once they run out) and keeps the questions.
class ScriptedAsker final : public QuestionAsker {
 public:
  explicit ScriptedAsker(std::deque<Answer> replies = {}) : replies_(std::move(replies)) {}
  Answer AskYesNo(std::string_view text, std::string_view caption) override {
    questions.emplace_back(std::string(caption) + ": " + std::string(text));
    if (replies_.empty()) return Answer::kNo;
    const Answer a = replies_.front();
    replies_.pop_front();
    return a;
  }
  std::vector<std::string> questions;

 private:
  std::deque<Answer> replies_;
};

const std::string kQuestion = "Pstorian: Do you want to overwrite existing pst file?";

std::vector<std::uint8_t> image() {
  const auto img = EmptyStoreImage();
  return {img.begin(), img.end()};
}

// Everything in the folder, to see that no temporary file was left behind.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class StoreFileWriterTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(StoreFileWriterTest, NewFileIsWrittenWithoutAQuestionAndAlwaysTheSame) {
  ScriptedAsker asker;
  const fs::path first = dir_.path() / "archive Recovered.pst";
  const fs::path second = dir_.path() / "other.pst";
  EXPECT_TRUE(StoreFileWriter(asker, first).WriteEmptyStore());
  EXPECT_TRUE(StoreFileWriter(asker, second).WriteEmptyStore());
  EXPECT_TRUE(asker.questions.empty());
  EXPECT_EQ(test::read_file(first), image());
  EXPECT_EQ(test::read_file(second), test::read_file(first));
  EXPECT_EQ(listing(dir_.path()), (std::vector<std::string>{"archive Recovered.pst", "other.pst"}));
}

TEST_F(StoreFileWriterTest, ExistingFileIsKeptOnNoAndReplacedOnYes) {
  const fs::path out = dir_.path() / "out.pst";
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  test::write_file(out, old);

  ScriptedAsker no({Answer::kNo});
  StoreFileWriter declined(no, out);
  EXPECT_FALSE(declined.WriteEmptyStore());
  EXPECT_EQ(declined.outcome(), WriteOutcome::kDeclined);
  EXPECT_EQ(no.questions, std::vector<std::string>{kQuestion});
  EXPECT_EQ(test::read_file(out), old);
  EXPECT_EQ(listing(dir_.path()), std::vector<std::string>{"out.pst"});

  ScriptedAsker yes({Answer::kYes});
  EXPECT_TRUE(StoreFileWriter(yes, out).WriteEmptyStore());
  EXPECT_EQ(yes.questions.size(), 1u);
  EXPECT_EQ(test::read_file(out), image());
  EXPECT_EQ(listing(dir_.path()), std::vector<std::string>{"out.pst"});
}

// Replacing changes which file the name stands for and nothing else: an old read-only file
// keeps its mode and bytes under its other (hard-linked) name, and the target of a symbolic
// link at the output name is never written or made writable.
TEST_F(StoreFileWriterTest, ReplacingSwapsTheNameAndNeverTouchesTheOldFileOrALinksTarget) {
  const auto read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  const std::vector<std::uint8_t> old(10, 7);
  const fs::path other = dir_.path() / "other name.pst";
  test::write_file(other, old);
  fs::permissions(other, read_only);
  const fs::path hard = dir_.path() / "hard.pst";
  fs::create_hard_link(other, hard);
  const fs::path soft = dir_.path() / "soft.pst";
  fs::create_symlink(other, soft);

  ScriptedAsker yes({Answer::kYes});
  EXPECT_TRUE(StoreFileWriter(yes, hard).WriteEmptyStore());
  EXPECT_TRUE(StoreFileWriter(yes, soft, ExistingOutput::kReplace).WriteEmptyStore());
  EXPECT_EQ(yes.questions.size(), 1u);
  for (const fs::path& out : {hard, soft}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out)));
    EXPECT_EQ(test::read_file(out), image());
  }
  EXPECT_EQ(test::read_file(other), old);
  EXPECT_EQ(fs::status(other).permissions(), read_only);
  EXPECT_EQ(fs::hard_link_count(other), 1u);
}

TEST_F(StoreFileWriterTest, KeepLeavesAnExistingFileAndReplaceNeedsNoQuestion) {
  const fs::path out = dir_.path() / "out.pst";
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  test::write_file(out, old);
  ScriptedAsker asker({Answer::kYes});
  StoreFileWriter keep(asker, out, ExistingOutput::kKeep);
  EXPECT_FALSE(keep.WriteEmptyStore());
  EXPECT_EQ(keep.outcome(), WriteOutcome::kKept);
  EXPECT_EQ(test::read_file(out), old);
  // A name that is free is written whatever the choice.
  const fs::path fresh = dir_.path() / "fresh.pst";
  EXPECT_TRUE(StoreFileWriter(asker, fresh, ExistingOutput::kKeep).WriteEmptyStore());
  EXPECT_TRUE(StoreFileWriter(asker, out, ExistingOutput::kReplace).WriteEmptyStore());
  EXPECT_EQ(test::read_file(out), image());
  EXPECT_TRUE(asker.questions.empty());
  EXPECT_EQ(listing(dir_.path()), (std::vector<std::string>{"fresh.pst", "out.pst"}));
}

// A folder that is missing or cannot take the file is a failure with its cause, never the
// overwrite question (whose Yes could not help).
TEST_F(StoreFileWriterTest, AnUnusableFolderFailsWithItsCauseAndNoQuestion) {
  const fs::path missing = dir_.path() / "no such folder" / "out.pst";
  ScriptedAsker asker({Answer::kYes, Answer::kYes});
  StoreFileWriter writer(asker, missing, ExistingOutput::kReplace);
  EXPECT_FALSE(writer.WriteEmptyStore());
  EXPECT_EQ(writer.outcome(), WriteOutcome::kFailed);
  EXPECT_EQ(writer.error(), "cannot create " + missing.string() + ": No such file or directory");
  EXPECT_FALSE(fs::exists(missing.parent_path()));

  test::write_file(dir_.path() / "plain", std::vector<std::uint8_t>{1});
  StoreFileWriter under_file(asker, dir_.path() / "plain" / "out.pst");
  EXPECT_FALSE(under_file.WriteEmptyStore());
  EXPECT_NE(under_file.error().find("Not a directory"), std::string::npos);
  EXPECT_TRUE(asker.questions.empty());
}

TEST_F(StoreFileWriterTest, NonAsciiPathIsUsedExactly) {
  const fs::path folder = dir_.path() / "Pošta Überprüfung 郵便";
  fs::create_directory(folder);
  const fs::path out = folder / "Archiv – wiederhergestellt ✉.pst";
  ScriptedAsker asker;
  EXPECT_TRUE(StoreFileWriter(asker, out).WriteEmptyStore());
  EXPECT_EQ(listing(folder), std::vector<std::string>{"Archiv – wiederhergestellt ✉.pst"});
  EXPECT_EQ(test::read_file(out), image());

  // A name at the length limit still gets its temporary companion.
  const fs::path longest = dir_.path() / (std::string(251, 'x') + ".pst");
  EXPECT_TRUE(StoreFileWriter(asker, longest).WriteEmptyStore());
  EXPECT_TRUE(asker.questions.empty());
}

// A write that fails part-way (here: the file size limit, as a full disk would) must be
// reported and must leave neither the output nor a temporary file.
TEST_F(StoreFileWriterTest, FailedWriteIsReportedAndLeavesNoFile) {
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 10000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

  const fs::path out = dir_.path() / "short.pst";
  ScriptedAsker asker;
  StoreFileWriter writer(asker, out);
  const bool written = writer.WriteEmptyStore();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(written);
  EXPECT_EQ(writer.outcome(), WriteOutcome::kFailed);
  EXPECT_EQ(writer.error(), "cannot write " + out.string() + ": File too large");
  EXPECT_TRUE(asker.questions.empty());
  EXPECT_TRUE(listing(dir_.path()).empty());

  // The same writer works again once the disk has room.
  EXPECT_TRUE(writer.WriteEmptyStore());
  EXPECT_EQ(test::read_file(out), image());

  // A replacement that fails keeps the old file whole.
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  test::write_file(out, old);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::signal(SIGXFSZ, SIG_IGN);
  StoreFileWriter replacing(asker, out, ExistingOutput::kReplace);
  const bool replaced = replacing.WriteEmptyStore();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(replaced);
  EXPECT_NE(replacing.error().find("File too large"), std::string::npos);
  EXPECT_EQ(test::read_file(out), old);
  EXPECT_EQ(listing(dir_.path()), std::vector<std::string>{"short.pst"});
}

}  // namespace
}  // namespace pstorian
