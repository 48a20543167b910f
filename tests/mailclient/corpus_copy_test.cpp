// The items of real files and of the rich sample, read with the mail client's own reader
// and written whole into a new store the way a repair writes them (folders by name with
// their properties, items through the helper, saved again and moved), compared with the
// original property by property by the shared tools' pstdiff.
#include <gtest/gtest.h>

#include <map>

#include "content_reader.h"
#include "format/endian.h"
#include "mail_client_support.h"
#include "mailclient/automation/mail_client_factory.h"
#include "mailclient/automation/sample_mailbox.h"
#include "mailclient/automation/mail_profile.h"
#include "pst/messaging/message_store.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace automation;

std::u16string text_of(const ContentProperties& properties, std::uint16_t id) {
  static const TextCodec codec("WINDOWS-1252");
  for (const auto& p : properties) {
    if (p.id() != id) continue;
    if (p.type() == 0x001E) return codec.decode(std::string(p.value.begin(), p.value.end()));
    if (p.type() == 0x001F) return from_utf16le(p.value);
  }
  return u"";
}

std::int32_t folder_type(const std::u16string& container_class) {
  for (const auto& [prefix, type] :
       {std::pair{u"IPF.Appointment", kFolderCalendar}, std::pair{u"IPF.Contact", kFolderContacts},
        std::pair{u"IPF.Journal", kFolderJournal}, std::pair{u"IPF.StickyNote", kFolderNotes},
        std::pair{u"IPF.Task", kFolderTasks}})
    if (container_class.starts_with(prefix)) return type;
  return kFolderMail;
}

// Copies every folder below the top of the personal folders of `source`, and the items in
// them, into the store of `target`. Returns the number of items written.
std::size_t copy_whole(const fs::path& source, const fs::path& target) {
  StoreFile from(source);
  const test::ContentReader reader(from);
  std::uint32_t top = 0;
  for (const auto& p : reader.object(pst::kNidMessageStore))
    if (p.tag == prop::kIpmSubTreeEntryId) top = pst::load_le32(p.value, p.value.size() - 4);
  std::map<std::uint32_t, std::vector<std::uint32_t>> children, items;
  from.for_each_node([&](const NbtEntry& e) {
    if (e.nid == e.nid_parent) return;
    if (pst::node_type(e.nid) == pst::kNodeNormalFolder) children[e.nid_parent].push_back(e.nid);
    if (pst::node_type(e.nid) == pst::kNodeNormalMessage) items[e.nid_parent].push_back(e.nid);
  });

  const auto factory = make_mail_client_factory();
  const auto ns = factory->CreateApplication(kApplicationProgId)->GetNamespace(u"MAPI");
  const std::string path = target.string();
  ns->AddStore(std::u16string(path.begin(), path.end()));
  const auto helper =
      std::dynamic_pointer_cast<HelperFolder>(factory->CreateHelper(kHelperFolderProgId));
  std::size_t written = 0;
  const std::function<void(std::uint32_t, const std::shared_ptr<Folder>&)> copy =
      [&](std::uint32_t nid, const std::shared_ptr<Folder>& to) {
        helper->put_BoundObject(to);
        for (const std::uint32_t m : items[nid]) {
          const auto content = std::make_shared<MessageContent>(reader.message(m));
          std::u16string cls = text_of(content->properties, 0x001A);
          const auto message = helper->get_Messages()->Add(cls.empty() ? u"IPM.Note" : cls);
          message->put_Content(content);
          message->Save();
          const auto item = ns->GetItemFromID(message->get_EntryID(), to->get_StoreID());
          item->Close(kSaveModeSave);
          item->Close(kSaveModeSave);
          item->Move(*to);
          ++written;
        }
        for (const std::uint32_t f : children[nid]) {
          const ContentProperties properties = reader.object(f);
          const std::u16string name = text_of(properties, 0x3001);
          std::shared_ptr<Folder> sub;
          try {
            sub = to->get_Folders()->Item(name);
          } catch (const AutomationError&) {
            sub = to->get_Folders()->Add(name, folder_type(text_of(properties, 0x3613)));
          }
          helper->put_BoundObject(sub);
          helper->put_Properties(properties);
          copy(f, sub);
        }
      };
  copy(top, ns->get_Folders()->Item(1));
  helper->put_BoundObject(nullptr);
  terminate_mail_client();
  MailProfile::instance().clear();
  return written;
}

TEST(CorpusCopy, ItemsWrittenWholeCompareEqualPropertyByProperty) {
  test::TempDir dir;
  const std::string pstdiff = PSTORIAN_SHARED_DIR "/tools/pstdiff.py";
  if (!fs::exists(pstdiff) || !test::has_pypff()) GTEST_SKIP() << "pstdiff or pypff missing";
  // The files of the corpus, and the rich sample with its embedded messages.
  auto originals = test::corpus_copies(dir);
  originals.push_back(test::empty_store(dir, "rich.pst"));
  SampleOptions options;
  options.rich = true;
  options.messages = 30;
  fill_sample_mailbox(*make_mail_client_factory(), originals.back(), options);
  terminate_mail_client();
  MailProfile::instance().clear();
  for (const auto& original : originals) {
    SCOPED_TRACE(original.filename().string());
    const auto target = test::empty_store(dir, original.stem().string() + " copy.pst");
    const std::size_t written = copy_whole(original, target);
    EXPECT_TRUE(test::validator_says(target, "pstcheck: 0 errors, 0 warnings, "));
    int status = -1;
    const std::string report =
        test::run("/usr/bin/python3 '" + pstdiff + "' '" + original.string() + "' '" +
                      target.string() + "' --json 2>&1",
                  &status);
    ASSERT_EQ(status, 0) << report;
    const json figures = json::parse(report);
    std::cout << original.filename().string() << ": " << written << " items written; "
              << figures["properties_total"] << " properties, " << figures["bodies_total"]
              << " bodies, " << figures["attachments_total"] << " attachment fields, "
              << figures["recipients_total"]
              << " recipient rows compared: " << figures["rates"].dump() << "\n";
    EXPECT_EQ(figures["matched"], figures["original_items"]);
    EXPECT_EQ(figures["same_folder"], figures["original_items"]);
    EXPECT_EQ(figures["properties_equal"], figures["properties_total"]);
    EXPECT_EQ(figures["bodies_equal"], figures["bodies_total"]);
    EXPECT_EQ(figures["attachments_equal"], figures["attachments_total"]);
    EXPECT_EQ(figures["recipients_equal"], figures["recipients_total"]);
  }
}

}  // namespace
}  // namespace pstorian
