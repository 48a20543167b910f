// pstorian-cli as a user and a script run it: `check` on sound, damaged and unreadable
// files, on files of other kinds, on damage inside messages and on hostile files,
// `repair --json`, `--version`, and the main job's own damage step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "format/endian.h"
#include "format/layout.h"
#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/store_file.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using pstorian::PendingBlock;
using pstorian::StoreFile;
using pstorian::SubnodeEntry;
using pstorian::test::CliRun;
using Leaves = std::vector<std::vector<std::uint8_t>>;

// Damage made through the mail client's own store: the changed structure is written as new
// blocks, with every reference counted, so that all trailers, check values and reference
// counts are right and only that structure is wrong.
class Surgery {
 public:
  using Change = std::function<void(Leaves&)>;

  explicit Surgery(const fs::path& file) : store_(file) {}

  // The first message whose subnode tree holds each of `subnodes`; 0 when there is none.
  std::uint32_t message_with(const std::vector<std::uint32_t>& subnodes) const {
    std::uint32_t found = 0;
    store_.for_each_node([&](const pstorian::NbtEntry& e) {
      if (found != 0 || pst::node_type(e.nid) != pst::kNodeNormalMessage ||
          e.bid_sub == 0)
        return;
      const auto entries = store_.read_subnodes(e.bid_sub);
      for (const std::uint32_t id : subnodes)
        if (entries.count(id) == 0) return;
      found = e.nid;
    });
    return found;
  }
  std::map<std::uint32_t, SubnodeEntry> subnodes(std::uint64_t bid_sub) const {
    return store_.read_subnodes(bid_sub);
  }
  const pstorian::NbtEntry& node(std::uint32_t nid) const { return *store_.find_node(nid); }

  // Changes the data of node `nid` (an empty `path`) or of the subnode `path` leads to in
  // its subnode trees, and writes the checkpoint. A node entry counts the references it
  // makes itself; the entries of a subnode block made again count here.
  void change(std::uint32_t nid, const std::vector<std::uint32_t>& path, const Change& change) {
    pstorian::NbtEntry node = *store_.find_node(nid);
    std::vector<PendingBlock> blocks;
    if (path.empty()) {
      Leaves leaves = store_.read_data(node.bid_data);
      change(leaves);
      node.bid_data = pstorian::write_data_tree(leaves, store_, blocks);
    } else {
      node.bid_sub = rewrite(node.bid_sub, path, change, blocks);
    }
    store_.add_blocks(std::move(blocks));
    store_.put_node(node);
    store_.commit();
  }

  // Every message of the store made to name `bid_data`, a block added with `blocks`.
  void every_message_names(std::uint64_t bid_data, std::vector<PendingBlock> blocks) {
    store_.add_blocks(std::move(blocks));
    std::vector<pstorian::NbtEntry> messages;
    store_.for_each_node([&](const pstorian::NbtEntry& e) {
      if (pst::node_type(e.nid) == pst::kNodeNormalMessage)
        messages.push_back(e);
    });
    for (pstorian::NbtEntry m : messages) {
      m.bid_data = bid_data;
      store_.put_node(m);
    }
    store_.commit();
  }

  StoreFile& store() { return store_; }

 private:
  std::uint64_t rewrite(std::uint64_t bid_sub, std::span<const std::uint32_t> path,
                        const Change& change, std::vector<PendingBlock>& blocks) {
    std::vector<SubnodeEntry> entries;
    for (auto [id, e] : store_.read_subnodes(bid_sub)) {
      if (id == path.front() && path.size() == 1) {
        Leaves leaves = store_.read_data(e.bid_data);
        change(leaves);
        e.bid_data = pstorian::write_data_tree(leaves, store_, blocks);
        store_.add_reference(e.bid_sub);
      } else if (id == path.front()) {
        e.bid_sub = rewrite(e.bid_sub, path.subspan(1), change, blocks);
        store_.add_reference(e.bid_data);
      } else {
        store_.add_reference(e.bid_data);
        store_.add_reference(e.bid_sub);
      }
      entries.push_back(e);
    }
    return pstorian::write_subnode_blocks(entries, store_, blocks);
  }

