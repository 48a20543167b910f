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

  // Each folder below the source's top is below the output's top, once, with its messages.
  const std::string output_top = "Top of Personal Folders";
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
    EXPECT_EQ(path.find(kTop.utf8), std::string::npos) << "made as a folder: " << path;
}

}  // namespace
}  // namespace pstorian
