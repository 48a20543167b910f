#include "engine/content_reader.h"

#include <algorithm>
#include <unordered_set>

#include "engine/named_property_map.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

constexpr std::uint32_t kRecipientTable = 0x692;
constexpr std::uint32_t kAttachmentTable = 0x671;
constexpr std::uint32_t kTagLtpRowIdTag = 0x67F20003;
constexpr std::uint32_t kTagAttachMethod = 0x37050003;
constexpr std::uint16_t kIdAttachDataObject = 0x3701;
constexpr std::uint32_t kAttachEmbeddedMessage = 5;

const ContentProperty* find_tag(const ContentProperties& properties, std::uint32_t tag) {
  for (const ContentProperty& p : properties)
    if (p.tag == tag) return &p;
  return nullptr;
}

std::uint32_t long_value(const ContentProperty* p) {
  return p != nullptr && p->value.size() == 4 ? pst::load_le32(p->value, 0) : 0;
}

}  // namespace

const SubnodeRef* ContentReader::find(const SubnodeScopes& scopes, std::uint32_t subnode_id) const {
  if (const SubnodeRef* s = find(scopes.own, subnode_id)) return s;
  return find(scopes.outer, subnode_id);
}

std::optional<HeapView> ContentReader::open_heap(const BlockRef& data) const {
  std::vector<Bytes> leaves = reader_.read_leaves(data, budget_.structure);
  if (leaves.empty()) return std::nullopt;
  try {
    return HeapView(std::move(leaves), Broken::kLeaveOut);
  } catch (const LtpError&) {
    return std::nullopt;
  }
}

