#include "pst/messaging/message_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/ltp_reader.h"
#include "pst/messaging/store_strings.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/messaging/content_import.h"
#include "pst/messaging/content_writer.h"
#include "pst/messaging/filetime.h"
#include "pst/ndb/node_writer.h"

namespace pstorian {
namespace {

// The folder name as the 64-bit form keeps a name its code page cannot hold.
constexpr std::uint32_t kDisplayNameUnicode = 0x3001001F;

constexpr std::uint32_t kRootFolder = 0x122;
constexpr std::uint32_t kMessageStoreNode = 0x21;
constexpr std::uint32_t kHierarchyTemplate = 0x60D;
constexpr std::uint32_t kContentsTemplate = 0x60E;
constexpr std::uint32_t kAssociatedTemplate = 0x60F;
constexpr std::uint32_t kRecipientTemplate = 0x692;
constexpr std::uint32_t kAttachmentTemplate = 0x671;
constexpr std::size_t kMaxSubnodeDepth = 8;
constexpr std::size_t kItemsPerCheckpoint = 1000;
// New blocks wait in memory for their checkpoint; a stream of large attachments would
// otherwise hold hundreds of megabytes there before a thousand items are reached.
constexpr std::size_t kBytesPerCheckpoint = std::size_t{16} << 20;
constexpr auto kCheckpointDelay = std::chrono::seconds(5);

std::uint32_t companion(std::uint32_t folder, std::uint8_t type) {
  return (folder & ~0x1Fu) | type;
}

std::uint8_t node_type(std::uint32_t nid) {
  return static_cast<std::uint8_t>(nid & 0x1F);
}

// The subject without a prefix such as "RE: " or "FW: ": up to three characters other than
// a space, then a colon and a space. A subject stored with its prefix marked (0x01, then
// one more than the prefix's length as a character) is split where the mark says.
std::pair<std::string, std::string> split_subject(const std::string& subject) {
  if (subject.size() >= 2 && subject[0] == '\x01') {
    const std::size_t marked = static_cast<unsigned char>(subject[1]);
    const std::size_t length = std::min(marked == 0 ? 0 : marked - 1, subject.size() - 2);
    return {subject.substr(2, length), subject.substr(2 + length)};
  }
  const auto colon = subject.find(": ");
  if (colon == std::string::npos || colon == 0 || colon > 3) return {"", subject};
  for (std::size_t i = 0; i < colon; ++i)
    if (subject[i] == ' ' || static_cast<unsigned char>(subject[i]) < 0x20) return {"", subject};
  return {subject.substr(0, colon + 2), subject.substr(colon + 2)};
}

// The attachment table of a store that has no template for one: the columns files of this
// form start with.
const std::vector<TableColumn>& default_attachment_columns() {
  static const std::vector<TableColumn> columns = {
      {kTagLtpRowId, 0, 4, 0},  {kTagLtpRowVer, 4, 4, 1}, {prop::kRenderingPosition, 8, 4, 2},
      {prop::kAttachSize, 12, 4, 3}, {prop::kAttachMethod, 16, 4, 4}, {0x3704001E, 20, 4, 5}};
  return columns;
}

// The bytes of data below a kept subnode: its data tree's and those of its own subnodes.
std::uint64_t stored_bytes(const StoreFile& f, const SubnodeEntry& entry, std::size_t depth) {
  std::uint64_t n = 0;
  try {
    if (entry.bid_data != 0) {
      const auto block = f.read_block(entry.bid_data);
      n += pst::is_internal_block(entry.bid_data) ? pst::load_le32(block, 4) : block.size();
    }
    if (entry.bid_sub != 0 && depth < kMaxSubnodeDepth)
      for (const auto& [sub, below] : f.read_subnodes(entry.bid_sub))
        n += stored_bytes(f, below, depth + 1);
  } catch (const StoreError&) {
    // Unreadable: counts nothing.
  }
  return n;
}

}  // namespace

MessageStore::MessageStore(std::filesystem::path path, std::string_view codepage)
    : path_(std::filesystem::absolute(path).lexically_normal()), codec_(codepage) {
  open();
  flusher_ = std::jthread([this](std::stop_token stop) { flusher(std::move(stop)); });
}

MessageStore::~MessageStore() {
  flusher_.request_stop();
  if (flusher_.joinable()) flusher_.join();
  try {
    close();
  } catch (const std::exception&) {
    // The file keeps its last checkpoint.
  }
}

void MessageStore::open() {
  auto file = std::make_unique<StoreFile>(path_);
  table_writer_ = std::make_unique<TableNodeWriter>(*file);
  file_ = std::move(file);
  try {
    const PropertyBag store(read_properties(kMessageStoreNode));
    const auto* key = store.find(prop::kRecordKey);
    const auto* top = store.find(prop::kIpmSubTreeEntryId);
    if (key == nullptr || key->size() != 16 || top == nullptr || top->size() < 24)
      throw StoreError("the message store lacks its record key or top folder");
    RecordKey record_key{};
    std::copy(key->begin(), key->end(), record_key.begin());
    const std::uint32_t top_folder = pst::load_le32(*top, top->size() - 4);
    if (!is_folder(top_folder) || !is_folder(kRootFolder))
      throw StoreError("the store's folders are missing");
    // Objects of other threads read these without the lock: they are set once, and a file
    // opened again after closing must still be the same store.
    if (top_folder_ == 0) {
      record_key_ = record_key;
      top_folder_ = top_folder;
    } else if (record_key_ != record_key || top_folder_ != top_folder) {
      throw StoreError("the file was replaced by another store");
    }
    auto columns = [this](std::uint32_t nid) {
      auto t = read_table(nid);
      if (!t) throw StoreError("a table template is missing");
      return t->columns();
    };
    hierarchy_template_ = columns(kHierarchyTemplate);
    contents_template_ = columns(kContentsTemplate);
    associated_template_ = columns(kAssociatedTemplate);
    recipient_template_ = columns(kRecipientTemplate);
    const auto attachments = read_table(kAttachmentTemplate);
    attachment_template_ = attachments ? attachments->columns() : default_attachment_columns();
    // A store without a map starts an empty one, written when a name is first added.
    if (const NbtEntry* map = file_->find_node(pst::kNidNameToIdMap); map != nullptr) {
      names_parent_ = map->nid_parent;
      try {
        names_ = NameToIdMap(read_properties(pst::kNidNameToIdMap));
      } catch (const std::runtime_error&) {
        names_ = NameToIdMap::unreadable();
      }
    } else {
      names_parent_ = 0;
      names_ = NameToIdMap();
    }
  } catch (...) {
    table_writer_.reset();
    file_.reset();
    throw;
  }
}

StoreFile& MessageStore::file() {
  check_usable();
  if (!file_) open();
  return *file_;
}

void MessageStore::check_usable() const {
  if (!failure_.empty()) throw StoreFailedError(failure_);
}

std::size_t MessageStore::node_lookups() {
  const std::lock_guard lock(mutex_);
  return file_ ? file_->node_lookups() : 0;
}

std::string MessageStore::failure() {
  const std::lock_guard lock(mutex_);
  return failure_;
}

std::vector<std::uint8_t> MessageStore::entry_id() const {
  return store_entry_id(record_key_, path_.string());
}

void MessageStore::renamed(const std::filesystem::path& path) {
  const std::lock_guard lock(mutex_);
  if (file_) throw StoreError("a store's file cannot be renamed while it is open");
  path_ = std::filesystem::absolute(path).lexically_normal();
}

bool MessageStore::is_file(const std::filesystem::path& other) const {
  struct stat a {};
  struct stat b {};
  if (::stat(path_.c_str(), &a) != 0 || ::stat(other.c_str(), &b) != 0)
    return std::filesystem::absolute(other).lexically_normal() == path_;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::vector<StoredProperty> MessageStore::read_properties(std::uint32_t nid) {
  StoreFile& f = file();
  const NbtEntry* node = f.find_node(nid);
  if (node == nullptr) throw StoreError("node not found");
  const NbtEntry entry = *node;
  const HeapView heap(f.read_data(entry.bid_data));
  if (heap.client_signature() != pst::kClientPropertyContext)
    throw StoreError("node is not a property context");
  const auto subnodes = f.read_subnodes(entry.bid_sub);
  return from_file_strings(read_property_context(heap,
                                                 [&](std::uint32_t sub) {
                                                   const auto it = subnodes.find(sub);
                                                   if (it == subnodes.end())
                                                     throw LtpError("subnode not found");
                                                   return f.read_bytes(it->second.bid_data);
                                                 }),
                           codec_, f.form());
}

std::optional<FolderTable> MessageStore::read_table(std::uint32_t nid) {
  StoreFile& f = file();
  const NbtEntry* node = f.find_node(nid);
  if (node == nullptr || node->bid_data == 0) return std::nullopt;
  const NbtEntry entry = *node;
  const HeapView heap(f.read_data(entry.bid_data));
  if (heap.client_signature() != pst::kClientTableContext)
    throw StoreError("node is not a table context");
  // A row matrix in a subnode keeps whole rows in each data block; the mail client leaves
  // the space after the last whole row of a block unused, so each block is cut to its rows.
  const auto info = heap.get(heap.user_root());
  if (info.size() < 22) throw LtpError("not a TCINFO");
  const std::size_t row_size = pst::load_le16(info, 8);
  const std::uint32_t rows_hnid = pst::load_le32(info, 14);
  const auto subnodes = f.read_subnodes(entry.bid_sub);
  auto contents = read_table_context(heap, [&](std::uint32_t sub) {
    const auto it = subnodes.find(sub);
    if (it == subnodes.end()) throw LtpError("subnode not found");
    if (sub != rows_hnid || row_size == 0) return f.read_bytes(it->second.bid_data);
    std::vector<std::uint8_t> rows;
    for (const auto& leaf : f.read_data(it->second.bid_data))
      rows.insert(rows.end(), leaf.begin(),
                  leaf.end() - static_cast<std::ptrdiff_t>(leaf.size() % row_size));
    return rows;
  });
  for (auto& row : contents.rows) row = from_file_strings(std::move(row), codec_, f.form());
  return FolderTable(from_file_columns(contents.columns, f.form()), std::move(contents.rows));
}

bool MessageStore::is_folder(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  const auto type = node_type(nid);
  return (type == pst::kNodeNormalFolder || type == pst::kNodeSearchFolder) &&
         file().find_node(nid) != nullptr;
}

bool MessageStore::is_message(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  return node_type(nid) == pst::kNodeNormalMessage && file().find_node(nid) != nullptr;
}

MessageStore::FolderState& MessageStore::folder(std::uint32_t nid) {
  if (const auto it = folders_.find(nid); it != folders_.end()) return it->second;
  const NbtEntry* node = file().find_node(nid);
  if (node == nullptr || node_type(nid) != pst::kNodeNormalFolder)
    throw StoreError("no such folder");
  FolderState state;
  state.nid = nid;
  state.parent = node->nid_parent;
  state.properties = PropertyBag(read_properties(nid));
  return folders_.emplace(nid, std::move(state)).first->second;
}

FolderTable& MessageStore::hierarchy(FolderState& f) {
  if (!f.hierarchy) {
    f.hierarchy = read_table(companion(f.nid, pst::kNodeHierarchyTable));
    if (!f.hierarchy) f.hierarchy = FolderTable(hierarchy_template_, {});
  }
  return *f.hierarchy;
}

FolderTable& MessageStore::contents(FolderState& f) {
  if (!f.contents) {
    f.contents = read_table(companion(f.nid, pst::kNodeContentsTable));
    if (!f.contents) f.contents = FolderTable(contents_template_, {});
    f.contents->count_clear_bit(prop::kMessageFlags, kMessageReadFlag);
  }
  return *f.contents;
}

std::optional<std::uint32_t> MessageStore::parent_folder(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  const std::uint32_t parent = folder(nid).parent;
  if (parent == nid || parent == 0) return std::nullopt;
  return parent;
}

std::vector<std::uint32_t> MessageStore::subfolders(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderTable& table = hierarchy(folder(nid));
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::uint32_t id = table.row_id(i);
    if (node_type(id) == pst::kNodeNormalFolder && file().find_node(id) != nullptr)
      out.push_back(id);
  }
  return out;
}

std::u16string MessageStore::name_of(const FolderState& f) const {
  const auto [tag, value] = f.properties.find_id(prop::kDisplayName);
  if (value == nullptr) return {};
  if (pst::tag_type(tag) == pst::kPtUnicode) return from_utf16le(*value);
  return codec_.decode(std::string(value->begin(), value->end()));
}

std::u16string MessageStore::folded_name(const FolderState& f) const {
  return fold_case(name_of(f));
}

void MessageStore::set_name(PropertyBag& properties, std::u16string_view name) {
  // The layer keeps 8-bit text where the code page holds the name: what the file gets is
  // the same either way, and readers of the 8-bit value find it.
  const std::string narrow = codec_.encode(name);
  if (file().form() == FileForm::kUnicode && codec_.decode(narrow) != name) {
    properties.erase(prop::kDisplayName);
    properties.set(kDisplayNameUnicode,
                   to_utf16le(name));
  } else {
    properties.erase(kDisplayNameUnicode);
    properties.set_string(prop::kDisplayName, narrow);
  }
}

std::u16string MessageStore::folder_name(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  return name_of(folder(nid));
}

std::optional<std::uint32_t> MessageStore::find_subfolder(std::uint32_t parent_nid,
                                                          std::u16string_view name) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderState& parent = folder(parent_nid);
  if (!parent.by_name) {
    std::unordered_map<std::u16string, std::uint32_t> index;
    for (const std::uint32_t id : subfolders(parent_nid))
      index.try_emplace(folded_name(folder(id)), id);
    // Loading the children adds to folders_, a map: `parent` stays where it is.
    parent.by_name = std::move(index);
  }
  const auto it = parent.by_name->find(fold_case(name));
  if (it == parent.by_name->end()) return std::nullopt;
  return it->second;
}

