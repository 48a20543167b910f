// The embedded mail client's objects behind the automation interfaces: folders and items
// over a MessageStore. The helper objects reach into them (a helper folder creates messages
// in an embedded folder, a helper mail item sets properties of an embedded item).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mailclient/automation/automation.h"
#include "pst/messaging/message_store.h"

namespace pstorian {

// Runs `f`, turning every failure other than AutomationError into AutomationError, as the
// automation boundary requires.
template <typename F>
auto automation_call(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const automation::AutomationError&) {
    throw;
  } catch (const StoreFailedError& e) {
    throw automation::StoreFailure(e.what());
  } catch (const std::exception& e) {
    throw automation::AutomationError(e.what());
  }
}

class EmbeddedFolder final : public automation::Folder {
 public:
  EmbeddedFolder(std::shared_ptr<MessageStore> store, std::uint32_t nid)
      : store_(std::move(store)), nid_(nid) {}

  std::shared_ptr<automation::Folders> get_Folders() override;
  std::shared_ptr<automation::Items> get_Items() override;
  std::u16string get_DefaultMessageClass() override;
  std::u16string get_StoreID() override;
  std::u16string get_Name() override;
  void put_Name(std::u16string_view name) override;
  std::shared_ptr<automation::Folder> get_Parent() override;

  const std::shared_ptr<MessageStore>& store() const { return store_; }
  std::uint32_t nid() const { return nid_; }

 private:
  std::shared_ptr<MessageStore> store_;
  std::uint32_t nid_;
};

class EmbeddedMailItem final : public automation::MailItem {
 public:
  // Reads the message's properties.
  EmbeddedMailItem(std::shared_ptr<MessageStore> store, std::uint32_t nid);

  void put_To(std::u16string_view text) override;
  void put_Subject(std::u16string_view text) override;
  std::u16string get_Subject() override;
  void put_Importance(std::int32_t value) override;
  void put_FlagStatus(std::int32_t value) override;
  void put_Body(std::u16string_view text) override;
  void Close(std::int32_t save_mode) override;
  std::shared_ptr<automation::MailItem> Move(automation::Folder& destination) override;

  const std::shared_ptr<MessageStore>& store() const { return store_; }
  std::uint32_t nid() const { return nid_; }
  // The item's properties as they will be saved.
  PropertyBag& properties() { return properties_; }

 private:
  std::shared_ptr<MessageStore> store_;
  std::uint32_t nid_;
  PropertyBag properties_;
};

// The namespace's Folders: the top folder of every attached store.
std::shared_ptr<automation::Namespace> make_embedded_namespace();

}  // namespace pstorian
