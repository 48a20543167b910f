// Reading a saved message back whole, for showing it: the property context of its node, the
// recipient table and the attachment table among its subnodes, and each attachment's own
// property context (an embedded message is a subnode of its attachment, read the same way).
#include <map>

#include "format/endian.h"
#include "format/layout.h"
#include "pst/ltp/ltp_reader.h"
#include "pst/messaging/message_store.h"

namespace pstorian {

namespace {

constexpr std::uint32_t kRecipientTable = 0x692;
constexpr std::uint32_t kAttachmentTable = 0x671;
constexpr std::uint32_t kAttachMethod = 0x37050003;
constexpr std::uint32_t kAttachDataObject = 0x3701000D;
constexpr std::uint32_t kAttachEmbeddedMessage = 5;
// Messages embedded in messages embedded in ...: deeper ones are left unread.
constexpr int kMaxEmbedding = 4;

using Subnodes = std::map<std::uint32_t, SubnodeEntry>;

Subnodes subnodes_of(const StoreFile& f, std::uint32_t bid_sub) {
  return bid_sub == 0 ? Subnodes{} : f.read_subnodes(bid_sub);
}

const SubnodeEntry& subnode(const Subnodes& subnodes, std::uint32_t nid) {
  const auto it = subnodes.find(nid);
  if (it == subnodes.end()) throw LtpError("subnode not found");
  return it->second;
}

ContentProperties content_of(std::vector<StoredProperty> stored) {
  ContentProperties properties;
  properties.reserve(stored.size());
  for (StoredProperty& p : stored) {
    if (p.tag == kTagLtpRowId || p.tag == kTagLtpRowVer) continue;
    properties.push_back(ContentProperty{p.tag, std::nullopt, std::move(p.value)});
  }
  return properties;
}

ContentProperties read_properties_at(const StoreFile& f, std::uint32_t bid_data,
                                     const Subnodes& subnodes) {
  const HeapView heap(f.read_data(bid_data));
  if (heap.client_signature() != pst::kClientPropertyContext)
    throw StoreError("node is not a property context");
  return content_of(read_property_context(
      heap, [&](std::uint32_t nid) { return f.read_bytes(subnode(subnodes, nid).bid_data); }));
}

std::vector<TableRow> read_rows_at(const StoreFile& f, const SubnodeEntry& table) {
  const HeapView heap(f.read_data(table.bid_data));
  if (heap.client_signature() != pst::kClientTableContext)
    throw StoreError("node is not a table context");
  const Subnodes subnodes = subnodes_of(f, table.bid_sub);
  // Whole rows in each block of a row matrix, as the folder tables are read.
  const auto info = heap.get(heap.user_root());
  if (info.size() < 22) throw LtpError("not a TCINFO");
  const std::size_t row_size = pst::load_le16(info, 8);
  const std::uint32_t rows_hnid = pst::load_le32(info, 14);
  return read_table_context(heap, [&](std::uint32_t nid) {
           const SubnodeEntry& entry = subnode(subnodes, nid);
           if (nid != rows_hnid || row_size == 0) return f.read_bytes(entry.bid_data);
           std::vector<std::uint8_t> rows;
           for (const auto& leaf : f.read_data(entry.bid_data))
             rows.insert(rows.end(), leaf.begin(),
                         leaf.end() - static_cast<std::ptrdiff_t>(leaf.size() % row_size));
           return rows;
         })
      .rows;
}

std::optional<std::uint32_t> int32_of(const ContentProperties& properties, std::uint32_t tag) {
  for (const ContentProperty& p : properties) {
    if (p.tag == tag && p.value.size() >= 4) return pst::load_le32(p.value, 0);
  }
  return std::nullopt;
}

MessageContent read_message(const StoreFile& f, std::uint32_t bid_data, std::uint32_t bid_sub,
                            int depth) {
  MessageContent content;
  const Subnodes subnodes = subnodes_of(f, bid_sub);
  content.properties = read_properties_at(f, bid_data, subnodes);
  if (const auto it = subnodes.find(kRecipientTable); it != subnodes.end()) {
    for (TableRow& row : read_rows_at(f, it->second)) content.recipients.push_back(content_of(std::move(row)));
  }
  if (const auto it = subnodes.find(kAttachmentTable); it != subnodes.end()) {
    for (const TableRow& row : read_rows_at(f, it->second)) {
      std::optional<std::uint32_t> id;
      for (const StoredProperty& p : row) {
        if (p.tag == kTagLtpRowId && p.value.size() >= 4) id = pst::load_le32(p.value, 0);
      }
      if (!id) continue;
      const SubnodeEntry& entry = subnode(subnodes, *id);
      const Subnodes attachment_subnodes = subnodes_of(f, entry.bid_sub);
      AttachmentContent attachment;
      attachment.properties = read_properties_at(f, entry.bid_data, attachment_subnodes);
      if (int32_of(attachment.properties, kAttachMethod) == kAttachEmbeddedMessage &&
          depth < kMaxEmbedding) {
        // The value of the data object names the embedded message's subnode.
        if (const auto message = int32_of(attachment.properties, kAttachDataObject)) {
          const SubnodeEntry& embedded = subnode(attachment_subnodes, *message);
          attachment.embedded = std::make_shared<const MessageContent>(
              read_message(f, embedded.bid_data, embedded.bid_sub, depth + 1));
        }
      }
      content.attachments.push_back(std::move(attachment));
    }
  }
  return content;
}

}  // namespace

MessageContent MessageStore::load_content(std::uint32_t nid) {
  const std::lock_guard lock(mutex_);
  check_usable();
  if (!is_message(nid)) throw StoreError("no such message");
  const StoreFile& f = file();
  const NbtEntry entry = *f.find_node(nid);
  return read_message(f, entry.bid_data, entry.bid_sub, 0);
}

}  // namespace pstorian
