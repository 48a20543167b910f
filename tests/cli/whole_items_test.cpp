// Whole items judged from the outside: an undamaged file repaired gives back every item of
// every kind in its folder with its properties, bodies, attachments and recipients, as an
// independent property-by-property comparison reads the two files; and the output stays
// sound for the shared validator. Every file of the corpus and the rich sample; skips what
// is not there (the corpus, the shared tools, Debian's pypff).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/temp_dir.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";
const fs::path kTools = fs::path(PSTORIAN_SHARED_DIR) / "tools";
const fs::path kCorpusRoot = fs::path(PSTORIAN_SHARED_DIR) / "corpus";
const fs::path kCorpus = kCorpusRoot / "ansi";

bool have_tools() {
  int status = 1;
  test::run(kPython + " -c 'import pypff' >/dev/null 2>&1", &status);
  return status == 0 && fs::exists(kTools / "pstdiff.py") && fs::exists(kTools / "pstcheck.py");
}

std::string cli(const std::string& args, int& status) {
  return test::run(std::string("'") + PSTORIAN_CLI + "' " + args + " </dev/null 2>&1", &status);
}

// The repair of `source` into `folder`; empty when it failed.
fs::path repair(const fs::path& source, const fs::path& folder) {
  int status = -1;
  const std::string out =
      cli("repair '" + source.string() + "' -o '" + folder.string() + "' --overwrite", status);
  EXPECT_EQ(status, 0) << out;
  const fs::path output = folder / (source.stem().string() + " Recovered.pst");
  return status == 0 && fs::exists(output) ? output : fs::path();
}

nlohmann::json run_json(const std::string& command) {
  return nlohmann::json::parse(test::run(command + " 2>/dev/null"), nullptr, false);
}

// The figures pstdiff gives, with the properties that differ named.
void expect_whole(const fs::path& original, const fs::path& recovered) {
  const nlohmann::json diff = run_json(kPython + " '" + (kTools / "pstdiff.py").string() +
                                       "' --json '" + original.string() + "' '" +
                                       recovered.string() + "'");
  ASSERT_TRUE(diff.is_object()) << original;
  const auto count = [&](const char* key) { return diff.value(key, 0); };
  EXPECT_EQ(count("matched"), count("original_items")) << diff.dump();
  EXPECT_EQ(count("same_folder"), count("original_items")) << diff.dump();
  EXPECT_EQ(count("bodies_equal"), count("bodies_total")) << diff.dump();
  EXPECT_EQ(count("attachments_equal"), count("attachments_total")) << diff.dump();
  EXPECT_EQ(count("recipients_equal"), count("recipients_total")) << diff.dump();
  const double total = count("properties_total");
  const double equal = count("properties_equal");
  std::string lost;
  for (const auto& p : diff.value("per_property", nlohmann::json::array()))
    if (p.value("equal", 0) < p.value("original", 0)) lost += p.dump() + "\n";
  EXPECT_GE(total == 0 ? 1.0 : equal / total, 0.999) << lost;

  const nlohmann::json check = run_json(kPython + " '" + (kTools / "pstcheck.py").string() +
                                        "' --json '" + recovered.string() + "'");
  ASSERT_TRUE(check.is_object());
  EXPECT_EQ(check.value("errors", -1), 0) << check.dump();
  EXPECT_EQ(check.value("warnings", -1), 0) << check.dump();
}

bool have_exporters() {
  int status = 1;
  test::run("command -v readpst >/dev/null && command -v pffexport >/dev/null", &status);
  return status == 0 && have_tools();
}

// readpst and pffexport export every item of the original, attachments and recipients
// included, identically from the repaired file, folder by folder. readpst garbles a body now
// and then at random, the original's as well (outlook2003-permute-68-messages), so a
// comparison that falls short is made again with fresh exports, at most three times.
void expect_same_exports(const fs::path& original, const fs::path& recovered) {
  nlohmann::json report;
  for (int attempt = 0; attempt < 3; ++attempt) {
    report = run_json(kPython + " '" + PSTORIAN_EXPORT_COMPARE + "' '" + original.string() +
                      "' '" + recovered.string() + "'");
    ASSERT_TRUE(report.is_object()) << original;
    const auto whole = [&](const char* tool) {
      return report.at(tool).value("matched", -1) == report.at(tool).value("original", -2);
    };
    if (whole("readpst") && whole("pffexport")) break;
  }
  for (const char* tool : {"readpst", "pffexport"}) {
    const nlohmann::json& r = report.at(tool);
    EXPECT_EQ(r.value("matched", -1), r.value("original", -2)) << tool << ": " << r.dump();
  }
}

