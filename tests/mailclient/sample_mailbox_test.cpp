// Whole mailboxes written through the automation interfaces and read back by the validator
// and by libpff: the sample from the empty store, and additions to files the mail client
// wrote.
#include "mailclient/automation/sample_mailbox.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <span>

#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/ole_date.h"
#include "mailclient/automation/sample_items.h"
#include "mailclient/automation/mail_profile.h"
#include "content_reader.h"
#include "mail_client_support.h"
#include "rtf_reader.h"

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

// The rich sample: whole items read back by the mail client's own reader, by libpff
// (every property, named ones by name through the file's map, attachments with their data)
// and by libpst (every item it exports, recipients as the display lists, attachments by
// name and bytes, embedded messages with theirs).

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string from_cp1252(std::span<const std::uint8_t> bytes) {
  static const TextCodec codec("WINDOWS-1252");
  return test::utf8(codec.decode(std::string(bytes.begin(), bytes.end())));
}

const ContentProperty* find_tag(const ContentProperties& list, std::uint32_t tag) {
  for (const auto& p : list)
    if (p.tag == tag) return &p;
  return nullptr;
}

// The key pypff_dump.py --full gives a property.
std::string pypff_key(const ContentProperty& p) {
  char type[8];
  std::snprintf(type, sizeof type, "%04x", p.type());
  if (!p.name) {
    char tag[12];
    std::snprintf(tag, sizeof tag, "%08x", p.tag);
    return tag;
  }
  const std::string id =
      p.name->lid ? "#" + std::to_string(*p.name->lid) : "$" + test::utf8(p.name->name);
  return hex(p.name->guid) + id + "/" + type;
}

void expect_pypff_properties(const ContentProperties& given, const json& got, ContentObject object,
                             const std::string& where) {
  for (const auto& p : given) {
    if (!test::kept(p, object) || (object == ContentObject::kAttachment && p.id() == 0x3701))
      continue;
    const std::string key = pypff_key(p);
    if (!got.contains(key)) {
      ADD_FAILURE() << where << ": " << key << " missing";
      continue;
    }
    EXPECT_EQ(got[key], hex(p.value)) << where << ": " << key;
  }
}

// The name readpst gives an attachment's file.
std::string attachment_name(const AttachmentContent& a) {
  for (const std::uint32_t tag : {0x3707001Eu, 0x3704001Eu, 0x3001001Eu})
    if (const auto* p = find_tag(a.properties, tag)) return from_cp1252(p->value);
  return "";
}

std::string display_names(const MessageContent& m, std::uint32_t type) {
  std::string out;
  for (const auto& row : m.recipients) {
    const auto* t = find_tag(row, 0x0C150003);
    if (t == nullptr || pst::load_le32(t->value, 0) != type) continue;
    out += (out.empty() ? "" : "; ") + from_cp1252(find_tag(row, 0x3001001E)->value);
  }
  return out;
}

void expect_readpst_message(const MessageContent& given, const json& got,
                            const std::string& where) {
  // libpst writes the lists as it finds them in the message.
  for (const auto& [type, field] : {std::pair{1u, "to"}, std::pair{2u, "cc"}})
    EXPECT_EQ(got[field].get<std::string>(), display_names(given, type)) << where << " " << field;
  std::size_t embedded = 0;
  for (const auto& a : given.attachments) {
    if (a.embedded) {
      ASSERT_LT(embedded, got["messages"].size()) << where;
      const json& inner = got["messages"][embedded++];
      EXPECT_EQ(inner["subject"], from_cp1252(find_tag(a.embedded->properties, 0x0037001E)->value));
      expect_readpst_message(*a.embedded, inner, where + " embedded");
      continue;
    }
    const auto* data = find_tag(a.properties, 0x37010102);
    const auto* object = find_tag(a.properties, 0x3701000D);
    if (data == nullptr && object == nullptr) continue;  // a reference: no file to write
    const std::string name = attachment_name(a);
    const json* file = nullptr;
    for (const auto& f : got["attachments"])
      if (f["name"] == name) file = &f;
    ASSERT_NE(file, nullptr) << where << ": " << name;
    EXPECT_EQ((*file)["data"], hex((data ? data : object)->value)) << where << ": " << name;
  }
  EXPECT_EQ(embedded, got["messages"].size()) << where;
}

