// CPstExporter: the second half of a repair. Given the tables of a finished scan, it has the
// empty output store written and attached to the mail client, then walks the recovered object
// tree in pre-order and, object by object, recreates the named folders by path under the
// output store's root (with their container class and their own properties; search folders
// are not made) and writes every item into its folder: mail, posts, reports, appointments,
// contacts, lists, tasks, journal entries, notes, whatever the class of a message node; a
// message node whose class was damaged ("IPM.Notu") or lost but which carries mail (a
// subject, a body, a sender, ...) is written as mail. Items whose folder was never met go to "Lost&Found" at the top of the store.
//
// A node may have come back in several versions (see current_versions.h). Its current
// version is written into its folder; earlier versions that differ from it, and messages the
// file's own tree no longer holds, go to "Recovered Items" at the top of the store, below
// the path of the folder they were found in, unless ExportSettings::current_only leaves
// them out. A version identical to one written already is not written again.
//
// An item is written whole when its content could be read: every property as the source
// holds it, its recipients and its attachments. The values a mail item's rules derive (the
// sender's name with the address in brackets, the address type) are written only where the
// source lacks them, and nothing is invented for a value the source does not have.
//
// Reporting goes through Reporter (tree, list, status) and JobHost (messages, the overwrite
// question, the main window's flags). The gate is passed at every object: a cancelled export
// stops walking and unwinds like a finished one, so the automation objects are released and
// the mail client is ended, which closes the output store in a valid state. The same happens
// when something throws mid-export; the error then goes on to the caller.
//
// The output store is written under a name of its own and takes the output's name only
// when the walk ran to its end (see store/staged_output.h): the output name is locked for
// the export (a second export into it is refused), a name that is no regular file is
// refused, an existing output is replaced, added to (through a copy) or asked about as
// ExportSettings says, and No to the question cancels the export and leaves the file as it
// was. An export that is stopped or fails after writing leaves the output as it was and what
// it wrote under the staging name "<name> (incomplete).pst", which the summary names; one
// that wrote nothing removes its staging file. Before anything is written the output's path
// is compared with the source's by device and inode (links followed): such an export stops
// at once. A missing output folder is made. Failures name their cause (the system's or the
// mail client's reason).
//
// Adding to an existing output (ExistingOutput::kKeep) never writes an item twice: the items
// the output holds are read first, and an item whose content matches one of them (one each:
// two equal items of the source match two held ones) is counted as already held instead of
// written, so that a repair run again adds nothing and completes one that was cut short.
//
// The source is read again while the export runs; when it changed meanwhile (its size or
// time of change differs from what the scan saw, or a read came back short), the export
// ends as kSourceChanged and its output is kept only as incomplete.
//
// Automation failures are caught step by step where a step may fail on its own (an item that
// cannot be written, a folder that cannot be made); nothing stops the walk but the gate and
// a store that cannot be written any more (automation::StoreFailure: a checkpoint failed, so
// the output file is back at its last completed checkpoint). That ends the export with
// kStoreFailed: the user is told the writer's error and the output path, and the items
// counted as written are those the output file holds, read back from it.
//
// A folder of the output store lists at most max_items_per_folder items (the 32-bit form
// numbers table rows in 2 bytes); a folder that is full goes on in a sibling "<name> (2)",
// "<name> (3)", ..., and the summary names each folder so continued.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/byte_source.h"
#include "engine/current_versions.h"
#include "engine/folder_identities.h"
#include "engine/item_record.h"
#include "engine/node_reader.h"
#include "engine/object_tables.h"
#include "engine/progress.h"
#include "format/file_form.h"
#include "format/layout.h"
#include "export/export_rules.h"
#include "export/held_items.h"
#include "export/mail_client.h"
#include "export/wide_text.h"
#include "job/progress_thread.h"
#include "job/reporter.h"
#include "mailclient/automation/automation.h"
#include "mailclient/automation/helper_component.h"
#include "store/staged_output.h"
#include "store/store_file_writer.h"

