#include "export/fake_mail_client.h"

#include <algorithm>
#include <cctype>

#include "export/wide_text.h"
#include "format/utf8.h"

namespace pstorian::fake {
namespace {

// A stored text value as the client's items show it: 8-bit text byte by byte (the tests'
// texts are ASCII), UTF-16 as it is.
std::u16string stored_text(const ContentProperty& p) {
  std::u16string text;
  if (p.type() == 0x001F) {
    for (std::size_t i = 0; i + 1 < p.value.size(); i += 2)
      text.push_back(static_cast<char16_t>(p.value[i] | p.value[i + 1] << 8));
  } else {
    for (const std::uint8_t b : p.value) text.push_back(static_cast<char16_t>(b));
  }
  return text;
}

// What a real client's item shows of a message written whole: its texts and numbers.
void take_content(FakeItem& item, const MessageContent& content) {
  for (const ContentProperty& p : content.properties) {
    const bool is_text = p.type() == 0x001E || p.type() == 0x001F;
    const std::int32_t number =
        p.type() == 0x0003 && p.value.size() == 4
            ? static_cast<std::int32_t>(p.value[0] | p.value[1] << 8 | p.value[2] << 16 |
                                        static_cast<std::uint32_t>(p.value[3]) << 24)
            : 0;
    if (is_text) item.properties[p.tag] = stored_text(p);
    if (p.type() == 0x0003) item.properties[p.tag] = number;
    switch (p.id()) {
      case 0x0037:
        if (is_text) item.subject = stored_text(p);
        break;
      case 0x0E04:
        if (is_text) item.to = stored_text(p);
        break;
      case 0x1000:
        if (is_text) item.body = stored_text(p);
        break;
      case 0x0017:
        item.importance = number;
        break;
      case 0x1090:
        item.flag_status = number;
        break;
      default:
        break;
    }
  }
}

bool same_name(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

class FakeFolders final : public Folders {
 public:
  explicit FakeFolders(std::shared_ptr<FakeFolder> owner) : owner_(std::move(owner)) {}
  std::int32_t Count() override { return static_cast<std::int32_t>(owner_->subfolders.size()); }
  std::shared_ptr<Folder> Item(std::int32_t index) override {
    if (index < 1 || index > Count()) throw AutomationError("index out of range");
    return owner_->subfolders[static_cast<std::size_t>(index - 1)];
  }
  std::shared_ptr<Folder> Item(std::u16string_view name) override {
    for (const auto& f : owner_->subfolders) {
      if (same_name(f->name, name)) return f;
    }
    throw AutomationError("no such folder");
  }
  std::shared_ptr<Folder> Add(std::u16string_view name, std::int32_t type) override {
    FakeClient& client = *owner_->client;
    client.note("Add " + utf8(name) + " " + std::to_string(type) + " under " +
                (owner_->parent ? owner_->path() : std::string("<root>")));
    if (name.empty() || client.refused_names.count(std::u16string(name))) {
      throw AutomationError("name refused");
    }
    for (const auto& f : owner_->subfolders) {
      if (same_name(f->name, name)) throw AutomationError("duplicate name");
    }
    return owner_->add_child(utf8(name), type);
  }

 private:
  std::shared_ptr<FakeFolder> owner_;
};

class StoreList final : public Folders {
 public:
  explicit StoreList(FakeClient& client) : client_(client) {}
  std::int32_t Count() override { return static_cast<std::int32_t>(client_.stores.size()); }
  std::shared_ptr<Folder> Item(std::int32_t index) override {
    if (index < 1 || index > Count()) throw AutomationError("index out of range");
    return client_.stores[static_cast<std::size_t>(index - 1)]->root;
  }
  std::shared_ptr<Folder> Item(std::u16string_view) override {
    throw AutomationError("stores by name not supported");
  }
  std::shared_ptr<Folder> Add(std::u16string_view, std::int32_t) override {
    throw AutomationError("stores cannot be added here");
  }

 private:
  FakeClient& client_;
};

class FakeItems final : public Items {
 public:
  explicit FakeItems(std::shared_ptr<FakeFolder> owner) : owner_(std::move(owner)) {}
  std::int32_t Count() override { return static_cast<std::int32_t>(owner_->items.size()); }
  std::shared_ptr<MailItem> Item(std::int32_t index) override {
    if (index < 1 || index > Count()) throw AutomationError("index out of range");
    return owner_->items[static_cast<std::size_t>(index - 1)];
  }

 private:
  std::shared_ptr<FakeFolder> owner_;
};

class FakeNamespace final : public Namespace {
 public:
  explicit FakeNamespace(FakeClient& client) : client_(client) {}
  void AddStore(std::u16string_view path16) override {
    const std::string path = pst::path_from_utf16(path16);
    client_.note("AddStore " + path);
    if (client_.refuse_add_store) throw AutomationError("cannot open store");
    if (!client_.store_at(path)) client_.attach(path);
  }
  std::shared_ptr<Folders> get_Folders() override { return std::make_shared<StoreList>(client_); }
  std::shared_ptr<MailItem> GetItemFromID(std::u16string_view entry_id,
                                          std::u16string_view store_id) override {
    auto item = client_.find_item(entry_id);
    if (!item || item->folder->store->store_id != store_id) throw AutomationError("no item");
    return item;
  }

 private:
  FakeClient& client_;
};

class FakeApplication final : public Application {
 public:
  explicit FakeApplication(FakeClient& client) : client_(client) {}
  std::shared_ptr<Namespace> GetNamespace(std::u16string_view type) override {
    if (type != u"MAPI") throw AutomationError("unknown namespace");
    return std::make_shared<FakeNamespace>(client_);
  }

 private:
  FakeClient& client_;
};

class FakeNewMessage final : public NewMessage {
 public:
  FakeNewMessage(FakeClient& client, std::shared_ptr<FakeFolder> folder)
      : client_(client), folder_(std::move(folder)), item_(std::make_shared<FakeItem>()) {
    item_->client = &client;
  }
  void put_MessageClass(std::u16string_view message_class) override {
    item_->message_class = message_class;
  }
  void put_Property(std::uint32_t tag, const PropertyValue& value) override {
    item_->properties[tag] = value;
  }
  void put_Content(std::shared_ptr<const MessageContent> content) override {
    item_->content = std::move(content);
  }
  void Save() override {
    if (client_.fail_message_save) throw AutomationError("save failed");
    if (client_.store_fails_at_save > 0 && client_.next_entry >= client_.store_fails_at_save)
      throw StoreFailure("cannot write " + client_.stores.back()->path + ": No space left on device");
    if (item_->entry_id.empty()) {
      if (item_->content) take_content(*item_, *item_->content);
      item_->entry_id = utf8_to_utf16("E" + std::to_string(client_.next_entry++));
      item_->folder = folder_.get();
      folder_->items.push_back(item_);
    }
  }
  std::u16string get_EntryID() override { return item_->entry_id; }

 private:
  FakeClient& client_;
  std::shared_ptr<FakeFolder> folder_;
  std::shared_ptr<FakeItem> item_;
};

class FakeMessages final : public MessageCollection {
 public:
  FakeMessages(FakeClient& client, std::shared_ptr<FakeFolder> folder)
      : client_(client), folder_(std::move(folder)) {}
  std::shared_ptr<NewMessage> Add(std::u16string_view) override {
    return std::make_shared<FakeNewMessage>(client_, folder_);
  }

 private:
  FakeClient& client_;
  std::shared_ptr<FakeFolder> folder_;
};

class FakeHelperFolder final : public HelperFolder {
 public:
  explicit FakeHelperFolder(FakeClient& client) : client_(client) {}
  void put_BoundObject(std::shared_ptr<Folder> folder) override {
    bound_ = std::dynamic_pointer_cast<FakeFolder>(folder);
  }
  std::shared_ptr<MessageCollection> get_Messages() override {
    if (!bound_) throw AutomationError("no folder bound");
    return std::make_shared<FakeMessages>(client_, bound_);
  }
  void put_Properties(const ContentProperties& properties) override {
    if (!bound_) throw AutomationError("no folder bound");
    client_.note("Properties of " + bound_->path());
    bound_->properties = properties;
  }

 private:
  FakeClient& client_;
  std::shared_ptr<FakeFolder> bound_;
};

class FakeHelperMailItem final : public HelperMailItem {
 public:
  void put_BoundObject(std::shared_ptr<MailItem> item) override {
    bound_ = std::dynamic_pointer_cast<FakeItem>(item);
  }
  void put_Property(std::uint32_t tag, const PropertyValue& value) override {
    bound()->properties[tag] = value;
  }
  PropertyValue get_Property(std::uint32_t tag) override {
    const auto it = bound()->properties.find(tag);
    return it == bound()->properties.end() ? PropertyValue{} : it->second;
  }
  std::u16string get_SenderName() override {
    const auto value = get_Property(tag::kSenderName);
    const auto* text = std::get_if<std::u16string>(&value);
    return text ? *text : std::u16string();
  }
  std::u16string get_DisplayTo() override { return bound()->to; }

 private:
  FakeItem* bound() {
    if (!bound_) throw AutomationError("no item bound");
    return bound_.get();
  }
  std::shared_ptr<FakeItem> bound_;
};

class PlainHelper final : public HelperObject {};

class FakeFactory final : public AutomationFactory {
 public:
  explicit FakeFactory(FakeClient& client) : client_(client) {}
  std::shared_ptr<Application> CreateApplication(std::u16string_view prog_id) override {
    if (client_.refuse_application || prog_id != kApplicationProgId) {
      throw AutomationError("cannot create the application");
    }
    return std::make_shared<FakeApplication>(client_);
  }
  std::shared_ptr<HelperObject> CreateHelper(std::u16string_view prog_id) override {
    client_.note("CreateHelper " + utf8(prog_id));
    if (client_.refused_helpers.count(std::u16string(prog_id))) {
      throw AutomationError("cannot create the helper");
    }
    if (prog_id == kHelperFolderProgId) return std::make_shared<FakeHelperFolder>(client_);
    if (prog_id == kHelperMailItemProgId) return std::make_shared<FakeHelperMailItem>();
    return std::make_shared<PlainHelper>();
  }

 private:
  FakeClient& client_;
};

}  // namespace

std::string utf8(std::u16string_view text) {
  return utf16_to_utf8(text);
}

void FakeItem::put_To(std::u16string_view text) {
  to = text;
}
void FakeItem::put_Subject(std::u16string_view text) {
  if (client->refused_subjects.count(std::u16string(text))) throw AutomationError("refused");
  subject = text;
}
void FakeItem::put_Importance(std::int32_t value) {
  importance = value;
}
void FakeItem::put_FlagStatus(std::int32_t value) {
  flag_status = value;
}
void FakeItem::put_Body(std::u16string_view text) {
  body = text;
}
void FakeItem::Close(std::int32_t save_mode) {
  if (client->fail_item_close) throw AutomationError("the item could not be saved");
  if (save_mode == kSaveModeSave) ++saves;
}
std::shared_ptr<MailItem> FakeItem::Move(Folder& destination) {
  auto& target = dynamic_cast<FakeFolder&>(destination);
  client->note("Move " + utf8(subject) + " to " + target.path());
  auto self = shared_from_this();
  if (folder != &target) {
    auto& from = folder->items;
    from.erase(std::remove(from.begin(), from.end(), self), from.end());
    target.items.push_back(self);
    folder = &target;
  }
  return self;
}

std::shared_ptr<Folders> FakeFolder::get_Folders() {
  return std::make_shared<FakeFolders>(shared_from_this());
}
std::shared_ptr<Items> FakeFolder::get_Items() {
  return std::make_shared<FakeItems>(shared_from_this());
}
void FakeFolder::put_Name(std::u16string_view new_name) {
  client->note("Rename " + utf8(name) + " to " + utf8(new_name));
  if (new_name.empty()) throw AutomationError("name refused");
  if (parent != nullptr)
    for (const auto& f : parent->subfolders)
      if (f.get() != this && same_name(f->name, new_name)) throw AutomationError("duplicate name");
  name = new_name;
}
std::u16string FakeFolder::get_DefaultMessageClass() {
  switch (type) {
    case kFolderCalendar:
      return u"IPM.Appointment";
    case kFolderContacts:
      return u"IPM.Contact";
    case kFolderJournal:
      return u"IPM.Activity";
    case kFolderNotes:
      return u"IPM.StickyNote";
    case kFolderTasks:
      return u"IPM.Task";
    default:
      return u"IPM.Note";
  }
}
std::u16string FakeFolder::get_StoreID() {
  if (client->fail_store_id) throw AutomationError("no store id");
  return store->store_id;
}

std::shared_ptr<Folder> FakeFolder::get_Parent() {
  return parent ? parent->shared_from_this() : nullptr;
}

FakeFolder* FakeFolder::child(std::string_view name_utf8) const {
  const std::u16string wanted = utf8_to_utf16(name_utf8);
  for (const auto& f : subfolders) {
    if (f->name == wanted) return f.get();
  }
  return nullptr;
}

std::shared_ptr<FakeFolder> FakeFolder::add_child(std::string_view name_utf8,
                                                  std::int32_t folder_type) {
  auto folder = std::make_shared<FakeFolder>();
  folder->client = client;
  folder->store = store;
  folder->parent = this;
  folder->name = utf8_to_utf16(name_utf8);
  folder->type = folder_type;
  subfolders.push_back(folder);
  return folder;
}

std::string FakeFolder::path() const {
  if (!parent) return "";
  const std::string above = parent->path();
  return above.empty() ? utf8(name) : above + "/" + utf8(name);
}

std::u16string hex_text(std::string_view bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::u16string hex;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex.push_back(static_cast<char16_t>(kDigits[b >> 4]));
    hex.push_back(static_cast<char16_t>(kDigits[b & 15]));
  }
  return hex;
}

std::u16string make_store_id(std::string_view path) {
  // Flags, a provider id holding ":" and "/" bytes, a version, then the path.
  std::string bytes = {0, 0, 0, 0, 0x38, 0x3A, 0x2F, 0x5B, 0x10, 0, 0};
  bytes += path;
  bytes.push_back('\0');
  return hex_text(bytes);
}

FakeStore& FakeClient::attach(std::string_view path) {
  auto store = std::make_unique<FakeStore>();
  store->path = path;
  store->store_id = make_store_id(path);
  store->root = std::make_shared<FakeFolder>();
  store->root->client = this;
  store->root->store = store.get();
  store->root->name = u"Personal Folders";
  for (const char* name : {"Deleted Items", "Inbox", "Outbox", "Sent Items"}) {
    store->root->add_child(name, kFolderMail);
  }
  stores.push_back(std::move(store));
  return *stores.back();
}

FakeStore* FakeClient::store_at(std::string_view path) {
  for (auto& s : stores) {
    if (s->path == path) return s.get();
  }
  return nullptr;
}

namespace {
void collect(const FakeFolder& folder, std::vector<std::shared_ptr<FakeItem>>& out) {
  out.insert(out.end(), folder.items.begin(), folder.items.end());
  for (const auto& f : folder.subfolders) collect(*f, out);
}
}  // namespace

std::vector<std::shared_ptr<FakeItem>> FakeClient::all_items() const {
  std::vector<std::shared_ptr<FakeItem>> out;
  for (const auto& s : stores) collect(*s->root, out);
  return out;
}

std::shared_ptr<FakeItem> FakeClient::find_item(std::u16string_view entry_id) {
  for (auto& item : all_items()) {
    if (item->entry_id == entry_id) return item;
  }
  return nullptr;
}

MailClient FakeClient::mail_client() {
  return MailClient{std::make_shared<FakeFactory>(*this), [this] {
                      ++closes;
                      note("close");
                    },
                    [this](std::string name) { codepage = std::move(name); },
                    [this](const std::filesystem::path& from, const std::filesystem::path& to) {
                      // The store follows its file, as the embedded client's does.
                      for (auto& s : stores) {
                        if (s->path != from.string()) continue;
                        s->path = to.string();
                        s->store_id = make_store_id(s->path);
                      }
                      note("renamed");
                    }};
}

}  // namespace pstorian::fake