PropertyBag MessageStore::folder_properties(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  return folder(nid).properties;
}

std::uint32_t MessageStore::create_folder(std::uint32_t parent_nid, std::string_view name,
                                          std::string_view container_class) {
  PropertyBag named;
  named.set_string(prop::kDisplayName, name);
  return add_folder(parent_nid, named, container_class);
}

std::uint32_t MessageStore::create_folder(std::uint32_t parent_nid, std::u16string_view name,
                                          std::string_view container_class) {
  const std::lock_guard lock(mutex_);
  check_usable();
  PropertyBag named;
  set_name(named, name);
  return add_folder(parent_nid, named, container_class);
}

std::uint32_t MessageStore::add_folder(std::uint32_t parent_nid, const PropertyBag& named,
                                       std::string_view container_class) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderState& parent = folder(parent_nid);
  if (hierarchy(parent).size() >= max_table_rows(file().form()))
    throw StoreError("the folder holds as many subfolders as a folder of this file can hold");
  const std::uint32_t nid = file().next_nid(pst::kNodeNormalFolder);
  FolderState f;
  f.nid = nid;
  f.parent = parent_nid;
  f.properties.set_all(named);
  f.properties.set_int32(prop::kContentCount, 0);
  f.properties.set_int32(prop::kContentUnreadCount, 0);
  f.properties.set_bool(prop::kSubfolders, false);
  if (!container_class.empty()) f.properties.set_string(prop::kContainerClass, container_class);
  f.hierarchy = FolderTable(hierarchy_template_, {});
  f.contents = FolderTable(contents_template_, {});
  f.contents->count_clear_bit(prop::kMessageFlags, kMessageReadFlag);
  f.associated = FolderTable(associated_template_, {});
  f.properties_dirty = f.hierarchy_dirty = f.contents_dirty = true;
  parent.hierarchy->put(nid, ++row_version_, f.properties, table_narrowing());
  parent.hierarchy_dirty = true;
  if (parent.properties.int32(prop::kSubfolders).value_or(0) == 0) {
    parent.properties.set_bool(prop::kSubfolders, true);
    parent.properties_dirty = true;
  }
  // Its row comes last in the parent's table: a sibling of the same name stays the first.
  if (parent.by_name) parent.by_name->try_emplace(folded_name(f), nid);
  mark_dirty(parent);
  mark_dirty(f);
  // The folder's node goes in now, so that it exists for the rest of the session; its
  // property context is written again at the checkpoint.
  write_properties(nid, parent_nid, f.properties);
  folders_.emplace(nid, std::move(f));
  note_save(true);
  return nid;
}

