#include "engine/orphan_items.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/content_reader.h"
#include "engine/item_extraction.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/permute.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

// The entry stream of the name-to-id map.
constexpr std::uint32_t kNameToIdEntryStreamTag = 0x00030102;
// Contents table rows of one time looked through for each orphan.
constexpr std::size_t kMaxRowsOfOneTime = 1024;

// Whether the block at `ref` begins with the heap header of a property context: its page
// map inside the block after the 12-byte header, bSig 0xEC, bClientSig 0xBC. Only its first
// bytes are read, since most unused blocks are no such thing and are never decoded.
//
// The first bytes of many blocks are read through a window of the file, so that blocks
// asked for in ascending offsets cost one read per window instead of one each.
class HeadReader {
 public:
  explicit HeadReader(const ByteSource& source) : source_(source) {}
  void read(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset < start_ || offset + out.size() > start_ + window_.size()) {
      // Windows begin on a stretch boundary, so that blocks taken stretch by stretch (in
      // any order within one) fall in the same window.
      start_ = offset / kStretch * kStretch;
      window_.resize(static_cast<std::size_t>(
          std::min<std::uint64_t>(kWindow, source_.size() - std::min(start_, source_.size()))));
      source_.read_at(start_, window_);
      if (offset + out.size() > start_ + window_.size()) {
        source_.read_at(offset, out);
        return;
      }
    }
    std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(offset - start_), out.size(),
                out.begin());
  }

  // The file is read in windows of kWindow bytes; kStretch divides it.
  static constexpr std::uint64_t kStretch = 1 << 16;

 private:
  static constexpr std::uint64_t kWindow = 1 << 20;
  const ByteSource& source_;
  std::uint64_t start_ = 0;
  std::vector<std::uint8_t> window_;
};

// `blocks` in the order of the file's stretches of HeadReader::kStretch bytes (a counting
// sort: a damaged file can hold a million unused blocks, nearly in file order already, on
// which a comparison sort of their offsets once cost as much as the rest of the search).
std::vector<const BlockRef*> by_stretch(const std::vector<const BlockRef*>& blocks,
                                        std::uint64_t file_size) {
  std::vector<std::uint32_t> first(static_cast<std::size_t>(file_size / HeadReader::kStretch) + 2,
                                   0);
  auto stretch = [](const BlockRef* b) {
    return static_cast<std::size_t>(b->offset / HeadReader::kStretch);
  };
  for (const BlockRef* b : blocks) ++first[stretch(b) + 1];
  for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
  std::vector<const BlockRef*> out(blocks.size());
  for (const BlockRef* b : blocks) out[first[stretch(b)]++] = b;
  return out;
}

bool starts_property_context(HeadReader& heads, const ByteSource& source,
                             const RecoveryTables& tables, const BlockRef& ref) {
  if (ref.size < 16 || ref.offset + std::uint64_t{ref.size} >= source.size()) return false;
  std::array<std::uint8_t, 4> head{};
  heads.read(ref.offset, head);
  if (tables.cyclic)
    pst::cyclic_crypt(head, static_cast<std::uint32_t>(ref.id));  // a prefix decodes alone
  else if (tables.encoded)
    pst::permute_decode(head);
  const std::uint32_t page_map_at = pst::load_le16(head, 0);
  return page_map_at >= 12 && page_map_at + 4u <= ref.size && head[2] == pst::kHeapSignature &&
         head[3] == pst::kClientPropertyContext;
}

