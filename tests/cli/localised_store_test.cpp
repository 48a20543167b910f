// A store of the Japanese mail client (its texts in code page 932, its own name for the top
// of the personal folders) repaired without naming a code page: every folder comes back once
// and in its place and every subject reads back right, as libpff sees the two files. Skips
// when Debian's pypff is not there.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "format/file_form.h"
#include "pst/messaging/message_store.h"
#include "store/empty_store_image.h"
#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";

// Code page 932 and UTF-8 forms of the names and subjects.
struct Text {
  std::string cp932, utf8;
};
const Text kTop{
    "Outlook \x83\x66\x81\x5B\x83\x5E \x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x83\x67\x83\x62"
    "\x83\x76",
    "Outlook \u30C7\u30FC\u30BF \u30D5\u30A1\u30A4\u30EB\u306E\u30C8\u30C3\u30D7"};
const Text kInbox{"\x8E\xF3\x90\x4D\x83\x67\x83\x8C\x83\x43", "\u53D7\u4FE1\u30C8\u30EC\u30A4"};
const Text kProjects{"\x83\x76\x83\x8D\x83\x57\x83\x46\x83\x4E\x83\x67",
                     "\u30D7\u30ED\u30B8\u30A7\u30AF\u30C8"};
const Text kMeeting{"\x89\xEF\x8B\x63\x82\xCC\x8C\x8F", "\u4F1A\u8B70\u306E\u4EF6"};
const Text kReport{"\x95\xF1\x8D\x90\x8F\x91", "\u5831\u544A\u66F8"};

// Every folder below the root as "name/name/..." with the sorted subjects of its messages,
// one list per folder of that path, read by libpff in code page 932.
constexpr char kDump[] = R"PY(
import json, sys, pypff
f = pypff.file()
f.set_ascii_codepage("cp932")
f.open(sys.argv[1])
out = {}
def walk(folder, path):
    subjects = sorted(folder.get_sub_message(i).subject or ""
                      for i in range(folder.number_of_sub_messages))
    out.setdefault("/".join(path), []).append(subjects)
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, path + [sub.name or ""])
root = f.get_root_folder()
for i in range(root.number_of_sub_folders):
    sub = root.get_sub_folder(i)
    walk(sub, [sub.name or ""])
print(json.dumps(out))
)PY";

bool have_pypff() {
  int status = 1;
  test::run(kPython + " -c 'import pypff' >/dev/null 2>&1", &status);
  return status == 0;
}

using Folders = std::map<std::string, std::vector<std::vector<std::string>>>;

Folders dump(const fs::path& file, const fs::path& script) {
  const auto json = nlohmann::json::parse(
      test::run(kPython + " '" + script.string() + "' '" + file.string() + "'"), nullptr, false);
  EXPECT_TRUE(json.is_object()) << file;
  return json.is_object() ? json.get<Folders>() : Folders{};
}

// The Japanese folders of a fresh store, with messages in code page 932.
void write_japanese_store(const fs::path& file) {
  test::write_file(file, EmptyStoreImage());
  MessageStore store(file, "CP932");
  store.rename_folder(store.top_folder(), kTop.cp932);
  const std::uint32_t inbox = store.create_folder(store.top_folder(), kInbox.cp932, "IPF.Note");
  const std::uint32_t projects = store.create_folder(inbox, kProjects.cp932, "IPF.Note");
  const std::vector<std::pair<std::uint32_t, Text>> messages = {
      {inbox, kMeeting}, {inbox, kReport}, {projects, kMeeting}};
  for (const auto& [folder, subject] : messages) {
    PropertyBag message;
    message.set_string(prop::kSubject, subject.cp932);
    message.set_string(prop::kBody, subject.cp932);
    store.save_message(folder, 0, std::move(message));
  }
  store.close();
}

TEST(LocalisedStore, AJapaneseStoreComesBackInPlaceInItsOwnCodePage) {
  if (!have_pypff()) GTEST_SKIP() << "pypff missing";
  test::TempDir dir;
  const fs::path script = dir.path() / "dump.py";
  {
    std::ofstream(script) << kDump;
  }
  const fs::path source = dir.path() / "japanese.pst";
  write_japanese_store(source);

  const test::RepairRun run = test::repair_json(source, dir.path() / "out");
  ASSERT_EQ(run.status, 0) << run.out;
  const nlohmann::json& summary = run.summary;
  ASSERT_TRUE(summary.is_object()) << run.out;
  EXPECT_EQ(summary.value("codepage", ""), "CP932");
  EXPECT_EQ(summary.value("items_in_lost_and_found", -1), 0);

  const Folders before = dump(source, script);
  const Folders after = dump(dir.path() / "out" / "japanese Recovered.pst", script);
  // libpff reads the source as written.
  const std::string inbox = kTop.utf8 + "/" + kInbox.utf8;
  ASSERT_EQ(before.count(inbox), 1u);
  std::vector<std::string> subjects = {kMeeting.utf8, kReport.utf8};
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(before.at(inbox), std::vector<std::vector<std::string>>{subjects});

  // Each folder below the source's top is below the output's top, which takes the source's
  // name, once, with its messages.
  const std::string output_top = kTop.utf8;
  int compared = 0;
  for (const auto& [path, lists] : before) {
    if (path.rfind(kTop.utf8 + "/", 0) != 0) continue;
    const std::string moved = output_top + path.substr(kTop.utf8.size());
    ASSERT_EQ(after.count(moved), 1u) << moved;
    EXPECT_EQ(after.at(moved), lists) << moved;
    ++compared;
  }
  EXPECT_GE(compared, 2);
  for (const auto& [path, lists] : after)
    EXPECT_EQ(path.find(kTop.utf8 + "/" + kTop.utf8), std::string::npos)
        << "made as a folder: " << path;
}