void MessageStore::rename_folder(std::uint32_t nid, std::string_view name) {
  PropertyBag named;
  named.set_string(prop::kDisplayName, name);
  give_name(nid, named);
}

void MessageStore::rename_folder(std::uint32_t nid, std::u16string_view name) {
  const std::lock_guard lock(mutex_);
  check_usable();
  PropertyBag named;
  set_name(named, name);
  give_name(nid, named);
}

void MessageStore::give_name(std::uint32_t nid, const PropertyBag& named) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderState& f = folder(nid);
  f.properties.erase(prop::kDisplayName);
  f.properties.erase(kDisplayNameUnicode);
  f.properties.set_all(named);
  f.properties_dirty = true;
  mark_dirty(f);
  if (f.parent != nid) {
    FolderState& parent = folder(f.parent);
    hierarchy(parent).put(nid, ++row_version_, f.properties, table_narrowing());
    parent.hierarchy_dirty = true;
    mark_dirty(parent);
    // Which sibling comes first under each name may change: indexed again when next asked.
    parent.by_name.reset();
  }
  note_save(false);
}

std::vector<std::uint32_t> MessageStore::messages(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderTable& table = contents(folder(nid));
  std::vector<std::uint32_t> out;
  out.reserve(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) out.push_back(table.row_id(i));
  return out;
}