namespace pstorian {

// The folder of the versions that are not current, at the top of the output store.
inline constexpr std::string_view kRecoveredItems = "Recovered Items";

inline constexpr std::string_view kCompletionText = "Processing of selected PST file is complete";
inline constexpr std::string_view kCompletionCaption = "Processing Complete";
inline constexpr std::string_view kNoMailClientText = "outlook is not properly installed.";
inline constexpr std::string_view kStoreNotOpenedText =
    "The recovered PST file could not be attached to the mail client or found among its "
    "stores. Nothing was recovered.";
inline constexpr std::string_view kNoHelperText =
    "The mail client's helper component could not be created. Nothing was recovered.";
inline constexpr std::string_view kSourceNotOpenedText =
    "The selected PST file could not be opened again for reading. Nothing was recovered.";
inline constexpr std::string_view kOutputIsSourceText =
    "The recovered PST file would be the selected PST file itself (the output name is a link "
    "to it). The selected file is only ever read: choose another output folder. Nothing was "
    "recovered.";
inline constexpr std::string_view kOutputKeptText =
    "The existing PST file was not replaced, so the repair was cancelled. Nothing was changed.";
inline constexpr std::string_view kOutputNotWrittenText =
    "The recovered PST file could not be written. Nothing was recovered.";
// Followed by the lock's words: who holds the output name.
inline constexpr std::string_view kOutputLockedText =
    "The recovered PST file is being written by another repair. Nothing was recovered: ";
// Followed by what the name is ("... is a FIFO, not a regular file").
inline constexpr std::string_view kOutputNotRegularText =
    "The recovered PST file cannot be written. Nothing was recovered: ";
// A walk that found no folder and no item to write: no output file is left.
inline constexpr std::string_view kNothingRecoveredText =
    "No folder or item could be recovered from the selected PST file. Nothing was written.";
// Followed by where what was written is kept, and what became of the output.
inline constexpr std::string_view kStoppedText = "The repair was stopped.";
inline constexpr std::string_view kSourceChangedText =
    "The selected PST file changed while it was being repaired, so the recovered file may "
    "miss or mix up items.";
inline constexpr std::string_view kNotPublishedText =
    "The repair ended, but the recovered PST file could not be given its name: ";
// Followed by the writer's error (which names the file) and what the file holds.
inline constexpr std::string_view kStoreFailedText =
    "The recovered PST file could not be written: ";

enum class ExportOutcome {
  kCompleted,         // the walk ran to its end
  kNoObjects,         // the tables hold no object: nothing was started
  kSourceNotOpened,   // the source file could not be opened for the node reads
  kNoMailClient,      // the mail client could not be created
  kOutputIsSource,    // the output path leads to the source file: nothing was touched
  kOutputDeclined,    // the user would not replace an existing output: nothing was touched
  kOutputNotWritten,  // the empty store could not be written (summary's error says why)
  kStoreNotOpened,    // the output store could not be attached or found
  kNoHelperObjects,   // the helper component's objects could not be created
  kOutputLocked,      // another export holds the output name: nothing was touched
  kOutputNotRegular,  // the output name is no regular file: nothing was touched
  kCancelled,         // the gate stopped the walk
  kStoreFailed,       // the output store could not be written any more (see store_failure)
  kSourceChanged,     // the source file changed while the export read it
  kNotPublished,      // the walk ended, but the output could not take its name (see error)
  kFailed,            // something threw mid-export (rethrown to the caller)
};

// The four ways a repair ends, as every face of the program tells them.
enum class ExportResult {
  kComplete,          // the output is complete, under its name
  kNothingRecovered,  // nothing was found to write (the reason is in the summary)
  kStopped,           // stopped by the user (or a signal), or declined: the output as it was
  kFailed,            // an error ended it; what was written is kept as incomplete, if any
};

// A folder that was full and went on in siblings.
struct ContinuedFolder {
  std::string path;                   // UTF-8, names joined by "/"
  std::vector<std::string> siblings;  // the siblings' names, in order
};

struct ExportSummary {
  ExportOutcome outcome = ExportOutcome::kNoObjects;
  bool exported = false;       // a named folder or a mail item was handled
  bool output_kept = false;    // the complete output file is there for the user
  // The complete output, when the export ended well; empty otherwise.
  std::string output_file;
  // Where what an export that did not end well wrote is kept ("<name> (incomplete).pst");
  // empty when it wrote nothing or ended well.
  std::string incomplete_file;
  // Adding to an existing output: items found in it already, and so not written again.
  int items_already_held = 0;
  int folders_recreated = 0;   // folders the export created in the output store
  int mail_items_written = 0;  // items created and listed, of every kind
  std::map<ItemKind, int> written_by_kind;
  int attachments_written = 0;  // at the top level of the items written
  int recipients_written = 0;
  int items_in_lost_and_found = 0;
  // The written items by version: the current ones, and in "Recovered Items" the earlier
  // versions and the messages the file no longer holds.
  int current_items_written = 0;
  int earlier_versions_written = 0;
  int unlisted_items_written = 0;
  int identical_copies = 0;     // versions not written again: the same as one written
  // Items found in blocks no node named (their node B-tree entries lost), and of them the
  // ones a folder's contents table placed.
  int orphans_found = 0;
  int orphans_placed = 0;
  int versions_left_out = 0;    // earlier and unlisted versions, with current_only
  // Uses of a block already used, left out of the items as damage: names a data tree
  // repeats, and blocks read again beyond what the file's size allows (node_reader.h).
  std::uint64_t repeated_blocks_dropped = 0;
  int mail_items_skipped = 0;            // items that could not be created or saved
  std::map<ItemKind, int> not_exported;  // decoded items that are no message, by kind
  std::vector<ContinuedFolder> continued_folders;
  std::string codepage;  // the one the source's texts were read and written in
  std::string store_failure;  // the writer's error, with kStoreFailed
  // Why the output store could not be written or attached, when the system or the mail
  // client said (kOutputNotWritten, kStoreNotOpened).
  std::string error;
};

ExportResult result_of(const ExportSummary& summary);
// "complete", "nothing recovered", "stopped", "failed".
std::string_view result_name(ExportResult result);

struct ExportSettings {
  std::filesystem::path source_path;
  std::filesystem::path output_path;
  // The code page of the source's 8-bit texts (an iconv name); empty: the one the file
  // names (its messages' code pages, else its locale), else the default.
  std::string codepage;
  std::int32_t max_items_per_folder = static_cast<std::int32_t>(pst::kMaxTableRows);
  // Ask before replacing an existing output file (the desktop), replace it, or add to it;
  // only kKeep ever adds to a file that this export did not write.
  ExistingOutput existing_output = ExistingOutput::kAsk;
  // Write the current version of each item only: no "Recovered Items".
  bool current_only = false;
  // The lock of the output name, when the caller took it already (to refuse a second
  // repair into the same name before its scan); else the export takes it.
  std::shared_ptr<OutputLock> output_lock = nullptr;
  // The source as the scan saw it (size and time of last change, in nanoseconds); zero:
  // what the export's own opening of the file sees.
  std::uint64_t source_size = 0;
  std::int64_t source_changed_ns = 0;
};

// One named folder met by the walk: what the tree was told, and its name as stored.
struct FolderListEntry {
  FolderNodeRecord record;
  std::string stored_name;  // UTF-8, at most kFolderNameLimit characters
};

class CPstExporter final : public ExportJob {
 public:
  // The code page of `settings` must be known to iconv (see CodepageConverter::open);
  // an unknown one falls back to the default. The mail client is told the code page used.
  CPstExporter(ExportSettings settings, MailClient mail_client);
  CPstExporter(const CPstExporter&) = delete;
  CPstExporter& operator=(const CPstExporter&) = delete;
  ~CPstExporter() override;

