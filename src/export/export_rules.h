// The rules of the export that need no mail client: which folder names are left out of
// folder paths, which folder type a recovered folder gets, and how a mail item's flags,
// receiver, sender, address type and times are chosen from its recovered properties.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "engine/item_record.h"
#include "export/time_conversion.h"

namespace pstorian {

// Folder names are kept to this many characters (the name fields of the folder records once
// held 250 bytes with the terminating zero); longer names are cut.
inline constexpr std::size_t kFolderNameLimit = 249;

// The folder of mail items whose folder cannot be placed, at the top of the output store.
inline constexpr std::string_view kLostAndFound = "Lost&Found";

// One name of a folder path being resolved in the output store (UTF-8: the source's text,
// whole whichever code page or string type the source kept it in).
struct ExportPathPart {
  std::string name;
  // The folder stands for the file's structure (found by its node id, whatever its name).
  bool structural = false;
  // The source's root folder, first in a path that does not pass through the top of the
  // personal folders: the path is made below the output store's root folder, not its top.
  bool outside_top = false;
  friend bool operator==(const ExportPathPart&, const ExportPathPart&) = default;
};

// A folder path, root-most name first. Parts are pushed at the front: a folder's own name
// first, then its ancestors' names one by one.
using ExportPath = std::deque<ExportPathPart>;

// A UTF-8 name cut at its first zero byte and to `limit` characters.
std::string fit_folder_name(std::string_view name, std::size_t limit = kFolderNameLimit);

// The structural folders of a personal folder file ("Top of Personal Folders", "IPM_SUBTREE",
// "Search Root", ...), compared byte for byte: their names are skipped in every path, so the
// user's folders land directly under the output store's root.
bool is_special_folder_name(std::string_view name);

// A part of a path that no output folder stands for: a structural folder, known by its
// role or, when the file does not say, by its name.
bool skipped_in_paths(const ExportPathPart& part);

// The folder type passed when a folder of items of `kind` is created: calendar, contacts,
// journal, notes or tasks for those kinds, mail for every other.
std::int32_t folder_type_code(ItemKind kind);

// The message flags written for a new message: the recovered flags, 1 (read) when they
// exceed 7 or when the record holds no message properties.
std::int32_t message_flags_value(const ItemRecord& record);

// The receiver: the first present of the display-to text, the received-representing address
// and the received-by address.
std::optional<std::string> choose_receiver(const MessageProps& message);

struct SenderChoice {
  std::optional<std::string> row_text;        // shown in the item list
  std::optional<std::string> display_sender;  // written as the sender's name
};

// The sent-representing name counts when longer than 3 bytes, its address when longer than
// 5. The list shows the name, else the address. The sender's name is written as the name
// followed by the address in square brackets, the bracketed address alone or the name alone,
// when the two lengths add up to more than 2.
SenderChoice choose_sender(const MessageProps& message);

// The sent-representing address type when present and shorter than 200 bytes (then "SMTP"
// replaces one of 2 bytes or less); otherwise the sender address type when it is 3 to 199
// bytes long; otherwise "SMTP".
std::string choose_address_type(const MessageProps& message);

// The sent and received times and the date cell of a mail item (see mail_times). A stored
// time shorter than eight bytes counts as present but unusable.
MailTimes item_times(const MessageProps& message);

}  // namespace pstorian