  StoreFile store_;
};

// Where allocation `hid` of the first heap block lies in it.
std::size_t allocation(const std::vector<std::uint8_t>& block, std::uint32_t hid) {
  const std::size_t map = pst::load_le16(block, 0);
  return pst::load_le16(block, map + 2 + 2 * ((hid >> 5) & 0x7FF));
}
std::size_t user_root(const std::vector<std::uint8_t>& block) {
  return allocation(block, pst::load_le32(block, 4));
}

const fs::path kShared = PSTORIAN_SHARED_DIR;

class CliCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pstorian_check_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  CliRun shell(const std::string& command) {
    return pstorian::test::run_captured(command + " </dev/null", dir_);
  }
  CliRun cli(const std::string& args) {
    return shell(std::string("'") + PSTORIAN_CLI + "' " + args);
  }

  // A small mailbox written by the mail client.
  fs::path sample(const std::string& name, int messages = 40) {
    const fs::path file = dir_ / name;
    const CliRun r = cli("sample '" + file.string() + "' --folders 5 --messages " +
                         std::to_string(messages) + " --seed 7");
    EXPECT_EQ(r.status, 0) << r.err;
    return file;
  }

  fs::path dir_;
};

TEST_F(CliCheck, ASoundFileExitsZeroAndSaysWhatAReaderAndARepairGet) {
  const fs::path file = sample("mailbox.pst", 40);
  CliRun r = cli("check '" + file.string() + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("verdict:  sound (0 errors, 0 warnings)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("40 items"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("The file is sound."), std::string::npos) << r.out;

  r = cli("check --json '" + file.string() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["sound"], true);
  EXPECT_EQ(j["form"], "ansi");
  EXPECT_EQ(j["errors"], 0);
  EXPECT_EQ(j["findings"].size(), 0u);
  EXPECT_EQ(j["reader"]["items"], 40);
  // Five folders of the sample and the store's own ones; the repair decodes each message.
  EXPECT_GE(j["reader"]["folders"].get<int>(), 5);
  EXPECT_EQ(j["repair"]["items"], 40);
}

TEST_F(CliCheck, ADamagedFileExitsOneAndNamesTheDamage) {
  const fs::path file = sample("mailbox.pst", 30);
  const fs::path damaged = dir_ / "damaged.pst";
  // The main job's own damage step: the roots, then the header.
  CliRun r = shell("python3 '" PSTORIAN_SOURCE_DIR "/scripts/damage-sample.py' '" + file.string() +
                   "' '" + damaged.string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("header zeroed"), std::string::npos) << r.out;
  r = cli("check --json '" + damaged.string() + "'");
  EXPECT_EQ(r.status, 1) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["sound"], false);
  ASSERT_GE(j["findings"].size(), 1u);
  EXPECT_EQ(j["findings"][0]["area"], "header");
  EXPECT_NE(j["findings"][0]["text"].get<std::string>().find("zeroed"), std::string::npos);
  EXPECT_EQ(j["reader"]["items"], 0);
  EXPECT_EQ(j["repair"]["items"], 30);

  r = shell("python3 '" PSTORIAN_SOURCE_DIR "/scripts/damage-sample.py' '" + file.string() + "' '" +
            damaged.string() + "' --zero-roots");
  ASSERT_EQ(r.status, 0) << r.err;
  r = cli("check '" + damaged.string() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("error   node B-tree: the root page at"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("error   block B-tree: the root page at"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("The file is damaged"), std::string::npos) << r.out;
  // The source of the damage step is only read.
  EXPECT_EQ(cli("check '" + file.string() + "'").status, 0);
}

TEST_F(CliCheck, AFileThatCannotBeReadIsNoVerdict) {
  CliRun r = cli("check '" + (dir_ / "nope.pst").string() + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(cli("check '" + dir_.string() + "'").status, 2);
  EXPECT_EQ(cli("check").status, 2);
}

TEST_F(CliCheck, EveryCorpusFileIsSound) {
  std::vector<fs::path> files;
  for (const char* form : {"ansi", "unicode"})
    if (fs::is_directory(kShared / "corpus" / form))
      for (const auto& e : fs::directory_iterator(kShared / "corpus" / form))
        if (e.path().extension() == ".pst") files.push_back(e.path());
  if (files.empty()) GTEST_SKIP() << "no corpus at " << kShared;
  for (const fs::path& file : files) {
    const CliRun r = cli("check --json '" + file.string() + "'");
    EXPECT_EQ(r.status, 0) << file << "\n" << r.out << r.err;
    const json j = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << file;
    EXPECT_EQ(j["errors"], 0) << file << "\n" << r.out;
    EXPECT_GT(j["reader"]["folders"].get<int>(), 1) << file;
    // A repair of a sound file of either form finds at least what a reader finds.
    ASSERT_TRUE(j["repair"].is_object()) << file << "\n" << r.out;
    EXPECT_GE(j["repair"]["items"].get<int>(), j["reader"]["items"].get<int>()) << file;
  }
}

// Each recipe of the shared damage tool, on two corpus files: exit 1 and the damage named in
// the area where a reader meets it.
TEST_F(CliCheck, EveryDamageRecipeIsFoundAndNamed) {
  const fs::path tool = kShared / "tools" / "pstdamage.py";
  const fs::path corpus = kShared / "corpus" / "ansi";
  if (!fs::exists(tool) || !fs::is_directory(corpus)) GTEST_SKIP() << "no shared tools or corpus";
  const std::map<std::string, std::vector<std::string>> named = {
      {"zero-header", {"header"}},
      {"zero-roots", {"node B-tree", "block B-tree"}},
      {"zero-btrees", {"node B-tree", "block B-tree"}},
      {"zero-pages:2", {}},
      {"garbage-pages:5", {}},
      {"truncate:0.7", {"header"}},
      {"bitflip:50", {}},
      {"zero-amaps", {"allocation maps"}},
      {"combo", {"header"}},
  };
  for (const char* name : {"outlook97-294-messages.pst", "outlook2000-73-messages.pst"}) {
    for (const auto& [recipe, areas] : named) {
      const fs::path damaged = dir_ / "damaged.pst";
      const CliRun made =
          shell("/usr/bin/python3 '" + tool.string() + "' '" + (corpus / name).string() + "' '" +
                damaged.string() + "' --recipe " + recipe + " --seed 1");
      if (made.status == 1) continue;  // the recipe does not apply to this file
      ASSERT_EQ(made.status, 0) << recipe << made.err;
      const CliRun r = cli("check --json '" + damaged.string() + "'");
      EXPECT_EQ(r.status, 1) << name << " " << recipe << "\n" << r.out;
      const json j = json::parse(r.out, nullptr, false);
      ASSERT_FALSE(j.is_discarded()) << r.out;
      ASSERT_GE(j["findings"].size(), 1u) << name << " " << recipe;
      for (const std::string& area : areas) {
        bool found = false;
        for (const json& f : j["findings"])
          found = found || (f["area"] == area && f["severity"] == "error");
        EXPECT_TRUE(found) << name << " " << recipe << ": nothing named in " << area << "\n"
                           << j["findings"].dump(1);
      }
    }
  }
}

// Files of other kinds are no personal folder files: exit status 2, in those words, and no
// repair advised. A store whose header was wiped still is one, damaged.
TEST_F(CliCheck, AFileOfAnotherKindIsNoPersonalFolderFile) {
  using namespace std::string_literals;
  auto bytes = [](std::string head, std::size_t size) {
    std::mt19937 random(7);
    while (head.size() < size) head.push_back(static_cast<char>(random()));
    return head;
  };
  std::string text;
  while (text.size() < 40000) text += "Dear all, the minutes of Monday's meeting follow.\n";
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"empty.pst", ""},
      {"photo.jpg", bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00"s, 300000)},
      {"archive.zip", bytes("PK\x03\x04\x14\x00\x08\x00"s, 200000)},
      {"notes.txt", text},
  };
  for (const auto& [name, content] : kinds) {
    const fs::path file = dir_ / name;
    std::ofstream(file, std::ios::binary) << content;
    CliRun r = cli("check '" + file.string() + "'");
    EXPECT_EQ(r.status, 2) << name << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find("verdict:  not a personal folder file\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("repair"), std::string::npos) << r.out;
    r = cli("check --json '" + file.string() + "'");
    EXPECT_EQ(r.status, 2) << name;
    const json j = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    EXPECT_EQ(j["personal_folder_file"], false) << name;
    EXPECT_EQ(j["verdict"], "not a personal folder file") << name;
    EXPECT_TRUE(j["repair"].is_null()) << name;
    EXPECT_EQ(j["encoding"], "unknown") << name;
    // `scan` does not make up an encoding for it either.
    r = cli("scan '" + file.string() + "'");
    EXPECT_NE(r.out.find("data encoded:  - (nothing of a personal folder file was found)"),
              std::string::npos)
        << name << "\n" << r.out;
  }

  const fs::path store = sample("wiped.pst", 10);
  {
    std::fstream f(store, std::ios::binary | std::ios::in | std::ios::out);
    f << std::string(512, '\0');
  }
  const CliRun r = cli("check --json '" + store.string() + "'");
  EXPECT_EQ(r.status, 1) << r.out;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["personal_folder_file"], true);
  EXPECT_EQ(j["verdict"], "damaged");
  EXPECT_EQ(j["repair"]["items"], 10);
}

// Damage inside a message, made through the mail client's own store so that every trailer and
// check value is right and only the one structure is wrong: each is named with the node and
// the structure where a reader meets it.
TEST_F(CliCheck, NamesDamageInsideAMessageWhereItIs) {
  const fs::path rich = dir_ / "rich.pst";
  ASSERT_EQ(cli("sample '" + rich.string() + "' --rich --folders 3 --messages 12 --seed 3").status,
            0);
  ASSERT_EQ(cli("check '" + rich.string() + "'").status, 0);
  constexpr std::uint32_t kRecipients = 0x692, kAttachments = 0x671;
  // A message with recipients and attachments, one of which holds an attached message.
  std::uint32_t message = 0, attachment = 0, attached = 0;
  {
    Surgery s(rich);
    message = s.message_with({kRecipients, kAttachments});
    ASSERT_NE(message, 0u);
    for (const auto& [id, e] : s.subnodes(s.node(message).bid_sub))
      if (pst::node_type(id) == pst::kNodeAttachment && e.bid_sub != 0)
        for (const auto& [inner, unused] : s.subnodes(e.bid_sub))
          if (pst::node_type(inner) == pst::kNodeNormalMessage) attachment = id, attached = inner;
    ASSERT_NE(attached, 0u);
  }
  const auto page_map = [](Leaves& l) { pst::store_le16(l[0], 0, 0xFFF0); };
  const auto bth_depth = [](Leaves& l) { l[0][user_root(l[0]) + 3] = 9; };
  const auto columns = [](Leaves& l) { ++l[0][user_root(l[0]) + 1]; };
  const auto row_index = [](Leaves& l) {
    const std::uint32_t index = pst::load_le32(l[0], user_root(l[0]) + 10);
    l[0][allocation(l[0], index) + 3] = 9;
  };
  struct Case {
    const char* name;
    std::vector<std::uint32_t> path;
    Surgery::Change change;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"message heap page map", {}, page_map, {"its heap page map is broken in block 1"}},
      {"message BTH", {}, bth_depth, {"its BTH is broken (BTH too deep)"}},
      {"attachment table", {kAttachments}, columns,
       {"its attachment table (subnode 0x671): its table context is broken"}},
      {"recipient table", {kRecipients}, row_index,
       {"its recipient table (subnode 0x692): its row index (a BTH) is broken"}},
      {"attachment", {attachment}, page_map, {"its heap page map is broken"}},
      {"attached message", {attachment, attached}, bth_depth,
       {"its attached message (subnode ", "its BTH is broken"}},
  };
  char id[16];
  std::snprintf(id, sizeof id, "0x%X", message);
  for (const Case& c : cases) {
    const fs::path damaged = dir_ / "damaged.pst";
    fs::copy_file(rich, damaged, fs::copy_options::overwrite_existing);
    Surgery(damaged).change(message, c.path, c.change);
    const CliRun r = cli("check --json '" + damaged.string() + "'");
    EXPECT_EQ(r.status, 1) << c.name << "\n" << r.out;
    const json j = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    // Only the one structure is wrong, and the rest of the file reads as before.
    EXPECT_EQ(j["errors"], 1) << c.name << "\n" << j["findings"].dump(1);
    ASSERT_EQ(j["findings"].size(), 1u) << c.name;
    const json& f = j["findings"][0];
    EXPECT_EQ(f["area"], "node contents") << c.name;
    const std::string text = f["text"];
    EXPECT_EQ(text.rfind(std::string("the message ") + id, 0), 0u) << c.name << ": " << text;
    for (const std::string& w : c.words)
      EXPECT_NE(text.find(w), std::string::npos) << c.name << ": " << text;
  }
}

// A data tree that names one block over and over (a million times here, as one tree shared
// by every message): each naming is counted, not read, and the check still ends with the
// damage named and the repair estimate given.
TEST_F(CliCheck, ATreeNamingOneBlockAMillionTimesIsNamedNotRead) {
  const fs::path file = sample("shared.pst", 30);
  {
    Surgery s(file);
    StoreFile& store = s.store();
    std::vector<PendingBlock> blocks;
    const std::uint64_t leaf = store.next_bid(false);
    blocks.push_back({leaf, std::vector<std::uint8_t>(8000, 0x5A), 0});
    // An XBLOCK naming the leaf 2,000 times, under an XXBLOCK naming it 500 times.
    auto tree = [&](std::uint8_t level, std::uint64_t child, std::size_t times, std::uint32_t total) {
      PendingBlock b{store.next_bid(true), std::vector<std::uint8_t>(8 + 4 * times), 0};
      b.data[0] = 0x01;
      b.data[1] = level;
      pst::store_le16(b.data, 2, static_cast<std::uint16_t>(times));
      pst::store_le32(b.data, 4, total);
      for (std::size_t i = 0; i < times; ++i) pst::store_le32(b.data, 8 + 4 * i, static_cast<std::uint32_t>(child));
      for (PendingBlock& named : blocks)
        if (named.bid == child) named.references += static_cast<std::uint32_t>(times);
      blocks.push_back(std::move(b));
      return blocks.back().bid;
    };
    const std::uint64_t x = tree(1, leaf, 2000, 2000 * 8000);
    const std::uint64_t xx = tree(2, x, 500, 0xFFFFFFFF);
    s.every_message_names(xx, std::move(blocks));
  }
  const CliRun r = cli("check --json '" + file.string() + "'");
  EXPECT_EQ(r.status, 1) << r.out;
  const json j = json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  bool named = false;
  for (const json& f : j["findings"])
    named = named || f["text"].get<std::string>().find("1000000 times") != std::string::npos;
  EXPECT_TRUE(named) << j["findings"].dump(1);
  // One finding for the tree, not one for each message that shares it.
  EXPECT_LT(j["errors"].get<int>(), 5) << j["findings"].dump(1);
  EXPECT_TRUE(j["repair"].is_object());
}

// The cheap kinds of the hostile files of bench/hostile_files.py (which have no header, so
// the nodes the scan found are checked): each ends with its damage named.
TEST_F(CliCheck, NamesTheDamageOfHostileFiles) {
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"parents", "whose data block is not in the file"},
      {"chain", "whose data block is not in the file"},
      {"self-tree", "is on level 2 where level 1 belongs"},
      {"copies", "of the blocks the nodes use has a wrong check value"},
  };
  for (const auto& [kind, words] : kinds) {
    const fs::path file = dir_ / (kind + ".pst");
    ASSERT_EQ(shell("python3 '" PSTORIAN_SOURCE_DIR "/bench/hostile_files.py' " + kind + " '" +
                    file.string() + "' --megabytes 1")
                  .status,
              0);
    const CliRun r = cli("check --json '" + file.string() + "'");
    EXPECT_EQ(r.status, 1) << kind << "\n" << r.out;
    const json j = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    bool named = false;
    for (const json& f : j["findings"])
      named = named || (f["severity"] == "error" &&
                        f["text"].get<std::string>().find(words) != std::string::npos);
    EXPECT_TRUE(named) << kind << ": nothing says \"" << words << "\"\n"
                       << j["findings"].dump(1);
  }
}

