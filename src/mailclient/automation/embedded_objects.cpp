#include "mailclient/automation/embedded_objects.h"

#include <array>
#include <string_view>

#include "format/utf8.h"
#include "mailclient/automation/property_value.h"
#include "pst/messaging/entry_id.h"
#include "mailclient/automation/mail_profile.h"

namespace pstorian {
namespace {

using automation::AutomationError;

std::u16string name_of(MessageStore& store, std::uint32_t folder) {
  return store.folder_name(folder);
}

struct FolderKind {
  std::int32_t type;
  std::string_view container_class;
  std::u16string_view message_class;
};

constexpr std::array<FolderKind, 6> kFolderKinds = {{
    {automation::kFolderMail, "IPF.Note", u"IPM.Note"},
    {automation::kFolderCalendar, "IPF.Appointment", u"IPM.Appointment"},
    {automation::kFolderContacts, "IPF.Contact", u"IPM.Contact"},
    {automation::kFolderJournal, "IPF.Journal", u"IPM.Activity"},
    {automation::kFolderNotes, "IPF.StickyNote", u"IPM.StickyNote"},
    {automation::kFolderTasks, "IPF.Task", u"IPM.Task"},
}};

class SubFolders final : public automation::Folders {
 public:
  SubFolders(std::shared_ptr<MessageStore> store, std::uint32_t parent)
      : store_(std::move(store)), parent_(parent) {}

  std::int32_t Count() override {
    return automation_call(
        [&] { return static_cast<std::int32_t>(store_->subfolders(parent_).size()); });
  }

  std::shared_ptr<automation::Folder> Item(std::int32_t index) override {
    return automation_call([&]() -> std::shared_ptr<automation::Folder> {
      const auto list = store_->subfolders(parent_);
      if (index < 1 || static_cast<std::size_t>(index) > list.size())
        throw AutomationError("no folder at that position");
      return std::make_shared<EmbeddedFolder>(store_, list[static_cast<std::size_t>(index) - 1]);
    });
  }

  std::shared_ptr<automation::Folder> Item(std::u16string_view name) override {
    return automation_call([&]() -> std::shared_ptr<automation::Folder> {
      if (const auto nid = find(name)) return std::make_shared<EmbeddedFolder>(store_, *nid);
      throw AutomationError("the folder does not exist");
    });
  }

  std::shared_ptr<automation::Folder> Add(std::u16string_view name, std::int32_t type) override {
    return automation_call([&]() -> std::shared_ptr<automation::Folder> {
      if (name.empty()) throw AutomationError("a folder needs a name");
      const FolderKind* kind = nullptr;
      for (const auto& k : kFolderKinds)
        if (k.type == type) kind = &k;
      if (kind == nullptr) throw AutomationError("unknown folder type");
      if (find(name)) throw AutomationError("a folder of that name exists already");
      const std::uint32_t nid =
          store_->create_folder(parent_, name, kind->container_class);
      return std::make_shared<EmbeddedFolder>(store_, nid);
    });
  }

 private:
  std::optional<std::uint32_t> find(std::u16string_view name) {
    return store_->find_subfolder(parent_, name);
  }

  std::shared_ptr<MessageStore> store_;
  std::uint32_t parent_;
};

class TopFolders final : public automation::Folders {
 public:
  std::int32_t Count() override {
    return static_cast<std::int32_t>(MailProfile::instance().stores().size());
  }

  std::shared_ptr<automation::Folder> Item(std::int32_t index) override {
    const auto stores = MailProfile::instance().stores();
    if (index < 1 || static_cast<std::size_t>(index) > stores.size())
      throw AutomationError("no store at that position");
    const auto& store = stores[static_cast<std::size_t>(index) - 1];
    return std::make_shared<EmbeddedFolder>(store, store->top_folder());
  }

  std::shared_ptr<automation::Folder> Item(std::u16string_view name) override {
    return automation_call([&]() -> std::shared_ptr<automation::Folder> {
      const std::u16string wanted = fold_case(name);
      for (const auto& store : MailProfile::instance().stores())
        if (fold_case(name_of(*store, store->top_folder())) == wanted)
          return std::make_shared<EmbeddedFolder>(store, store->top_folder());
      throw AutomationError("no store of that name");
    });
  }

  std::shared_ptr<automation::Folder> Add(std::u16string_view, std::int32_t) override {
    throw AutomationError("stores are attached with AddStore, not created as folders");
  }
};

class FolderItems final : public automation::Items {
 public:
  FolderItems(std::shared_ptr<MessageStore> store, std::uint32_t folder)
      : store_(std::move(store)), folder_(folder) {}

  std::int32_t Count() override {
    return automation_call(
        [&] { return static_cast<std::int32_t>(store_->messages(folder_).size()); });
  }

  std::shared_ptr<automation::MailItem> Item(std::int32_t index) override {
    return automation_call([&]() -> std::shared_ptr<automation::MailItem> {
      const auto list = store_->messages(folder_);
      if (index < 1 || static_cast<std::size_t>(index) > list.size())
        throw AutomationError("no item at that position");
      return std::make_shared<EmbeddedMailItem>(store_, list[static_cast<std::size_t>(index) - 1]);
    });
  }

 private:
  std::shared_ptr<MessageStore> store_;
  std::uint32_t folder_;
};

class EmbeddedNamespace final : public automation::Namespace {
 public:
  void AddStore(std::u16string_view path) override {
    automation_call([&] {
      // Paths travel in the escaped form of format/utf8.h, so a name that is not UTF-8 still
      // names its file.
      const std::string name = pst::path_from_utf16(path);
      if (name.empty()) throw AutomationError("no store path given");
      MailProfile::instance().attach(name);
    });
  }