TEST(SampleMailbox, RichItemsComeBackWholeThroughEveryReader) {
  test::TempDir dir;
  const auto file = test::empty_store(dir, "rich.pst");
  SampleOptions options;
  options.rich = true;
  options.folders = 8;
  options.messages = 40;
  options.seed = 11;
  const auto factory = make_mail_client_factory();
  const auto manifest = fill_sample_mailbox(*factory, file, options);
  terminate_mail_client();
  MailProfile::instance().clear();
  EXPECT_TRUE(test::validator_says(file, "pstcheck: 0 errors, 0 warnings, "));

  std::set<std::int32_t> types;
  for (const auto& f : manifest.folders) types.insert(f.type);
  EXPECT_EQ(types.size(), 6u);
  std::map<std::string, const SampleMessage*> by_subject;
  std::map<std::string, std::size_t> kinds;
  for (const auto& m : manifest.messages) {
    by_subject[test::utf8(m.subject)] = &m;
    ++kinds[from_cp1252(find_tag(m.content->properties, 0x001A001E)->value)];
  }
  ASSERT_EQ(by_subject.size(), manifest.messages.size());
  EXPECT_EQ(kinds.size(), kSampleKinds);

  {
    StoreFile store(file);
    const test::ContentReader reader(store);
    std::size_t read = 0;
    store.for_each_node([&](const NbtEntry& node) {
      if (pst::node_type(node.nid) != pst::kNodeNormalMessage) return;
      const MessageContent back = reader.message(node.nid);
      const auto* subject = find_tag(back.properties, 0x0037001E);
      const auto it = subject ? by_subject.find(from_cp1252(subject->value)) : by_subject.end();
      if (it == by_subject.end()) return;
      SCOPED_TRACE(it->first);
      test::expect_content(*it->second->content, back);
      const auto folder = reader.properties(store.find_node(node.nid_parent)->bid_data, 0);
      std::string name;
      for (const auto& p : folder)
        if (p.tag == 0x3001001E) name = from_cp1252(p.value);
      EXPECT_EQ(name, test::utf8(manifest.folders[it->second->folder].path.back()));
      ++read;
    });
    EXPECT_EQ(read, manifest.messages.size());
  }

  if (fs::exists("/usr/bin/readpst")) {
    const auto out = dir.path() / "readpst";
    fs::create_directory(out);
    int status = -1;
    test::run("readpst -q -e -j 0 -o '" + out.string() + "' '" + file.string() + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    const json files = json::parse(test::run("/usr/bin/python3 '" PSTORIAN_SOURCE_DIR
                                             "/tests/mailclient/readpst_dump.py' '" +
                                             out.string() + "'"));
    std::map<std::string, std::size_t> written;
    for (const auto& f : files) {
      ++written[f["kind"].get<std::string>()];
      if (f["kind"] != "eml") continue;
      const auto it = by_subject.find(f["subject"].get<std::string>());
      ASSERT_NE(it, by_subject.end()) << f["subject"];
      const MessageContent& given = *it->second->content;
      SCOPED_TRACE(it->first);
      expect_readpst_message(given, f, "readpst");
      // The RTF body comes out decompressed beside the attachments.
      if (const auto* rtf = find_tag(given.properties, 0x10090102)) {
        bool found = false;
        for (const auto& a : f["attachments"])
          if (a["name"] == "rtf-body.rtf") {
            found = true;
            const auto text = test::decompress_rtf(rtf->value);
            ASSERT_TRUE(text);
            const std::vector<std::uint8_t> bytes(text->begin(), text->end());
            EXPECT_EQ(a["data"], hex(bytes));
          }
        EXPECT_TRUE(found);
      }
    }
    // libpst writes mail, reports and meeting requests as messages, appointments and
    // journal entries as calendars, contacts as cards, and leaves the other kinds out.
    EXPECT_EQ(written["eml"], kinds["IPM.Note"] + kinds["REPORT.IPM.Note.NDR"] +
                                  kinds["IPM.Schedule.Meeting.Request"]);
    EXPECT_EQ(written["ics"], kinds["IPM.Appointment"] + kinds["IPM.Activity"]);
    EXPECT_EQ(written["vcf"], kinds["IPM.Contact"]);
  }

  if (!test::has_pypff()) GTEST_SKIP() << "pypff not installed";
  int status = -1;
  const std::string dump = test::run("/usr/bin/python3 '" PSTORIAN_SOURCE_DIR
                                     "/tests/mailclient/pypff_dump.py' --full '" + file.string() +
                                         "' 2>&1",
                                     &status);
  ASSERT_EQ(status, 0) << dump.substr(0, 2000);
  std::size_t checked = 0;
  for (const auto& m : json::parse(dump)) {
    const auto it = by_subject.find(m["subject"].get<std::string>());
    if (it == by_subject.end()) continue;
    SCOPED_TRACE(it->first);
    const SampleMessage& given = *it->second;
    EXPECT_EQ(m["path"].back(), test::utf8(manifest.folders[given.folder].path.back()));
    expect_pypff_properties(given.content->properties, m["properties"], ContentObject::kMessage,
                            "pypff");
    ASSERT_EQ(m["attachments"].size(), given.content->attachments.size());
    for (std::size_t i = 0; i < given.content->attachments.size(); ++i) {
      const AttachmentContent& a = given.content->attachments[i];
      const json& got = m["attachments"][i];
      expect_pypff_properties(a.properties, got["properties"], ContentObject::kAttachment,
                              "pypff attachment " + std::to_string(i));
      const auto* data = find_tag(a.properties, 0x37010102);
      const auto* object = find_tag(a.properties, 0x3701000D);
      if (data || (object && !a.embedded)) {
        EXPECT_EQ(got["data"], hex((data ? data : object)->value)) << i;
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, manifest.messages.size());
}

// The same rich sample written into a store of each form: libpff and libpst find the same
// folders, items, texts and attachments in both, the 64-bit one holding its strings as
// PT_UNICODE.
TEST(SampleMailbox, TheRichSampleReadsTheSameInTheUnicodeForm) {
  test::TempDir dir;
  SampleOptions options;
  options.rich = true;
  options.folders = 6;
  options.messages = 60;
  options.seed = 5;
  std::map<FileForm, fs::path> files;
  for (const FileForm form : {FileForm::kAnsi, FileForm::kUnicode}) {
    files[form] = test::empty_store(dir, std::string(pst::form_name(form)) + ".pst", form);
    const auto factory = make_mail_client_factory();
    fill_sample_mailbox(*factory, files[form], options);
    terminate_mail_client();
    MailProfile::instance().clear();
  }
  const fs::path& wide = files[FileForm::kUnicode];
  EXPECT_EQ(StoreFile(wide).header().form, FileForm::kUnicode);
  EXPECT_TRUE(test::validator_says(wide, "pstcheck: 0 errors, 0 warnings, "));
  if (test::has_pypff()) {
    const json ansi = test::pypff_dump(files[FileForm::kAnsi]);
    const json unicode = test::pypff_dump(wide);
    ASSERT_EQ(ansi.size(), unicode.size());
    std::size_t messages = 0;
    for (std::size_t i = 0; i < ansi.size(); ++i) {
      EXPECT_EQ(ansi[i]["path"], unicode[i]["path"]);
      ASSERT_EQ(ansi[i]["messages"].size(), unicode[i]["messages"].size());
      for (std::size_t m = 0; m < ansi[i]["messages"].size(); ++m) {
        const json& a = ansi[i]["messages"][m];
        const json& u = unicode[i]["messages"][m];
        for (const char* field : {"subject", "body", "sender", "attachments", "delivered"})
          EXPECT_EQ(a[field], u[field]) << field << " of " << a["subject"];
        ++messages;
      }
    }
    EXPECT_EQ(messages, 60u);
  }
  if (test::have_program("readpst")) {
    // Each folder's line of what libpst exported and skipped, in the same numbers. One job:
    // libpst's parallel ones now and then lose an item of a file read whole the run before.
    const auto exported = [&](const fs::path& file) {
      const auto out = dir.path() / ("readpst-" + file.stem().string());
      fs::create_directory(out);
      const std::string log =
          test::run("readpst -j 0 -D -e -o '" + out.string() + "' '" + file.string() + "' 2>&1");
      std::multiset<std::string> lines;
      for (std::size_t at = log.find("items done"); at != std::string::npos;
           at = log.find("items done", at + 1))
        lines.insert(log.substr(log.rfind('\t', at), log.find('\n', at) - log.rfind('\t', at)));
      return lines;
    };
    const auto ansi = exported(files[FileForm::kAnsi]);
    EXPECT_FALSE(ansi.empty());
    EXPECT_EQ(ansi, exported(wide));
  }
}

}  // namespace
}  // namespace pstorian
