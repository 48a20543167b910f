#include "export/pst_exporter.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

#include "engine/item_extraction.h"
#include "engine/named_property_map.h"
#include "engine/store_facts.h"
#include "export/store_entry_path.h"
#include "export/time_conversion.h"
#include "format/utf8.h"
#include "pst/messaging/text_codec.h"
#include "store/empty_store_image.h"
#include "store/question_asker.h"
#include "store/staged_output.h"
#include "store/store_file_writer.h"

namespace pstorian {
namespace fs = std::filesystem;
using automation::AutomationError;
using automation::PropertyValue;

namespace {

constexpr std::u16string_view kNoteClass = u"IPM.Note";
constexpr std::u16string_view kDeletedItems = u"Deleted Items";
constexpr std::u16string_view kSearchRoot = u"Search Root";
constexpr int kProgressEnd = 500;

CodepageConverter open_codepage(std::string_view name) {
  // An empty name would give iconv the locale's own code set.
  if (name.empty()) name = kDefaultCodepage;
  if (auto converter = CodepageConverter::open(name)) return std::move(*converter);
  return std::move(*CodepageConverter::open(kDefaultCodepage));
}

// A folder's name as the source holds it: its UTF-16 value whole when it has one (the
// record's 8-bit field keeps only what Windows-1252 can hold), else its 8-bit text read in
// the file's code page.
std::string folder_name(const ItemRecord& record, const FileText& text) {
  if (record.content) {
    for (const ContentProperty& p : record.content->properties)
      if (p.tag == 0x3001001F && !p.name)
        return fit_folder_name(utf16_to_utf8(from_utf16le(p.value)));
  }
  return fit_folder_name(text.utf8(record.display_name.value_or("")));
}

fs::path absolute_path(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  return (ec ? path : absolute).lexically_normal();
}

// The overwrite question of the store writer, put through the host.
class HostAsker final : public QuestionAsker {
 public:
  explicit HostAsker(JobHost& host) : host_(host) {}
  Answer AskYesNo(std::string_view text, std::string_view caption) override {
    return host_.ask_yes_no(text, caption) ? Answer::kYes : Answer::kNo;
  }

