// Reads what a node of the source file holds, whole, through the heap reader of the mail
// client's ltp layer: every property of a property context with its stored bytes, named
// properties by name, the rows of table contexts, and for a message its recipients and its
// attachments with their data and embedded messages.
//
// The source is damaged and may be hostile. What cannot be read is left out: the reader's
// LtpErrors are caught here, value by value where a context is sound and a value is not,
// context by context where a table or an attachment cannot be read at all. And everything
// one item brings in stays within an ItemBudget, since a damaged file can claim anything
// and name the same large value from every cell of a table. Embedded messages are read only
// from the subnode tree nested under their attachment, so each one lies strictly inside the
// one that holds it and no chain of them can lead back; they also end at
// kMaxEmbeddingDepth.
//
// A named id (0x8000 and above) whose name the name-to-id map does not give (the map was
// lost to damage, or names a property set it does not hold) keeps its source id and has no
// name. The writer should drop such a property: a named id means nothing in another store,
// where the same number names whatever that store mapped to it, and without the name there
// is nothing to map.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/node_reader.h"
#include "pst/ltp/ltp_reader.h"
#include "pst/messaging/message_content.h"

namespace pstorian {

// How much one item may bring in. Two things are counted against the file's size: the
// blocks read for the item's structures (its heaps, row matrices), and its values (copied
// from heaps, read from subnodes). In a sound file neither exceeds the file; a damaged one
// may name the same heap from every row of a table, or the same large value from every
// cell, and gets no more than that. The work is bounded too: the records and cells looked
// at, and the subnode elements looked through to find the ones they name.
struct ItemBudget {
  // No single item of a sound file comes near either: the largest attachments are tens of
  // megabytes, the longest recipient lists a few thousand rows.
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{256} << 20;
  static constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 20;
  static constexpr std::uint64_t kMaxLookups = std::uint64_t{1} << 26;

  static ItemBudget for_file(std::uint64_t file_size) {
    const std::uint64_t bytes = std::min(file_size, kMaxBytes);
    return {bytes, bytes, kMaxEntries, kMaxLookups};
  }

  // False, taking nothing, when `n` bytes are more than are left.
  bool take_bytes(std::uint64_t n) {
    if (n > bytes) return false;
    bytes -= n;
    return true;
  }
  bool take_entry() {
    if (entries == 0) return false;
    --entries;
    return true;
  }

  std::uint64_t bytes = 0;      // values kept
  std::uint64_t structure = 0;  // blocks read for heaps and row matrices
  std::uint64_t entries = 0;    // records, cells, rows and attachments looked at
  std::uint64_t lookups = 0;    // subnode elements looked through
};

// One property of a context as the reader met it, for whoever wants more than the stored
// bytes (the field extraction keeps its own rules): handed out before the property is
// checked against its type, so also for properties that are then left out.
struct PropertySlot {
  std::uint32_t tag = 0;               // as stored in the source
  std::span<const std::uint8_t> cell;  // the record's four bytes or the table cell
  bool in_subnode = false;             // the value lives in a subnode
  // The value's bytes as found; absent when they could not be read (an unknown type, a heap
  // id naming nothing, a missing subnode, a value beyond the budget).
  std::optional<std::span<const std::uint8_t>> value;
};

class SlotVisitor {
 public:
  virtual void visit(const PropertySlot& slot) = 0;
  // Called before the cells of each table row.
  virtual void begin_row() {}

 protected:
  ~SlotVisitor() = default;
};

// The subnode trees a context takes its subnodes from: its own, then the one around it (a
// table or an attachment of a message may keep large values in the message's tree).
struct SubnodeScopes {
  SubnodeScope own;
  SubnodeScope outer;
};

class ContentReader {
 public:
  static constexpr int kMaxEmbeddingDepth = 8;

  // `reader` and `budget` must outlive the content reader.
  ContentReader(const NodeReader& reader, ItemBudget& budget) : reader_(reader), budget_(budget) {}

  // The heap over the data of `data` (the leaves of a data tree, or the block itself);
  // std::nullopt when nothing could be read or the first block is no heap.
  std::optional<HeapView> open_heap(const BlockRef& data) const;

  // The properties of the property context in `heap`, in property id order; std::nullopt
  // when it is none or its BTH is malformed. PT_OBJECT values are the 8-byte reference of
  // the object (subnode id, size) as stored. `visitor` meets every record.
  std::optional<ContentProperties> properties(const HeapView& heap, const SubnodeScopes& scopes,
                                              SlotVisitor* visitor = nullptr) const;

  // The first `max_rows` rows of the table context in `heap`, each with the cells its
  // existence bits name; std::nullopt when it is no table context. A row matrix kept in a
  // subnode is read only with `matrix_in_subnode`, else the table has no rows. `visitor`
  // meets every cell.
  std::optional<std::vector<ContentProperties>> rows(const HeapView& heap,
                                                     const SubnodeScopes& scopes,
                                                     std::size_t max_rows, bool matrix_in_subnode,
                                                     SlotVisitor* visitor = nullptr) const;

  // Every row of the table context in `heap` (the matrix in a subnode included) with the
  // cells of the property ids `ids` only; std::nullopt when it is no table context or its
  // row matrix is lost.
  std::optional<std::vector<ContentProperties>> rows_with(const HeapView& heap,
                                                          const SubnodeScopes& scopes,
                                                          std::span<const std::uint16_t> ids) const;

  // Adds the recipients and the attachments of the message whose subnode tree is `scope`
  // to `message`, which holds the message's properties. `depth` counts the messages the
  // message is embedded in.
  void add_recipients_and_attachments(MessageContent& message, const SubnodeScope& scope,
                                      int depth) const;

 private:
  // Calls `row` with the cells of each row of the table context in `heap` (its layout read
  // into `info`) until it returns false; false when the heap is no table context.
  template <typename Row>
  bool for_each_row(const HeapView& heap, const SubnodeScopes& scopes, bool matrix_in_subnode,
                    TableInfo& info, Row&& row) const;
  std::optional<ContentProperty> load(const HeapView& heap, std::uint32_t tag,
                                      std::span<const std::uint8_t> cell,
                                      const SubnodeScopes& scopes, SlotVisitor* visitor) const;
  // The data of a subnode, data trees expanded, within the budget; empty when unreadable.
  std::optional<std::vector<std::uint8_t>> subnode_data(const SubnodeRef& subnode) const;
  std::optional<std::vector<ContentProperties>> table(const SubnodeScope& scope,
                                                      std::uint32_t subnode_id) const;
  std::optional<AttachmentContent> attachment(const SubnodeRef& subnode,
                                              const SubnodeScope& message_scope,
                                              int depth) const;
  std::shared_ptr<const MessageContent> embedded_message(const SubnodeScope& holder,
                                                         const SubnodeRef& subnode,
                                                         int depth) const;
  std::optional<PropertyName> name_of(std::uint16_t id) const;
  const SubnodeRef* find(const SubnodeScope& scope, std::uint32_t subnode_id) const {
    return scope.find(subnode_id, &budget_.lookups);
  }
  const SubnodeRef* find(const SubnodeScopes& scopes, std::uint32_t subnode_id) const;

  const NodeReader& reader_;
  ItemBudget& budget_;
};

// The properties of `properties` that a store can take from another: PT_OBJECT values name
// subnodes of the source file and are left out.
void drop_object_references(ContentProperties& properties);

}  // namespace pstorian
