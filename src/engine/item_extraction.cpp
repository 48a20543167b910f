#include "engine/item_extraction.h"

#include <array>
#include <memory>

#include "engine/content_reader.h"
#include "engine/field_rules.h"
#include "format/layout.h"

namespace pstorian {
namespace {

constexpr std::uint32_t kMessageClass = 0x001A;
constexpr std::uint32_t kContainerClass = 0x3613;
constexpr std::uint32_t kDisplayName = 0x3001;
constexpr std::uint32_t kComment = 0x3004;
constexpr std::uint32_t kCreationTime = 0x3007;
constexpr std::uint32_t kLastModificationTime = 0x3008;
constexpr std::uint32_t kSubject = 0x0037;
constexpr std::uint32_t kHtmlBody = 0x1013;
constexpr std::uint32_t kBodyAlternative = 0x6619;
constexpr std::uint32_t kOneOffMembers = 0x8054;
// Named properties that may carry the item's extra binary value.
constexpr std::uint32_t kExtraBinaryIfEmpty = 0x801F;
constexpr std::uint32_t kExtraBinaryAlways1 = 0x803B;
constexpr std::uint32_t kExtraBinaryAlways2 = 0x806F;
constexpr std::uint32_t kExtraBinaryOrEmail3Type = 0x80A2;

constexpr FieldRule<MessageProps> kMessageRules[] = {
    {0x1000, Form::kText, &MessageProps::body},
    {0x6619, Form::kText, &MessageProps::body},
    {0x0E02, Form::kText, &MessageProps::display_bcc},
    {0x0E03, Form::kText, &MessageProps::display_cc},
    {0x0039, Form::kBytes, &MessageProps::client_submit_time},
    {0x0071, Form::kBytes, &MessageProps::conversation_index},
    {0x0E06, Form::kBytes, &MessageProps::message_delivery_time},
    {0x0E07, Form::kLong, &MessageProps::message_flags},
    {0x1090, Form::kLong, &MessageProps::flag_status},
    {0x007D, Form::kText, &MessageProps::transport_message_headers},
    {0x0017, Form::kLong, &MessageProps::importance},
    {0x1009, Form::kBytes, &MessageProps::rtf_compressed},
    {0x1042, Form::kText, &MessageProps::in_reply_to_id},
    {0x1035, Form::kText, &MessageProps::internet_message_id},
    {0x1080, Form::kLong, &MessageProps::icon_index},
    {0x0051, Form::kBytes, &MessageProps::received_by_search_key},
    {0x0052, Form::kBytes, &MessageProps::received_representing_search_key},
    {0x003B, Form::kBytes, &MessageProps::sent_representing_search_key},
    {0x0042, Form::kText, &MessageProps::sent_representing_name},
    {0x0C1D, Form::kBytes, &MessageProps::sender_search_key},
    {0x0070, Form::kText, &MessageProps::conversation_topic},
    {0x0075, Form::kText, &MessageProps::received_by_address_type},
    {0x0076, Form::kText, &MessageProps::received_by_email_address},
    {0x0077, Form::kText, &MessageProps::received_representing_address_type},
    {0x0078, Form::kText, &MessageProps::received_representing_email_address},
    {0x0050, Form::kText, &MessageProps::reply_recipient_names},
    {0x1046, Form::kText, &MessageProps::original_message_id},
    {0x0064, Form::kText, &MessageProps::sent_representing_address_type},
    {0x0065, Form::kText, &MessageProps::sent_representing_email_address},
    {0x0C1E, Form::kText, &MessageProps::sender_address_type},
    {0x0C1F, Form::kText, &MessageProps::sender_email_address},
    {0x0E04, Form::kText, &MessageProps::display_to},
    {0x853A, Form::kBytes, &MessageProps::contact_links},
};

constexpr FieldRule<FolderProps> kFolderRules[] = {
    {0x35E3, Form::kBytes, &FolderProps::wastebasket_entry_id},
    {0x3602, Form::kLong, &FolderProps::content_count},
    {0x35E7, Form::kBytes, &FolderProps::finder_entry_id},
    {0x35E0, Form::kBytes, &FolderProps::ipm_subtree_entry_id},
    {0x3603, Form::kLong, &FolderProps::content_unread_count},
};

constexpr FieldRule<ItemRecord> kRecordRules[] = {
    {kComment, Form::kText, &ItemRecord::comment},
    {kCreationTime, Form::kBytes, &ItemRecord::creation_time},
    {kLastModificationTime, Form::kBytes, &ItemRecord::last_modification_time},
};

// Subjects may start with a two-byte marker saying how long the prefix ("RE: ") is. The
// marker's first byte is a control character; bytes of 0x80 and above are letters of the
// code page and start a plain subject.
bool is_subject_marker(std::uint8_t b) {
  return b < 0x20 || b == 0x7F;
}

std::optional<SubjectValue> subject_of(const PropView& v) {
  if (!v.data || v.data->empty()) return std::nullopt;
  // A Unicode subject is narrowed first; its marker, a control character, stays one.
  const std::string text = text_of(v);
  const auto d = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (d.empty()) return std::nullopt;
  SubjectValue s;
  if (!is_subject_marker(d[0])) {
    s.text.assign(d.begin(), d.end());
    return s;
  }
  s.prefix_marker = static_cast<std::int8_t>(d[0]);
  if (d.size() >= 2) {
    s.prefix_length = static_cast<std::int8_t>(d[1]);
    s.text.assign(d.begin() + 2, d.end());
  }
  return s;
}

bool extra_binary_empty(const ItemRecord& item) {
  return !item.message || !item.message->extra_binary || item.message->extra_binary->empty();
}

// The special cases of the extraction: properties that fill more than one field, or whose
// effect depends on what was met before. False when `v` is none of them.
bool extract_special(const PropView& v, ItemRecord& item, bool& class_seen) {
  switch (v.id) {
    case kMessageClass:
      // Only the first message class of a row counts.
      if (!class_seen) {
        class_seen = true;
        item.item_class = text_of(v);
        item.kind = kind_of_message_class(*item.item_class);
      }
      return true;
    case kContainerClass:
      item.item_class = text_of(v);
      item.kind = kind_of_container_class(*item.item_class);
      return true;
    case kDisplayName:
      item.display_name = text_of(v);
      part(item.contact).file_under = item.display_name;
      return true;
    case kSubject:
      part(item.message).subject = subject_of(v);
      return true;
    case kBodyAlternative:
      // Files of the 64-bit form keep the body's first 255 characters here beside the whole
      // body (0x1000), which it must not cut short. In the 32-bit form it is a body.
      return v.type == pst::kPtUnicode && item.message && item.message->body;
    case kHtmlBody:
      part(item.message).html_body = "<HTML><BODY>" + text_of(v) + "</BODY></HTML>";
      return true;
    case kExtraBinaryIfEmpty:
      if (extra_binary_empty(item)) part(item.message).extra_binary = bytes_of(v);
      return true;
    case kExtraBinaryAlways1:
    case kExtraBinaryAlways2:
      part(item.message).extra_binary = bytes_of(v);
      return true;
    case kExtraBinaryOrEmail3Type:
      if (extra_binary_empty(item))
        part(item.message).extra_binary = bytes_of(v);
      else
        part(item.contact).email3_address_type = text_of(v);
      return true;
    case kOneOffMembers:
      parse_one_off_members(v.data.value_or(std::span<const std::uint8_t>()),
                            part(item.dist_list));
      return true;
    default:
      return false;
  }
}

// Tolerant comparison of the first pattern.size() characters: a character matches its
// lower-case pattern character or that character minus 32.
// Hands the values of the first row to the extraction as the content reader meets them,
// by the extraction's own rules (property_reader.h).
class FieldExtraction final : public SlotVisitor {
 public:
  FieldExtraction(const RecoveryTables& tables, ItemRecord& item)
      : named_props_(tables.named_props), form_(tables.form), item_(item) {}

