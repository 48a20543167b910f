#include "pst/messaging/content_writer.h"

#include <algorithm>
#include <array>
#include <string>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/messaging/content_import.h"
#include "pst/messaging/store_strings.h"

namespace pstorian {
namespace {

constexpr std::uint32_t kRecipientTable = 0x692;
constexpr std::uint32_t kAttachmentTable = 0x671;
constexpr std::uint32_t kFirstAttachmentIndex = 0x401;  // 0x8025 for the first attachment
constexpr std::uint32_t kDisplayNameTag = 0x3001001E;
constexpr std::uint32_t kMessageFlagsTag = 0x0E070003;
constexpr std::uint32_t kMessageSizeTag = 0x0E080003;
constexpr std::array<std::uint32_t, 3> kDisplayTags = {0x0E04001E, 0x0E03001E, 0x0E02001E};

// What an attachment table row shows of the attachment, by property id.
constexpr std::array<std::uint16_t, 11> kAttachmentSummary = {
    0x0E20,  // size
    0x3001,  // display name
    0x3703,  // extension
    0x3704,  // file name
    0x3705,  // method
    0x3707,  // long file name
    0x370B,  // rendering position
    0x370E,  // MIME type
    0x3712,  // content id
    0x3714,  // flags
    0x7FFE,  // hidden
};

// A PT_OBJECT value: the subnode that holds the object, and the object's size.
std::vector<std::uint8_t> object_reference(std::uint32_t nid, std::uint32_t size) {
  std::vector<std::uint8_t> b(8);
  pst::store_le32(b, 0, nid);
  pst::store_le32(b, 4, size);
  return b;
}

// PR_DISPLAY_TO, _CC and _BCC, where the message lacks them: the recipients' names joined by
// "; ", by recipient type. The 8-bit names go as they are; when a name is in UTF-16 the
// lists are too. A list the message holds is kept as it is: its writer may have joined the
// names otherwise ("A;B"), and a type no row names keeps it too.
void set_display_lists(PropertyBag& out, std::span<const ContentProperties> rows,
                       const TextCodec& codec) {
  bool wide = false;
  for (const auto& row : rows)
    for (const auto& p : row)
      if (p.id() == pst::tag_id(kDisplayNameTag) && p.type() == pst::kPtUnicode) wide = true;
  std::array<std::u16string, 3> wide_lists;
  std::array<std::vector<std::uint8_t>, 3> lists;
  std::array<bool, 3> started{};
  for (const auto& row : rows) {
    const ContentProperty* type = nullptr;
    const ContentProperty* name = nullptr;
    for (const auto& p : row) {
      if (p.tag == prop::kRecipientType && p.value.size() == 4) type = &p;
      // A name of nothing but zeros is one a damaged heap lost, not a name.
      if (!p.name && p.id() == pst::tag_id(kDisplayNameTag) &&
          (p.type() == pst::kPtString8 || p.type() == pst::kPtUnicode) &&
          std::any_of(p.value.begin(), p.value.end(), [](std::uint8_t b) { return b != 0; }))
        name = &p;
    }
    if (type == nullptr || name == nullptr) continue;
    const std::uint32_t kind = pst::load_le32(type->value, 0) & 0xF;
    if (kind < 1 || kind > 3) continue;
    const std::size_t i = kind - 1;
    if (wide) {
      if (started[i]) wide_lists[i] += u"; ";
      wide_lists[i] += name->type() == pst::kPtUnicode
                           ? from_utf16le(name->value)
                           : codec.decode(std::string(name->value.begin(), name->value.end()));
    } else {
      if (started[i]) lists[i].insert(lists[i].end(), {';', ' '});
      lists[i].insert(lists[i].end(), name->value.begin(), name->value.end());
    }
    started[i] = true;
  }
  for (std::size_t i = 0; i < kDisplayTags.size(); ++i) {
    // No row of this type names anyone: rows damaged past reading must not blank the list
    // the message itself still holds.
    if (!started[i] || out.find_id(kDisplayTags[i]).second != nullptr) continue;
    if (wide)
      out.set((kDisplayTags[i] & 0xFFFF0000u) | pst::kPtUnicode, to_utf16le(wide_lists[i]));
    else
      out.set(kDisplayTags[i], std::move(lists[i]));
  }
}

}  // namespace

std::uint32_t object_size(const PropertyBag& properties, std::uint64_t subnode_bytes) {
  const std::uint64_t n = properties.value_bytes() + 8 * properties.size() + subnode_bytes;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, 0xFFFFFFFFu));
}

