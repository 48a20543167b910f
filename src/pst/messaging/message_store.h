// The messaging layer over one personal folder file: its folders (read from the hierarchy,
// created with their property context and three tables), and its messages (created, read
// back and moved), with the folders' tables and counts kept in memory and written at
// checkpoints.
//
// Saving a message writes its node at once (as blocks waiting for the next commit) and
// changes only in-memory tables; tables, folder property contexts and B-tree pages reach the
// file at a checkpoint: after 1,000 saved items (a message saved several times counts once),
// at the latest 5 seconds after the first save since the last one, and when the store is
// closed. Between checkpoints the file on disk is
// the valid state of the last one (see StoreFile).
//
// A message can also be saved whole (MessageContent): its properties as another store kept
// them, its recipients and its attachments with their embedded messages (see
// ContentWriter). Named properties go under this store's own ids: the name-to-id map is read
// when the file is opened, names new to it are added in memory and the map node is written
// at the next checkpoint with the messages that use them.
//
// A closed store opens its file again on the next call. Every public member may be called
// from any thread; calls are serialised.
//
// A checkpoint that fails leaves the file at the last one that completed (see StoreFile)
// and the store failed: every call throws StoreFailedError with the writer's error until
// close(), which writes nothing, lets go of what was not checkpointed and the file, and
// throws that error once more. The next call opens the file again at its last checkpoint.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pst/messaging/entry_id.h"
#include "pst/messaging/folder_table.h"
#include "pst/messaging/message_content.h"
#include "pst/messaging/name_to_id_map.h"
#include "pst/messaging/property_bag.h"
#include "pst/ndb/store_file.h"
#include "pst/ltp/table_node_writer.h"
#include "pst/messaging/text_codec.h"

