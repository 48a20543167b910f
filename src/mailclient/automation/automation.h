// The mail client's automation object model, as the export and the folder listing use it:
// application, namespace, folder collections, folders, item collections and items.
//
// The embedded mail client implements these interfaces over real personal folder files;
// tests may implement them with fakes. Objects are shared: a caller that keeps an object
// ("dispatch holder") holds a std::shared_ptr and releases it by resetting or replacing it.
// Every failing call throws AutomationError; callers catch it per step.
//
// Texts cross the interface as UTF-16, 32-bit integers as std::int32_t and dates as OLE
// automation dates (days since 1899-12-30, the fraction being the time of day).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace pstorian::automation {

class AutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A store could not be written: a checkpoint failed (a full disk, an I/O error) and the file
// is back at its last completed checkpoint. Unlike other failures it is not one item's or
// one step's: nothing more can be written to that store until the mail client has been
// ended. what() is the writer's own error, naming the file.
class StoreFailure : public AutomationError {
 public:
  using AutomationError::AutomationError;
};

// An OLE automation date.
struct OleDate {
  double days = 0.0;
  friend bool operator==(const OleDate&, const OleDate&) = default;
};

// Dispatch ids of the members, kept for reference and for diagnostics.
namespace dispid {
constexpr std::int32_t kGetNamespace = 0x110;
constexpr std::int32_t kAddStore = 0x2119;
constexpr std::int32_t kFolders = 0x2103;
constexpr std::int32_t kGetItemFromID = 0x2109;
constexpr std::int32_t kCount = 0x50;
constexpr std::int32_t kItem = 0x51;
constexpr std::int32_t kAdd = 0x5F;
constexpr std::int32_t kItems = 0x3100;
constexpr std::int32_t kDefaultMessageClass = 0x3107;
constexpr std::int32_t kStoreID = 0x3108;
constexpr std::int32_t kTo = 0xE04;
constexpr std::int32_t kSubject = 0x37;
constexpr std::int32_t kImportance = 0x17;
constexpr std::int32_t kFlagStatus = 0x1090;
constexpr std::int32_t kBody = 0x9100;
constexpr std::int32_t kClose = 0xF023;
constexpr std::int32_t kMove = 0xF034;
}  // namespace dispid

constexpr std::u16string_view kApplicationProgId = u"Outlook.Application";
constexpr std::u16string_view kNamespaceType = u"MAPI";

// Folder type codes for Folders::Add: the kind of item the new folder holds.
enum FolderType : std::int32_t {
  kFolderMail = 6,
  kFolderCalendar = 9,
  kFolderContacts = 10,
  kFolderJournal = 11,
  kFolderNotes = 12,
  kFolderTasks = 13,
};

constexpr std::int32_t kSaveModeSave = 0;  // Close(olSave)

class Folder;
class MailItem;

class Folders {
 public:
  virtual ~Folders() = default;
  virtual std::int32_t Count() = 0;
  // 1-based position.
  virtual std::shared_ptr<Folder> Item(std::int32_t index) = 0;
  // By name, ignoring letter case as the mail client does; throws for a missing name.
  virtual std::shared_ptr<Folder> Item(std::u16string_view name) = 0;
  // Creates a subfolder holding the items of `type`; throws for an empty name or a name
  // that a sibling already has.
  virtual std::shared_ptr<Folder> Add(std::u16string_view name, std::int32_t type) = 0;
};

class Items {
 public:
  virtual ~Items() = default;
  virtual std::int32_t Count() = 0;
  // 1-based position in contents-table order.
  virtual std::shared_ptr<MailItem> Item(std::int32_t index) = 0;
};

class Folder {
 public:
  virtual ~Folder() = default;
  virtual std::shared_ptr<Folders> get_Folders() = 0;
  virtual std::shared_ptr<Items> get_Items() = 0;
  virtual std::u16string get_DefaultMessageClass() = 0;
  // Hex text, two upper-case digits a byte, of the store's entry identifier.
  virtual std::u16string get_StoreID() = 0;
  virtual std::u16string get_Name() = 0;
  // Renames the folder; throws for an empty name or one that a sibling has already.
  virtual void put_Name(std::u16string_view name) = 0;
  // The folder above this one in its store: the store's root folder above its top (the
  // folder Namespace::get_Folders gives); nullptr for the root folder.
  virtual std::shared_ptr<Folder> get_Parent() = 0;
};

class MailItem {
 public:
  virtual ~MailItem() = default;
  virtual void put_To(std::u16string_view text) = 0;
  virtual void put_Subject(std::u16string_view text) = 0;
  virtual std::u16string get_Subject() = 0;
  virtual void put_Importance(std::int32_t value) = 0;
  virtual void put_FlagStatus(std::int32_t value) = 0;
  virtual void put_Body(std::u16string_view text) = 0;
  virtual void Close(std::int32_t save_mode) = 0;
  virtual std::shared_ptr<MailItem> Move(Folder& destination) = 0;
};

class Namespace {
 public:
  virtual ~Namespace() = default;
  // Attaches the store file at `path`, given in the path form of format/utf8.h (path_to_utf16),
  // which keeps names that are not UTF-8.
  virtual void AddStore(std::u16string_view path) = 0;
  // The top folder of each attached store, in the order attached.
  virtual std::shared_ptr<Folders> get_Folders() = 0;
  virtual std::shared_ptr<MailItem> GetItemFromID(std::u16string_view entry_id,
                                                  std::u16string_view store_id) = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  virtual std::shared_ptr<Namespace> GetNamespace(std::u16string_view type) = 0;
};

}  // namespace pstorian::automation