std::uint32_t MessageStore::folder_of(std::uint32_t message) {
  const std::lock_guard lock(mutex_);
  const NbtEntry* node = file().find_node(message);
  if (node == nullptr) throw StoreError("no such message");
  return node->nid_parent;
}

std::uint32_t MessageStore::save_message(std::uint32_t folder_nid, std::uint32_t nid,
                                         PropertyBag p, const MessageContent* content) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderState& f = folder(folder_nid);
  if (contents(f).size() >= max_table_rows(file().form()) && !contents(f).contains(nid))
    throw FolderFullError("the folder holds as many items as a folder of this file can hold (" +
                          std::to_string(pst::kMaxTableRows) + ")");
  // A message made here gets the usual defaults; one given whole, as another store held it,
  // keeps what it has and lacks what it lacks, now and when it is saved again. Only what
  // every message of a store must have is added to it.
  const bool made_here = nid == 0 && content == nullptr;
  if (nid == 0) nid = file().next_nid(pst::kNodeNormalMessage);
  // A message keeps the times it has: a repaired one those of its source.
  const std::uint64_t now = filetime_now();
  if (!p.int64(prop::kCreationTime)) p.set_int64(prop::kCreationTime, now);
  if (!p.int64(prop::kLastModificationTime)) p.set_int64(prop::kLastModificationTime, now);
  if (!p.find_id(prop::kMessageClass).second) p.set_string(prop::kMessageClass, "IPM.Note");
  if (!p.int32(prop::kMessageFlags)) p.set_int32(prop::kMessageFlags, kMessageReadFlag);
  if (!p.int32(prop::kMessageStatus)) p.set_int32(prop::kMessageStatus, 0);
  if (made_here) {
    if (!p.int32(prop::kImportance)) p.set_int32(prop::kImportance, 1);
    if (!p.int32(prop::kSensitivity)) p.set_int32(prop::kSensitivity, 0);
    // Readers label 8-bit text by it: a message given whole without one keeps readers
    // guessing as they did with its source.
    if (const std::uint32_t cp = codec_.codepage_number();
        cp != 0 && !p.int32(prop::kMessageCodepage))
      p.set_int32(prop::kMessageCodepage, cp);
  }
  if (const auto subject = p.string(prop::kSubject)) {
    const auto [prefix, normalized] = split_subject(*subject);
    p.set_string(prop::kSubjectPrefix, prefix);
    p.set_string(prop::kNormalizedSubject, normalized);
  } else {
    p.erase(prop::kSubjectPrefix);
    p.erase(prop::kNormalizedSubject);
  }
  const std::uint32_t old_parent = file().find_node(nid) ? file().find_node(nid)->nid_parent : 0;
  write_message(nid, folder_nid, p, content);
  if (old_parent != 0 && old_parent != folder_nid) {
    FolderState& from = folder(old_parent);
    contents(from).erase(nid);
    from.contents_dirty = true;
    mark_dirty(from);
  }
  f.contents->put(nid, ++row_version_, p, table_narrowing());
  f.contents_dirty = true;
  mark_dirty(f);
  // An item saved again before the checkpoint (created, then completed) counts once.
  const NbtEntry* written = file().find_node(nid);
  const bool new_item =
      unsaved_.insert_or_assign(nid, SavedMessage{std::move(p), written->bid_data, written->bid_sub})
          .second;
  note_save(new_item);
  return nid;
}