TEST_F(CliCheck, RepairJsonIsTheWholeSummaryAndNothingElse) {
  const fs::path file = sample("mailbox.pst", 25);
  const fs::path damaged = dir_ / "damaged.pst";
  ASSERT_EQ(shell("python3 '" PSTORIAN_SOURCE_DIR "/scripts/damage-sample.py' '" + file.string() +
                  "' '" + damaged.string() + "'")
                .status,
            0);
  CliRun r = cli("repair --json '" + damaged.string() + "' -o '" + (dir_ / "out").string() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);  // no status line around it
  EXPECT_EQ(j["outcome"], "completed");
  EXPECT_EQ(j["exit_status"], 0);
  EXPECT_EQ(j["mail_items_written"], 25);
  EXPECT_EQ(j["written_by_kind"]["mail"], 25) << j.dump(1);
  EXPECT_EQ(j["items_in_lost_and_found"], 0);
  EXPECT_EQ(j["mail_items_skipped"], 0);
  EXPECT_GE(j["folders_recreated"].get<int>(), 5);
  EXPECT_TRUE(j["not_exported"].is_object());
  EXPECT_TRUE(j["continued_folders"].is_array());
  EXPECT_TRUE(j["seconds"].is_number());
  EXPECT_EQ(j["source"], damaged.string());
  const fs::path output = j["output"].get<std::string>();
  EXPECT_EQ(output.filename(), "damaged Recovered.pst");
  EXPECT_TRUE(fs::exists(output));
  // The recovered file is sound, and a reader reaches every message in it.
  r = cli("check --json '" + output.string() + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(json::parse(r.out)["reader"]["items"], 25);

  // Nothing to recover: still one object, with the outcome and the exit status.
  const fs::path zeros = dir_ / "zeros.pst";
  std::ofstream(zeros, std::ios::binary) << std::string(0x20000, '\0');
  r = cli("repair --json '" + zeros.string() + "' -o '" + (dir_ / "out2").string() + "'");
  EXPECT_EQ(r.status, 1);
  const json none = json::parse(r.out);
  EXPECT_EQ(none["outcome"], "no_objects");
  EXPECT_EQ(none["exit_status"], 1);
  EXPECT_EQ(none["mail_items_written"], 0);
}

TEST_F(CliCheck, VersionIsPrintedAndExitsZero) {
  const CliRun r = cli("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("pstorian-cli ") + PSTORIAN_VERSION + "\n");
}

}  // namespace
