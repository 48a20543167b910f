// ItemRecord: one node of the source file decoded into the fields that the export needs to
// re-create a folder or an item, sorted into parts by what they describe. The value forms
// are those of item_kind_records.h; sizes of byte values are their buffers' own sizes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/bytes.h"
#include "engine/item_kind_records.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

// What an item or a folder holds, from its message class or container class.
enum class ItemKind : std::uint32_t {
  kNone = 0,  // no class property seen
  kMail = 1,
  kAppointment = 8,
  kContact = 9,
  kJournal = 10,
  kStickyNote = 11,
  kTask = 12,
  kOther = 13,
  kDistList = 14,
};

std::string_view item_kind_name(ItemKind kind);

// A subject as stored: an optional two-byte prefix marker ahead of the text. When the first
// byte is a control character, it is the marker and the second byte the prefix length
// (both sign-extended); the text is what follows them.
struct SubjectValue {
  std::int32_t prefix_marker = 0;
  std::int32_t prefix_length = 0;
  std::string text;
};

struct MessageProps {
  std::optional<std::string> body;                                // 0x1000, also 0x6619
  std::optional<std::string> display_bcc;                         // 0x0E02
  std::optional<std::string> display_cc;                          // 0x0E03
  std::optional<Bytes> client_submit_time;                        // 0x0039, FILETIME
  std::optional<Bytes> conversation_index;                        // 0x0071
  std::optional<Bytes> message_delivery_time;                     // 0x0E06, FILETIME
  std::uint32_t message_flags = 0;                                // 0x0E07
  std::uint32_t flag_status = 0;                                  // 0x1090
  std::optional<std::string> transport_message_headers;           // 0x007D
  std::optional<std::string> html_body;                           // 0x1013, wrapped in <HTML><BODY>
  std::uint32_t importance = 0;                                   // 0x0017
  std::optional<Bytes> rtf_compressed;                            // 0x1009
  std::optional<std::string> in_reply_to_id;                      // 0x1042
  std::optional<std::string> internet_message_id;                 // 0x1035
  std::uint32_t icon_index = 0;                                   // 0x1080
  std::optional<Bytes> received_by_search_key;                    // 0x0051
  std::optional<Bytes> received_representing_search_key;          // 0x0052
  std::optional<Bytes> sent_representing_search_key;              // 0x003B
  std::optional<std::string> sent_representing_name;              // 0x0042
  std::optional<Bytes> sender_search_key;                         // 0x0C1D
  std::optional<std::string> conversation_topic;                  // 0x0070
  std::optional<std::string> received_by_address_type;            // 0x0075
  std::optional<std::string> received_by_email_address;           // 0x0076
  std::optional<std::string> received_representing_address_type;  // 0x0077
  std::optional<std::string> received_representing_email_address;  // 0x0078
  std::optional<std::string> reply_recipient_names;                // 0x0050
  std::optional<std::string> original_message_id;                  // 0x1046
  std::optional<std::string> sent_representing_address_type;       // 0x0064
  std::optional<std::string> sent_representing_email_address;      // 0x0065
  std::optional<std::string> sender_address_type;                  // 0x0C1E
  std::optional<std::string> sender_email_address;                 // 0x0C1F
  std::optional<std::string> display_to;                           // 0x0E04
  std::optional<SubjectValue> subject;                             // 0x0037
  std::optional<Bytes> extra_binary;   // named 0x801F, 0x803B, 0x806F, 0x80A2
  std::optional<Bytes> contact_links;  // named 0x853A
};

struct FolderProps {
  std::optional<Bytes> wastebasket_entry_id;  // 0x35E3
  std::uint32_t content_count = 0;            // 0x3602
  std::optional<Bytes> finder_entry_id;       // 0x35E7
  std::optional<Bytes> ipm_subtree_entry_id;  // 0x35E0
  std::uint32_t content_unread_count = 0;     // 0x3603
};

struct ItemRecord {
  std::optional<MessageProps> message;
  std::optional<FolderProps> folder;
  std::optional<ContactProps> contact;
  std::optional<AppointmentProps> appointment;
  std::optional<JournalProps> journal;
  std::optional<NoteProps> note;
  std::optional<TaskProps> task;
  std::optional<DistListMembers> dist_list;
  ItemKind kind = ItemKind::kNone;          // from 0x001A or 0x3613
  std::optional<std::string> item_class;    // 0x001A (message class) or 0x3613 (container class)
  std::optional<std::string> display_name;  // 0x3001
  std::optional<std::string> comment;       // 0x3004
  std::optional<Bytes> creation_time;       // 0x3007, FILETIME
  std::optional<Bytes> last_modification_time;  // 0x3008, FILETIME
  // Everything the node holds, for writing it whole: a message's properties, recipients and
  // attachments; a folder's properties only. Absent when it could not be read.
  std::shared_ptr<const MessageContent> content;
};

// The kind of a message class (0x001A): the first matching prefix of IPM.Note, IPM.Contact,
// IPM.Appointment, IPM.StickyNote, IPM.Activity, IPM.Task and IPM.DistList, letters
// compared without regard to case; any other class is kOther.
ItemKind kind_of_message_class(std::string_view item_class);
// The kind of a container class (0x3613): the first prefix of IPF.Note, IPF.Contact,
// IPF.Journal, IPF.Appointment, IPF.StickyNote and IPF.Task compared exactly, then
// IPM.DistList compared as for message classes; any other class is kOther.
ItemKind kind_of_container_class(std::string_view item_class);

}  // namespace pstorian