PropertyBag MessageStore::content_properties(const MessageContent& content) {
  const std::lock_guard lock(mutex_);
  check_usable();
  StoreFile& f = file();
  ContentWriter writer(f, names_, codec_, recipient_template_, attachment_template_, row_version_);
  return writer.message_properties(content);
}

void MessageStore::set_folder_properties(std::uint32_t nid, const ContentProperties& properties) {
  const std::lock_guard lock(mutex_);
  check_usable();
  FolderState& f = folder(nid);
  for (const auto& p : import_properties(properties, names_, ContentObject::kFolder).list())
    f.properties.set(p.tag, p.value);
  f.properties_dirty = true;
  mark_dirty(f);
  note_save(false);
}

std::optional<PropertyName> MessageStore::property_name(std::uint16_t id) {
  const std::lock_guard lock(mutex_);
  check_usable();
  file();
  return names_.name_of(id);
}

PropertyBag MessageStore::load_message(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  if (const auto it = unsaved_.find(nid); it != unsaved_.end()) return it->second.properties;
  if (!is_message(nid)) throw StoreError("no such message");
  return PropertyBag(read_properties(nid));
}

void MessageStore::move_message(std::uint32_t nid, std::uint32_t to) {
  const std::lock_guard lock(mutex_);
  check_usable();
  const std::uint32_t from = folder_of(nid);
  if (from == to) return;
  save_message(to, nid, load_message(nid));
}

