#include "mailclient/automation/helper_objects.h"

#include <functional>
#include <vector>

#include "mailclient/automation/embedded_objects.h"
#include "mailclient/automation/property_value.h"
#include "pst/messaging/entry_id.h"

namespace pstorian {
namespace {

using automation::AutomationError;

class EmbeddedNewMessage final : public automation::NewMessage {
 public:
  EmbeddedNewMessage(std::shared_ptr<MessageStore> store, std::uint32_t folder,
                     std::u16string_view message_class)
      : store_(std::move(store)), folder_(folder) {
    put_MessageClass(message_class);
  }

  void put_MessageClass(std::u16string_view message_class) override {
    if (message_class.empty()) throw AutomationError("a message needs a class");
    change([text = store_->codec().encode(message_class)](PropertyBag& bag) {
      bag.set_string(prop::kMessageClass, text);
    });
  }

  void put_Property(std::uint32_t tag, const automation::PropertyValue& value) override {
    // Checked now, so that a value that does not suit its tag fails here and not at Save.
    PropertyBag check;
    put_property_value(check, tag, value, store_->codec());
    change([this, tag, value](PropertyBag& bag) {
      put_property_value(bag, tag, value, store_->codec());
    });
  }

  void put_Content(std::shared_ptr<const MessageContent> content) override {
    if (!content) throw AutomationError("no message content given");
    // What was set after an earlier content stays, under the new content.
    for (const auto& apply : after_content_) apply(properties_);
    after_content_.clear();
    content_ = std::move(content);
  }

  void Save() override {
    automation_call([&] {
      if (!content_) {
        nid_ = store_->save_message(folder_, nid_, properties_);
        return;
      }
      // The content takes the place of what was set before it; what was set after it takes
      // the place of the content's.
      PropertyBag p = properties_;
      p.set_all(store_->content_properties(*content_));
      for (const auto& apply : after_content_) apply(p);
      nid_ = store_->save_message(folder_, nid_, std::move(p), content_.get());
    });
  }

  std::u16string get_EntryID() override {
    if (nid_ == 0) throw AutomationError("the message has not been saved");
    return to_hex_text(message_entry_id(store_->record_key(), nid_));
  }

 private:
  void change(std::function<void(PropertyBag&)> apply) {
    if (content_)
      after_content_.push_back(std::move(apply));
    else
      apply(properties_);
  }

  std::shared_ptr<MessageStore> store_;
  std::uint32_t folder_;
  std::uint32_t nid_ = 0;
  PropertyBag properties_;
  std::shared_ptr<const MessageContent> content_;
  std::vector<std::function<void(PropertyBag&)>> after_content_;
};

class EmbeddedMessageCollection final : public automation::MessageCollection {
 public:
  EmbeddedMessageCollection(std::shared_ptr<MessageStore> store, std::uint32_t folder)
      : store_(std::move(store)), folder_(folder) {}

  std::shared_ptr<automation::NewMessage> Add(std::u16string_view message_class) override {
    return std::make_shared<EmbeddedNewMessage>(store_, folder_, message_class);
  }

 private:
  std::shared_ptr<MessageStore> store_;
  std::uint32_t folder_;
};

class EmbeddedHelperFolder final : public automation::HelperFolder {
 public:
  void put_BoundObject(std::shared_ptr<automation::Folder> folder) override {
    if (!folder) {
      bound_.reset();
      return;
    }
    auto embedded = std::dynamic_pointer_cast<EmbeddedFolder>(folder);
    if (!embedded) throw AutomationError("the object is not a folder of the mail client");
    bound_ = std::move(embedded);
  }

  std::shared_ptr<automation::MessageCollection> get_Messages() override {
    if (!bound_) throw AutomationError("no folder is bound");
    return std::make_shared<EmbeddedMessageCollection>(bound_->store(), bound_->nid());
  }

  void put_Properties(const ContentProperties& properties) override {
    if (!bound_) throw AutomationError("no folder is bound");
    automation_call([&] { bound_->store()->set_folder_properties(bound_->nid(), properties); });
  }

 private:
  std::shared_ptr<EmbeddedFolder> bound_;
};

class EmbeddedHelperMailItem final : public automation::HelperMailItem {
 public:
  void put_BoundObject(std::shared_ptr<automation::MailItem> item) override {
    if (!item) {
      bound_.reset();
      return;
    }
    auto embedded = std::dynamic_pointer_cast<EmbeddedMailItem>(item);
    if (!embedded) throw AutomationError("the object is not an item of the mail client");
    bound_ = std::move(embedded);
  }

  void put_Property(std::uint32_t tag, const automation::PropertyValue& value) override {
    put_property_value(item().properties(), tag, value, item().store()->codec());
  }

  automation::PropertyValue get_Property(std::uint32_t tag) override {
    return get_property_value(item().properties(), tag, item().store()->codec());
  }

  std::u16string get_SenderName() override { return text(prop::kSenderName); }
  std::u16string get_DisplayTo() override { return text(prop::kDisplayTo); }

  std::shared_ptr<const MessageContent> get_Content() override {
    return automation_call([&] {
      return std::make_shared<const MessageContent>(item().store()->load_content(item().nid()));
    });
  }

 private:
  EmbeddedMailItem& item() {
    if (!bound_) throw AutomationError("no item is bound");
    return *bound_;
  }

  std::u16string text(std::uint32_t tag) {
    return text_value(item().properties(), tag, item().store()->codec()).value_or(u"");
  }

  std::shared_ptr<EmbeddedMailItem> bound_;
};

}  // namespace

std::shared_ptr<automation::HelperFolder> make_helper_folder() {
  return std::make_shared<EmbeddedHelperFolder>();
}

std::shared_ptr<automation::HelperMailItem> make_helper_mail_item() {
  return std::make_shared<EmbeddedHelperMailItem>();
}

}  // namespace pstorian
