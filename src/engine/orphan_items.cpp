#include "engine/orphan_items.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/item_extraction.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

// The entry stream of the name-to-id map.
constexpr std::uint32_t kNameToIdEntryStreamTag = 0x00030102;

// Data tree block: type 0x01, level, count of child ids, total size, then the 4-byte ids.
constexpr std::uint8_t kDataTreeType = 0x01;
constexpr std::size_t kDataTreeIdsAt = 8;

// The heap header of a property context's first block: bSig 0xEC, bClientSig 0xBC.
bool starts_property_context(std::span<const std::uint8_t> data) {
  return data.size() >= 4 && data[2] == pst::kHeapSignature &&
         data[3] == pst::kClientPropertyContext;
}

// The child block ids of the data tree `ref`, one level down; empty when it is none.
std::vector<std::uint32_t> tree_children(const NodeReader& reader, const BlockRef& ref) {
  std::vector<std::uint32_t> out;
  const Bytes block = reader.read_block(ref, false, 0);
  if (block.size() < kDataTreeIdsAt || block[0] != kDataTreeType || block[1] < 1 || block[1] > 2)
    return out;
  const std::size_t count = std::min<std::size_t>(pst::load_le16(block, 2),
                                                  (block.size() - kDataTreeIdsAt) / 4);
  for (std::size_t i = 0; i < count; ++i) out.push_back(pst::load_le32(block, kDataTreeIdsAt + 4 * i));
  return out;
}

// Every block id a recovered node reads: data blocks and the leaves of data trees, subnode
// blocks and what their elements name.
std::unordered_set<std::uint32_t> used_blocks(const NodeReader& reader, const RecoveryTables& tables) {
  std::unordered_set<std::uint32_t> used;
  auto use_data = [&](const BlockRef* ref) {
    if (ref == nullptr || !used.insert(ref->id).second || !pst::is_internal_block(ref->id)) return;
    for (const std::uint32_t child : tree_children(reader, *ref)) {
      used.insert(child & ~1u);
      if (const BlockRef* c = tables.find_block(child); c && pst::is_internal_block(c->id))
        for (const std::uint32_t leaf : tree_children(reader, *c)) used.insert(leaf & ~1u);
    }
  };
  std::unordered_set<const BlockRef*> subnode_trees;
  for (ObjectIndex x = 0; x < tables.objects.size(); ++x) {
    const ObjectNode& o = tables.objects[x];
    use_data(o.data_block);
    if (o.subnode_block == nullptr || !subnode_trees.insert(o.subnode_block).second) continue;
    used.insert(o.subnode_block->id);
    for (const SubnodeRef& s : reader.read_subnodes(o.subnode_block)) use_data(s.data_block);
  }
  return used;
}

// What a contents table row and a property context share that tells one message.
struct MessageKey {
  std::vector<std::uint8_t> delivery, submitted, subject;
  bool usable() const { return !delivery.empty() || !submitted.empty(); }
  friend bool operator==(const MessageKey&, const MessageKey&) = default;
};

MessageKey key_of(const ContentProperties& properties) {
  MessageKey key;
  auto take = [&](std::uint16_t id, std::vector<std::uint8_t>& into) {
    if (const ContentProperty* p = cell_of(properties, id)) into = p->value;
  };
  take(kIdDeliveryTime, key.delivery);
  take(kIdClientSubmitTime, key.submitted);
  take(kIdSubject, key.subject);
  return key;
}

struct ListedMessage {
  std::uint32_t folder = 0;
  std::uint32_t node_id = 0;
  MessageKey key;
  bool taken = false;
};

// A node id no object has, of the normal message type, counting down from the top of the
// node index space so as not to meet the ids a file hands out from the bottom.
class SpareNodeIds {
 public:
  explicit SpareNodeIds(const ObjectTree& tree) : tree_(tree) {}
  std::uint32_t next() {
    while (next_index_ > 0) {
      const std::uint32_t id = (next_index_-- << 5) | pst::kNodeNormalMessage;
      if (tree_.find(id) == kNoObject) return id;
    }
    return 0;
  }

 private:
  const ObjectTree& tree_;
  std::uint32_t next_index_ = 0x07FFFFFF;
};

}  // namespace

