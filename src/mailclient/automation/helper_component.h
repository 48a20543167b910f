// The helper component: objects that reach below the mail client's object model to create
// messages in a bound folder and to read or write a message's properties by tag.
//
// Like the object model (automation.h), every failure throws AutomationError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "mailclient/automation/automation.h"
#include "pst/messaging/message_content.h"

namespace pstorian::automation {

// A property value as the helper takes and returns it.
using PropertyValue = std::variant<std::monostate, std::int32_t, std::u16string, OleDate>;

namespace helper_dispid {
constexpr std::int32_t kBoundObject = 0xBADBAE;
constexpr std::int32_t kMessages = 0x1;
constexpr std::int32_t kMessagesAdd = 0x5F;
constexpr std::int32_t kMessageClass = 0xF;
constexpr std::int32_t kMessageProperty = 0x3;
constexpr std::int32_t kSave = 0x1C;
constexpr std::int32_t kEntryID = 0xB;
constexpr std::int32_t kItemProperty = 0xBADBB1;
constexpr std::int32_t kSenderName = 0xC1A;
constexpr std::int32_t kDisplayTo = 0xE04;
}  // namespace helper_dispid

// The ProgIDs, in the order an export creates them.
constexpr std::u16string_view kHelperFolderProgId = u"RavelinDll.RavelinFolder";
constexpr std::u16string_view kHelperMailItemProgId = u"RavelinDll.RavelinMailItem";
constexpr std::u16string_view kHelperAppointmentItemProgId = u"RavelinDll.RavelinAppointmentItem";
constexpr std::u16string_view kHelperContactItemProgId = u"RavelinDll.RavelinContactItem";
constexpr std::u16string_view kHelperJournalItemProgId = u"RavelinDll.RavelinJournalItem";
constexpr std::u16string_view kHelperTaskItemProgId = u"RavelinDll.RavelinTaskItem";
constexpr std::u16string_view kHelperDistListProgId = u"RavelinDll.RavelinDistList";
constexpr std::u16string_view kHelperUtilsProgId = u"RavelinDll.RavelinUtils";

// Property tags the export writes through the helper.
namespace tag {
constexpr std::uint32_t kMessageFlags = 0x0E070003;
constexpr std::uint32_t kIconIndex = 0x10800003;
constexpr std::uint32_t kSenderAddrType = 0x0C1E001E;
constexpr std::uint32_t kSenderName = 0x0C1A001E;
constexpr std::uint32_t kSentRepresentingAddrType = 0x0064001E;
constexpr std::uint32_t kSentRepresentingName = 0x0042001E;
constexpr std::uint32_t kClientSubmitTime = 0x00390040;
constexpr std::uint32_t kMessageDeliveryTime = 0x0E060040;
}  // namespace tag

// Every helper object; the ones the export only creates and holds need nothing more.
class HelperObject {
 public:
  virtual ~HelperObject() = default;
};

class NewMessage {
 public:
  virtual ~NewMessage() = default;
  virtual void put_MessageClass(std::u16string_view message_class) = 0;
  virtual void put_Property(std::uint32_t tag, const PropertyValue& value) = 0;
  // Everything the message is to hold, as another store kept it: every property (named ones
  // by name), the recipient rows and the attachments with their data and embedded messages.
  // Saved with the message; properties set with put_Property or put_MessageClass afterwards
  // take the place of the content's ones. Store-specific properties of the content (entry
  // ids, record keys, parent and store ids) are left out.
  virtual void put_Content(std::shared_ptr<const MessageContent> content) = 0;
  virtual void Save() = 0;
  // Hex text that Namespace::GetItemFromID accepts with the folder's StoreID.
  virtual std::u16string get_EntryID() = 0;
};

class MessageCollection {
 public:
  virtual ~MessageCollection() = default;
  virtual std::shared_ptr<NewMessage> Add(std::u16string_view message_class) = 0;
};

class HelperFolder : public HelperObject {
 public:
  // Null unbinds.
  virtual void put_BoundObject(std::shared_ptr<Folder> folder) = 0;
  // Gives the bound folder these properties of a folder of another store (its container
  // class, its own settings, named ones by name). What the store keeps for itself (counts,
  // whether it has subfolders, entry ids, its name) stays the store's.
  virtual void put_Properties(const ContentProperties& properties) = 0;
  // The messages of the folder bound last.
  virtual std::shared_ptr<MessageCollection> get_Messages() = 0;
};

class HelperMailItem : public HelperObject {
 public:
  // Null unbinds.
  virtual void put_BoundObject(std::shared_ptr<MailItem> item) = 0;
  virtual void put_Property(std::uint32_t tag, const PropertyValue& value) = 0;
  virtual PropertyValue get_Property(std::uint32_t tag) = 0;
  virtual std::u16string get_SenderName() = 0;
  virtual std::u16string get_DisplayTo() = 0;
  // Read-only: everything the bound item holds as its store keeps it, for showing it: every
  // property (named ones under that store's ids, without their names), the recipient rows
  // and the attachments with their data and embedded messages. A helper that cannot read
  // whole items throws, as this default does.
  virtual std::shared_ptr<const MessageContent> get_Content() {
    throw AutomationError("this helper cannot read whole items");
  }
};

// Creates the application and the helper objects by ProgID. The program uses the embedded
// mail client's factory; a test can hand in one whose creation fails.
class AutomationFactory {
 public:
  virtual ~AutomationFactory() = default;
  // Throws AutomationError when the ProgID is unknown or the object cannot be created.
  virtual std::shared_ptr<Application> CreateApplication(std::u16string_view prog_id) = 0;
  virtual std::shared_ptr<HelperObject> CreateHelper(std::u16string_view prog_id) = 0;
};

}  // namespace pstorian::automation
