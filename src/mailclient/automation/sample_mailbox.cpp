#include "mailclient/automation/sample_mailbox.h"

#include <array>
#include <map>

#include "format/utf8.h"
#include "mailclient/automation/sample_items.h"
#include "pst/messaging/text_codec.h"

namespace pstorian {
namespace {

using namespace automation;

constexpr std::array<std::u16string_view, 12> kFolderNames = {
    u"Projects", u"Archive",  u"Family",  u"Travel", u"Invoices", u"Clients",
    u"Résumés",  u"Meetings", u"Friends", u"Sports", u"Receipts", u"Ideas"};
constexpr std::array<std::int32_t, 6> kTypes = {kFolderMail,    kFolderCalendar, kFolderContacts,
                                                kFolderJournal, kFolderNotes,    kFolderTasks};
constexpr std::array<std::u16string_view, 16> kWords = {
    u"quarterly", u"report",  u"meeting", u"budget", u"lunch",   u"café",   u"review",
    u"draft",     u"über",    u"plan",    u"party",  u"invoice", u"€ 120", u"holiday",
    u"schedule",  u"minutes"};
constexpr std::array<std::u16string_view, 8> kFirst = {u"Ann",  u"Bob",  u"Chloé", u"Dave",
                                                       u"Eve",  u"Frank", u"Günter", u"Hana"};
constexpr std::array<std::u16string_view, 8> kLast = {u"Smith", u"Jones", u"Müller", u"Brown",
                                                      u"Novak", u"Rossi", u"Dubois", u"Lee"};
constexpr std::array<std::u16string_view, 4> kPrefixes = {u"", u"RE: ", u"FW: ", u""};

using Random = SampleRandom;

std::u16string ascii(std::string_view s) {
  return std::u16string(s.begin(), s.end());
}

std::u16string lower_ascii(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

}  // namespace

std::u16string sample_body(std::uint32_t seed, std::size_t index, std::size_t size) {
  Random r(seed * 7919u + static_cast<std::uint32_t>(index));
  std::u16string body;
  body.reserve(size);
  while (body.size() < size) {
    if (!body.empty()) body += (r.below(12) == 0 ? u"\r\n" : u" ");
    body += r.pick(kWords);
  }
  body.resize(size);
  return body;
}

namespace {

struct AttachedStore {
  std::shared_ptr<Namespace> ns;
  std::shared_ptr<Folder> top;
};

AttachedStore attach_store(AutomationFactory& factory, const std::filesystem::path& store_file) {
  const auto application = factory.CreateApplication(kApplicationProgId);
  const auto ns = application->GetNamespace(kNamespaceType);
  ns->AddStore(pst::path_to_utf16(std::filesystem::absolute(store_file).string()));

  // The store just attached: the one whose top folder's StoreID holds its path.
  const auto stores = ns->get_Folders();
  std::shared_ptr<Folder> top;
  const std::string wanted = std::filesystem::absolute(store_file).lexically_normal().string();
  for (std::int32_t i = 1; i <= stores->Count() && !top; ++i) {
    const auto folder = stores->Item(i);
    const std::u16string id = folder->get_StoreID();
    std::string bytes;
    for (std::size_t k = 0; k + 1 < id.size(); k += 2)
      bytes.push_back(static_cast<char>(std::stoi(std::string{char(id[k]), char(id[k + 1])},
                                                  nullptr, 16)));
    if (bytes.size() > wanted.size() &&
        bytes.compare(bytes.size() - wanted.size() - 1, wanted.size(), wanted) == 0)
      top = folder;
  }
  if (!top) throw AutomationError("the attached store is not listed");
  return {ns, top};
}

// The store's inbox and `n` folders over three levels, recorded in the manifest; `parents`
// gets the index of each folder's parent, 0 for the top folder (the inbox's place).
std::vector<std::shared_ptr<Folder>> create_folders(const std::shared_ptr<Folder>& top, int n,
                                                    SampleManifest& manifest,
                                                    std::vector<std::size_t>& parents) {
  std::vector<std::shared_ptr<Folder>> folders;
  parents.assign(1, 0);
  // The store's own inbox; a store without one gets one.
  try {
    folders.push_back(top->get_Folders()->Item(u"inbox"));
  } catch (const AutomationError&) {
    folders.push_back(top->get_Folders()->Add(u"Inbox", kFolderMail));
  }
  manifest.folders.push_back({{u"Inbox"}, kFolderMail});

  // Three levels: a quarter of the folders at the top, a quarter below those, the rest
  // below the second level.
  const int first = std::max(1, n / 4);
  const int second = std::max(first, n / 2);
  for (int i = 0; i < n; ++i) {
    std::size_t parent = 0;  // 0: the top folder
    if (i >= second)
      parent = 1 + static_cast<std::size_t>(first + (i - second) % std::max(1, second - first));
    else if (i >= first)
      parent = 1 + static_cast<std::size_t>((i - first) % first);
    if (parent > static_cast<std::size_t>(i)) parent = 0;
    const std::int32_t type = kTypes[static_cast<std::size_t>(i) % kTypes.size()];
    const std::u16string name = std::u16string(kFolderNames[static_cast<std::size_t>(i) %
                                                             kFolderNames.size()]) +
                                u" " + ascii(std::to_string(i + 1));
    auto under = parent == 0 ? top : folders[parent];
    folders.push_back(under->get_Folders()->Add(name, type));
    parents.push_back(parent);
    SampleFolder record;
    if (parent != 0) record.path = manifest.folders[parent].path;
    record.path.push_back(name);
    record.type = type;
    manifest.folders.push_back(std::move(record));
  }
  return folders;
}

// Binds the helper folder to the folder the next message goes to, unless it is bound to it
// already, and keeps that folder's store id.
class FolderBinding {
 public:
  explicit FolderBinding(std::shared_ptr<HelperFolder> helper) : helper_(std::move(helper)) {}

