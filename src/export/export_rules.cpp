#include "export/export_rules.h"

#include <array>
#include <span>

#include "export/wide_text.h"
#include "format/endian.h"

namespace pstorian {
namespace {

// The last name is what later versions of the mail client call the top of the personal
// folders; without it the user's folders of such a file would land one level down, in a
// folder named after a structural one.
constexpr std::array<std::string_view, 18> kSpecialFolderNames = {"Top of Personal Folders",
                                                                  "Personal Folders",
                                                                  "IPM_SUBTREE",
                                                                  "NON_IPM_SUBTREE",
                                                                  "IPM_VIEWS",
                                                                  "IPM_COMMON_VIEWS",
                                                                  "EFORMS REGISTRY",
                                                                  "Organization Forms",
                                                                  "Views",
                                                                  "Common Views",
                                                                  "Shortcuts",
                                                                  "Finder",
                                                                  "Search Root",
                                                                  "Reminders",
                                                                  "Net Folder Inbox",
                                                                  "Root - Mailbox",
                                                                  "Root - Public",
                                                                  "Top of Outlook data file"};

// The length of an optional stored text, 0 when absent.
std::size_t length_of(const std::optional<std::string>& text) {
  return text ? stored_text(*text).size() : 0;
}

std::optional<std::uint64_t> stored_filetime(const std::optional<Bytes>& value) {
  if (!value) return std::nullopt;
  if (value->size() < 8) return 0;  // present, but no usable time
  return pst::load_le64(std::span<const std::uint8_t>(*value), 0);
}

}  // namespace

std::string fit_folder_name(std::string_view name, std::size_t limit) {
  name = stored_text(name);
  // Characters, not bytes: a cut never splits one (a UTF-8 continuation byte is 10xxxxxx).
  std::size_t at = 0;
  for (std::size_t count = 0; at < name.size(); ++at) {
    if ((static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) continue;
    if (count++ == limit) break;
  }
  return std::string(name.substr(0, at));
}

bool is_special_folder_name(std::string_view name) {
  for (std::string_view special : kSpecialFolderNames) {
    if (name == special) return true;
  }
  return false;
}

bool skipped_in_paths(const ExportPathPart& part) {
  return part.structural || is_special_folder_name(part.name);
}

std::int32_t folder_type_code(ItemKind kind) {
  switch (kind) {
    case ItemKind::kAppointment:
      return 9;
    case ItemKind::kContact:
      return 10;
    case ItemKind::kJournal:
      return 11;
    case ItemKind::kStickyNote:
      return 12;
    case ItemKind::kTask:
      return 13;
    default:
      return 6;
  }
}

std::int32_t message_flags_value(const ItemRecord& record) {
  if (!record.message) return 1;
  const std::uint32_t flags = record.message->message_flags;
  return flags > 7 ? 1 : static_cast<std::int32_t>(flags);
}

std::optional<std::string> choose_receiver(const MessageProps& message) {
  for (const auto* candidate : {&message.display_to, &message.received_representing_email_address,
                                &message.received_by_email_address}) {
    if (*candidate) return std::string(stored_text(**candidate));
  }
  return std::nullopt;
}

SenderChoice choose_sender(const MessageProps& message) {
  std::optional<std::string> name;
  std::optional<std::string> address;
  if (length_of(message.sent_representing_name) > 3) {
    name = std::string(stored_text(*message.sent_representing_name));
  }
  if (length_of(message.sent_representing_email_address) > 5) {
    address = std::string(stored_text(*message.sent_representing_email_address));
  }
  SenderChoice choice;
  choice.row_text = name ? name : address;
  const std::size_t total = (name ? name->size() : 0) + (address ? address->size() : 0);
  if (total > 2) {
    std::string display = name.value_or("");
    if (address) display += "[" + *address + "]";
    choice.display_sender = std::move(display);
  }
  return choice;
}

std::string choose_address_type(const MessageProps& message) {
  if (message.sent_representing_address_type) {
    const std::size_t length = length_of(message.sent_representing_address_type);
    if (length < 200) {
      return length > 2 ? std::string(stored_text(*message.sent_representing_address_type))
                        : std::string("SMTP");
    }
  }
  if (message.sender_address_type) {
    const std::size_t length = length_of(message.sender_address_type);
    if (length >= 3 && length < 200) return std::string(stored_text(*message.sender_address_type));
  }
  return "SMTP";
}

MailTimes item_times(const MessageProps& message) {
  static const Bytes kNoIndex;
  const Bytes& index = message.conversation_index ? *message.conversation_index : kNoIndex;
  return mail_times(stored_filetime(message.client_submit_time),
                    stored_filetime(message.message_delivery_time), index);
}

}  // namespace pstorian
