// An in-memory mail client for the export tests: stores with folders and items, found and
// created the way the real client does it (folder names compared without regard to letter
// case, Add refusing an empty or duplicate name), store ids holding the store's path, entry
// ids that GetItemFromID accepts. Every call that changes something is written to a log.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "export/mail_client.h"
#include "mailclient/automation/automation.h"
#include "mailclient/automation/helper_component.h"

namespace pstorian::fake {

using namespace automation;

struct FakeStore;
struct FakeFolder;

struct FakeItem final : MailItem, std::enable_shared_from_this<FakeItem> {
  struct FakeClient* client = nullptr;
  FakeFolder* folder = nullptr;
  std::u16string entry_id;
  std::u16string message_class;
  std::u16string to, subject, body;
  std::int32_t importance = 0, flag_status = 0;
  std::map<std::uint32_t, PropertyValue> properties;
  std::shared_ptr<const MessageContent> content;  // as given to the new message
  int saves = 0;

  void put_To(std::u16string_view text) override;
  void put_Subject(std::u16string_view text) override;
  std::u16string get_Subject() override { return subject; }
  void put_Importance(std::int32_t value) override;
  void put_FlagStatus(std::int32_t value) override;
  void put_Body(std::u16string_view text) override;
  void Close(std::int32_t save_mode) override;
  std::shared_ptr<MailItem> Move(Folder& destination) override;
};

struct FakeFolder final : Folder, std::enable_shared_from_this<FakeFolder> {
  struct FakeClient* client = nullptr;
  FakeStore* store = nullptr;
  FakeFolder* parent = nullptr;
  std::u16string name;
  std::int32_t type = kFolderMail;
  std::vector<std::shared_ptr<FakeFolder>> subfolders;
  std::vector<std::shared_ptr<FakeItem>> items;
  ContentProperties properties;  // as given through the helper folder

  std::shared_ptr<Folders> get_Folders() override;
  std::shared_ptr<Items> get_Items() override;
  std::u16string get_DefaultMessageClass() override;
  std::u16string get_StoreID() override;
  std::u16string get_Name() override { return name; }
  void put_Name(std::u16string_view new_name) override;
  std::shared_ptr<Folder> get_Parent() override;

  // Test helpers (UTF-8 names).
  FakeFolder* child(std::string_view name_utf8) const;
  std::shared_ptr<FakeFolder> add_child(std::string_view name_utf8, std::int32_t folder_type);
  std::string path() const;  // names from below the root, joined by "/"
};

struct FakeStore {
  std::string path;         // as given to AddStore (UTF-8)
  std::u16string store_id;  // hex text holding the path
  std::shared_ptr<FakeFolder> root;
};

// Hex text, two upper-case digits a byte.
std::u16string hex_text(std::string_view bytes);
// The hex store id the client makes for a path: some binary bytes, then the path and a zero.
std::u16string make_store_id(std::string_view path);

struct FakeClient {
  std::vector<std::unique_ptr<FakeStore>> stores;
  std::vector<std::string> log;
  int next_entry = 1;
  int closes = 0;
  std::string codepage;  // what the export named for the stores it opens
  bool refuse_application = false;
  bool refuse_add_store = false;
  std::set<std::u16string> refused_helpers;   // ProgIDs whose creation fails
  std::set<std::u16string> refused_names;     // folder names Add refuses
  std::set<std::u16string> refused_subjects;  // subjects put_Subject refuses
  bool fail_message_save = false;
  bool fail_item_close = false;     // Close(save) of an item fails
  int store_fails_at_save = 0;      // from this new message on, saving fails for good (1-based)
  bool fail_store_id = false;

  FakeStore& attach(std::string_view path);  // adds a store with the standard folders
  FakeStore* store_at(std::string_view path);
  std::shared_ptr<FakeItem> find_item(std::u16string_view entry_id);
  std::vector<std::shared_ptr<FakeItem>> all_items() const;
  void note(std::string entry) { log.push_back(std::move(entry)); }

  // A MailClient over this fake; close() counts the ends of the client.
  MailClient mail_client();
};

std::string utf8(std::u16string_view text);

}  // namespace pstorian::fake