std::vector<TableColumn> columns_for_rows(std::span<const TableColumn> base,
                                          std::span<const TableRow> rows) {
  std::vector<std::uint32_t> row_tags;
  for (const auto& row : rows)
    for (const auto& p : row)
      if (std::find(row_tags.begin(), row_tags.end(), p.tag) == row_tags.end())
        row_tags.push_back(p.tag);
  auto carried = [&](std::uint32_t tag) {
    return std::find(row_tags.begin(), row_tags.end(), tag) != row_tags.end();
  };
  std::vector<std::uint32_t> tags;
  bool same = true;
  for (const auto& c : base) {
    const bool other_type = std::any_of(row_tags.begin(), row_tags.end(), [&](std::uint32_t t) {
      return pst::tag_id(t) == pst::tag_id(c.tag) && t != c.tag;
    });
    if (other_type && !carried(c.tag)) {
      same = false;
      continue;
    }
    tags.push_back(c.tag);
  }
  for (const std::uint32_t t : row_tags) {
    if (std::find(tags.begin(), tags.end(), t) != tags.end()) continue;
    tags.push_back(t);
    same = false;
  }
  if (same) return {base.begin(), base.end()};
  return lay_out_columns(tags);
}

ContentWriter::ContentWriter(StoreFile& file, NameToIdMap& names, const TextCodec& codec,
                             std::span<const TableColumn> recipient_template,
                             std::span<const TableColumn> attachment_template,
                             std::uint32_t& row_version)
    : file_(file),
      names_(names),
      codec_(codec),
      recipient_template_(recipient_template),
      attachment_template_(attachment_template),
      row_version_(row_version) {}

PropertyBag ContentWriter::message_properties(const MessageContent& content) {
  PropertyBag out = import_properties(content.properties, names_, ContentObject::kMessage);
  if (!content.recipients.empty()) set_display_lists(out, content.recipients, codec_);
  const bool attached = !content.attachments.empty();
  out.set_bool(prop::kHasAttachments, attached);
  if (const auto flags = out.int32(kMessageFlagsTag); flags || attached) {
    const std::uint32_t f = flags.value_or(0);
    out.set_int32(kMessageFlagsTag,
                  attached ? f | kMessageHasAttachmentsFlag : f & ~kMessageHasAttachmentsFlag);
  }
  return out;
}

void ContentWriter::add_table(NodeWriter& node, std::uint32_t nid,
                              std::span<const TableColumn> base, std::span<const TableRow> rows) {
  NodeWriter writer(file_);
  const FileForm form = file_.form();
  const auto heap = build_table_context(
      to_file_columns(columns_for_rows(base, rows), form), to_file_rows(rows, codec_, form),
      static_cast<std::uint8_t>(layout_of(form).row_index_size), &writer);
  node.add_subnode(nid, writer.finish(heap));
}

void ContentWriter::add_subnodes(NodeWriter& node, const MessageContent& content) {
  add_subnodes(node, content, 0);
}

void ContentWriter::add_subnodes(NodeWriter& node, const MessageContent& content,
                                 std::size_t depth) {
  add_recipient_table(node, content.recipients);
  if (!content.attachments.empty()) add_attachments(node, content.attachments, depth);
}