// Every corpus file of both forms, as "ansi/NAME" or "unicode/NAME".
std::vector<std::string> corpus_files() {
  std::vector<std::string> names;
  for (const char* form : {"ansi", "unicode"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kCorpusRoot / form, ec))
      if (e.path().extension() == ".pst")
        names.push_back(std::string(form) + "/" + e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back("(none)");
  return names;
}

class WholeItems : public ::testing::TestWithParam<std::string> {};

TEST_P(WholeItems, AnUndamagedFileComesBackWhole) {
  const fs::path original = kCorpusRoot / GetParam();
  if (!fs::exists(original) || !have_tools()) GTEST_SKIP() << "corpus, tools or pypff missing";
  test::TempDir dir;
  const fs::path output = repair(original, dir.path());
  ASSERT_FALSE(output.empty());
  expect_whole(original, output);
}

TEST_P(WholeItems, IndependentReadersExportTheSameItemsFromTheRepairedFile) {
  const fs::path original = kCorpusRoot / GetParam();
  if (!fs::exists(original) || !have_exporters())
    GTEST_SKIP() << "corpus, tools, readpst or pffexport missing";
  test::TempDir dir;
  const fs::path output = repair(original, dir.path());
  ASSERT_FALSE(output.empty());
  expect_same_exports(original, output);
}

INSTANTIATE_TEST_SUITE_P(Corpus, WholeItems, ::testing::ValuesIn(corpus_files()),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// The folder names (search folders left out, as they are not made) of the original that the
// recovered file lacks, as libpff reads the two, one per line.
constexpr char kMissingNames[] = R"PY(
import collections, sys, pypff
def names(path):
    f = pypff.file(); f.open(path); out = collections.Counter()
    def walk(folder):
        for i in range(folder.number_of_sub_folders):
            s = folder.get_sub_folder(i)
            if s.identifier & 0x1F != 3:
                out[s.name or ""] += 1
                walk(s)
    walk(f.get_root_folder())
    return out
for name in (names(sys.argv[1]) - names(sys.argv[2])).elements():
    print(name)
)PY";

// Files of other writers, one for each way their texts and properties went wrong: Japanese
// folder names in both forms (code page 932 in the 32-bit one, whose name-to-id map's first
// version names only the store's own properties), localised names of the top and the search
// root, folders without counts, named ids the file's map does not name, and display lists
// joined otherwise than "; ". Each comes back whole, every folder name equal.
TEST(WholeItemsWild, TextsNamesAndPropertiesComeBackAsTheSourceHoldsThem) {
  const std::vector<std::string> files = {
      "hht-pst_to_eml-Hello_CJK-1444a145.pst",   "hht-pst_to_msg-nonUnicodeCP932-132700ac.pst",
      "tika-testPST.pst",                        "go-pst-support-5872c9ae.pst",
      "aspose-java-Outlook_part0-2b5b6175.pst",  "aspose-java-sample-6dd997c4.pst"};
  if (!have_tools()) GTEST_SKIP() << "tools or pypff missing";
  test::TempDir dir;
  const fs::path script = dir.path() / "names.py";
  std::ofstream(script) << kMissingNames;
  int compared = 0;
  for (const std::string& name : files) {
    fs::path original = kCorpusRoot / "wild" / name;
    if (!fs::exists(original)) original = kCorpusRoot / "unicode" / name;
    if (!fs::exists(original)) continue;
    SCOPED_TRACE(name);
    const fs::path output = repair(original, dir.path());
    ASSERT_FALSE(output.empty());
    expect_whole(original, output);
    EXPECT_EQ(test::run(kPython + " '" + script.string() + "' '" + original.string() + "' '" +
                        output.string() + "' 2>&1"),
              "");
    ++compared;
  }
  if (compared == 0) GTEST_SKIP() << "corpus missing";
}

// outlook97-294-messages.pst holds 294 messages and, from its own earlier states, deleted
// messages and earlier versions of many of them: each current one goes into its own folder,
// the rest below "Recovered Items", or nowhere with --current-only.
TEST(WholeItemsVersions, TheCurrentVersionsFillTheFoldersAndTheRestIsKeptApart) {
  const fs::path original = kCorpus / "outlook97-294-messages.pst";
  if (!fs::exists(original) || !have_tools()) GTEST_SKIP() << "corpus, tools or pypff missing";
  test::TempDir dir;
  for (const bool current_only : {false, true}) {
    SCOPED_TRACE(current_only);
    const fs::path folder = dir.path() / (current_only ? "current" : "all");
    const nlohmann::json s =
        run_json(std::string("'") + PSTORIAN_CLI + "' repair '" + original.string() + "' -o '" +
                 folder.string() + "' --overwrite --json" +
                 (current_only ? " --current-only" : "") + " </dev/null");
    ASSERT_TRUE(s.is_object());
    EXPECT_EQ(s.value("current_items_written", -1), 294) << s.dump();
    const int kept_apart =
        s.value("earlier_versions_written", -1) + s.value("unlisted_items_written", -1);
    if (current_only) {
      EXPECT_EQ(kept_apart, 0);
      EXPECT_GT(s.value("versions_left_out", -1), 0);
      EXPECT_EQ(s.value("mail_items_written", -1), 294);
    } else {
      EXPECT_GT(kept_apart, 0);
      EXPECT_EQ(s.value("mail_items_written", -1), 294 + kept_apart);
    }
    const fs::path output = folder / "outlook97-294-messages Recovered.pst";
    const nlohmann::json diff = run_json(kPython + " '" + (kTools / "pstdiff.py").string() +
                                         "' --json '" + original.string() + "' '" +
                                         output.string() + "'");
    ASSERT_TRUE(diff.is_object());
    EXPECT_EQ(diff.value("original_items", 0), 294);
    EXPECT_EQ(diff.value("same_folder", 0), 294) << diff.dump();
  }
}

// In both forms: a Unicode store keeps every text as PT_UNICODE, which the layers that
// name texts as 8-bit ones (a message's class, the folders' table columns) must still see.
TEST(WholeItemsSample, TheRichSampleComesBackWholeInEitherForm) {
  if (!have_tools()) GTEST_SKIP() << "tools or pypff missing";
  for (const std::string form : {"", " --unicode"}) {
    SCOPED_TRACE("sample" + form);
    test::TempDir dir;
    const fs::path sample = dir.path() / "rich.pst";
    int status = -1;
    const std::string out =
        cli("sample '" + sample.string() + "' --rich --messages 200" + form, status);
    ASSERT_EQ(status, 0) << out;
    const fs::path output = repair(sample, dir.path() / "out");
    ASSERT_FALSE(output.empty());
    expect_whole(sample, output);
    if (have_exporters()) expect_same_exports(sample, output);
  }
}

}  // namespace
}  // namespace pstorian