  std::shared_ptr<automation::Folders> get_Folders() override {
    return std::make_shared<TopFolders>();
  }

  std::shared_ptr<automation::MailItem> GetItemFromID(std::u16string_view entry_id,
                                                      std::u16string_view store_id) override {
    return automation_call([&]() -> std::shared_ptr<automation::MailItem> {
      const auto bytes = from_hex_text(entry_id);
      const auto ref = bytes ? parse_message_entry_id(*bytes) : std::nullopt;
      if (!ref) throw AutomationError("not an entry identifier of a message");
      const auto wanted_store = from_hex_text(store_id);
      for (const auto& store : MailProfile::instance().stores()) {
        if (!store_id.empty() && (!wanted_store || *wanted_store != store->entry_id())) continue;
        if (store->record_key() != ref->store || !store->is_message(ref->nid)) continue;
        return std::make_shared<EmbeddedMailItem>(store, ref->nid);
      }
      throw AutomationError("the item was not found");
    });
  }
};

}  // namespace

std::shared_ptr<automation::Folders> EmbeddedFolder::get_Folders() {
  return automation_call([&] {
    if (!store_->is_folder(nid_)) throw AutomationError("the folder no longer exists");
    return std::make_shared<SubFolders>(store_, nid_);
  });
}

std::shared_ptr<automation::Items> EmbeddedFolder::get_Items() {
  return automation_call([&] {
    if (!store_->is_folder(nid_)) throw AutomationError("the folder no longer exists");
    return std::make_shared<FolderItems>(store_, nid_);
  });
}

std::u16string EmbeddedFolder::get_DefaultMessageClass() {
  return automation_call([&]() -> std::u16string {
    const auto cls = store_->folder_properties(nid_).string(prop::kContainerClass);
    for (const auto& k : kFolderKinds)
      if (cls && *cls == k.container_class) return std::u16string(k.message_class);
    return u"IPM.Note";
  });
}

std::u16string EmbeddedFolder::get_StoreID() {
  return to_hex_text(store_->entry_id());
}

std::u16string EmbeddedFolder::get_Name() {
  return automation_call([&] { return name_of(*store_, nid_); });
}

void EmbeddedFolder::put_Name(std::u16string_view name) {
  automation_call([&] {
    if (name.empty()) throw AutomationError("a folder needs a name");
    if (const auto parent = store_->parent_folder(nid_)) {
      const auto same = store_->find_subfolder(*parent, name);
      if (same && *same != nid_) throw AutomationError("a folder of that name exists already");
    }
    store_->rename_folder(nid_, name);
  });
}

std::shared_ptr<automation::Folder> EmbeddedFolder::get_Parent() {
  return automation_call([&]() -> std::shared_ptr<automation::Folder> {
    const auto parent = store_->parent_folder(nid_);
    if (!parent) return nullptr;
    return std::make_shared<EmbeddedFolder>(store_, *parent);
  });
}

EmbeddedMailItem::EmbeddedMailItem(std::shared_ptr<MessageStore> store, std::uint32_t nid)
    : store_(std::move(store)), nid_(nid), properties_(store_->load_message(nid)) {}

void EmbeddedMailItem::put_To(std::u16string_view text) {
  properties_.set_string(prop::kDisplayTo, store_->codec().encode(text));
}

void EmbeddedMailItem::put_Subject(std::u16string_view text) {
  properties_.set_string(prop::kSubject, store_->codec().encode(text));
}

std::u16string EmbeddedMailItem::get_Subject() {
  std::u16string subject = text_value(properties_, prop::kSubject, store_->codec()).value_or(u"");
  // A subject kept as its source stored it may open with 0x01 and the length of its prefix
  // ("RE: "): a mark of where the normalized subject begins, not text a reader is shown.
  if (subject.size() >= 2 && subject[0] == u'\x01') subject.erase(0, 2);
  return subject;
}

void EmbeddedMailItem::put_Importance(std::int32_t value) {
  if (value < 0 || value > 2) throw AutomationError("importance is 0, 1 or 2");
  properties_.set_int32(prop::kImportance, static_cast<std::uint32_t>(value));
}

void EmbeddedMailItem::put_FlagStatus(std::int32_t value) {
  if (value < 0 || value > 2) throw AutomationError("flag status is 0, 1 or 2");
  properties_.set_int32(prop::kFlagStatus, static_cast<std::uint32_t>(value));
}

void EmbeddedMailItem::put_Body(std::u16string_view text) {
  properties_.set_string(prop::kBody, store_->codec().encode(text));
}

void EmbeddedMailItem::Close(std::int32_t save_mode) {
  automation_call([&] {
    if (save_mode == automation::kSaveModeSave) {
      store_->save_message(store_->folder_of(nid_), nid_, properties_);
      properties_ = store_->load_message(nid_);
    } else if (save_mode == 1 || save_mode == 2) {
      properties_ = store_->load_message(nid_);  // changes discarded
    } else {
      throw AutomationError("unknown save mode");
    }
  });
}

std::shared_ptr<automation::MailItem> EmbeddedMailItem::Move(automation::Folder& destination) {
  return automation_call([&]() -> std::shared_ptr<automation::MailItem> {
    auto* folder = dynamic_cast<EmbeddedFolder*>(&destination);
    if (folder == nullptr || folder->store() != store_)
      throw AutomationError("items move only between folders of their own store");
    if (!store_->is_folder(folder->nid())) throw AutomationError("no such folder");
    store_->move_message(nid_, folder->nid());
    return std::make_shared<EmbeddedMailItem>(store_, nid_);
  });
}

std::shared_ptr<automation::Namespace> make_embedded_namespace() {
  return std::make_shared<EmbeddedNamespace>();
}

}  // namespace pstorian