  // Progress over the objects of the walk (range 0 to 500); optional, must outlive run().
  void set_progress(ProgressSink& progress) { progress_ = &progress; }

  // ExportJob: the whole export (Export).
  void run(RecoveryTables& tables, Reporter& reporter, JobHost& host, JobGate& gate) override;

  const ExportSummary& summary() const { return summary_; }
  // The output path as given to the mail client: absolute and lexically normal.
  const std::filesystem::path& output_path() const { return output_path_; }

  // The steps of the export; public so that tests can drive them one by one once the
  // exporter is connected (connect_for_test). OpenOutputStore reports its own failures (the
  // outcome and the user's message).
  bool OpenOutputStore();
  bool CreateHelperObjects();
  void ReleaseHelperObjects();
  void EnsureFolderPath(std::int32_t folder_type);
  std::shared_ptr<automation::Folder> OpenFolderPath(std::int32_t folder_type);
  // True when the item was written and saved.
  bool ExportMailItem(std::shared_ptr<automation::Folder> folder, const ItemRecord& record);
  // Ends the mail client: every attached store is flushed and its file released.
  void TerminateMailClient();

  ExportPath& path() { return path_; }
  // Sets up the exporter as the walk does before its first object, for tests.
  void connect_for_test(Reporter& reporter, JobHost& host);
  void set_current_store_id(std::u16string store_id) { current_store_id_ = std::move(store_id); }