  // A table's values count only in its first row; a property context is one row.
  void first_row_only() { rows_ = 0; }
  void begin_row() override { ++rows_; }

  void visit(const PropertySlot& slot) override {
    if (rows_ != 1) return;
    std::array<std::uint8_t, 4> inline_bytes{};
    if (const auto view = field_view(slot, named_props_, inline_bytes, form_))
      extract_value(*view, item_, class_seen_);
  }

 private:
  const std::vector<NamedPropEntry>& named_props_;
  pst::FileForm form_;
  ItemRecord& item_;
  int rows_ = 1;
  bool class_seen_ = false;
};

bool starts_with_folded(std::string_view s, std::string_view lower_pattern) {
  if (s.size() < lower_pattern.size()) return false;
  for (std::size_t i = 0; i < lower_pattern.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const auto p = static_cast<unsigned char>(lower_pattern[i]);
    if (c != p && c != static_cast<unsigned char>(p - 32)) return false;
  }
  return true;
}

}  // namespace

std::string_view item_kind_name(ItemKind kind) {
  switch (kind) {
    case ItemKind::kNone:
      return "none";
    case ItemKind::kMail:
      return "mail";
    case ItemKind::kAppointment:
      return "appointment";
    case ItemKind::kContact:
      return "contact";
    case ItemKind::kJournal:
      return "journal";
    case ItemKind::kStickyNote:
      return "note";
    case ItemKind::kTask:
      return "task";
    case ItemKind::kOther:
      return "other";
    case ItemKind::kDistList:
      return "distlist";
  }
  return "other";
}

ItemKind kind_of_message_class(std::string_view item_class) {
  struct Rule {
    std::string_view pattern;
    ItemKind kind;
  };
  static constexpr std::array<Rule, 7> kRules{{
      {"ipm.note", ItemKind::kMail},
      {"ipm.contact", ItemKind::kContact},
      {"ipm.appointment", ItemKind::kAppointment},
      {"ipm.stickynote", ItemKind::kStickyNote},
      {"ipm.activity", ItemKind::kJournal},
      {"ipm.task", ItemKind::kTask},
      {"ipm.distlist", ItemKind::kDistList},
  }};
  for (const Rule& r : kRules)
    if (starts_with_folded(item_class, r.pattern)) return r.kind;
  return ItemKind::kOther;
}

ItemKind kind_of_container_class(std::string_view item_class) {
  struct Rule {
    std::string_view pattern;
    ItemKind kind;
  };
  static constexpr std::array<Rule, 6> kRules{{
      {"IPF.Note", ItemKind::kMail},
      {"IPF.Contact", ItemKind::kContact},
      {"IPF.Journal", ItemKind::kJournal},
      {"IPF.Appointment", ItemKind::kAppointment},
      {"IPF.StickyNote", ItemKind::kStickyNote},
      {"IPF.Task", ItemKind::kTask},
  }};
  for (const Rule& r : kRules)
    if (item_class.starts_with(r.pattern)) return r.kind;
  if (starts_with_folded(item_class, "ipm.distlist")) return ItemKind::kDistList;
  return ItemKind::kOther;
}

void extract_value(const PropView& v, ItemRecord& item, bool& class_seen) {
  if (extract_special(v, item, class_seen)) return;
  if (apply_field_rules(kMessageRules, v, item.message)) return;
  if (apply_field_rules(kFolderRules, v, item.folder)) return;
  if (extract_kind_property(v, item)) return;
  for (const auto& rule : kRecordRules) {
    if (rule.id == v.id) store_field(rule, v, item);
  }
}

void extract(const PropRow& row, ItemRecord& item) {
  bool class_seen = false;
  for (const PropValue& v : row.values) extract_value(PropView::of(v), item, class_seen);
}

std::optional<ItemRecord> decode_item(const NodeReader& reader, const ObjectNode& object) {
  if (object.data_block == nullptr) return std::nullopt;
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const ContentReader content(reader, budget);
  const SubnodeList subnodes = reader.read_subnodes(object.subnode_block);
  const auto heap = content.open_heap(*object.data_block);
  if (!heap) return std::nullopt;
  const SubnodeScope scope(subnodes);
  ItemRecord item;
  FieldExtraction fields(reader.tables(), item);
  switch (heap->client_signature()) {
    case pst::kClientPropertyContext: {
      auto properties = content.properties(*heap, {scope, {}}, &fields);
      if (!properties) return std::nullopt;
      const std::uint8_t type = pst::node_type(object.node_id);
      const bool message = type == pst::kNodeNormalMessage || type == pst::kNodeAssociatedMessage;
      const bool folder = type == pst::kNodeNormalFolder || type == pst::kNodeSearchFolder;
      // A folder node is a folder whatever it holds: some writers give a folder none of the
      // counts and store entry ids that mark one.
      if (folder && !item.folder) item.folder.emplace();
      if (message || folder) {
        drop_object_references(*properties);
        auto whole = std::make_shared<MessageContent>();
        whole->properties = std::move(*properties);
        if (message) content.add_recipients_and_attachments(*whole, scope, 0);
        item.content = std::move(whole);
      }
      return item;
    }
    case pst::kClientTableContext:
      fields.first_row_only();
      if (!content.rows(*heap, {scope, {}}, 1, false, &fields)) return std::nullopt;
      return item;
    default:
      return std::nullopt;
  }
}

}  // namespace pstorian