// The names of a store in each form, written and read back by the project's own store: the
// output's top of the personal folders, search root and deleted items take the source's
// names, and every folder name comes back whole (none turned into '?'), in the source's code
// page in the 32-bit form and as UTF-16 in the 64-bit one.
struct NamesCase {
  FileForm form;
  std::string codepage;  // the source's; the output keeps it
  std::u16string top, search_root, deleted, inbox, sub;
};

class LocalisedNames : public ::testing::TestWithParam<NamesCase> {};

std::vector<std::u16string> names_below(MessageStore& store, std::uint32_t folder) {
  std::vector<std::u16string> out;
  for (const std::uint32_t sub : store.subfolders(folder)) out.push_back(store.folder_name(sub));
  return out;
}

bool holds(const std::vector<std::u16string>& names, const std::u16string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_P(LocalisedNames, EveryFolderNameComesBackWhole) {
  const NamesCase& c = GetParam();
  test::TempDir dir;
  const fs::path source = dir.path() / "names.pst";
  test::write_file(source, EmptyStoreImage(c.form));
  {
    MessageStore store(source, c.codepage);
    const std::uint32_t top = store.top_folder();
    store.rename_folder(top, c.top);
    for (const std::uint32_t f : store.subfolders(top))
      if (store.folder_name(f) == u"Deleted Items") store.rename_folder(f, c.deleted);
    for (const std::uint32_t f : store.subfolders(*store.parent_folder(top)))
      if (store.folder_name(f) == u"Search Root") store.rename_folder(f, c.search_root);
    const std::uint32_t inbox = store.create_folder(top, c.inbox, "IPF.Note");
    const std::uint32_t sub = store.create_folder(inbox, c.sub, "IPF.Note");
    PropertyBag message;
    message.set_string(prop::kSubject, "x");
    store.save_message(sub, 0, std::move(message));
    store.close();
  }

  const test::RepairRun run = test::repair_json(source, dir.path() / "out");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.summary.value("codepage", ""), c.codepage);
  EXPECT_EQ(run.summary.value("items_in_lost_and_found", -1), 0);
  MessageStore out(dir.path() / "out" / "names Recovered.pst", c.codepage);
  const std::uint32_t top = out.top_folder();
  EXPECT_EQ(out.folder_name(top), c.top);
  EXPECT_TRUE(holds(names_below(out, *out.parent_folder(top)), c.search_root));
  const auto below_top = names_below(out, top);
  EXPECT_TRUE(holds(below_top, c.deleted));
  EXPECT_FALSE(holds(below_top, u"Deleted Items"));  // the source's took its place
  EXPECT_FALSE(holds(below_top, c.top));               // not made as a folder
  const auto inbox = out.find_subfolder(top, c.inbox);
  ASSERT_TRUE(inbox.has_value());
  const auto sub = out.find_subfolder(*inbox, c.sub);
  ASSERT_TRUE(sub.has_value());
  EXPECT_EQ(out.messages(*sub).size(), 1u);
}

const std::u16string kJapaneseTop = u"Outlook \u30C7\u30FC\u30BF \u30D5\u30A1\u30A4\u30EB\u306E\u30C8\u30C3\u30D7";
const std::u16string kJapaneseSearchRoot = u"\u691C\u7D22\u30EB\u30FC\u30C8";
const std::u16string kJapaneseDeleted = u"\u524A\u9664\u6E08\u307F\u30A2\u30A4\u30C6\u30E0";
const std::u16string kJapaneseContacts = u"\u9023\u7D61\u5148 (Contact dedicated)";

INSTANTIATE_TEST_SUITE_P(
    Forms, LocalisedNames,
    ::testing::Values(
        NamesCase{FileForm::kAnsi, "CP932", kJapaneseTop, kJapaneseSearchRoot, kJapaneseDeleted,
                  kJapaneseContacts, u"\u30D7\u30ED\u30B8\u30A7\u30AF\u30C8"},
        NamesCase{FileForm::kUnicode, "WINDOWS-1252", kJapaneseTop, kJapaneseSearchRoot,
                  kJapaneseDeleted, kJapaneseContacts, u"Attivit\u00E0"},
        NamesCase{FileForm::kUnicode, "WINDOWS-1252", u"Oberste Ebene des Pers\u00F6nlichen Ordners",
                  u"In\u00EDcio de Pastas Particulares", u"Gel\u00F6schte Objekte",
                  u"Attivit\u00E0", u"\u0417\u0430\u0434\u0430\u0447\u0438"}),
    [](const ::testing::TestParamInfo<NamesCase>& param) {
      return std::string(pst::form_name(param.param.form)) + std::to_string(param.index);
    });

}  // namespace
}  // namespace pstorian