 private:
  void export_all(RecoveryTables& tables, JobGate& gate);
  void walk(RecoveryTables& tables, JobGate& gate);
  void walk_objects(RecoveryTables& tables, JobGate& gate, ObjectIndex current,
                    std::size_t& visited, std::size_t total);
  bool connect();
  void visit(RecoveryTables& tables, ObjectIndex current, const ItemRecord& record);
  void visit_folder(const RecoveryTables& tables, ObjectIndex current, const ItemRecord& record);
  void visit_mail_item(const RecoveryTables& tables, ObjectIndex current, const ItemRecord& record);
  VersionRole role_of(ObjectIndex object) const;
  void count_version(VersionRole role);
  bool borrow_data_block(RecoveryTables& tables, ObjectIndex current);
  const FolderListEntry* find_folder(std::uint32_t node_id) const;
  // The name (as stored) and parent folder of a folder, from the version that stands for it;
  // std::nullopt when none was read.
  struct FolderFacts {
    std::string stored_name;
    std::uint32_t parent_id = 0;
  };
  std::optional<FolderFacts> folder_facts(std::uint32_t node_id) const;
  void build_path(std::string_view own_name, std::uint32_t own_node_id,
                  std::uint32_t parent_node_id);
  bool structural(std::uint32_t node_id) const;
  // The tree item of an output folder below "Recovered Items", added to the tree when new.
  TreeItemId recovered_tree_item(const ExportPath& path);
  std::shared_ptr<automation::Folder> walk_path(std::int32_t folder_type);
  void release_automation();
  void fail(ExportOutcome outcome, std::string_view text);
  void end_mail_client();
  void store_failed(std::string_view error);
  void count_what_the_store_holds();
  bool open_output_folder(std::int32_t folder_type);
  void give_folder_properties(const std::shared_ptr<automation::Folder>& folder,
                              const MessageContent& content);
  // The output's own folder for a special folder of the source (the top of the personal
  // folders, the search root, the deleted items) takes the source's name.
  void name_special_folder(std::uint32_t node_id, std::string_view name);
  bool continue_full_folder(std::int32_t folder_type);
  bool write_output_store();
  bool attach_output_store();
  // The file the mail client writes: the staging file while there is one.
  std::filesystem::path store_path() const;
  // Publishes, keeps as incomplete or removes the staging file as the outcome says.
  void settle_output();
  bool source_changed() const;
  // " What was written until then (N items) is kept in "...". "..." was left as it was."
  std::string kept_text() const;
  void read_held_items();
  void read_held_items(const std::shared_ptr<automation::Folder>& folder, int depth);
  // True when adding to an existing output and it holds this item already.
  bool already_held(const ItemRecord& record);
  void report_progress(std::size_t visited, std::size_t total);