void MessageStore::write_properties(std::uint32_t nid, std::uint32_t parent,
                                    const PropertyBag& properties) {
  StoreFile& f = file();
  NodeWriter writer(f);
  const auto leaves = file_property_context(properties, codec_, f.form(), &writer);
  auto node = writer.finish(leaves);
  f.add_blocks(std::move(node.blocks));
  f.put_node({nid, node.bid_data, node.bid_sub, parent});
}

void MessageStore::write_message(std::uint32_t nid, std::uint32_t parent, PropertyBag& p,
                                 const MessageContent* content) {
  StoreFile& f = file();
  NodeWriter writer(f);
  // A message saved again keeps the subnodes that its properties do not make: recipients,
  // attachments and whatever else an earlier writer gave it. Large values are made anew
  // from the properties.
  std::vector<SubnodeEntry> kept;
  std::uint64_t subnode_bytes = 0;
  bool attachments = false;
  const NbtEntry* old = f.find_node(nid);
  if (content != nullptr) {
    ContentWriter(f, names_, codec_, recipient_template_, attachment_template_, row_version_)
        .add_subnodes(writer, *content);
    subnode_bytes = writer.data_bytes();
    attachments = !content->attachments.empty();
  } else if (old != nullptr && old->bid_sub != 0) {
    try {
      for (const auto& [sub, entry] : f.read_subnodes(old->bid_sub))
        if (pst::node_type(sub) != pst::kNodeLtp) kept.push_back(entry);
    } catch (const StoreError&) {
      // Unreadable already: nothing that could be kept.
    }
    for (const auto& entry : kept) {
      subnode_bytes += stored_bytes(f, entry, 0);
      attachments = attachments || entry.nid == kAttachmentTemplate;
    }
  }
  if (content != nullptr || attachments) {
    p.set_bool(prop::kHasAttachments, attachments);
    const std::uint32_t flags = p.int32(prop::kMessageFlags).value_or(0);
    p.set_int32(prop::kMessageFlags, attachments ? flags | kMessageHasAttachmentsFlag
                                                 : flags & ~kMessageHasAttachmentsFlag);
  }
  // The size the mail client reports: the values, their property entries (the size's own
  // among them, so that a message saved again as it stands keeps its size) and the data of
  // the recipients and attachments.
  p.set_int32(prop::kMessageSize, 0);
  p.set_int32(prop::kMessageSize, object_size(p, subnode_bytes));
  const bool has_recipients =
      content != nullptr ||
      std::ranges::any_of(kept, [](const SubnodeEntry& e) { return e.nid == kRecipientTemplate; });
  // Saved again as it stands (the export saves each message three times): the node it has is
  // the one a new build would make, with the same values and subnodes in other blocks.
  if (content == nullptr && has_recipients && old != nullptr && built_from(*old, p)) {
    if (old->nid_parent != parent) f.put_node({nid, old->bid_data, old->bid_sub, parent});
    return;
  }
  const auto leaves = file_property_context(p, codec_, f.form(), &writer);
  for (const auto& entry : kept) writer.keep_subnode(entry);
  if (!has_recipients) {
    NodeWriter recipients(f);
    const auto table = build_table_context(
        to_file_columns(recipient_template_, f.form()), {},
        static_cast<std::uint8_t>(layout_of(f.form()).row_index_size), &recipients);
    writer.add_subnode(kRecipientTemplate, recipients.finish(table));
  }
  auto node = writer.finish(leaves);
  f.add_blocks(std::move(node.blocks));
  // The new subnode block refers to the kept blocks too; the old one lets go of them when
  // the node entry is replaced.
  for (const auto& entry : kept) {
    f.add_reference(entry.bid_data);
    f.add_reference(entry.bid_sub);
  }
  f.put_node({nid, node.bid_data, node.bid_sub, parent});
}