void ContentWriter::add_recipient_table(NodeWriter& node,
                                        const std::vector<ContentProperties>& rows) {
  std::vector<TableRow> table;
  for (const auto& row : rows) {
    if (table.size() >= max_table_rows(file_.form())) break;
    TableRow r = import_properties(row, names_, ContentObject::kRecipient).list();
    r.push_back(StoredProperty::int32(kTagLtpRowId, static_cast<std::uint32_t>(table.size() + 1)));
    r.push_back(StoredProperty::int32(kTagLtpRowVer, ++row_version_));
    table.push_back(std::move(r));
  }
  add_table(node, kRecipientTable, recipient_template_, table);
}

void ContentWriter::add_attachments(NodeWriter& node,
                                    const std::vector<AttachmentContent>& attachments,
                                    std::size_t depth) {
  std::vector<TableRow> rows;
  for (const auto& attachment : attachments) {
    if (rows.size() >= max_table_rows(file_.form())) break;
    const auto nid = static_cast<std::uint32_t>((kFirstAttachmentIndex + rows.size()) << 5) |
                     pst::kNodeAttachment;
    PropertyBag properties;
    node.add_subnode(nid, write_attachment(attachment, depth, properties));
    TableRow row;
    // By tag first: the attachment's data is no column of the table.
    for (const std::uint32_t tag : properties.tags())
      if (std::find(kAttachmentSummary.begin(), kAttachmentSummary.end(), pst::tag_id(tag)) !=
          kAttachmentSummary.end())
        row.push_back({tag, *properties.find(tag)});
    row.push_back(StoredProperty::int32(kTagLtpRowId, nid));
    row.push_back(StoredProperty::int32(kTagLtpRowVer, ++row_version_));
    rows.push_back(std::move(row));
  }
  add_table(node, kAttachmentTable, attachment_template_, rows);
}

WrittenNode ContentWriter::write_attachment(const AttachmentContent& attachment, std::size_t depth,
                                            PropertyBag& p) {
  p = import_properties(attachment.properties, names_, ContentObject::kAttachment);
  NodeWriter writer(file_);
  std::uint64_t held = 0;
  // An object's data goes in a subnode of the attachment; the property names it.
  for (const std::uint32_t tag : p.tags()) {
    if (pst::tag_type(tag) != pst::kPtObject) continue;
    if (attachment.embedded && pst::tag_id(tag) == pst::tag_id(prop::kAttachDataObject)) continue;
    const std::vector<std::uint8_t>& data = *p.find(tag);
    if (data.empty()) {
      p.erase(tag);  // no data to name
      continue;
    }
    const std::size_t size = data.size();
    const std::uint32_t nid = writer.store(data, 1);
    p.set(tag, object_reference(nid, static_cast<std::uint32_t>(size)));
    held += size;
  }
  if (attachment.embedded && depth < kMaxEmbeddingDepth) {
    const MessageContent& message = *attachment.embedded;
    NodeWriter embedded(file_);
    PropertyBag mp = message_properties(message);
    add_subnodes(embedded, message, depth + 1);
    const std::uint32_t size = object_size(mp, embedded.data_bytes());
    mp.set_int32(kMessageSizeTag, size);
    const auto leaves = file_property_context(mp, codec_, file_.form(), &embedded);
    // An id of the store's messages, as the embedded message is one, though no folder
    // lists it.
    const std::uint32_t nid = file_.next_nid(pst::kNodeNormalMessage);
    writer.add_subnode(nid, embedded.finish(leaves));
    p.set(prop::kAttachDataObject, object_reference(nid, size));
    if (!p.int32(prop::kAttachMethod)) p.set_int32(prop::kAttachMethod, kAttachEmbeddedMessage);
    held += size;
  } else if (attachment.embedded) {
    p.erase(prop::kAttachDataObject);  // the message it would name is left out
  }
  if (!p.int32(prop::kAttachMethod)) p.set_int32(prop::kAttachMethod, 1);
  if (!p.int32(prop::kRenderingPosition)) p.set_int32(prop::kRenderingPosition, 0xFFFFFFFF);
  if (!p.int32(prop::kAttachSize)) p.set_int32(prop::kAttachSize, object_size(p, held));
  const auto leaves = file_property_context(p, codec_, file_.form(), &writer);
  return writer.finish(leaves);
}

}  // namespace pstorian
