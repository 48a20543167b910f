// Writes what a message holds beside its own properties, as subnodes of the message's node:
//
//   0x692                the recipient table (TC): a row per recipient in the order given,
//                        row ids 1, 2, ...; the columns of the store's recipient template and
//                        every further tag a row carries (a template column whose property
//                        the rows carry with another type gives way to theirs)
//   0x671                the attachment table (TC), when there are attachments: a row per
//                        attachment, its row id the attachment's subnode id; the columns of
//                        the store's attachment template and of the attachments' names,
//                        method, size, position, MIME type, content id, flags
//   0x8025, 0x8045, ...  the attachments (type 0x05) in table order, each a PC of its
//                        properties whose large values and objects are its own subnodes. An
//                        embedded message is a PC in a subnode of its attachment, with an id
//                        taken from the store's message ids, named by the attachment's
//                        PR_ATTACH_DATA_OBJ (PT_OBJECT: that subnode id and the message's
//                        size); its own tables and attachments are its subnodes in turn.
//
// Messages nested more than kMaxEmbeddingDepth deep are left out; their attachments keep
// their other properties. Each level of embedding puts two subnode blocks between the
// message's node and the next level, and the checkers we hold files to follow eight internal
// blocks down (against loops): at three levels, the deepest data tree of an attachment still
// lies within them. Nothing reaches the file here: the blocks go with the node the caller
// writes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/ltp/table_context_writer.h"
#include "pst/messaging/message_content.h"
#include "pst/messaging/name_to_id_map.h"
#include "pst/messaging/property_bag.h"
#include "pst/messaging/text_codec.h"
#include "pst/ndb/node_writer.h"
#include "pst/ndb/store_file.h"

namespace pstorian {

namespace prop {
constexpr std::uint32_t kHasAttachments = 0x0E1B000B;
constexpr std::uint32_t kRecipientType = 0x0C150003;
constexpr std::uint32_t kAttachSize = 0x0E200003;
constexpr std::uint32_t kAttachDataBinary = 0x37010102;
constexpr std::uint32_t kAttachDataObject = 0x3701000D;
constexpr std::uint32_t kAttachMethod = 0x37050003;
constexpr std::uint32_t kRenderingPosition = 0x370B0003;
}  // namespace prop

constexpr std::uint32_t kMessageHasAttachmentsFlag = 0x10;
constexpr std::uint32_t kAttachEmbeddedMessage = 5;

class ContentWriter {
 public:
  static constexpr std::size_t kMaxEmbeddingDepth = 3;

  // `row_version` is the store's counter of table row versions, advanced for every row.
  ContentWriter(StoreFile& file, NameToIdMap& names, const TextCodec& codec,
                std::span<const TableColumn> recipient_template,
                std::span<const TableColumn> attachment_template, std::uint32_t& row_version);
  ContentWriter(const ContentWriter&) = delete;
  ContentWriter& operator=(const ContentWriter&) = delete;

  // The properties of the message as this store keeps them (see content_import.h), with
  // PR_DISPLAY_TO, _CC and _BCC made of the recipients' names when there are recipient rows,
  // and PR_HASATTACH and the attachment flag of PR_MESSAGE_FLAGS as the attachments say.
  PropertyBag message_properties(const MessageContent& content);

  // Adds the recipient table, the attachment table and the attachments as subnodes of
  // `node`.
  void add_subnodes(NodeWriter& node, const MessageContent& content);

 private:
  void add_subnodes(NodeWriter& node, const MessageContent& content, std::size_t depth);
  void add_recipient_table(NodeWriter& node, const std::vector<ContentProperties>& rows);
  // A table subnode holding `rows`, with the columns of `base` and those the rows need.
  void add_table(NodeWriter& node, std::uint32_t nid, std::span<const TableColumn> base,
                 std::span<const TableRow> rows);
  void add_attachments(NodeWriter& node, const std::vector<AttachmentContent>& attachments,
                       std::size_t depth);
  // Writes one attachment; `properties` receives what it holds after defaults are filled in.
  WrittenNode write_attachment(const AttachmentContent& attachment, std::size_t depth,
                               PropertyBag& properties);

  StoreFile& file_;
  NameToIdMap& names_;
  const TextCodec& codec_;
  std::span<const TableColumn> recipient_template_;
  std::span<const TableColumn> attachment_template_;
  std::uint32_t& row_version_;
};

// The size a store gives an object: its values, 8 bytes for each property's entry, and the
// data of its subnodes.
std::uint32_t object_size(const PropertyBag& properties, std::uint64_t subnode_bytes);

// The columns of a table holding `rows`: those of `base` and every tag a row carries, up to
// the 255 a table holds (the base's first). A base column whose property the rows carry with
// another type only is left out. `base` itself when the rows need nothing more.
std::vector<TableColumn> columns_for_rows(std::span<const TableColumn> base,
                                          std::span<const TableRow> rows);

}  // namespace pstorian