bool MessageStore::built_from(const NbtEntry& node, const PropertyBag& properties) const {
  const auto it = unsaved_.find(node.nid);
  return it != unsaved_.end() && it->second.bid_data == node.bid_data &&
         it->second.bid_sub == node.bid_sub && it->second.properties == properties;
}

void MessageStore::write_table(std::uint32_t nid, FolderTable& table) {
  const FileForm form = file().form();
  // A file of 8-bit strings takes the rows as they are; a Unicode file has the rows it
  // writes converted one by one, so that a table of thousands of rows is not copied at
  // every checkpoint only to be built from its changed rows.
  if (form == FileForm::kUnicode)
    table_writer_->write(nid, to_file_columns(table.columns(), form), table.rows(),
                         table.unchanged_rows(), [this, form](const TableRow& row) {
                           return to_file_strings(row, codec_, form);
                         });
  else
    table_writer_->write(nid, table.columns(), table.rows(), table.unchanged_rows());
  table.mark_written();
}

void MessageStore::note_save(bool new_item) {
  if (!changed_since_checkpoint_) {
    changed_since_checkpoint_ = true;
    first_save_ = std::chrono::steady_clock::now();
    wake_.notify_all();
  }
  if (new_item) ++items_since_checkpoint_;
  if (items_since_checkpoint_ >= kItemsPerCheckpoint ||
      file().pending_bytes() >= kBytesPerCheckpoint ||
      std::chrono::steady_clock::now() - first_save_ >= kCheckpointDelay)
    checkpoint_locked();
}

void MessageStore::checkpoint() {
  const std::lock_guard lock(mutex_);
  checkpoint_locked();
}

