// Whole mailboxes written through the automation interfaces and read back by the validator
// and by libpff: the sample from the empty store, and additions to files the mail client
// wrote.
#include "mailclient/automation/sample_mailbox.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/messaging/mail_profile.h"
#include "mailclient/automation/ole_date.h"
#include "mail_client_support.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string joined(const std::vector<std::u16string>& path,
                   const std::string& top = "Top of Personal Folders") {
  std::string out = top;
  for (const auto& name : path) out += "/" + test::utf8(name);
  return out;
}

std::string joined(const json& path) {
  std::string out;
  for (const auto& name : path) out += (out.empty() ? "" : "/") + name.get<std::string>();
  return out;
}

// Every folder and message the sample wrote, as libpff reads them.
// The name of the store's top folder: the parent of the folder the sample created first.
std::string top_name(const json& dump, const SampleManifest& manifest) {
  const std::string first = test::utf8(manifest.folders.at(1).path.at(0));
  for (const auto& f : dump)
    if (f["path"].size() == 2 && f["path"][1] == first) return f["path"][0];
  return "";
}

// `before` is what the file held before the sample was added to it (null for none).
void expect_sample_read_back(const json& dump, const SampleManifest& manifest,
                             const SampleOptions& options, const json& before = nullptr) {
  const std::string top = top_name(dump, manifest);
  ASSERT_FALSE(top.empty());
  std::map<std::string, const json*> folders;
  for (const auto& f : dump) folders[joined(f["path"])] = &f["messages"];
  std::map<std::string, std::map<std::string, const json*>> by_subject;
  for (const auto& [path, messages] : folders)
    for (const auto& m : *messages) by_subject[path][m["subject"].get<std::string>()] = &m;
  for (const auto& f : manifest.folders) EXPECT_TRUE(folders.contains(joined(f.path, top)));
  std::map<std::string, std::size_t> per_folder;
  if (!before.is_null())
    for (const auto& f : before) per_folder[joined(f["path"])] = f["messages"].size();
  std::size_t checked = 0;
  for (std::size_t i = 0; i < manifest.messages.size(); ++i) {
    const auto& expected = manifest.messages[i];
    const std::string path = joined(manifest.folders[expected.folder].path, top);
    ++per_folder[path];
    const auto& messages = by_subject[path];
    const auto it = messages.find(test::utf8(expected.subject));
    if (it == messages.end()) {
      ADD_FAILURE() << "message " << i << " missing from " << path;
      continue;
    }
    const json& m = *it->second;
    EXPECT_EQ(m["body"], test::utf8(sample_body(options.seed, i, expected.body_size))) << i;
    EXPECT_EQ(m["sender"], test::utf8(expected.sender)) << i;
    EXPECT_EQ(m["display_to"], test::utf8(expected.display_to)) << i;
    EXPECT_EQ(m["delivered"].get<std::uint64_t>(), ole_date_to_filetime(expected.delivered)) << i;
    EXPECT_EQ(m["submitted"].get<std::uint64_t>(), ole_date_to_filetime(expected.submitted)) << i;
    ++checked;
  }
  EXPECT_EQ(checked, manifest.messages.size());
  for (const auto& [path, count] : per_folder) EXPECT_EQ(folders[path]->size(), count) << path;
}

