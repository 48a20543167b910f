// Every mail message that an independent reader (pypff) finds in the corpus files must be
// decoded with the same subject, sender name, display-to, times and plain-text body.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/codepage.h"
#include "engine/current_versions.h"
#include "engine/item_extraction.h"
#include "engine/named_property_map.h"
#include "engine/pst_scanner.h"
#include "format/endian.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kCorpus = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "ansi";
const fs::path kUnicodeCorpus = fs::path(PSTORIAN_SHARED_DIR) / "corpus" / "unicode";

// The tables come from the scan, which needs neither the header nor the B-tree roots, so
// the damaged copies are decoded the same way as the intact files.
constexpr bool kFillsDamagedFiles = true;
bool fill_tables(const std::string& path, RecoveryTables& tables) {
  NullProgress progress;
  OpenGate gate;
  return CPstScanner(tables, progress, gate).scan(path) == ScanOutcome::kCompleted;
}

// A damaged copy of `source` made by the shared tool, removed with the object.
class DamagedCopy {
 public:
  DamagedCopy(const fs::path& source, const std::string& recipe)
      : path_(fs::temp_directory_path() /
              ("pstorian-oracle-" + recipe + "-" + source.filename().string())) {
    const std::string cmd = "/usr/bin/python3 '" PSTORIAN_SHARED_DIR "/tools/pstdamage.py' '" +
                            source.string() + "' '" + path_.string() + "' --recipe " + recipe +
                            " >/dev/null 2>&1";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  ~DamagedCopy() { fs::remove(path_); }
  DamagedCopy(const DamagedCopy&) = delete;
  DamagedCopy& operator=(const DamagedCopy&) = delete;
  bool ok() const { return ok_; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool ok_ = false;
};

// The messages pypff reads from `path`; std::nullopt when pypff cannot be run.
std::optional<json> pypff_messages(const fs::path& path) {
  if (!fs::exists("/usr/bin/python3")) return std::nullopt;
  const std::string cmd = "/usr/bin/python3 '" PSTORIAN_SOURCE_DIR
                          "/tests/engine/pypff_dump.py' '" +
                          path.string() + "' 2>/dev/null";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buf[65536];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  if (pclose(pipe) != 0) return std::nullopt;
  auto parsed = json::parse(out, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

bool is_mail(const json& m) {
  if (!m["class"].is_string()) return true;
  const std::string c = m["class"];
  return c.empty() || kind_of_message_class(c) == ItemKind::kMail;
}

json text_or_null(const CodepageConverter& cp, const std::optional<std::string>& t) {
  return t ? json(cp.to_utf8(*t)) : json(nullptr);
}

json time_or_null(const std::optional<Bytes>& t) {
  if (!t || t->size() < 8) return nullptr;
  const std::uint64_t v = pst::load_le64(*t, 0);
  return v == 0 ? json(nullptr) : json(v);
}

// pypff leaves out what our records keep: trailing zero bytes of strings.
json trimmed(json v) {
  if (!v.is_string()) return v;
  std::string s = v;
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

std::string hex_id(std::uint32_t nid) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", nid);
  return "node 0x" + std::string(b);
}

// The messages pypff reads from one corpus file, and the tables and reader of that file or
// of its damaged copy.
class ItemOracleTest : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
 protected:
  void SetUp() override {
    const fs::path ansi = kCorpus / std::get<0>(GetParam());
    const fs::path path = fs::exists(ansi) ? ansi : kUnicodeCorpus / std::get<0>(GetParam());
    const std::string recipe = std::get<1>(GetParam());
    if (!fs::exists(path)) GTEST_SKIP() << "corpus file missing: " << path;
    if (!recipe.empty() && !kFillsDamagedFiles)
      GTEST_SKIP() << "damaged copies need tables filled by the scan";
    messages_ = pypff_messages(path);
    if (!messages_) GTEST_SKIP() << "pypff is not available";
    if (!recipe.empty()) {
      damaged_.emplace(path, recipe);
      ASSERT_TRUE(damaged_->ok()) << "pstdamage failed for " << recipe;
    }
    const std::string decoded_path = damaged_ ? damaged_->path().string() : path.string();
    ASSERT_TRUE(fill_tables(decoded_path, tables_));
    file_ = SourceFile::open(decoded_path);
    ASSERT_TRUE(file_.has_value());
    reader_.emplace(*file_, tables_);
    ensure_named_property_map(*reader_, tables_);
    roles_ = decide_versions(tables_, read_live_nodes(*file_));
  }

  // The decoded record of the message pypff lists as `m`: of the versions the scan found,
  // the one a repair writes. The first in pre-order may be an entry of a stale leaf page
  // whose data block is long gone.
  std::optional<ItemRecord> decode(const json& m) const {
    for (const ObjectIndex o : tables_.objects.pre_order())
      if (tables_.objects[o].node_id == m["node_id"] && roles_[o] == VersionRole::kCurrent)
        return decode_item(*reader_, tables_.objects[o]);
    return std::nullopt;
  }

  std::optional<json> messages_;
  std::optional<DamagedCopy> damaged_;
  RecoveryTables tables_;
  std::optional<SourceFile> file_;
  std::optional<NodeReader> reader_;
  std::vector<VersionRole> roles_;
};

TEST_P(ItemOracleTest, MailMessagesDecodeAsPypffReadsThem) {
  const auto cp = CodepageConverter::open(kDefaultCodepage);
  ASSERT_TRUE(cp.has_value());
  int compared = 0;
  for (const json& m : *messages_) {
    if (!is_mail(m)) continue;
    SCOPED_TRACE(hex_id(m["node_id"]));
    const auto item = decode(m);
    ASSERT_TRUE(item.has_value());
    const MessageProps msg = item->message.value_or(MessageProps{});
    const std::optional<std::string> subject =
        msg.subject ? std::optional<std::string>(msg.subject->text) : std::nullopt;
    EXPECT_EQ(trimmed(text_or_null(*cp, subject)), trimmed(m["subject"]));
    // pypff's sender name is the sender's (0x0C1A) where the file names none it sends for;
    // the record keeps the latter (0x0042), which the dump also gives on its own.
    const json& sender = m.contains("sent_representing_name") ? m["sent_representing_name"]
                                                              : m["sender_name"];
    EXPECT_EQ(trimmed(text_or_null(*cp, msg.sent_representing_name)), trimmed(sender));
    EXPECT_EQ(trimmed(text_or_null(*cp, msg.display_to)), trimmed(m["display_to"]));
    EXPECT_EQ(time_or_null(msg.client_submit_time), m["submit_time"]);
    EXPECT_EQ(time_or_null(msg.message_delivery_time), m["delivery_time"]);
    EXPECT_EQ(trimmed(text_or_null(*cp, msg.body)), trimmed(m["body"]));
    ++compared;
  }
  RecordProperty("compared", compared);
}

// What a message holds, in numbers: properties, recipients and the data size of each
// attachment (-1 where pypff gives none).
struct Holding {
  std::size_t properties = 0;
  std::size_t recipients = 0;
  std::vector<std::int64_t> attachment_sizes;
  bool operator==(const Holding&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Holding& h) {
  out << h.properties << " properties, " << h.recipients << " recipients, attachments of";
  for (const std::int64_t size : h.attachment_sizes) out << " " << size;
  return out;
}

Holding holding_of(const MessageContent& content, const json& pypff_sizes) {
  Holding h{content.properties.size(), content.recipients.size(), {}};
  for (std::size_t i = 0; i < content.attachments.size(); ++i) {
    const auto& p = content.attachments[i].properties;
    const auto data =
        std::find_if(p.begin(), p.end(), [](const auto& q) { return q.tag == 0x37010102; });
    const bool compared = i < pypff_sizes.size() && pypff_sizes[i].is_number();
    h.attachment_sizes.push_back(!compared ? -1
                                 : data == p.end()
                                     ? -2
                                     : static_cast<std::int64_t>(data->value.size()));
  }
  return h;
}

// Every message whole: as many properties as its property context holds, every recipient
// row and every attachment with all of its data. The scan also finds earlier versions of a
// node, which held less; one of the versions is the one pypff reads.
TEST_P(ItemOracleTest, MessagesHoldWhatPypffReads) {
  const std::vector<ObjectIndex> objects = tables_.objects.pre_order();
  std::size_t properties = 0, recipients = 0, attachments = 0;
  for (const json& m : *messages_) {
    SCOPED_TRACE(hex_id(m["node_id"]));
    if (!m["properties"].is_number() || !m["recipients"].is_number()) continue;
    Holding expected{m["properties"], m["recipients"], {}};
    for (const json& size : m["attachment_sizes"])
      expected.attachment_sizes.push_back(size.is_number() ? size.get<std::int64_t>() : -1);
    std::vector<Holding> found;
    for (const ObjectIndex o : objects) {
      if (tables_.objects[o].node_id != m["node_id"]) continue;
      const auto item = decode_item(*reader_, tables_.objects[o]);
      if (item && item->content) found.push_back(holding_of(*item->content, m["attachment_sizes"]));
    }
    const bool matched = std::find(found.begin(), found.end(), expected) != found.end();
    EXPECT_TRUE(matched) << "pypff: " << expected << "; decoded: "
                         << ::testing::PrintToString(found);
    properties += expected.properties;
    recipients += expected.recipients;
    attachments += expected.attachment_sizes.size();
  }
  RecordProperty("properties", static_cast<int>(properties));
  RecordProperty("recipients", static_cast<int>(recipients));
  RecordProperty("attachments", static_cast<int>(attachments));
}

std::string param_name(const std::tuple<std::string, std::string>& param) {
  const std::string recipe = std::get<1>(param);
  std::string n = std::get<0>(param) + (recipe.empty() ? "" : "_" + recipe);
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, ItemOracleTest,
    ::testing::Combine(::testing::Values("go-pst-32-bit.pst", "outlook2000-73-messages.pst",
                                         "outlook97-294-messages.pst", "outlook98-backup.pst",
                                         "personal-folders.pst", "pstsdk-sample2-older.pst",
                                         "pstsdk-sample2.pst", "pstsdk-test_ansi.pst"),
                       // damage recipes of the shared pstdamage tool; "" is the undamaged file
                       ::testing::Values("", "zero-header", "zero-roots")),
    [](const auto& param_info) { return param_name(param_info.param); });

INSTANTIATE_TEST_SUITE_P(
    UnicodeCorpus, ItemOracleTest,
    ::testing::Combine(::testing::Values("dfrws2009-outlook-email.pst",
                                         "outlook2003-cyclic-36-messages.pst",
                                         "outlook2003-permute-68-messages.pst",
                                         "outlook2003-plain-76-messages.pst",
                                         "outlook2007-34-messages.pst", "tika-testPST.pst",
                                         "tika-variousBodyTypes.pst"),
                       ::testing::Values("", "zero-header", "zero-roots")),
    [](const auto& param_info) { return param_name(param_info.param); });

}  // namespace
}  // namespace pstorian