 private:
  JobHost& host_;
};

// Runs one step of a mail item or folder whose automation failure must not stop the rest.
// A store that cannot be written any more is no failure of one step: it goes on up.
template <typename Step>
bool try_step(Step&& step) {
  try {
    step();
    return true;
  } catch (const automation::StoreFailure&) {
    throw;
  } catch (const AutomationError&) {
    return false;
  }
}

// The key of an output folder path: its names, ASCII letters folded as the mail client
// compares folder names.
std::string path_key(const ExportPath& path) {
  std::string key;
  for (const ExportPathPart& part : path) {
    for (const char c : part.name)
      key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    key.push_back('\x1f');
  }
  return key;
}

// A message class that damage changed or removed: none, empty, bytes that are no text, or
// "IPM.Note" with one letter changed. Any other class is the item's own, however rare.
bool class_damaged(const std::optional<std::string>& item_class) {
  if (!item_class || item_class->empty()) return true;
  if (std::any_of(item_class->begin(), item_class->end(),
                  [](char c) { return c < 0x20 || c == 0x7F; }))
    return true;
  const std::string_view note = "IPM.Note";
  if (item_class->size() != note.size()) return false;
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  std::size_t differ = 0;
  for (std::size_t i = 0; i < note.size(); ++i) differ += fold((*item_class)[i]) != fold(note[i]);
  return differ == 1;
}

// Whether a record holds what only mail holds: a subject, a body, a sender or recipients,
// the transport headers or an internet message id.
bool carries_mail(const ItemRecord& record) {
  if (!record.message) return false;
  const MessageProps& m = *record.message;
  return m.subject || m.body || m.html_body || m.sender_email_address ||
         m.sent_representing_name || m.display_to || m.transport_message_headers ||
         m.internet_message_id;
}

// Whether the record of a message node is an item to write (as the mail it carries when its
// class was damaged), as visit decides.
bool is_message_item(const ItemRecord& record) {
  return !record.folder &&
         (record.kind != ItemKind::kNone || (class_damaged(record.item_class) && carries_mail(record)));
}

// The record of a message whose class was damaged, as the mail it was: the class of a note,
// in the record and in what is written whole.
ItemRecord as_mail(const ItemRecord& record) {
  constexpr std::string_view kNote = "IPM.Note";
  constexpr std::uint32_t kClassTag = 0x001A001E;
  ItemRecord mail = record;
  mail.kind = ItemKind::kMail;
  mail.item_class = std::string(kNote);
  if (record.content) {
    auto content = std::make_shared<MessageContent>(*record.content);
    auto& properties = content->properties;
    std::erase_if(properties, [](const ContentProperty& p) { return p.id() == (kClassTag >> 16); });
    properties.insert(properties.begin(),
                      ContentProperty{kClassTag, std::nullopt, {kNote.begin(), kNote.end()}});
    mail.content = std::move(content);
  }
  return mail;
}

}  // namespace

ExportResult result_of(const ExportSummary& summary) {
  switch (summary.outcome) {
    case ExportOutcome::kCompleted:
      return summary.output_kept ? ExportResult::kComplete : ExportResult::kNothingRecovered;
    case ExportOutcome::kNoObjects:
      return ExportResult::kNothingRecovered;
    case ExportOutcome::kCancelled:
    case ExportOutcome::kOutputDeclined:
      return ExportResult::kStopped;
    default:
      return ExportResult::kFailed;
  }
}

std::string_view result_name(ExportResult result) {
  switch (result) {
    case ExportResult::kComplete:
      return "complete";
    case ExportResult::kNothingRecovered:
      return "nothing recovered";
    case ExportResult::kStopped:
      return "stopped";
    case ExportResult::kFailed:
      return "failed";
  }
  return "failed";
}

CPstExporter::CPstExporter(ExportSettings settings, MailClient mail_client)
    : settings_(std::move(settings)),
      output_path_(absolute_path(settings_.output_path)),
      mail_client_(std::move(mail_client)),
      text_(open_codepage(settings_.codepage)) {}

CPstExporter::~CPstExporter() {
  release_automation();
}

void CPstExporter::run(RecoveryTables& tables, Reporter& reporter, JobHost& host, JobGate& gate) {
  reporter_ = &reporter;
  host_ = &host;
  asker_ = std::make_unique<HostAsker>(host);
  summary_ = ExportSummary{};
  staged_.reset();
  written_log_.clear();
  try {
    export_all(tables, gate);
  } catch (...) {
    // Whatever stopped the export mid-way, the output store is closed as after a finished
    // one: the objects that hold it are released and the mail client ends, which flushes it.
    // What it holds is kept as incomplete; the output keeps its old file.
    summary_.outcome = ExportOutcome::kFailed;
    release_automation();
    try {
      TerminateMailClient();
    } catch (...) {
    }
    settle_output();
    folders_.clear();
    folder_by_node_.clear();
    identities_.clear();
    path_.clear();
    reader_.reset();
    source_.reset();
    throw;
  }
}

void CPstExporter::export_all(RecoveryTables& tables, JobGate& gate) {
  source_ = SourceFile::open(settings_.source_path);
  if (source_) reader_.emplace(*source_, tables);

  walk(tables, gate);

  // The store is flushed and released before anything tells the user that the repair is
  // complete, so the message never stands for a file still being written.
  end_mail_client();
  if (summary_.outcome == ExportOutcome::kStoreFailed) {
    // The file went back to its last checkpoint: what counts is what it holds.
    count_what_the_store_holds();
    end_mail_client();
  }
  release_automation();
  if (source_changed() && (summary_.outcome == ExportOutcome::kCompleted ||
                           summary_.outcome == ExportOutcome::kNoObjects))
    summary_.outcome = ExportOutcome::kSourceChanged;
  reader_.reset();
  source_.reset();
  settle_output();

  reporter_->status_clear();
  host_->set_stop_enabled(false);
  folders_.clear();
  folder_by_node_.clear();
  switch (summary_.outcome) {
    case ExportOutcome::kCompleted:
    case ExportOutcome::kNoObjects:
      // "Complete" only where there is a file to show for it.
      if (summary_.output_kept) {
        host_->show_message(kCompletionText, kCompletionCaption);
      } else {
        summary_.error = "no folder or item could be recovered from the file";
        host_->show_message(kNothingRecoveredText, kMessageCaption);
      }
      break;
    case ExportOutcome::kStoreFailed: {
      std::string text = std::string(kStoreFailedText) + summary_.store_failure;
      if (!summary_.incomplete_file.empty() &&
          summary_.store_failure.find(summary_.incomplete_file) == std::string::npos)
        text += " (" + summary_.incomplete_file + ")";
      host_->show_message(text + "." + kept_text(), kMessageCaption);
      break;
    }
    case ExportOutcome::kCancelled:
      host_->show_message(std::string(kStoppedText) + kept_text(), kMessageCaption);
      break;
    case ExportOutcome::kSourceChanged:
      host_->show_message(std::string(kSourceChangedText) + kept_text(), kMessageCaption);
      break;
    case ExportOutcome::kNotPublished:
      host_->show_message(std::string(kNotPublishedText) + summary_.error + ".",
                          kMessageCaption);
      break;
    default:
      break;
  }
  host_->set_tree_ready(true);
}

bool CPstExporter::source_changed() const {
  if (!source_) return false;
  if (source_->changed()) return true;
  return settings_.source_size != 0 && (source_->size() != settings_.source_size ||
                                        source_->modified_ns() != settings_.source_changed_ns);
}

std::string CPstExporter::kept_text() const {
  std::string text;
  if (!summary_.incomplete_file.empty()) {
    text = " What was written until then (" + std::to_string(summary_.mail_items_written) +
           " items) is kept in \"" + summary_.incomplete_file + "\".";
  } else {
    text = " Nothing was written.";
  }
  if (staged_output_existed_)
    text += " \"" + output_path_.string() + "\" was left as it was.";
  return text;
}

void CPstExporter::walk(RecoveryTables& tables, JobGate& gate) {
  ObjectIndex current = tables.objects.first_top_level();
  if (current == kNoObject) {
    summary_.outcome = ExportOutcome::kNoObjects;
    return;
  }
  if (!reader_) {
    fail(ExportOutcome::kSourceNotOpened, kSourceNotOpenedText);
    return;
  }
  ensure_named_property_map(*reader_, tables);
  {
    roles_ = decide_versions(tables, read_live_nodes(*source_),
                             listings_of(read_contents_rows(*reader_)));
    summary_.orphans_found = static_cast<int>(tables.orphans_found);
    summary_.orphans_placed = static_cast<int>(tables.orphans_placed);
  }
  identities_ = folder_identities(*reader_, roles_);
  StoreRoles store_roles = read_store_roles(*reader_);
  keep_structure_at_root(store_roles, identities_);
  structural_nodes_ = structural_folder_nodes(store_roles);
  top_node_id_ = store_roles.ipm_subtree.value_or(kTopOfPersonalFoldersNid);
  finder_node_id_ = store_roles.finder;
  wastebasket_node_id_ = store_roles.wastebasket;
  // Unless told, the texts are read, shown and written in the file's own code page; the
  // output store keeps them byte for byte in the same one.
  if (settings_.codepage.empty())
    settings_.codepage = file_codepage(*reader_).value_or(std::string(kDefaultCodepage));
  text_ = FileText(open_codepage(settings_.codepage));
  if (mail_client_.use_codepage) mail_client_.use_codepage(settings_.codepage);
  summary_.codepage = settings_.codepage;
  source_form_ = tables.form;
  folders_.clear();
  folder_by_node_.clear();
  recovered_tree_.clear();
  path_.clear();
  if (!connect()) return;

  root_tree_item_ = reporter_->tree_reset();
  last_parent_id_.reset();
  output_folder_.reset();
  reporter_->list_setup_columns();

  const std::size_t total = tables.objects.size();
  std::size_t visited = 0;
  if (progress_) progress_->set_range(0, kProgressEnd);
  summary_.outcome = ExportOutcome::kCompleted;
  const std::uint64_t dropped_before = reader_->repeats().dropped;
  try {
    walk_objects(tables, gate, current, visited, total);
  } catch (const automation::StoreFailure& e) {
    store_failed(e.what());
  }
  summary_.repeated_blocks_dropped = reader_->repeats().dropped - dropped_before;
  roles_.clear();
  identities_.clear();
  tables.clear();
}

void CPstExporter::walk_objects(RecoveryTables& tables, JobGate& gate, ObjectIndex current,
                                std::size_t& visited, std::size_t total) {
  // For the blocks of each message decoded, whether it is an item to write.
  std::map<std::pair<const BlockRef*, const BlockRef*>, bool> decoded_messages;
  while (current != kNoObject) {
    if (!gate.pass()) {
      summary_.outcome = ExportOutcome::kCancelled;
      break;
    }
    report_progress(++visited, total);
    const ObjectNode& node = tables.objects[current];
    if (node.data_block == nullptr && node.first_child != kNoObject &&
        !borrow_data_block(tables, current)) {
      // Nothing to decode here: go on with the children.
      current = node.first_child;
      continue;
    }
    // A message identical to a version decoded before holds nothing of its own: it is
    // counted as that one was, not read again (which would cost the whole item).
    const bool message = pst::node_type(node.node_id) == pst::kNodeNormalMessage;
    const auto blocks = std::pair(node.data_block, node.subnode_block);
    const auto known = role_of(current) == VersionRole::kIdentical ? decoded_messages.find(blocks)
                                                                   : decoded_messages.end();
    if (known != decoded_messages.end()) {
      if (known->second) ++summary_.identical_copies;
    } else if (const std::optional<ItemRecord> record = decode_item(*reader_, node)) {
      if (message && !record->folder) decoded_messages.emplace(blocks, is_message_item(*record));
      visit(tables, current, *record);
    } else if (message) {
      decoded_messages.emplace(blocks, false);
    }
    // Pre-order: children first, then the next sibling of the nearest ancestor that has one.
    if (tables.objects[current].first_child != kNoObject) {
      current = tables.objects[current].first_child;
      continue;
    }
    while (tables.objects[current].next_sibling == kNoObject &&
           tables.objects[current].parent != kNoObject) {
      current = tables.objects[current].parent;
    }
    current = tables.objects[current].next_sibling;
  }
}

bool CPstExporter::connect() {
  application_ = create_application(mail_client_);
  if (!application_) {
    fail(ExportOutcome::kNoMailClient, kNoMailClientText);
    return false;
  }
  namespace_ = application_->GetNamespace(automation::kNamespaceType);
  if (!namespace_) throw AutomationError("the mail client has no MAPI namespace");
  if (!OpenOutputStore()) return false;
  if (!CreateHelperObjects()) {
    fail(ExportOutcome::kNoHelperObjects, kNoHelperText);
    return false;
  }
  if (staged_ && staged_->adds_to_existing()) read_held_items();
  return true;
}

void CPstExporter::read_held_items() {
  held_ = HeldItems{};
  read_held_items(store_root_, 0);
}

void CPstExporter::read_held_items(const std::shared_ptr<automation::Folder>& folder, int depth) {
  // Deeper than any folder path an export makes; a store that nests further is not ours.
  constexpr int kMaxDepth = 64;
  if (!folder || depth > kMaxDepth) return;
  try_step([&] {
    const auto items = folder->get_Items();
    const std::int32_t count = items ? items->Count() : 0;
    for (std::int32_t i = 1; i <= count; ++i) {
      try_step([&] {
        const auto item = items->Item(i);
        if (!item) return;
        helper_mail_item_->put_BoundObject(nullptr);
        helper_mail_item_->put_BoundObject(item);
        if (const auto content = helper_mail_item_->get_Content()) held_.add(*content, text_);
      });
    }
  });
  helper_mail_item_->put_BoundObject(nullptr);
  std::shared_ptr<automation::Folders> subfolders;
  if (!try_step([&] { subfolders = folder->get_Folders(); }) || !subfolders) return;
  std::int32_t count = 0;
  try_step([&] { count = subfolders->Count(); });
  for (std::int32_t i = 1; i <= count; ++i) {
    std::shared_ptr<automation::Folder> child;
    try_step([&] { child = subfolders->Item(i); });
    read_held_items(child, depth + 1);
  }
}

bool CPstExporter::already_held(const ItemRecord& record) {
  if (held_.empty() || !held_.take(record, text_)) return false;
  ++summary_.items_already_held;
  return true;
}

void CPstExporter::connect_for_test(Reporter& reporter, JobHost& host) {
  reporter_ = &reporter;
  host_ = &host;
  asker_ = std::make_unique<HostAsker>(host);
  if (connect()) root_tree_item_ = reporter_->tree_reset();
}

void CPstExporter::fail(ExportOutcome outcome, std::string_view text) {
  summary_.outcome = outcome;
  host_->show_message(text, kMessageCaption);
}

void CPstExporter::store_failed(std::string_view error) {
  if (summary_.outcome == ExportOutcome::kStoreFailed) return;  // the first error tells
  summary_.outcome = ExportOutcome::kStoreFailed;
  summary_.store_failure = std::string(error);
}

void CPstExporter::end_mail_client() {
  try {
    TerminateMailClient();
  } catch (const automation::StoreFailure& e) {
    // The last checkpoint, made as the client ends, failed.
    store_failed(e.what());
  }
}

void CPstExporter::count_what_the_store_holds() {
  // Each output folder is read back: of what this export added to it, what the file kept.
  int written = 0;
  int lost_and_found = 0;
  for (const auto& [key, output] : output_folders_) {
    for (const FilledFolder& part : output.parts) {
      std::int32_t now = part.held_before;
      try {
        now = part.folder->get_Items()->Count();
      } catch (const AutomationError&) {
        // A folder made after the last checkpoint is not in the file.
      }
      const int kept = std::clamp(now - part.held_before, 0, part.added);
      written += kept;
      if (output.lost_and_found) lost_and_found += kept;
    }
  }
  summary_.mail_items_written = std::min(summary_.mail_items_written, written);
  summary_.items_in_lost_and_found = std::min(summary_.items_in_lost_and_found, lost_and_found);
  // Items reach the file in the order they were saved, and a checkpoint takes every save
  // before it: what the file holds is the first of them, so the other counts are theirs.
  summary_.written_by_kind.clear();
  summary_.attachments_written = 0;
  summary_.recipients_written = 0;
  summary_.current_items_written = 0;
  summary_.earlier_versions_written = 0;
  summary_.unlisted_items_written = 0;
  const std::size_t kept = std::min(written_log_.size(),
                                    static_cast<std::size_t>(summary_.mail_items_written));
  for (std::size_t i = 0; i < kept; ++i) {
    const WrittenItem& item = written_log_[i];
    ++summary_.written_by_kind[item.kind];
    summary_.attachments_written += item.attachments;
    summary_.recipients_written += item.recipients;
    count_version(item.role);
  }
}

bool CPstExporter::borrow_data_block(RecoveryTables& tables, ObjectIndex current) {
  ObjectNode& node = tables.objects[current];
  // Another version of the same node next to this one may have kept its data block.
  for (ObjectIndex i = node.prev_sibling;
       i != kNoObject && tables.objects[i].node_id == node.node_id;
       i = tables.objects[i].prev_sibling) {
    if (tables.objects[i].data_block) {
      node.data_block = tables.objects[i].data_block;
      return true;
    }
  }
  for (ObjectIndex i = node.next_sibling;
       i != kNoObject && tables.objects[i].node_id == node.node_id;
       i = tables.objects[i].next_sibling) {
    if (tables.objects[i].data_block) {
      node.data_block = tables.objects[i].data_block;
      return true;
    }
  }
  return false;
}

void CPstExporter::visit(RecoveryTables& tables, ObjectIndex current, const ItemRecord& record) {
  // Every message node is an item to write, whatever its class, and one whose class was
  // damaged or lost is written as the mail it carries; other nodes with a class (associated
  // contents, for one) are counted only. A table's node decodes as its first row, which
  // repeats a message or folder held by a node of its own: it is neither.
  const std::uint8_t type = pst::node_type(tables.objects[current].node_id);
  if (type >= pst::kNodeContentsTableIndex && type <= pst::kNodeSearchTableIndex) return;
  const bool message_node = type == pst::kNodeNormalMessage;
  if (message_node && !record.folder && record.kind != ItemKind::kMail &&
      class_damaged(record.item_class) && carries_mail(record)) {
    visit_mail_item(tables, current, as_mail(record));
    return;
  }
  if (record.folder) {
    visit_folder(tables, current, record);
  } else if (record.kind == ItemKind::kMail || (message_node && record.kind != ItemKind::kNone)) {
    visit_mail_item(tables, current, record);
  } else if (record.kind != ItemKind::kNone) {
    ++summary_.not_exported[record.kind];
  }
}

void CPstExporter::visit_folder(const RecoveryTables& tables, ObjectIndex current,
                                const ItemRecord& record) {
  const ObjectNode& node = tables.objects[current];
  // The first version met makes the folder, as the version that stands for it says (see
  // folder_identities.h); later versions, and their items, go to the same place.
  if (find_folder(node.node_id)) return;
  const auto identity = identities_.find(node.node_id);
  const bool known = identity != identities_.end();
  const ItemRecord& folder = known ? identity->second.record : record;
  if (!folder.display_name) return;
  summary_.exported = true;
  const std::uint32_t parent_id = known                      ? identity->second.parent_id
                                  : node.parent != kNoObject ? tables.objects[node.parent].node_id
                                                             : 0;
  const std::string stored_name = folder_name(folder, text_);
  name_special_folder(node.node_id, stored_name);

  folders_.push_back(
      FolderListEntry{FolderNodeRecord{node.node_id, parent_id, stored_name, kNoTreeItem,
                                       static_cast<std::uint32_t>(folder.kind)},
                      stored_name});
  folder_by_node_.emplace(node.node_id, folders_.size() - 1);
  const FolderListEntry* parent = parent_id != 0 ? find_folder(parent_id) : nullptr;
  placement_ = parent ? FolderPlacement{parent->record.node_id, parent->record.tree_item,
                                        top_node_id_}
                      : FolderPlacement{0, root_tree_item_, top_node_id_};
  if (parent_id != 0 || node.first_child != kNoObject)
    reporter_->tree_add_folder(folders_.back().record, placement_);

  // Top-level folders stand for the file's own structure and are not made in the output;
  // nor are search folders, whose contents are found, not held.
  if (parent_id != 0 && pst::node_type(node.node_id) != pst::kNodeSearchFolder) {
    build_path(stored_name, node.node_id, parent_id);
    const std::shared_ptr<automation::Folder> made = walk_path(folder_type_code(folder.kind));
    if (made && folder.content) give_folder_properties(made, *folder.content);
  }
  path_.clear();
}

void CPstExporter::name_special_folder(std::uint32_t node_id, std::string_view name) {
  std::shared_ptr<automation::Folder> folder;
  if (node_id == top_node_id_)
    folder = store_root_;
  else if (node_id == finder_node_id_)
    folder = search_root_;
  else if (node_id == wastebasket_node_id_)
    folder = deleted_items_;
  if (!folder || name.empty()) return;
  const std::u16string wanted = utf8_to_utf16(name);
  // A name a sibling has already is not taken: the folder keeps the output's own name.
  try_step([&] {
    if (folder->get_Name() != wanted) folder->put_Name(wanted);
  });
}

void CPstExporter::give_folder_properties(const std::shared_ptr<automation::Folder>& folder,
                                          const MessageContent& content) {
  try_step([&] {
    helper_folder_->put_BoundObject(nullptr);
    helper_folder_->put_BoundObject(folder);
    helper_folder_->put_Properties(content.properties);
  });
  // The helper folder is bound to the folder whose items come next no longer.
  last_parent_id_.reset();
  output_folder_.reset();
  current_output_ = nullptr;
}

VersionRole CPstExporter::role_of(ObjectIndex object) const {
  return object < roles_.size() ? roles_[object] : VersionRole::kCurrent;
}

void CPstExporter::count_version(VersionRole role) {
  switch (role) {
    case VersionRole::kCurrent: ++summary_.current_items_written; break;
    case VersionRole::kEarlier: ++summary_.earlier_versions_written; break;
    case VersionRole::kUnlisted: ++summary_.unlisted_items_written; break;
    case VersionRole::kIdentical: break;
  }
}

void CPstExporter::visit_mail_item(const RecoveryTables& tables, ObjectIndex current,
                                   const ItemRecord& record) {
  const ObjectNode& node = tables.objects[current];
  const VersionRole role = role_of(current);
  if (role == VersionRole::kIdentical) {
    ++summary_.identical_copies;
    return;
  }
  if (role != VersionRole::kCurrent && settings_.current_only) {
    ++summary_.versions_left_out;
    return;
  }
  if (role == VersionRole::kCurrent || node.parent == kNoObject) recovered_listed_.reset();
  bool announce = true;
  if (node.parent == kNoObject) {
    // An orphan: a mail item is worth keeping only with a body, another item when it could
    // be read whole.
    const bool has_body = record.message && (record.message->body || record.message->html_body);
    if (record.kind == ItemKind::kMail ? !has_body : !record.content) return;
    reporter_->status_populating(std::nullopt);
    path_ = ExportPath{ExportPathPart{std::string(kLostAndFound)}};
    output_folder_is_lost_and_found_ = true;
    announce = false;
    // The next item of a folder looks its folder up again instead of reusing this one.
    last_parent_id_.reset();
  } else if (role != VersionRole::kCurrent) {
    // Beside the current version, in the same folder path below "Recovered Items".
    const std::uint32_t parent_id = tables.objects[node.parent].node_id;
    last_parent_id_.reset();
    if (const auto folder = folder_facts(parent_id))
      build_path(folder->stored_name, parent_id, folder->parent_id);
    path_.push_front(ExportPathPart{std::string(kRecoveredItems)});
    output_folder_is_lost_and_found_ = false;
    // The list goes on with the rows of the same folder of "Recovered Items".
    std::string key = path_key(path_);
    announce = recovered_listed_ != key;
    if (announce) {
      reporter_->status_populating(kRecoveredItems);
      reporter_->tree_show_folder(recovered_tree_item(path_));
    }
    recovered_listed_ = std::move(key);
  } else {
    const std::uint32_t parent_id = tables.objects[node.parent].node_id;
    if (last_parent_id_ && *last_parent_id_ == parent_id && output_folder_ && current_output_) {
      if (!continue_full_folder(folder_type_code(record.kind))) {
        last_parent_id_.reset();
        ++summary_.mail_items_skipped;
        return;
      }
      summary_.exported = true;
      if (already_held(record)) return;
      writing_role_ = role;
      if (ExportMailItem(output_folder_, record)) {
        ++current_output_->parts.back().added;
        count_version(role);
      }
      return;
    }
    last_parent_id_.reset();
    if (parent_id != 0) last_parent_id_ = parent_id;
    if (const auto folder = folder_facts(parent_id)) {
      const FolderListEntry* listed = find_folder(parent_id);
      reporter_->status_populating(listed ? std::string_view(listed->record.name)
                                          : std::string_view(folder->stored_name));
      if (listed) reporter_->tree_show_folder(listed->record.tree_item);
      build_path(folder->stored_name, parent_id, folder->parent_id);
      output_folder_is_lost_and_found_ = false;
    } else {
      reporter_->status_populating(std::nullopt);
      path_ = ExportPath{ExportPathPart{std::string(kLostAndFound)}};
      output_folder_is_lost_and_found_ = true;
    }
  }

  const bool opened = open_output_folder(folder_type_code(record.kind));
  if (announce) reporter_->list_clear_items();
  path_.clear();
  if (!opened) {
    // Skip the item; the next one tries its folder afresh.
    last_parent_id_.reset();
    ++summary_.mail_items_skipped;
    return;
  }
  summary_.exported = true;
  if (already_held(record)) return;
  writing_role_ = role;
  if (ExportMailItem(output_folder_, record)) {
    ++current_output_->parts.back().added;
    count_version(role);
  }
}

bool CPstExporter::open_output_folder(std::int32_t folder_type) {
  current_output_ = nullptr;
  output_folder_.reset();
  if (path_.empty()) return false;
  auto [it, added] = output_folders_.try_emplace(path_key(path_));
  OutputFolder& output = it->second;
  if (output.parts.empty()) {
    std::shared_ptr<automation::Folder> folder = OpenFolderPath(folder_type);
    if (!folder) {
      output_folders_.erase(it);
      return false;
    }
    std::int32_t held = 0;
    try_step([&] { held = folder->get_Items()->Count(); });
    output.path = path_;
    output.lost_and_found = output_folder_is_lost_and_found_;
    output.parts.push_back(FilledFolder{std::move(folder), held, 0});
  }
  current_output_ = &output;
  output_folder_ = output.parts.back().folder;
  const bool bound = try_step([&] {
    current_store_id_ = output_folder_->get_StoreID();
    helper_folder_->put_BoundObject(nullptr);
    helper_folder_->put_BoundObject(output_folder_);
  });
  return bound && continue_full_folder(folder_type);
}

bool CPstExporter::continue_full_folder(std::int32_t folder_type) {
  OutputFolder& output = *current_output_;
  const auto full = [&] {
    const FilledFolder& last = output.parts.back();
    return last.held_before + last.added >= settings_.max_items_per_folder;
  };
  if (!full()) return true;
  const ExportPath saved = std::exchange(path_, output.path);
  std::shared_ptr<automation::Folder> folder;
  while (full()) {
    // "Inbox" goes on in "Inbox (2)", which may hold items of an earlier run already.
    const std::string name = output.path.back().name;
    const std::string suffix = " (" + std::to_string(output.parts.size() + 1) + ")";
    path_.back().name = fit_folder_name(name, kFolderNameLimit - suffix.size()) + suffix;
    folder = walk_path(folder_type);
    if (!folder) break;
    std::int32_t held = 0;
    try_step([&] { held = folder->get_Items()->Count(); });
    output.parts.push_back(FilledFolder{folder, held, 0});
    std::string shown;
    for (const ExportPathPart& part : output.path)
      if (!skipped_in_paths(part))
        shown += (shown.empty() ? "" : "/") + part.name;
    auto continued = std::find_if(summary_.continued_folders.begin(),
                                  summary_.continued_folders.end(),
                                  [&](const ContinuedFolder& c) { return c.path == shown; });
    if (continued == summary_.continued_folders.end())
      continued = summary_.continued_folders.insert(continued, ContinuedFolder{shown, {}});
    continued->siblings.push_back(path_.back().name);
  }
  path_ = saved;
  if (!folder) return false;
  output_folder_ = std::move(folder);
  return try_step([&] {
    helper_folder_->put_BoundObject(nullptr);
    helper_folder_->put_BoundObject(output_folder_);
  });
}

const FolderListEntry* CPstExporter::find_folder(std::uint32_t node_id) const {
  const auto it = folder_by_node_.find(node_id);
  return it == folder_by_node_.end() ? nullptr : &folders_[it->second];
}

TreeItemId CPstExporter::recovered_tree_item(const ExportPath& path) {
  // The tree shows the folders below "Recovered Items" as the output store has them, so that
  // their rows open from the folder they were written to: structural parts are left out as
  // they are in the store.
  TreeItemId parent = root_tree_item_;
  std::string key;
  for (const ExportPathPart& part : path) {
    if (skipped_in_paths(part)) continue;
    key += path_key(ExportPath{part});
    auto [entry, added] = recovered_tree_.try_emplace(key);
    if (added) {
      entry->second = FolderNodeRecord{0, 0, part.name, kNoTreeItem, 0};
      reporter_->tree_add_folder(entry->second, FolderPlacement{0, parent, top_node_id_});
    }
    parent = entry->second.tree_item;
  }
  return parent;
}

bool CPstExporter::structural(std::uint32_t node_id) const {
  return std::binary_search(structural_nodes_.begin(), structural_nodes_.end(), node_id);
}

std::optional<CPstExporter::FolderFacts> CPstExporter::folder_facts(
    std::uint32_t node_id) const {
  if (const auto it = identities_.find(node_id); it != identities_.end()) {
    const ItemRecord& record = it->second.record;
    if (record.display_name) return FolderFacts{folder_name(record, text_), it->second.parent_id};
  } else if (const FolderListEntry* folder = find_folder(node_id)) {
    return FolderFacts{folder->stored_name, folder->record.parent_node_id};
  }
  // The root folder has no name as a rule, and may be lost: it heads a path all the same.
  if (node_id == pst::kNidRootFolder) return FolderFacts{"", 0};
  return std::nullopt;
}

void CPstExporter::build_path(std::string_view own_name, std::uint32_t own_node_id,
                              std::uint32_t parent_node_id) {
  path_.push_front(ExportPathPart{std::string(own_name), structural(own_node_id)});
  // A damaged file may make folders each other's parents; no path is longer than the list.
  const std::size_t limit = identities_.size() + folders_.size();
  std::size_t steps = 0;
  for (std::uint32_t id = parent_node_id; id != 0 && steps < limit; ++steps) {
    const auto folder = folder_facts(id);
    if (!folder) break;
    path_.push_front(ExportPathPart{folder->stored_name, structural(id)});
    // A folder beside the top of the personal folders stays beside it.
    if (id == pst::kNidRootFolder) path_.front().outside_top = !skipped_in_paths(path_[1]);
    id = folder->parent_id;
  }
}

// ---------------------------------------------------------------------------------------
// The output store

bool CPstExporter::OpenOutputStore() {
  return write_output_store() && attach_output_store();
}

bool CPstExporter::write_output_store() {
  if (same_file(settings_.source_path, output_path_)) {
    fail(ExportOutcome::kOutputIsSource, kOutputIsSourceText);
    return false;
  }
  std::error_code ec;
  fs::create_directories(output_path_.parent_path(), ec);
  if (ec) {
    summary_.error =
        "cannot create the folder " + output_path_.parent_path().string() + ": " + ec.message();
    fail(ExportOutcome::kOutputNotWritten,
         std::string(kOutputNotWrittenText) + "\n" + summary_.error);
    return false;
  }
  staged_.emplace(output_path_, settings_.existing_output, *asker_, settings_.output_lock);
  // The recovered store has the source's form: a 64-bit source's texts are Unicode.
  const StageOutcome staged = staged_->prepare(EmptyStoreImage(source_form_));
  staged_output_existed_ = staged_->output_existed();
  switch (staged) {
    case StageOutcome::kStaged:
      return true;
    case StageOutcome::kDeclined:
      fail(ExportOutcome::kOutputDeclined, kOutputKeptText);
      break;
    case StageOutcome::kLocked:
      summary_.error = staged_->error();
      fail(ExportOutcome::kOutputLocked, std::string(kOutputLockedText) + summary_.error + ".");
      break;
    case StageOutcome::kNotRegular:
      summary_.error = staged_->error();
      fail(ExportOutcome::kOutputNotRegular,
           std::string(kOutputNotRegularText) + summary_.error + ".");
      break;
    case StageOutcome::kFailed:
      summary_.error = staged_->error();
      fail(ExportOutcome::kOutputNotWritten,
           std::string(kOutputNotWrittenText) + "\n" + summary_.error);
      break;
  }
  staged_.reset();
  return false;
}

bool CPstExporter::attach_output_store() {
  // The mail client writes the staging file only: a file this export made (see
  // write_output_store), never the source nor the output's old file.
  const std::string wanted = store_path().string();
  try {
    namespace_->AddStore(pst::path_to_utf16(wanted));
  } catch (const AutomationError& e) {
    // The store may be attached already; the search below decides.
    summary_.error = e.what();
  }

  const std::shared_ptr<automation::Folders> stores = namespace_->get_Folders();
  store_outer_.reset();
  bool found = false;
  for (std::int32_t i = 1; stores && i <= stores->Count(); ++i) {
    try_step([&] {
      store_root_ = stores->Item(i);
      if (!store_root_) return;
      const std::optional<std::string> path = StoreEntryPath(store_root_->get_StoreID());
      if (path && *path == wanted) found = true;
    });
    if (found) {
      host_->set_output_store_index(i);
      break;
    }
  }
  if (!found) {
    fail(ExportOutcome::kStoreNotOpened,
         summary_.error.empty() ? std::string(kStoreNotOpenedText)
                                : std::string(kStoreNotOpenedText) + "\n" + summary_.error);
    return false;
  }
  summary_.error.clear();

  // The output's own deleted items and search root, under the names the empty store gives
  // them; an output that a repair added to before may have them under a source's names.
  deleted_items_.reset();
  search_root_.reset();
  const auto find_deleted_items = [&] {
    deleted_items_ = store_root_->get_Folders()->Item(kDeletedItems);
    deleted_items_store_id_ = deleted_items_->get_StoreID();
  };
  if (settings_.existing_output == ExistingOutput::kKeep)
    try_step(find_deleted_items);
  else
    find_deleted_items();
  try_step([&] {
    if (const auto root = store_root_->get_Parent())
      search_root_ = root->get_Folders()->Item(kSearchRoot);
  });
  return true;
}

bool CPstExporter::CreateHelperObjects() {
  static constexpr std::array<std::u16string_view, 8> kProgIds = {
      automation::kHelperFolderProgId,          automation::kHelperMailItemProgId,
      automation::kHelperAppointmentItemProgId, automation::kHelperContactItemProgId,
      automation::kHelperJournalItemProgId,     automation::kHelperTaskItemProgId,
      automation::kHelperDistListProgId,        automation::kHelperUtilsProgId};
  if (!mail_client_.factory) return false;
  try {
    for (std::size_t i = 0; i < kProgIds.size(); ++i) {
      std::shared_ptr<automation::HelperObject> object =
          mail_client_.factory->CreateHelper(kProgIds[i]);
      if (!object) return false;
      if (i == 0) {
        helper_folder_ = std::dynamic_pointer_cast<automation::HelperFolder>(object);
        if (!helper_folder_) return false;
      } else if (i == 1) {
        helper_mail_item_ = std::dynamic_pointer_cast<automation::HelperMailItem>(object);
        if (!helper_mail_item_) return false;
      } else {
        other_helpers_.push_back(std::move(object));
      }
    }
  } catch (const AutomationError&) {
    return false;
  }
  return true;
}

void CPstExporter::ReleaseHelperObjects() {
  helper_folder_.reset();
  helper_mail_item_.reset();
  other_helpers_.clear();
}

void CPstExporter::release_automation() {
  current_output_ = nullptr;
  output_folders_.clear();
  output_folder_.reset();
  ReleaseHelperObjects();
  deleted_items_.reset();
  store_outer_.reset();
  search_root_.reset();
  store_root_.reset();
  application_.reset();
  namespace_.reset();
}

void CPstExporter::TerminateMailClient() {
  if (mail_client_.close) mail_client_.close();
}

fs::path CPstExporter::store_path() const {
  return staged_ ? staged_->staging() : output_path_;
}

void CPstExporter::settle_output() {
  if (!staged_) return;
  const bool added = summary_.mail_items_written > 0 || summary_.folders_recreated > 0;
  // A file of its own is worth keeping once a folder or an item was handled; a copy of an
  // existing output only when something was added to it.
  const bool worth_keeping = staged_->adds_to_existing() ? added : summary_.exported;
  const fs::path staging = staged_->staging();
  if (summary_.outcome == ExportOutcome::kCompleted && !worth_keeping) {
    staged_->discard();
    if (staged_->adds_to_existing()) {
      // Nothing new: the output stays the file it was, complete as it is.
      summary_.output_file = output_path_.string();
      summary_.output_kept = true;
    }
  } else if (summary_.outcome == ExportOutcome::kCompleted) {
    if (staged_->publish() == PublishOutcome::kPublished) {
      summary_.output_file = output_path_.string();
      summary_.output_kept = true;
      // The profile's store follows its file, so a later listing finds it by position.
      if (mail_client_.renamed) {
        try {
          mail_client_.renamed(staging, output_path_);
        } catch (const std::exception&) {
          // A store still open keeps its name; the file is complete all the same.
        }
      }
    } else {
      summary_.outcome = ExportOutcome::kNotPublished;
      summary_.error = staged_->error();
      summary_.incomplete_file = staging.string();
    }
  } else if (worth_keeping) {
    staged_->keep_incomplete();
    summary_.incomplete_file = staging.string();
  } else {
    staged_->discard();
  }
  staged_.reset();  // lets go of the output name
}

void CPstExporter::report_progress(std::size_t visited, std::size_t total) {
  if (!progress_ || total == 0) return;
  progress_->set_position(static_cast<int>(visited * kProgressEnd / total));
}

// ---------------------------------------------------------------------------------------
// Folders

void CPstExporter::EnsureFolderPath(std::int32_t folder_type) {
  walk_path(folder_type);
}

std::shared_ptr<automation::Folder> CPstExporter::OpenFolderPath(std::int32_t folder_type) {
  return walk_path(folder_type);
}

std::shared_ptr<automation::Folder> CPstExporter::walk_path(std::int32_t folder_type) {
  if (path_.empty()) return nullptr;
  std::shared_ptr<automation::Folder> current = store_root_;
  if (path_.front().outside_top) {
    // The top's parent; a client that cannot tell keeps such folders below the top.
    if (!store_outer_) try_step([&] { store_outer_ = store_root_->get_Parent(); });
    if (store_outer_) current = store_outer_;
  }
  for (const ExportPathPart& part : path_) {
    if (!current) break;
    if (skipped_in_paths(part)) continue;
    std::shared_ptr<automation::Folders> subfolders;
    if (!try_step([&] { subfolders = current->get_Folders(); }) || !subfolders) break;
    const std::u16string name = utf8_to_utf16(part.name);
    std::shared_ptr<automation::Folder> next;
    // A missing folder is the normal case: Item fails and the folder is made.
    try_step([&] { next = subfolders->Item(name); });
    if (!next) {
      if (!try_step([&] { next = subfolders->Add(name, folder_type); }) || !next) break;
      ++summary_.folders_recreated;
    }
    current = std::move(next);
  }
  return current;
}

// ---------------------------------------------------------------------------------------
// Mail items

bool CPstExporter::ExportMailItem(std::shared_ptr<automation::Folder> folder,
                                  const ItemRecord& record) {
  // Stage 1: the helper creates and saves the item in the bound folder: with everything it
  // holds when that could be read, else as a bare note.
  const bool whole = record.content != nullptr;
  std::u16string entry_id;
  try {
    const auto messages = helper_folder_->get_Messages();
    if (whole) {
      const std::u16string item_class =
          record.item_class ? text_.utf16(*record.item_class) : std::u16string(kNoteClass);
      const auto message = messages->Add(item_class.empty() ? kNoteClass : item_class);
      message->put_Content(record.content);
      message->Save();
      entry_id = message->get_EntryID();
    } else {
      const auto message = messages->Add(kNoteClass);
      message->put_MessageClass(kNoteClass);
      message->put_Property(automation::tag::kMessageFlags,
                            PropertyValue{message_flags_value(record)});
      message->Save();
      entry_id = message->get_EntryID();
    }
  } catch (const automation::StoreFailure&) {
    throw;
  } catch (const AutomationError&) {
    ++summary_.mail_items_skipped;
    return false;
  }

  // Stage 2: the mail client opens it; the helper mail item is bound to it.
  std::shared_ptr<automation::MailItem> item;
  try {
    item = namespace_->GetItemFromID(entry_id, current_store_id_);
    if (!item) throw AutomationError("no item for the entry id");
    helper_mail_item_->put_BoundObject(nullptr);
    helper_mail_item_->put_BoundObject(item);
  } catch (const automation::StoreFailure&) {
    throw;
  } catch (const AutomationError&) {
    ++summary_.mail_items_skipped;
    return false;
  }

  // Stage 3: the properties, each on its own. An item written whole has them already, as
  // the source holds them; it gets only what the rules derive for a value it lacks.
  static const MessageProps kNoProps;
  const MessageProps& m = record.message ? *record.message : kNoProps;
  std::string sender_row, receiver_row, subject_row, date_row;
  const auto lacks = [&](std::uint32_t tag) {
    if (!whole) return true;
    const auto id = static_cast<std::uint16_t>(tag >> 16);
    return std::none_of(record.content->properties.begin(), record.content->properties.end(),
                        [&](const ContentProperty& p) { return p.id() == id; });
  };

  if (const auto receiver = choose_receiver(m)) {
    receiver_row = text_.utf8(*receiver);
    if (!whole) try_step([&] { item->put_To(utf8_to_utf16(receiver_row)); });
  }
  if (m.subject) {
    subject_row = text_.utf8(m.subject->text);
    if (!whole) try_step([&] { item->put_Subject(utf8_to_utf16(subject_row)); });
  }
  if (!whole && m.importance != 0) {
    try_step([&] { item->put_Importance(static_cast<std::int32_t>(m.importance)); });
  }
  if (!whole && m.flag_status != 0) {
    try_step([&] { item->put_FlagStatus(static_cast<std::int32_t>(m.flag_status)); });
  }
  if (!whole && static_cast<std::int32_t>(m.icon_index) > 0) {
    try_step([&] {
      helper_mail_item_->put_Property(automation::tag::kIconIndex,
                                      PropertyValue{static_cast<std::int32_t>(m.icon_index)});
    });
  }
  const MailTimes times = item_times(m);
  sent_time_ = times.sent;
  received_time_ = times.received;
  if (times.date_text) date_row = *times.date_text;
  if (!whole && m.body) try_step([&] { item->put_Body(text_.utf16(*m.body)); });

  const SenderChoice sender = choose_sender(m);
  if (sender.row_text) sender_row = text_.utf8(*sender.row_text);
  const std::u16string address_type = text_.utf16(choose_address_type(m));
  const std::u16string display_sender =
      sender.display_sender ? text_.utf16(*sender.display_sender) : std::u16string();
  namespace tag = automation::tag;
  std::vector<std::pair<std::uint32_t, PropertyValue>> properties;
  // Derived from other values of the source; an address type is made up of none only when
  // the source names one.
  const bool address_type_known =
      m.sent_representing_address_type.has_value() || m.sender_address_type.has_value();
  if (lacks(tag::kSenderAddrType) && (!whole || address_type_known))
    properties.emplace_back(tag::kSenderAddrType, address_type);
  if (lacks(tag::kSenderName) && (!whole || sender.display_sender))
    properties.emplace_back(tag::kSenderName, display_sender);
  // A time the source lacks stays absent: no date of 1970 is made up for it.
  if (!whole && sent_time_ != 0)
    properties.emplace_back(tag::kClientSubmitTime,
                            automation::OleDate{ole_date_from_time(sent_time_)});
  if (!whole && received_time_ != 0)
    properties.emplace_back(tag::kMessageDeliveryTime,
                            automation::OleDate{ole_date_from_time(received_time_)});
  if (!whole) {
    properties.emplace_back(tag::kSentRepresentingAddrType, address_type);
    properties.emplace_back(tag::kSentRepresentingName, display_sender);
  }
  // Not a structured binding: clang before 16 cannot capture one in a lambda.
  for (const auto& property : properties) {
    try_step([&] { helper_mail_item_->put_Property(property.first, property.second); });
  }

  // Stage 4: save, list, save again and move into the output folder. An item whose save
  // failed is not in the store with what it holds, so it is not counted as written.
  if (!try_step([&] { item->Close(automation::kSaveModeSave); })) {
    ++summary_.mail_items_skipped;
    return false;
  }
  reporter_->list_add_fields(ListRowFields{sender_row, receiver_row, subject_row, date_row});
  ++summary_.mail_items_written;
  ++summary_.written_by_kind[record.kind];
  WrittenItem& logged = written_log_.emplace_back(WrittenItem{record.kind, writing_role_, 0, 0});
  if (whole) {
    logged.attachments = static_cast<int>(record.content->attachments.size());
    logged.recipients = static_cast<int>(record.content->recipients.size());
    summary_.attachments_written += logged.attachments;
    summary_.recipients_written += logged.recipients;
  }
  if (output_folder_is_lost_and_found_) ++summary_.items_in_lost_and_found;
  try_step([&] { item->Close(automation::kSaveModeSave); });
  if (folder) try_step([&] { item->Move(*folder); });
  return true;
}

}  // namespace pstorian