// Every block id a recovered node reads, sorted: data blocks and the leaves of data trees,
// subnode blocks and what their elements name. Kept in a sorted vector rather than a hash
// set: a damaged file can hold a million unused blocks, each looked up once.
std::vector<std::uint64_t> used_blocks(const NodeReader& reader, const RecoveryTables& tables) {
  std::vector<std::uint64_t> used;
  std::unordered_set<const BlockRef*> trees_read;
  auto use_data = [&](const BlockRef* ref) {
    if (ref == nullptr) return;
    used.push_back(ref->id);
    if (!pst::is_internal_block(ref->id) || !trees_read.insert(ref).second) return;
    for (const std::uint64_t child : reader.read_tree_children(*ref)) {
      used.push_back(child & ~std::uint64_t{1});
      if (const BlockRef* c = tables.find_block(child); c && pst::is_internal_block(c->id))
        for (const std::uint64_t leaf : reader.read_tree_children(*c)) used.push_back(leaf & ~std::uint64_t{1});
    }
  };
  std::unordered_set<const BlockRef*> subnode_trees;
  for (ObjectIndex x = 0; x < tables.objects.size(); ++x) {
    const ObjectNode& o = tables.objects[x];
    use_data(o.data_block);
    if (o.subnode_block == nullptr || !subnode_trees.insert(o.subnode_block).second) continue;
    used.push_back(o.subnode_block->id);
    for (const SubnodeRef& s : reader.read_subnodes(o.subnode_block)) use_data(s.data_block);
  }
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
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
  bool recovered = false;  // the scan found a version of it before the search
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

// The subnode ids the property context in `data` names for values it keeps in subnodes
// (long bodies and other large values), sorted. PT_OBJECT values are left out: their cell
// names a heap item, not the subnode.
std::vector<std::uint32_t> referenced_subnodes(const NodeReader& reader, const BlockRef& data) {
  class Collect final : public SlotVisitor {
   public:
    std::vector<std::uint32_t> ids;
    void visit(const PropertySlot& slot) override {
      if (slot.in_subnode && (slot.tag & 0xFFFF) != pst::kPtObject && slot.cell.size() >= 4)
        ids.push_back(pst::load_le32(slot.cell, 0));
    }
  } collect;
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const ContentReader content(reader, budget);
  if (const auto heap = content.open_heap(data)) content.properties(*heap, {}, &collect);
  std::sort(collect.ids.begin(), collect.ids.end());
  collect.ids.erase(std::unique(collect.ids.begin(), collect.ids.end()), collect.ids.end());
  return collect.ids;
}

// Subnode blocks no recovered node uses, each with the elements of its top tree (subnode id
// and data block), for giving an orphan the subnode tree its lost entry named.
//
// An orphan's property context names the subnodes of its large values. Files whose writer
// hands out those ids from one counter for the whole file give each message ids of its own,
// and then the one unused subnode block holding them all is the message's. Where ids repeat
// from message to message (our own writer, older files) several blocks or several orphans
// fit, and none is given: a wrong tree would give an item another's body or recipients.
class SpareSubnodeTrees {
 public:
  using Element = std::pair<std::uint32_t, const BlockRef*>;

  void add(const BlockRef& block, const SubnodeList& list) {
    Tree tree{&block, {}};
    SubnodeScope(list).for_each(
        [&](const SubnodeRef& s) { tree.elements.emplace_back(s.subnode_id, s.data_block); });
    if (tree.elements.empty()) return;
    std::sort(tree.elements.begin(), tree.elements.end());
    for (const Element& e : tree.elements) by_id_[e.first].push_back(trees_.size());
    trees_.push_back(std::move(tree));
  }

  // The one tree holding every id of `ids` (sorted, not empty), or null. A tree whose
  // elements all lie in another (a leaf block of an intermediate one) stands for nothing of
  // its own; of trees with the same elements, any serves, the newest is taken.
  const BlockRef* holding(const std::vector<std::uint32_t>& ids) const {
    // Only the trees holding the id that fewest trees hold can hold them all. Where even
    // that id is in a great many trees (a hostile file: every orphan would look through
    // every tree), none is given.
    const std::vector<std::size_t>* fewest = nullptr;
    for (const std::uint32_t id : ids) {
      const auto it = by_id_.find(id);
      if (it == by_id_.end()) return nullptr;
      if (fewest == nullptr || it->second.size() < fewest->size()) fewest = &it->second;
    }
    if (fewest->size() > kMaxLookedThrough) return nullptr;
    std::vector<const Tree*> fits;
    for (const std::size_t t : *fewest) {
      const Tree& tree = trees_[t];
      if (std::all_of(ids.begin(), ids.end(), [&](std::uint32_t id) { return tree.holds(id); }))
        fits.push_back(&tree);
      if (fits.size() > kMaxFits) return nullptr;
    }
    const Tree* best = nullptr;
    for (const Tree* t : fits) {
      const bool within_another = std::any_of(fits.begin(), fits.end(), [&](const Tree* u) {
        return u != t && u->elements.size() > t->elements.size() && u->contains(*t);
      });
      if (within_another) continue;
      if (best != nullptr && best->elements != t->elements) return nullptr;
      if (best == nullptr || t->block->id > best->block->id) best = t;
    }
    return best ? best->block : nullptr;
  }

 private:
  // More fitting trees than this are ambiguous whatever they hold.
  static constexpr std::size_t kMaxFits = 16;
  static constexpr std::size_t kMaxLookedThrough = 1024;
  struct Tree {
    const BlockRef* block;
    std::vector<Element> elements;  // sorted
    bool holds(std::uint32_t id) const {
      const auto it = std::lower_bound(elements.begin(), elements.end(), Element{id, nullptr});
      return it != elements.end() && it->first == id;
    }
    bool contains(const Tree& other) const {
      return std::includes(elements.begin(), elements.end(), other.elements.begin(),
                           other.elements.end());
    }
  };
  std::vector<Tree> trees_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> by_id_;
};

}  // namespace