TEST(SampleMailbox, TenThousandMessagesInTwentyFoldersReadBack) {
  test::TempDir dir;
  const auto file = test::empty_store(dir, "sample.pst");
  SampleOptions options;
  options.folders = 20;
  options.messages = 10000;
  options.seed = 7;
  const auto factory = make_mail_client_factory();
  const auto manifest = fill_sample_mailbox(*factory, file, options);
  terminate_mail_client();
  MailProfile::instance().clear();

  std::set<std::int32_t> types;
  std::size_t deepest = 0;
  for (const auto& f : manifest.folders) {
    types.insert(f.type);
    deepest = std::max(deepest, f.path.size());
  }
  EXPECT_EQ(types.size(), 6u);
  EXPECT_EQ(deepest, 3u);
  std::size_t largest = 0;
  for (const auto& m : manifest.messages) largest = std::max(largest, m.body_size);
  EXPECT_EQ(largest, options.largest_body);

  EXPECT_TRUE(test::validator_says(file, "pstcheck: 0 errors, 0 warnings, "));
  // libpst finds every message too (one mbox "From " line each). Its parallel jobs can lose
  // a message on a busy machine when two of them write one mbox file, so it runs as one.
  if (fs::exists("/usr/bin/readpst")) {
    const auto out = dir.path() / "readpst";
    fs::create_directory(out);
    int status = -1;
    test::run("readpst -q -j 0 -o '" + out.string() + "' '" + file.string() + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    const std::string count =
        test::run("cat '" + out.string() + "'/*.mbox | grep -c '^From '");
    EXPECT_EQ(std::stoul(count), manifest.messages.size());
  }
  if (!test::has_pypff()) GTEST_SKIP() << "pypff not installed";
  const json dump = test::pypff_dump(file);
  ASSERT_FALSE(dump.is_null());
  expect_sample_read_back(dump, manifest, options);
}

TEST(SampleMailbox, AFullFolderGoesOnInNumberedSiblings) {
  test::TempDir dir;
  const auto file = test::empty_store(dir, "sample.pst");
  SampleOptions options;
  options.folders = 0;
  options.messages = 40;
  options.items_per_folder = 12;
  const auto factory = make_mail_client_factory();
  const auto manifest = fill_sample_mailbox(*factory, file, options);
  terminate_mail_client();
  MailProfile::instance().clear();
  std::map<std::string, std::size_t> held;
  for (const auto& m : manifest.messages) ++held[joined(manifest.folders[m.folder].path)];
  for (const auto& [path, count] : held) EXPECT_LE(count, 12u) << path;
  EXPECT_EQ(held, (std::map<std::string, std::size_t>{{"Top of Personal Folders/Inbox", 12},
                                                       {"Top of Personal Folders/Inbox (2)", 12},
                                                       {"Top of Personal Folders/Inbox (3)", 12},
                                                       {"Top of Personal Folders/Inbox (4)", 4}}));
  EXPECT_TRUE(test::validator_says(file, "pstcheck: 0 errors, 0 warnings, "));
  if (!test::has_pypff()) GTEST_SKIP() << "pypff not installed";
  const json dump = test::pypff_dump(file);
  ASSERT_FALSE(dump.is_null());
  expect_sample_read_back(dump, manifest, options);
}

TEST(SampleMailbox, AddsToEveryFileOfTheCorpus) {
  test::TempDir dir;
  const auto copies = test::corpus_copies(dir);
  if (copies.empty()) GTEST_SKIP() << "corpus not found";
  const bool oracle = test::has_pypff();
  for (const auto& copy : copies) {
    SCOPED_TRACE(copy.filename().string());
    const json before = oracle ? test::pypff_dump(copy) : json();
    const std::uint8_t crypt = test::read_file(copy).at(461);
    SampleOptions options;
    options.folders = 1;
    options.messages = 100;
    options.largest_body = 20000;
    const auto factory = make_mail_client_factory();
    SampleManifest manifest;
    try {
      manifest = fill_sample_mailbox(*factory, copy, options);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      MailProfile::instance().clear();
      continue;
    }
    MailProfile::instance().clear();

    EXPECT_EQ(test::read_file(copy).at(461), crypt) << "the encoding changed";
    const std::string report = test::pstcheck(copy);
    EXPECT_TRUE(report == "skipped" || report.starts_with("pstcheck: 0 errors")) << report;
    if (!oracle || before.is_null()) continue;
    const json after = test::pypff_dump(copy);
    ASSERT_FALSE(after.is_null());
    // The old content is all still there, with its subjects; the new content is complete.
    std::map<std::string, std::multiset<std::string>> old_subjects, new_subjects;
    for (const auto& f : before)
      for (const auto& m : f["messages"]) old_subjects[joined(f["path"])].insert(m["subject"]);
    for (const auto& f : after)
      for (const auto& m : f["messages"]) new_subjects[joined(f["path"])].insert(m["subject"]);
    for (const auto& [path, subjects] : old_subjects) {
      ASSERT_TRUE(new_subjects.contains(path)) << path;
      for (const auto& s : subjects) EXPECT_TRUE(new_subjects[path].contains(s)) << path << s;
    }
    expect_sample_read_back(after, manifest, options, before);
  }
}

}  // namespace
}  // namespace pstorian
