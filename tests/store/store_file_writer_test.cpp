// Writing the empty store to disk: exclusive creation, the overwrite question and its
// answers, and failed writes that must not leave a file behind.
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

TEST_F(StoreFileWriterTest, ReadOnlyFileIsMadeWritableAndReplacedOnYes) {
  const fs::path out = dir_.path() / "locked.pst";
  test::write_file(out, std::vector<std::uint8_t>(10, 7));
  fs::permissions(out, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  ScriptedAsker yes({Answer::kYes});
  EXPECT_TRUE(StoreFileWriter(yes, out).WriteEmptyStore());
  EXPECT_EQ(yes.questions.size(), 1u);
  EXPECT_EQ(test::read_file(out), image());
  EXPECT_NE(fs::status(out).permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(StoreFileWriterTest, MissingFolderAsksAgainAfterEveryYesUntilNo) {
  const fs::path out = dir_.path() / "no such folder" / "out.pst";
  ScriptedAsker asker({Answer::kYes, Answer::kYes, Answer::kNo});
  StoreFileWriter writer(asker, out);
  EXPECT_FALSE(writer.WriteEmptyStore());
  EXPECT_EQ(writer.outcome(), WriteOutcome::kDeclined);
  EXPECT_EQ(asker.questions, std::vector<std::string>(3, kQuestion));
  EXPECT_FALSE(fs::exists(out.parent_path()));
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
  EXPECT_NE(writer.error().find("cannot write"), std::string::npos) << writer.error();
  EXPECT_TRUE(asker.questions.empty());
  EXPECT_TRUE(listing(dir_.path()).empty());

  // The same writer works again once the disk has room.
  EXPECT_TRUE(writer.WriteEmptyStore());
  EXPECT_EQ(test::read_file(out), image());
}

}  // namespace
}  // namespace pstorian