std::optional<PropertyName> ContentReader::name_of(std::uint16_t id) const {
  const NamedPropEntry* entry = find_named_property(reader_.tables().named_props, id);
  return entry != nullptr ? entry->full_name : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ContentReader::subnode_data(
    const SubnodeRef& subnode) const {
  if (budget_.bytes == 0) return std::nullopt;
  Bytes data = reader_.read_block(*subnode.data_block, true, 1, budget_.bytes);
  if (data.empty()) return std::nullopt;
  return data;
}

std::optional<ContentProperty> ContentReader::load(const HeapView& heap, std::uint32_t tag,
                                                   std::span<const std::uint8_t> cell,
                                                   const SubnodeScopes& scopes,
                                                   SlotVisitor* visitor) const {
  // Every record and cell looked at counts, kept or not: a hostile table can have a great
  // many of them that cannot be read, and each costs an attempt.
  if (!budget_.take_entry()) return std::nullopt;
  const std::uint16_t type = pst::tag_type(tag);
  PropertySlot slot{tag, cell, false, std::nullopt};
  ContentProperty p;
  p.tag = tag;
  try {
    const ValueLocation where = locate_value(heap, type, cell);
    if (where.kind == ValueLocation::kBytes) {
      slot.value = where.bytes;
      p.value.assign(where.bytes.begin(), where.bytes.end());
    } else if (type == pst::kPtObject) {
      // The object itself is found through its reference by whoever knows what it is.
      slot.in_subnode = true;
      p.value.resize(8);
      pst::store_le32(p.value, 0, where.subnode);
    } else {
      slot.in_subnode = true;
      const SubnodeRef* subnode = find(scopes, where.subnode);
      auto data = subnode != nullptr ? subnode_data(*subnode) : std::nullopt;
      if (data) {
        p.value = std::move(*data);
        slot.value = p.value;
      }
    }
  } catch (const LtpError&) {
    // An unknown type, a heap id naming nothing, a fixed-size value of another size.
  }
  if (visitor != nullptr) visitor->visit(slot);
  const bool read = slot.value.has_value() || (type == pst::kPtObject && slot.in_subnode);
  if (!read || !value_fits_type(type, p.value)) return std::nullopt;
  // A subnode value was taken from the budget as it was read.
  if (!slot.in_subnode && !budget_.take_bytes(p.value.size())) return std::nullopt;
  if (pst::tag_id(tag) >= 0x8000) p.name = name_of(pst::tag_id(tag));
  return p;
}

std::optional<ContentProperties> ContentReader::properties(const HeapView& heap,
                                                           const SubnodeScopes& scopes,
                                                           SlotVisitor* visitor) const {
  std::vector<PropertyRecord> records;
  try {
    records = property_records(heap, Broken::kLeaveOut);
  } catch (const LtpError&) {
    return std::nullopt;
  }
  ContentProperties out;
  out.reserve(records.size());
  for (const PropertyRecord& r : records)
    if (auto p = load(heap, r.tag, r.slot, scopes, visitor)) out.push_back(std::move(*p));
  return out;
}

template <typename Row>
bool ContentReader::for_each_row(const HeapView& heap, const SubnodeScopes& scopes,
                                 bool matrix_in_subnode, TableInfo& info, Row&& row) const {
  try {
    info = read_table_info(heap, Broken::kLeaveOut);
  } catch (const LtpError&) {
    return false;
  }
  // Rows run to the end of the matrix, or in a subnode to the last whole row of each block:
  // a block never splits a row, and what follows the last whole one is left unused.
  auto take_rows = [&](std::span<const std::uint8_t> matrix) {
    for (std::size_t at = 0; matrix.size() - at >= info.row_size; at += info.row_size)
      if (!budget_.take_entry() || !row(matrix.subspan(at, info.row_size))) return;
  };
  if (info.rows_hnid == 0 || pst::node_type(info.rows_hnid) == pst::kNodeHid) {
    try {
      take_rows(heap_row_matrix(heap, info));
    } catch (const LtpError&) {
      // The matrix's heap id names nothing: a table without rows.
    }
  } else if (const SubnodeRef* matrix = matrix_in_subnode ? find(scopes, info.rows_hnid) : nullptr) {
    for (const Bytes& leaf : reader_.read_leaves(*matrix->data_block, budget_.structure))
      take_rows(std::span(leaf).first(leaf.size() - leaf.size() % info.row_size));
  }
  return true;
}

std::optional<std::vector<ContentProperties>> ContentReader::rows(
    const HeapView& heap, const SubnodeScopes& scopes, std::size_t max_rows,
    bool matrix_in_subnode, SlotVisitor* visitor) const {
  TableInfo info;
  std::vector<ContentProperties> out;
  if (max_rows == 0) {
    try {
      read_table_info(heap, Broken::kLeaveOut);
    } catch (const LtpError&) {
      return std::nullopt;
    }
    return out;
  }
  const bool table =
      for_each_row(heap, scopes, matrix_in_subnode, info, [&](std::span<const std::uint8_t> cells) {
        if (visitor != nullptr) visitor->begin_row();
        ContentProperties row;
        row.reserve(info.columns.size());
        table_cells(info, cells, [&](const TableColumn& c, std::span<const std::uint8_t> cell) {
          if (auto p = load(heap, c.tag, cell, scopes, visitor)) row.push_back(std::move(*p));
        });
        out.push_back(std::move(row));
        return out.size() < max_rows;
      });
  if (!table) return std::nullopt;
  return out;
}

std::optional<std::vector<ContentProperties>> ContentReader::rows_with(
    const HeapView& heap, const SubnodeScopes& scopes, std::span<const std::uint16_t> ids) const {
  TableInfo info;
  std::vector<ContentProperties> out;
  const bool table =
      for_each_row(heap, scopes, true, info, [&](std::span<const std::uint8_t> cells) {
        ContentProperties row;
        table_cells(info, cells, [&](const TableColumn& c, std::span<const std::uint8_t> cell) {
          if (std::find(ids.begin(), ids.end(), c.tag >> 16) == ids.end()) return;
          if (auto p = load(heap, c.tag, cell, scopes, nullptr)) row.push_back(std::move(*p));
        });
        out.push_back(std::move(row));
        return true;
      });
  // A table that names a row matrix but yields no row lost it.
  if (!table || (out.empty() && info.rows_hnid != 0)) return std::nullopt;
  return out;
}

std::optional<std::vector<ContentProperties>> ContentReader::table(
    const SubnodeScope& scope, std::uint32_t subnode_id) const {
  const SubnodeRef* node = find(scope, subnode_id);
  if (node == nullptr) return std::nullopt;
  const auto heap = open_heap(*node->data_block);
  if (!heap) return std::nullopt;
  return rows(*heap, {scope.nested(*node), scope}, SIZE_MAX, true);
}

void ContentReader::add_recipients_and_attachments(MessageContent& message,
                                                   const SubnodeScope& scope, int depth) const {
  if (auto recipients = table(scope, kRecipientTable)) message.recipients = std::move(*recipients);

  if (auto rows = table(scope, kAttachmentTable)) {
    // Each row names its own attachment: a row naming one named before is damage, and
    // reading it again would bring the attachment (an embedded message with attachments
    // of its own, perhaps) once more for every such row.
    std::unordered_set<const SubnodeRef*> taken;
    for (const ContentProperties& row : *rows) {
      const SubnodeRef* node = find(scope, long_value(find_tag(row, kTagLtpRowIdTag)));
      if (node != nullptr && !taken.insert(node).second) {
        reader_.count_dropped();
        continue;
      }
      std::optional<AttachmentContent> a;
      if (node != nullptr) a = attachment(*node, scope, depth);
      // What the table row says of an attachment that cannot be read (its name, size and
      // method) is still worth keeping.
      if (!a && budget_.take_entry()) a = AttachmentContent{row, nullptr};
      if (a) message.attachments.push_back(std::move(*a));
    }
    return;
  }
  // Without its table, a message's attachments are still the attachment subnodes of its tree.
  scope.for_each([&](const SubnodeRef& node) {
    if (pst::node_type(node.subnode_id) != pst::kNodeAttachment) return;
    if (auto a = attachment(node, scope, depth)) message.attachments.push_back(std::move(*a));
  });
}

std::optional<AttachmentContent> ContentReader::attachment(const SubnodeRef& subnode,
                                                           const SubnodeScope& message_scope,
                                                           int depth) const {
  const auto heap = open_heap(*subnode.data_block);
  if (!heap || !budget_.take_entry()) return std::nullopt;
  const SubnodeScope own = message_scope.nested(subnode);
  auto properties = this->properties(*heap, {own, message_scope});
  if (!properties) return std::nullopt;
  AttachmentContent a;
  const bool embedded = long_value(find_tag(*properties, kTagAttachMethod)) == kAttachEmbeddedMessage;
  // An object's reference names a subnode of this file: what a store takes is the object
  // itself, the data of an OLE object, or for an embedded message the message whole.
  std::erase_if(*properties, [&](ContentProperty& p) {
    if (p.type() != pst::kPtObject) return false;
    const SubnodeRef* object =
        p.value.size() >= 4 ? find(own, pst::load_le32(p.value, 0)) : nullptr;
    if (object == nullptr) return true;
    if (embedded && p.id() == kIdAttachDataObject) {
      if (!a.embedded) a.embedded = embedded_message(own, *object, depth + 1);
      return true;
    }
    auto data = subnode_data(*object);
    if (!data) return true;
    p.value = std::move(*data);
    return false;
  });
  a.properties = std::move(*properties);
  return a;
}

std::shared_ptr<const MessageContent> ContentReader::embedded_message(
    const SubnodeScope& holder, const SubnodeRef& subnode, int depth) const {
  if (depth > kMaxEmbeddingDepth) return nullptr;
  const auto heap = open_heap(*subnode.data_block);
  if (!heap) return nullptr;
  // The embedded message's own subnodes (its tables, its attachments) are those nested
  // under it.
  const SubnodeScope scope = holder.nested(subnode);
  auto properties = this->properties(*heap, {scope, {}});
  if (!properties) return nullptr;
  drop_object_references(*properties);
  auto message = std::make_shared<MessageContent>();
  message->properties = std::move(*properties);
  add_recipients_and_attachments(*message, scope, depth);
  return message;
}

void drop_object_references(ContentProperties& properties) {
  std::erase_if(properties, [](const ContentProperty& p) { return p.type() == pst::kPtObject; });
}

}  // namespace pstorian