void add_orphaned_items(const NodeReader& reader, RecoveryTables& tables,
                        const ContentsRows& contents) {
  std::unordered_set<std::uint32_t> used = used_blocks(reader, tables);

  // Candidates: unused data trees whose first leaf is a property context, then unused
  // single blocks that are one. A tree's leaves are its own, not candidates of their own.
  std::vector<const BlockRef*> trees, singles;
  tables.blocks.for_each_id([&](const BlockRef& ref) {
    if (used.contains(ref.id)) return;
    (pst::is_internal_block(ref.id) ? trees : singles).push_back(&ref);
  });
  std::vector<const BlockRef*> candidates;
  for (const BlockRef* tree : trees) {
    const std::vector<std::uint32_t> children = tree_children(reader, *tree);
    const BlockRef* first = children.empty() ? nullptr : tables.find_block(children.front());
    if (first == nullptr || pst::is_internal_block(first->id) || used.contains(first->id)) continue;
    if (!starts_property_context(reader.read_block(*first, true, 0))) continue;
    for (const std::uint32_t child : children) used.insert(child & ~1u);
    candidates.push_back(tree);
  }
  for (const BlockRef* single : singles)
    if (!used.contains(single->id) && starts_property_context(reader.read_block(*single, true, 0)))
      candidates.push_back(single);

  // The listed messages by their delivery time, or when a row has none its submit time; a
  // message's rows in several tables (a stale table of the folder it left) are told apart
  // by which one is not taken yet.
  std::vector<ListedMessage> listed;
  std::unordered_map<std::string, std::vector<std::size_t>> by_time;
  auto time_key = [](char kind, const std::vector<std::uint8_t>& t) {
    return kind + std::string(t.begin(), t.end());
  };
  for (const auto& [folder, rows] : contents)
    for (const ContentProperties& row : rows) {
      const ContentProperty* id = cell_of(row, kIdRowId);
      if (id == nullptr || id->value.size() < 4) continue;
      ListedMessage m{folder, pst::load_le32(id->value, 0), key_of(row), false};
      if (!m.key.usable()) continue;
      by_time[m.key.delivery.empty() ? time_key('s', m.key.submitted) : time_key('d', m.key.delivery)]
          .push_back(listed.size());
      listed.push_back(std::move(m));
    }
  // A row matches when every time and the subject it holds are the message's own.
  auto matches = [](const MessageKey& row, const MessageKey& message) {
    return (row.delivery.empty() || row.delivery == message.delivery) &&
           (row.submitted.empty() || row.submitted == message.submitted) &&
           (row.subject.empty() || row.subject == message.subject);
  };

  SpareNodeIds spare(tables.objects);
  for (const BlockRef* data : candidates) {
    ObjectNode probe;
    probe.node_id = pst::kNodeNormalMessage;
    probe.data_block = data;
    const std::optional<ItemRecord> item = decode_item(reader, probe);
    if (!item || !item->content) continue;
    // The name-to-id map lost its entry too: without it every named property of every item
    // is dropped, so its property context is kept as a further version of node 0x61, read
    // when no earlier one can be.
    const ContentProperty* stream = cell_of(item->content->properties, kNameToIdEntryStreamTag >> 16);
    if (stream != nullptr && stream->tag == kNameToIdEntryStreamTag) {
      tables.objects.append_top_level(
          tables.objects.create(pst::kNidNameToIdMap, nullptr, data, true));
      continue;
    }
    if (!cell_of(item->content->properties, kIdMessageClass)) continue;

    // An untaken row first; a taken one makes this block another version of that message.
    const MessageKey key = key_of(item->content->properties);
    ListedMessage* match = nullptr;
    for (const std::string& k : {time_key('d', key.delivery), time_key('s', key.submitted)}) {
      if (k.size() == 1) continue;
      const auto rows = by_time.find(k);
      if (rows == by_time.end()) continue;
      for (const std::size_t i : rows->second) {
        ListedMessage& m = listed[i];
        if (matches(m.key, key) && (match == nullptr || (match->taken && !m.taken))) match = &m;
      }
    }
    const ObjectIndex folder = match ? tables.objects.find(match->folder) : kNoObject;
    const std::uint32_t node_id = match && folder != kNoObject ? match->node_id : spare.next();
    if (node_id == 0) break;
    const ObjectIndex object = tables.objects.create(node_id, nullptr, data, true);
    if (folder != kNoObject) {
      match->taken = true;
      tables.objects.append_child(folder, object);
      ++tables.orphans_placed;
    } else {
      tables.objects.append_top_level(object);
    }
    ++tables.orphans_found;
  }
}

}  // namespace pstorian