  std::optional<std::size_t> bound() const { return bound_; }

  const std::u16string& bind(const std::vector<std::shared_ptr<Folder>>& folders,
                             std::size_t index) {
    if (bound_ != index) {
      store_id_ = folders[index]->get_StoreID();
      helper_->put_BoundObject(nullptr);
      helper_->put_BoundObject(folders[index]);
      bound_ = index;
    }
    return store_id_;
  }

 private:
  std::shared_ptr<HelperFolder> helper_;
  std::optional<std::size_t> bound_;
  std::u16string store_id_;
};

struct Helpers {
  std::shared_ptr<HelperFolder> folder;
  std::shared_ptr<HelperMailItem> item;
};

Helpers create_helpers(AutomationFactory& factory) {
  Helpers h{std::dynamic_pointer_cast<HelperFolder>(factory.CreateHelper(kHelperFolderProgId)),
            std::dynamic_pointer_cast<HelperMailItem>(factory.CreateHelper(kHelperMailItemProgId))};
  if (!h.folder || !h.item) throw AutomationError("helper objects missing");
  return h;
}

SampleManifest fill_plain(AutomationFactory& factory, const AttachedStore& store,
                          const SampleOptions& options) {
  Random r(options.seed);
  const auto& ns = store.ns;
  const auto& top = store.top;
  SampleManifest manifest;
  std::vector<std::size_t> parent_of;
  std::vector<std::shared_ptr<Folder>> folders =
      create_folders(top, options.folders, manifest, parent_of);

  const auto [helper_folder, helper_item] = create_helpers(factory);

  // A folder of the file lists at most pst::kMaxTableRows messages; a full folder goes on
  // in a sibling named "<name> (2)", "<name> (3)", ...
  const std::size_t base_folders = folders.size();
  std::vector<std::size_t> held(base_folders, 0);
  std::vector<std::size_t> base_of(base_folders);
  std::vector<std::size_t> continued_in(base_folders);
  std::vector<int> continuations(base_folders, 1);
  std::vector<std::shared_ptr<Folder>> parents(base_folders, top);
  for (std::size_t f = 0; f < base_folders; ++f) {
    base_of[f] = continued_in[f] = f;
    if (parent_of[f] != 0) parents[f] = folders[parent_of[f]];
  }
  const auto with_room = [&](std::size_t f) {
    const std::size_t base = base_of[f];
    while (held[continued_in[base]] >= options.items_per_folder) {
      SampleFolder record = manifest.folders[base];
      record.path.back() += u" (" + ascii(std::to_string(++continuations[base])) + u")";
      folders.push_back(parents[base]->get_Folders()->Add(record.path.back(), record.type));
      manifest.folders.push_back(std::move(record));
      held.push_back(0);
      base_of.push_back(base);
      continued_in[base] = folders.size() - 1;
    }
    return continued_in[base];
  };

  FolderBinding binding(helper_folder);
  for (int m = 0; m < options.messages; ++m) {
    SampleMessage msg;
    // Runs of messages in one folder, as a repair writes them.
    msg.folder = with_room(m % 7 == 0 ? r.below(static_cast<std::uint32_t>(base_folders))
                                      : binding.bound().value_or(0));
    const std::u16string first_name(r.pick(kFirst));
    const std::u16string last_name(r.pick(kLast));
    msg.sender = first_name + u" " + last_name + u"[" + lower_ascii(first_name) + u"." +
                 lower_ascii(last_name) + u"@example.com]";
    msg.display_to = std::u16string(r.pick(kFirst)) + u" " + std::u16string(r.pick(kLast));
    if (r.below(3) == 0)
      msg.display_to += u"; " + std::u16string(r.pick(kFirst)) + u" " + std::u16string(r.pick(kLast));
    msg.subject = std::u16string(r.pick(kPrefixes)) + std::u16string(r.pick(kWords)) + u" " +
                  std::u16string(r.pick(kWords)) + u" #" + ascii(std::to_string(m + 1));
    msg.importance = static_cast<std::int32_t>(r.below(3));
    msg.flag_status = static_cast<std::int32_t>(r.below(3));
    // Whole seconds between 2000 and 2025.
    const double sent = 36526.0 + r.below(9000) + r.below(86400) / 86400.0;
    msg.submitted = {sent};
    msg.delivered = {sent + r.below(3600) / 86400.0};
    if (options.body_size)
      msg.body_size = *options.body_size;
    else if (m == 0)
      msg.body_size = 0;
    else if (m == 1 || r.below(50) == 0)
      msg.body_size = m == 1 ? options.largest_body : r.below(static_cast<std::uint32_t>(options.largest_body) + 1);
    else
      msg.body_size = r.below(4000);

    const auto& folder = folders[msg.folder];
    const std::u16string& store_id = binding.bind(folders, msg.folder);
    const auto created = helper_folder->get_Messages()->Add(u"IPM.Note");
    created->put_MessageClass(u"IPM.Note");
    created->put_Property(tag::kMessageFlags, std::int32_t{1});
    created->Save();
    const auto item = ns->GetItemFromID(created->get_EntryID(), store_id);
    helper_item->put_BoundObject(nullptr);
    helper_item->put_BoundObject(item);
    item->put_To(msg.display_to);
    item->put_Subject(msg.subject);
    if (msg.importance != 0) item->put_Importance(msg.importance);
    if (msg.flag_status != 0) item->put_FlagStatus(msg.flag_status);
    item->put_Body(sample_body(options.seed, static_cast<std::size_t>(m), msg.body_size));
    helper_item->put_Property(tag::kSenderAddrType, std::u16string(u"SMTP"));
    helper_item->put_Property(tag::kSenderName, msg.sender);
    helper_item->put_Property(tag::kClientSubmitTime, msg.submitted);
    helper_item->put_Property(tag::kMessageDeliveryTime, msg.delivered);
    helper_item->put_Property(tag::kSentRepresentingAddrType, std::u16string(u"SMTP"));
    helper_item->put_Property(tag::kSentRepresentingName, msg.sender);
    item->Close(kSaveModeSave);
    item->Close(kSaveModeSave);
    item->Move(*folder);
    ++held[msg.folder];
    manifest.messages.push_back(std::move(msg));
  }
  helper_item->put_BoundObject(nullptr);
  helper_folder->put_BoundObject(nullptr);
  return manifest;
}

// Whole items of every kind, each in a folder of its type; the folders get properties of
// another store's folders.
SampleManifest fill_rich(AutomationFactory& factory, const AttachedStore& store,
                         const SampleOptions& options) {
  Random r(options.seed);
  SampleManifest manifest;
  const int count = std::max(options.folders, static_cast<int>(kTypes.size()));
  std::vector<std::size_t> parent_of;
  const auto folders = create_folders(store.top, count, manifest, parent_of);
  const auto [helper_folder, helper_item] = create_helpers(factory);
  std::map<std::int32_t, std::vector<std::size_t>> of_type;
  for (std::size_t f = 0; f < folders.size(); ++f) {
    of_type[manifest.folders[f].type].push_back(f);
    if (f == 0) continue;  // the store's own inbox keeps its own
    helper_folder->put_BoundObject(nullptr);
    helper_folder->put_BoundObject(folders[f]);
    helper_folder->put_Properties(
        sample_folder_properties(options.seed, f, manifest.folders[f].type));
  }

  FolderBinding binding(helper_folder);
  for (int m = 0; m < options.messages; ++m) {
    const auto index = static_cast<std::size_t>(m);
    const SampleKind kind = sample_kind(index);
    const auto& candidates = of_type[sample_folder_type(kind)];
    SampleMessage msg;
    msg.folder = candidates[(index / kSampleKinds) % candidates.size()];
    msg.subject = std::u16string(r.pick(kPrefixes)) + std::u16string(r.pick(kWords)) + u" " +
                  std::u16string(r.pick(kWords)) + u" #" + ascii(std::to_string(m + 1));
    msg.content = sample_item(options.seed, index, msg.subject);
    const auto& folder = folders[msg.folder];
    const std::u16string& store_id = binding.bind(folders, msg.folder);
    const auto created = helper_folder->get_Messages()->Add(sample_class(kind));
    created->put_Content(msg.content);
    created->Save();
    // Saved again and moved, as a repair completes an item.
    const auto item = store.ns->GetItemFromID(created->get_EntryID(), store_id);
    helper_item->put_BoundObject(nullptr);
    helper_item->put_BoundObject(item);
    item->Close(kSaveModeSave);
    item->Close(kSaveModeSave);
    item->Move(*folder);
    manifest.messages.push_back(std::move(msg));
  }
  helper_item->put_BoundObject(nullptr);
  helper_folder->put_BoundObject(nullptr);
  return manifest;
}

}  // namespace

SampleManifest fill_sample_mailbox(AutomationFactory& factory,
                                   const std::filesystem::path& store_file,
                                   const SampleOptions& options) {
  const AttachedStore store = attach_store(factory, store_file);
  return options.rich ? fill_rich(factory, store, options) : fill_plain(factory, store, options);
}

}  // namespace pstorian