namespace pstorian {

namespace prop {
constexpr std::uint32_t kMessageClass = 0x001A001E;
constexpr std::uint32_t kMessageFlags = 0x0E070003;
constexpr std::uint32_t kMessageSize = 0x0E080003;
constexpr std::uint32_t kMessageStatus = 0x0E170003;
constexpr std::uint32_t kImportance = 0x00170003;
constexpr std::uint32_t kSensitivity = 0x00360003;
constexpr std::uint32_t kSubject = 0x0037001E;
constexpr std::uint32_t kSubjectPrefix = 0x003D001E;
constexpr std::uint32_t kNormalizedSubject = 0x0E1D001E;
constexpr std::uint32_t kBody = 0x1000001E;
constexpr std::uint32_t kSenderName = 0x0C1A001E;
constexpr std::uint32_t kSentRepresentingName = 0x0042001E;
constexpr std::uint32_t kDisplayTo = 0x0E04001E;
constexpr std::uint32_t kDisplayCc = 0x0E03001E;
constexpr std::uint32_t kDisplayBcc = 0x0E02001E;
constexpr std::uint32_t kFlagStatus = 0x10900003;
constexpr std::uint32_t kClientSubmitTime = 0x00390040;
constexpr std::uint32_t kMessageDeliveryTime = 0x0E060040;
constexpr std::uint32_t kCreationTime = 0x30070040;
constexpr std::uint32_t kLastModificationTime = 0x30080040;
constexpr std::uint32_t kMessageCodepage = 0x3FFD0003;
constexpr std::uint32_t kDisplayName = 0x3001001E;
constexpr std::uint32_t kContentCount = 0x36020003;
constexpr std::uint32_t kContentUnreadCount = 0x36030003;
constexpr std::uint32_t kSubfolders = 0x360A000B;
constexpr std::uint32_t kContainerClass = 0x3613001E;
constexpr std::uint32_t kRecordKey = 0x0FF90102;
constexpr std::uint32_t kIpmSubTreeEntryId = 0x35E00102;
}  // namespace prop

constexpr std::uint32_t kMessageReadFlag = 0x1;

// A folder that holds as many messages as a table of the file can list.
class FolderFullError : public StoreError {
 public:
  using StoreError::StoreError;
};

// A store whose last checkpoint failed; what() is the writer's error.
class StoreFailedError : public StoreError {
 public:
  using StoreError::StoreError;
};

class MessageStore {
 public:
  // Opens the file and reads the store's own properties and table templates. Throws
  // StoreError (or LtpError) when it is not a sound personal folder file, and
  // std::invalid_argument for an unknown code page.
  explicit MessageStore(std::filesystem::path path, std::string_view codepage = "WINDOWS-1252");
  ~MessageStore();
  MessageStore(const MessageStore&) = delete;
  MessageStore& operator=(const MessageStore&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The file was renamed while the store had it closed: it is opened under `path` from now
  // on. Throws StoreError while the file is open.
  void renamed(const std::filesystem::path& path);
  const TextCodec& codec() const { return codec_; }
  const RecordKey& record_key() const { return record_key_; }
  // The top of the personal folders (the IPM subtree), whose subfolders the user sees.
  std::uint32_t top_folder() const { return top_folder_; }
  // The store entry identifier, holding the absolute path.
  std::vector<std::uint8_t> entry_id() const;
  // True when `other` names this store's file (by device and inode).
  bool is_file(const std::filesystem::path& other) const;

  bool is_folder(std::uint32_t nid);
  // The folder `nid` is a subfolder of; std::nullopt for the root folder (its own parent).
  // Throws StoreError for a folder the store does not hold.
  std::optional<std::uint32_t> parent_folder(std::uint32_t nid);
  std::vector<std::uint32_t> subfolders(std::uint32_t folder);
  // The subfolder of `parent` named `name` as the mail client compares folder names (see
  // fold_case), the first of them in the parent's hierarchy table when several are. The
  // subfolders' names are indexed at the first lookup and kept so as folders are made and
  // renamed: a lookup costs the same however many siblings there are.
  std::optional<std::uint32_t> find_subfolder(std::uint32_t parent, std::u16string_view name);
  PropertyBag folder_properties(std::uint32_t folder);
  // Gives the folder the properties of a folder of another store (see content_import.h:
  // named ones by name; never its counts, subfolder flag, entry ids or name).
  void set_folder_properties(std::uint32_t folder, const ContentProperties& properties);
  // Creates a folder under `parent` with its property context, its three tables and its row
  // in the parent's hierarchy table. Names are not checked here.
  std::uint32_t create_folder(std::uint32_t parent, std::string_view name,
                              std::string_view container_class);
  // The same with the name as UTF-16: a store of the 64-bit form keeps it whole, one of the
  // 32-bit form in its code page.
  std::uint32_t create_folder(std::uint32_t parent, std::u16string_view name,
                              std::string_view container_class);
  // Gives the folder a new name (8-bit text in the store's code page, or UTF-16 kept as
  // create_folder keeps it), in its own properties and in its row of the parent's hierarchy
  // table. Names are not checked here.
  void rename_folder(std::uint32_t folder, std::string_view name);
  void rename_folder(std::uint32_t folder, std::u16string_view name);
  // The folder's name, whichever string type holds it.
  std::u16string folder_name(std::uint32_t folder);

  std::vector<std::uint32_t> messages(std::uint32_t folder);
  bool is_message(std::uint32_t nid);
  std::uint32_t folder_of(std::uint32_t message);
  // The properties of `content`'s message as this store keeps them (see
  // ContentWriter::message_properties); names new to the store are added to its map.
  PropertyBag content_properties(const MessageContent& content);
  // Writes a message with `properties` in `folder` (a new one when `nid` is 0) and returns
  // its node id. Fills in what is missing of the times, the class, the flags and the code
  // page, and the size and the subject's prefix and normalized form. With `content`, the
  // message's recipients and attachments are written from it; without, a message saved
  // again keeps those it had. Throws FolderFullError when the folder of a 32-bit store holds
  // pst::kMaxTableRows messages already. A message saved again with the values and subnodes
  // its node was built from since the last checkpoint keeps that node (a save in another
  // folder changes only its parent); its size counts its own entry, so that it stays the same.
  std::uint32_t save_message(std::uint32_t folder, std::uint32_t nid, PropertyBag properties,
                             const MessageContent* content = nullptr);
  PropertyBag load_message(std::uint32_t nid);
  // Read-only: the message as saved, whole: its properties, recipient rows and attachments
  // (embedded messages whole, up to a few levels deep). Named properties keep this store's
  // ids. Defined in stored_content.cpp.
  MessageContent load_content(std::uint32_t nid);
  void move_message(std::uint32_t nid, std::uint32_t folder);
  // The name of a named property id of this store, if its map has one.
  std::optional<PropertyName> property_name(std::uint16_t id);

  void checkpoint();
  // Checkpoints and releases the file; the next call opens it again. For a failed store,
  // releases the file without writing and throws StoreFailedError.
  void close();
  // The error of the failed checkpoint; empty unless the store failed.
  std::string failure();
  std::size_t checkpoints() const { return checkpoints_; }
  // The node lookups in the file's B-tree since it was opened (see StoreFile::node_lookups):
  // for tests, what an operation costs as the store grows.
  std::size_t node_lookups();

 private:
  struct FolderState {
    std::uint32_t nid = 0;
    std::uint32_t parent = 0;
    PropertyBag properties;
    std::optional<FolderTable> hierarchy;
    std::optional<FolderTable> contents;
    std::optional<FolderTable> associated;  // only for new folders, to be written once
    // The subfolders by folded name, the first in table order for each name; none until
    // the first lookup by name.
    std::optional<std::unordered_map<std::u16string, std::uint32_t>> by_name;
    bool properties_dirty = false;
    bool hierarchy_dirty = false;
    bool contents_dirty = false;
  };

  StoreFile& file();
  // How PT_UNICODE values reach the 8-bit string columns of folder tables: encoded with the
  // store's code page in a file of the 32-bit form; a Unicode file keeps them as they are.
  const TextCodec* table_narrowing() {
    return file().form() == FileForm::kUnicode ? nullptr : &codec_;
  }
  void open();
  // Throws StoreFailedError when a checkpoint failed since the file was opened.
  void check_usable() const;
  FolderState& folder(std::uint32_t nid);
  // The folder's name as lookups by name compare it.
  std::u16string folded_name(const FolderState& f) const;
  std::u16string name_of(const FolderState& f) const;
  // Sets the name in the string type the file keeps it in.
  void set_name(PropertyBag& properties, std::u16string_view name);
  // create_folder and rename_folder with the name given as the property it is kept in.
  std::uint32_t add_folder(std::uint32_t parent, const PropertyBag& named,
                           std::string_view container_class);
  void give_name(std::uint32_t folder, const PropertyBag& named);
  // Notes that the folder has something to write at the next checkpoint (set its flags).
  void mark_dirty(const FolderState& f) { dirty_folders_.insert(f.nid); }
  FolderTable& hierarchy(FolderState& f);
  FolderTable& contents(FolderState& f);
  std::vector<StoredProperty> read_properties(std::uint32_t nid);
  std::optional<FolderTable> read_table(std::uint32_t nid);
  // Writes the node of a folder or of the name-to-id map: a property context, large values
  // in subnodes.
  void write_properties(std::uint32_t nid, std::uint32_t parent, const PropertyBag& properties);
  // Writes a message's node with its recipients and attachments from `content`, or with the
  // subnodes it had when there is no content; completes `properties` with the size and the
  // attachment flags.
  void write_message(std::uint32_t nid, std::uint32_t parent, PropertyBag& properties,
                     const MessageContent* content);
  // True when `node` is still the one save_message() built from `properties` since the last
  // commit.
  bool built_from(const NbtEntry& node, const PropertyBag& properties) const;
  void write_table(std::uint32_t nid, FolderTable& table);
  void note_save(bool new_item);
  void checkpoint_locked();
  void write_checkpoint();
  void flusher(std::stop_token stop);

  std::filesystem::path path_;
  TextCodec codec_;
  std::recursive_mutex mutex_;
  std::unique_ptr<StoreFile> file_;
  std::unique_ptr<TableNodeWriter> table_writer_;  // for file_
  RecordKey record_key_{};
  std::uint32_t top_folder_ = 0;
  std::vector<TableColumn> hierarchy_template_, contents_template_, associated_template_,
      recipient_template_, attachment_template_;
  NameToIdMap names_;  // for file_
  std::uint32_t names_parent_ = 0;
  std::map<std::uint32_t, FolderState> folders_;
  // The folders with a dirty flag set, in node order: a checkpoint looks at them only, not
  // at every folder met since the store was opened.
  std::set<std::uint32_t> dirty_folders_;
  // A message saved since the last commit: its properties as its node was built from them
  // and the blocks of that node.
  struct SavedMessage {
    PropertyBag properties;
    std::uint64_t bid_data = 0;
    std::uint64_t bid_sub = 0;
  };
  std::unordered_map<std::uint32_t, SavedMessage> unsaved_;  // by node id
  std::uint32_t row_version_ = 0x1000;
  std::size_t items_since_checkpoint_ = 0;  // messages and folders, each counted once
  bool changed_since_checkpoint_ = false;
  std::chrono::steady_clock::time_point first_save_;
  std::size_t checkpoints_ = 0;
  std::string failure_;
  std::condition_variable_any wake_;
  std::jthread flusher_;  // last: stops before the members above go
};

}  // namespace pstorian