void MessageStore::checkpoint_locked() {
  check_usable();
  if (!file_ || !changed_since_checkpoint_) return;
  try {
    write_checkpoint();
  } catch (const std::exception& e) {
    // Whatever failed, the file is at its last checkpoint and what was saved since is not
    // in it; nothing may be written on top until the store is closed and opened again.
    failure_ = file_->failure().empty() ? e.what() : file_->failure();
    throw StoreFailedError(failure_);
  }
}

void MessageStore::write_checkpoint() {
  // Counts follow the contents tables; a folder whose counts changed has its row in the
  // parent's hierarchy table brought up to date.
  std::vector<std::uint32_t> changed;
  for (const std::uint32_t nid : dirty_folders_) {
    FolderState& f = folders_.at(nid);
    if (f.contents_dirty && f.contents) {
      const auto unread = static_cast<std::uint32_t>(f.contents->rows_with_bit_clear());
      f.properties.set_int32(prop::kContentCount, static_cast<std::uint32_t>(f.contents->size()));
      f.properties.set_int32(prop::kContentUnreadCount, unread);
      f.properties_dirty = true;
    }
    if (f.properties_dirty && f.parent != nid && f.parent != 0) changed.push_back(nid);
  }
  for (const std::uint32_t nid : changed) {
    const FolderState& f = folders_.at(nid);
    const PropertyBag properties = f.properties;
    FolderState& parent = folder(f.parent);
    FolderTable& table = hierarchy(parent);
    if (!table.contains(nid)) continue;
    table.put(nid, ++row_version_, properties, table_narrowing());
    parent.hierarchy_dirty = true;
    mark_dirty(parent);
  }
  for (const std::uint32_t nid : dirty_folders_) {
    FolderState& f = folders_.at(nid);
    if (f.properties_dirty) write_properties(nid, f.parent, f.properties);
    if (f.hierarchy_dirty) write_table(companion(nid, pst::kNodeHierarchyTable), *f.hierarchy);
    if (f.contents_dirty) write_table(companion(nid, pst::kNodeContentsTable), *f.contents);
    if (f.associated) {
      write_table(companion(nid, pst::kNodeAssociatedContentsTable), *f.associated);
      f.associated.reset();
    }
    f.properties_dirty = f.hierarchy_dirty = f.contents_dirty = false;
  }
  dirty_folders_.clear();
  // New names go in with the messages that use them.
  if (names_.changed())
    write_properties(pst::kNidNameToIdMap, names_parent_, PropertyBag(names_.properties()));
  file_->commit();
  names_.mark_written();
  unsaved_.clear();
  items_since_checkpoint_ = 0;
  changed_since_checkpoint_ = false;
  ++checkpoints_;
}

void MessageStore::close() {
  const std::lock_guard lock(mutex_);
  if (!file_) return;
  if (failure_.empty()) checkpoint_locked();  // may fail, and then goes on as below
  table_writer_.reset();
  file_.reset();
  folders_.clear();
  dirty_folders_.clear();
  if (failure_.empty()) return;
  // What was not checkpointed goes; the file is opened again from its last checkpoint.
  unsaved_.clear();
  items_since_checkpoint_ = 0;
  changed_since_checkpoint_ = false;
  const std::string failure = std::exchange(failure_, std::string());
  throw StoreFailedError(failure);
}

void MessageStore::flusher(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    if (!changed_since_checkpoint_ || !failure_.empty()) {
      wake_.wait(lock, stop, [this] { return changed_since_checkpoint_ && failure_.empty(); });
      continue;
    }
    const auto due = first_save_ + kCheckpointDelay;
    if (wake_.wait_until(lock, stop, due, [] { return false; }) || stop.stop_requested()) continue;
    if (changed_since_checkpoint_ && failure_.empty() &&
        std::chrono::steady_clock::now() >= due) {
      try {
        checkpoint_locked();
      } catch (const std::exception&) {
        // The store is failed now; the next call of its user reports it.
      }
    }
  }
}

}  // namespace pstorian