  ExportSettings settings_;
  std::filesystem::path output_path_;
  MailClient mail_client_;
  FileText text_;
  Reporter* reporter_ = nullptr;
  JobHost* host_ = nullptr;
  ProgressSink* progress_ = nullptr;
  std::optional<SourceFile> source_;
  std::optional<NodeReader> reader_;
  ExportSummary summary_;
  std::vector<VersionRole> roles_;  // by object; empty: every object is current
  std::unique_ptr<QuestionAsker> asker_;  // the overwrite question, put through the host
  std::optional<StagedOutput> staged_;    // the output's staging file, from its making on
  bool staged_output_existed_ = false;    // a file stood at the output name at the start
  // The items the output held before, when adding to it.
  HeldItems held_;
  // What each item written counted, in the order saved: the file keeps a first part of them
  // when a checkpoint fails.
  struct WrittenItem {
    ItemKind kind = ItemKind::kNone;
    VersionRole role = VersionRole::kCurrent;
    int attachments = 0;
    int recipients = 0;
  };
  std::vector<WrittenItem> written_log_;
  VersionRole writing_role_ = VersionRole::kCurrent;  // of the item being written

  // Automation objects ("dispatch holders").
  std::shared_ptr<automation::Application> application_;
  std::shared_ptr<automation::Namespace> namespace_;
  std::shared_ptr<automation::Folder> store_root_;
  std::shared_ptr<automation::Folder> deleted_items_;
  std::u16string deleted_items_store_id_;
  std::shared_ptr<automation::HelperFolder> helper_folder_;
  std::shared_ptr<automation::HelperMailItem> helper_mail_item_;
  std::vector<std::shared_ptr<automation::HelperObject>> other_helpers_;

  TreeItemId root_tree_item_ = kNoTreeItem;
  FolderPlacement placement_;
  std::vector<FolderListEntry> folders_;
  std::multimap<std::uint32_t, std::size_t> folder_by_node_;  // first met comes first
  // What each folder is, by node id: every version of it is placed as this one says.
  std::unordered_map<std::uint32_t, FolderIdentity> identities_;
  // The output store's root folder, above store_root_; looked up when first needed.
  std::shared_ptr<automation::Folder> store_outer_;
  std::vector<std::uint32_t> structural_nodes_;  // sorted
  std::uint32_t top_node_id_ = kTopOfPersonalFoldersNid;
  // The source's search root and deleted items, whose output folders take their names.
  std::optional<std::uint32_t> finder_node_id_;
  std::optional<std::uint32_t> wastebasket_node_id_;
  std::shared_ptr<automation::Folder> search_root_;
  pst::FileForm source_form_ = pst::FileForm::kAnsi;
  // The tree's folders below "Recovered Items", by path key from the top.
  std::map<std::string, FolderNodeRecord> recovered_tree_;
  ExportPath path_;
  // The parent whose items went to the current output folder last; none when the folder
  // must be looked up again for the next item.
  std::optional<std::uint32_t> last_parent_id_;
  std::shared_ptr<automation::Folder> output_folder_;
  bool output_folder_is_lost_and_found_ = false;
  // The folder of "Recovered Items" whose rows the list shows, by path key; none while
  // the list shows another folder.
  std::optional<std::string> recovered_listed_;

  // The output folders items went to, by path: for each, the folder and its siblings in
  // use, with what each held before and what this export added.
  struct FilledFolder {
    std::shared_ptr<automation::Folder> folder;
    std::int32_t held_before = 0;
    std::int32_t added = 0;
  };
  struct OutputFolder {
    ExportPath path;
    bool lost_and_found = false;
    std::vector<FilledFolder> parts;  // the folder itself, then "<name> (2)", ...
  };
  std::map<std::string, OutputFolder> output_folders_;
  OutputFolder* current_output_ = nullptr;
  std::u16string current_store_id_;
  std::int64_t sent_time_ = 0;
  std::int64_t received_time_ = 0;
};

}  // namespace pstorian
