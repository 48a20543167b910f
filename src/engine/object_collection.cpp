#include "engine/object_collection.h"

#include <array>
#include <unordered_map>

#include "format/endian.h"

namespace pstorian {
namespace {

// Creates the object of one entry and, behind it, one object per further copy of its
// data block in version-chain order. Returns the first and the count.
struct CreatedObjects {
  ObjectIndex first;
  std::uint32_t count;
};

CreatedObjects create_objects(const NodeEntry& e, RecoveryTables& tables) {
  const BlockRef* sub = tables.find_block(e.subnode_block_id);
  const BlockRef* data = tables.find_block(e.data_block_id);
  const ObjectIndex first = tables.objects.create(e.node_id, sub, data, e.primary);
  std::uint32_t count = 1;
  if (data != nullptr) {
    for (const BlockRef* v = tables.blocks.next_version(*data); v != nullptr;
         v = tables.blocks.next_version(*v)) {
      tables.objects.create(e.node_id, sub, v, false);
      ++count;
    }
  }
  // Objects are created consecutively in the arena, so the versions follow `first`.
  return {first, count};
}

}  // namespace

bool collect_objects(const NodeEntryList& parentless, const NodeEntryList& children,
                     RecoveryTables& tables, ProgressSink& progress, JobGate& gate) {
  ObjectTree& tree = tables.objects;
  // An object per entry, and room for some more for the further copies of data blocks;
  // room not used takes no memory.
  const std::size_t entries = parentless.size() + children.size();
  tree.reserve(tree.size() + entries + entries / 4);
  // The data block of an entry a few places on is looked up while this one is handled.
  constexpr std::size_t kAhead = 8;
  auto look_ahead = [&tables](const std::vector<NodeEntry>& list, std::size_t i) {
    if (i + kAhead < list.size()) tables.blocks.prefetch(list[i + kAhead].data_block_id);
  };
  std::size_t n = 0;
  for (const NodeEntry& e : parentless.entries()) {
    look_ahead(parentless.entries(), n);
    if (++n % 40 == 0) progress.step();
    if (!gate.pass()) return false;
    const CreatedObjects made = create_objects(e, tables);
    for (std::uint32_t k = 0; k < made.count; ++k) tree.append_top_level(made.first + k);
  }

  // The parent cache: the object handed out for a parent node id the first time it was
  // found; later children of that id get the same object.
  std::unordered_map<std::uint32_t, ObjectIndex> parent_cache;
  parent_cache.reserve(children.size() / 8);
  n = 0;
  for (const NodeEntry& e : children.entries()) {
    look_ahead(children.entries(), n);
    if (++n % 50 == 0) progress.step();
    if (!gate.pass()) return false;
    const CreatedObjects made = create_objects(e, tables);
    ObjectIndex parent = kNoObject;
    if (auto it = parent_cache.find(e.parent_id); it != parent_cache.end()) {
      parent = it->second;
    } else {
      parent = tree.find(e.parent_id);
      if (parent != kNoObject) parent_cache.emplace(e.parent_id, parent);
    }
    for (std::uint32_t k = 0; k < made.count; ++k) {
      if (parent != kNoObject)
        tree.append_child(parent, made.first + k);
      else
        tree.append_top_level(made.first + k);
    }
  }
  return true;
}

// A heap-on-node header: bSig 0xEC and the client signature at bytes 2-3, the user root
// heap id at 4-5, and at 12-13 the type and key size of the first allocation (the
// property context's B-tree-on-heap header, or the table context's TCINFO).
HeapHeader classify_heap_header(std::span<const std::uint8_t, 16> bytes) {
  struct Pattern {
    std::uint16_t sig, root, first;
    HeapHeader kind;
  };
  static constexpr std::array<Pattern, 4> kPatterns{{
      {0xBCEC, 0x0020, 0x02B5, HeapHeader::kPlain},    // property context
      {0x7CEC, 0x0040, 0x04B5, HeapHeader::kPlain},    // table context
      {0x93FF, 0x414C, 0x13A6, HeapHeader::kEncoded},  // property context, permuted
      {0x1CFF, 0x41AA, 0xA8A6, HeapHeader::kEncoded},  // table context, permuted
  }};
  const std::uint16_t sig = pst::load_le16(bytes, 2);
  const std::uint16_t root = pst::load_le16(bytes, 4);
  const std::uint16_t first = pst::load_le16(bytes, 12);
  for (const Pattern& p : kPatterns)
    if (p.sig == sig && p.root == root && p.first == first) return p.kind;
  return HeapHeader::kNone;
}

void detect_encoding(RecoveryTables& tables, const ByteSource& source) {
  const ObjectTree& tree = tables.objects;
  // The next object after `x` once its subtree is done: its next sibling, or that of the
  // nearest ancestor that has one.
  auto after = [&tree](ObjectIndex x) {
    while (x != kNoObject) {
      if (tree[x].next_sibling != kNoObject) return tree[x].next_sibling;
      x = tree[x].parent;
    }
    return kNoObject;
  };

  int plain = 0;
  int encoded = 0;
  ObjectIndex x = tree.first_top_level();
  while (x != kNoObject && plain + encoded < 3) {
    const ObjectNode& o = tree[x];
    if (o.data_block != nullptr) {
      std::array<std::uint8_t, 16> head{};
      source.read_at(o.data_block->offset, head);
      switch (classify_heap_header(head)) {
        case HeapHeader::kPlain: ++plain; break;
        case HeapHeader::kEncoded: ++encoded; break;
        case HeapHeader::kNone: break;
      }
      // The children of an object with data are not looked at.
      x = after(x);
    } else if (o.first_child != kNoObject) {
      x = o.first_child;
    } else {
      x = after(x);
    }
  }
  tables.encoded = !(plain > encoded);
}

}  // namespace pstorian