void add_orphaned_items(const ByteSource& source, const NodeReader& reader,
                        RecoveryTables& tables, const ContentsRows& contents) {
  const std::vector<std::uint64_t> used_sorted = used_blocks(reader, tables);

  // Candidates: unused data trees whose first leaf is a property context, then unused
  // single blocks that are one. A tree's leaves are its own, not candidates of their own.
  // Ids come in ascending order, so the used ones are passed by one walk along them.
  std::vector<const BlockRef*> trees, singles;
  auto next_used = used_sorted.begin();
  tables.blocks.for_each_id([&](const BlockRef& ref) {
    while (next_used != used_sorted.end() && *next_used < ref.id) ++next_used;
    if (next_used != used_sorted.end() && *next_used == ref.id) return;
    (pst::is_internal_block(ref.id) ? trees : singles).push_back(&ref);
  });
  auto is_used = [&](std::uint64_t id) {
    return std::binary_search(used_sorted.begin(), used_sorted.end(), id);
  };
  std::unordered_set<std::uint64_t> in_trees;  // leaves of the candidate trees
  HeadReader heads(source);
  std::vector<const BlockRef*> candidates;
  SpareSubnodeTrees spare_trees;
  for (const BlockRef* tree : trees) {
    const std::vector<std::uint64_t> children = reader.read_tree_children(*tree);
    if (children.empty()) {  // no data tree: perhaps a subnode block
      spare_trees.add(*tree, reader.read_subnodes(tree));
      continue;
    }
    const BlockRef* first = children.empty() ? nullptr : tables.find_block(children.front());
    if (first == nullptr || pst::is_internal_block(first->id) || is_used(first->id) ||
        in_trees.contains(first->id))
      continue;
    if (!starts_property_context(heads, source, tables, *first)) continue;
    for (const std::uint64_t child : children) in_trees.insert(child & ~std::uint64_t{1});
    candidates.push_back(tree);
  }
  // In file order, through the window; then back in id order, as found.
  std::vector<const BlockRef*> single_candidates;
  for (const BlockRef* single : by_stretch(singles, source.size()))
    if (!in_trees.contains(single->id) && starts_property_context(heads, source, tables, *single))
      single_candidates.push_back(single);
  std::sort(single_candidates.begin(), single_candidates.end(),
            [](const BlockRef* a, const BlockRef* b) { return a->id < b->id; });
  for (const BlockRef* single : single_candidates)
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
      const std::uint32_t node_id = pst::load_le32(id->value, 0);
      ListedMessage m{folder, node_id, key_of(row), false,
                      tables.objects.find(node_id) != kNoObject};
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
  std::vector<std::pair<ObjectIndex, const BlockRef*>> given_trees;
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
    // Where rows of several messages fit (messages that share their times and subject), the
    // row of a message the scan found is no sign that this block is that message: a leftover
    // of an earlier state taken for it would stand beside it as its newest version. Only
    // the rows of messages found nowhere else are taken then.
    const MessageKey key = key_of(item->content->properties);
    std::vector<ListedMessage*> fitting;
    for (const std::string& k : {time_key('d', key.delivery), time_key('s', key.submitted)}) {
      if (k.size() == 1) continue;
      const auto rows = by_time.find(k);
      if (rows == by_time.end()) continue;
      // The copies of one message share their times; beyond a thousand rows of one time (a
      // hostile table) each orphan would look through them all.
      const std::size_t looked = std::min(rows->second.size(), kMaxRowsOfOneTime);
      for (std::size_t r = 0; r < looked; ++r)
        if (matches(listed[rows->second[r]].key, key)) fitting.push_back(&listed[rows->second[r]]);
    }
    const bool several = std::any_of(fitting.begin(), fitting.end(), [&](const ListedMessage* m) {
      return m->node_id != fitting.front()->node_id;
    });
    ListedMessage* match = nullptr;
    for (ListedMessage* m : fitting)
      if (!(several && m->recovered) && (match == nullptr || (match->taken && !m->taken)))
        match = m;
    const ObjectIndex folder = match ? tables.objects.find(match->folder) : kNoObject;
    const std::uint32_t node_id = match && folder != kNoObject ? match->node_id : spare.next();
    if (node_id == 0) break;
    const std::vector<std::uint32_t> subnodes = referenced_subnodes(reader, *data);
    const BlockRef* subnode_tree = subnodes.empty() ? nullptr : spare_trees.holding(subnodes);
    const ObjectIndex object = tables.objects.create(node_id, nullptr, data, true);
    if (subnode_tree != nullptr) given_trees.emplace_back(object, subnode_tree);
    if (folder != kNoObject) {
      match->taken = true;
      tables.objects.append_child(folder, object);
      ++tables.orphans_placed;
    } else {
      tables.objects.append_top_level(object);
    }
    ++tables.orphans_found;
  }
  // A tree that fits two orphans (two versions of one message, or messages whose large
  // values share ids) is given to neither.
  std::unordered_map<const BlockRef*, int> claims;
  for (const auto& [object, tree] : given_trees) ++claims[tree];
  for (const auto& [object, tree] : given_trees)
    if (claims[tree] == 1) tables.objects[object].subnode_block = tree;
}

}  // namespace pstorian
