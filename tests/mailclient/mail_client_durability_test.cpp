// Saved messages reach the file in checkpoints: every 1,000 saves, a few seconds after a
// save, and when the client ends; a writer killed at any moment leaves a valid file holding
// every message saved before its last checkpoint.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/mail_profile.h"
#include "mail_client_support.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using namespace automation;

// Every seventh message carries an attachment of up to 45 KB, in a data tree when it is
// larger than a block.
std::shared_ptr<const MessageContent> with_attachment(int i) {
  auto content = std::make_shared<MessageContent>();
  content->properties.push_back({0x001A001E, std::nullopt, {'I', 'P', 'M', '.', 'N', 'o', 't', 'e'}});
  AttachmentContent attachment;
  std::vector<std::uint8_t> method(4, 0);
  method[0] = 1;  // by value
  attachment.properties.push_back({0x37050003, std::nullopt, method});
  attachment.properties.push_back({0x3707001E, std::nullopt, {'a', '.', 'b', 'i', 'n'}});
  attachment.properties.push_back(
      {0x37010102, std::nullopt,
       std::vector<std::uint8_t>(static_cast<std::size_t>(i % 5 + 1) * 9000,
                                 static_cast<std::uint8_t>(i))});
  content->attachments.push_back(std::move(attachment));
  return content;
}

// Writes messages "kill #1", "kill #2", ... into the Inbox as the export does. After each
// one, `done(n)` learns how many messages are surely in the file: all those finished before
// the latest checkpoint began.
void write_messages(const fs::path& file, int count, const std::function<void(int)>& done) {
  const auto factory = make_mail_client_factory();
  const auto ns = factory->CreateApplication(kApplicationProgId)->GetNamespace(u"MAPI");
  const std::string path = file.string();
  ns->AddStore(std::u16string(path.begin(), path.end()));
  const auto inbox = ns->get_Folders()->Item(1)->get_Folders()->Item(u"Inbox");
  const auto store = MailProfile::instance().stores().front();
  auto helper = std::dynamic_pointer_cast<HelperFolder>(factory->CreateHelper(kHelperFolderProgId));
  helper->put_BoundObject(inbox);
  const std::u16string store_id = inbox->get_StoreID();
  std::size_t checkpoints = store->checkpoints();
  for (int i = 1; i <= count; ++i) {
    auto message = helper->get_Messages()->Add(u"IPM.Note");
    if (i % 7 == 0) message->put_Content(with_attachment(i));
    message->Save();
    auto item = ns->GetItemFromID(message->get_EntryID(), store_id);
    const std::string subject = "kill #" + std::to_string(i);
    item->put_Subject(std::u16string(subject.begin(), subject.end()));
    item->put_Body(std::u16string(static_cast<std::size_t>(i % 13) * 300, u'x'));
    item->Close(kSaveModeSave);
    if (store->checkpoints() != checkpoints) {
      checkpoints = store->checkpoints();
      done(i - 1);  // message i may have been caught half-way
    }
  }
}

std::set<std::string> subjects(const fs::path& file) {
  std::set<std::string> out;
  for (const auto& f : test::pypff_dump(file))
    for (const auto& m : f["messages"]) out.insert(m["subject"].get<std::string>());
  return out;
}

TEST(MailClientDurability, CheckpointsEveryThousandSavesAndWhenTheClientEnds) {
  MailProfile::instance().clear();
  test::TempDir dir;
  const auto file = test::empty_store(dir, "out.pst");
  std::vector<int> reported;
  write_messages(file, 2100, [&](int n) { reported.push_back(n); });
  // A message saved twice (created, then completed) counts once: a checkpoint comes at the
  // latest with every thousandth item (with message 1,000's creation first), sooner when
  // five seconds pass. What a checkpoint reached is in the file while the client runs.
  ASSERT_GE(reported.size(), 2u);
  EXPECT_LE(reported[0], 999);
  for (std::size_t i = 1; i < reported.size(); ++i) EXPECT_LE(reported[i] - reported[i - 1], 1000);
  // A timed checkpoint may be under way: the maps may be marked for rebuilding then.
  EXPECT_TRUE(test::validator_says(file, "pstcheck: 0 errors,"));
  if (test::has_pypff()) {
    const auto seen = subjects(file);
    EXPECT_TRUE(seen.contains("kill #" + std::to_string(reported.back())));
    EXPECT_GE(seen.size(), static_cast<std::size_t>(reported.back()));
  }
  terminate_mail_client();
  EXPECT_TRUE(test::validator_says(file, "pstcheck: 0 errors, 0 warnings"));
  if (test::has_pypff()) {
    EXPECT_EQ(subjects(file).size(), 2100u);
  }
  MailProfile::instance().clear();
}

TEST(MailClientDurability, IdleSavesReachTheFileWithinSeconds) {
  MailProfile::instance().clear();
  test::TempDir dir;
  const auto file = test::empty_store(dir, "out.pst");
  write_messages(file, 3, [](int) {});
  const auto store = MailProfile::instance().stores().front();
  const auto start = std::chrono::steady_clock::now();
  while (store->checkpoints() == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(store->checkpoints(), 1u);
  if (test::has_pypff()) {
    EXPECT_EQ(subjects(file).size(), 3u);
  }
  MailProfile::instance().clear();
}

class KilledWriter : public ::testing::TestWithParam<FileForm> {};

TEST_P(KilledWriter, KeepsEveryMessageOfItsLastCheckpoint) {
  MailProfile::instance().clear();
  test::TempDir dir;
  const auto file = dir.path() / "out.pst";
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delay_ms(100, 2500);
  for (int round = 0; round < 4; ++round) {
    test::write_file(file, EmptyStoreImage(GetParam()));
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe_fds[0]);
      try {
        write_messages(file, 5000, [&](int n) {
          const auto ignored = ::write(pipe_fds[1], &n, sizeof n);
          (void)ignored;
        });
        terminate_mail_client();
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "the writer failed";
    int saved = 0;
    int n = 0;
    while (::read(pipe_fds[0], &n, sizeof n) == sizeof n) saved = n;
    ::close(pipe_fds[0]);
    if (WIFEXITED(status)) saved = 5000;  // finished before the kill

    const std::string report = test::pstcheck(file);
    EXPECT_TRUE(report == "skipped" || report.starts_with("pstcheck: 0 errors"))
        << "round " << round << ": " << report;
    if (!test::has_pypff()) continue;
    const auto seen = subjects(file);
    for (int i = 1; i <= saved; ++i)
      if (!seen.contains("kill #" + std::to_string(i))) {
        ADD_FAILURE() << "round " << round << ": message " << i << " of " << saved << " lost";
        break;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(BothForms, KilledWriter,
                         ::testing::Values(FileForm::kAnsi, FileForm::kUnicode),
                         test::form_test_name);

}  // namespace
}  // namespace pstorian
