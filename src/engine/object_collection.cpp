#include "engine/object_collection.h"

#include <array>
#include <unordered_map>
#include <vector>

#include "engine/bytes.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/layout_unicode.h"
#include "format/permute.h"

namespace pstorian {
namespace {

// The block's data and the check value of its trailer, which ends the 64-byte-rounded span:
// its last 4 bytes in the 32-bit form (cb, wSig, bid, dwCRC), bytes 4-7 of the 16 in the
// 64-bit form (cb, wSig, dwCRC, bid).
Bytes stored_block(const ByteSource& source, const BlockRef& b, pst::FileForm form) {
  const bool wide = form == pst::FileForm::kUnicode;
  const std::uint64_t trailer = wide ? pst::unicode::kBlockTrailerSize : pst::kBlockTrailerSize;
  Bytes out(std::size_t{b.size} + 4);
  source.read_at(b.offset, std::span(out).first(b.size));
  const std::uint64_t span = (std::uint64_t{b.size} + trailer + pst::kBlockAlignment - 1) /
                             pst::kBlockAlignment * pst::kBlockAlignment;
  source.read_at(b.offset + span - (wide ? 12 : 4), std::span(out).last(4));
  return out;
}

// The further copies of data blocks that an entry gets objects for. A block may be stored
// many times over with the same bytes (the file's own earlier states leave copies behind,
// and a crafted file can hold thousands): only a copy that differs from every copy before
// it in version order is a version of its own. Worked out once per block id.
class DistinctVersions {
 public:
  DistinctVersions(const BlockIndex& blocks, const ByteSource& source, pst::FileForm form)
      : blocks_(blocks), source_(source), form_(form) {}

  // The versions behind `first`, the first copy of its id, in version order.
  const std::vector<const BlockRef*>& behind(const BlockRef& first) {
    static const std::vector<const BlockRef*> kNone;
    // Finding the first version walks the whole group of copies, so it is done once.
    if (const auto known = memo_.find(&first); known != memo_.end()) return known->second;
    const BlockRef* v = blocks_.next_version(first);
    if (v == nullptr) return kNone;
    const auto it = memo_.try_emplace(&first).first;
    // Copies are told apart by a hash of their bytes and stored check value, and compared
    // in full only with the few earlier copies that hash alike.
    std::unordered_map<std::uint64_t, std::vector<const BlockRef*>> kept;
    kept[fingerprint(first)].push_back(&first);
    for (; v != nullptr; v = blocks_.next_version(*v)) {
      std::vector<const BlockRef*>& alike = kept[fingerprint(*v)];
      bool same = false;
      for (std::size_t i = 0; i < alike.size() && i < kMaxCompared && !same; ++i)
        same = identical(*alike[i], *v);
      if (same) continue;
      alike.push_back(v);
      it->second.push_back(v);
    }
    return it->second;
  }

 private:
  // Beyond this many copies that hash alike but differ, a copy is kept without comparing:
  // a spare object costs less than comparing every pair.
  static constexpr std::size_t kMaxCompared = 8;

  Bytes stored(const BlockRef& b) const { return stored_block(source_, b, form_); }
  std::uint64_t fingerprint(const BlockRef& b) const {
    // FNV-1a.
    std::uint64_t h = 0xCBF29CE484222325u;
    for (const std::uint8_t byte : stored(b)) h = (h ^ byte) * 0x100000001B3u;
    return h;
  }
  bool identical(const BlockRef& a, const BlockRef& b) const {
    return a.size == b.size && stored(a) == stored(b);
  }

  const BlockIndex& blocks_;
  const ByteSource& source_;
  pst::FileForm form_;
  std::unordered_map<const BlockRef*, std::vector<const BlockRef*>> memo_;
};

// Creates the object of one entry and, behind it, one object per distinct further copy of
// its data block in version-chain order. Returns the first and the count.
struct CreatedObjects {
  ObjectIndex first;
  std::uint32_t count;
};

CreatedObjects create_objects(const NodeEntry& e, RecoveryTables& tables,
                              DistinctVersions& versions) {
  const BlockRef* sub = tables.find_block(e.subnode_block_id);
  const BlockRef* data = tables.find_block(e.data_block_id);
  const ObjectIndex first = tables.objects.create(e.node_id, sub, data, e.primary);
  std::uint32_t count = 1;
  if (data != nullptr) {
    for (const BlockRef* v : versions.behind(*data)) {
      tables.objects.create(e.node_id, sub, v, false);
      ++count;
    }
  }
  // Objects are created consecutively in the arena, so the versions follow `first`.
  return {first, count};
}

}  // namespace

bool collect_objects(const NodeEntryList& parentless, const NodeEntryList& children,
                     const ByteSource& source, RecoveryTables& tables, ProgressSink& progress,
                     JobGate& gate) {
  if (!parentless.build(gate) || !children.build(gate)) return false;
  ObjectTree& tree = tables.objects;
  DistinctVersions versions(tables.blocks, source, tables.form);
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
    const CreatedObjects made = create_objects(e, tables, versions);
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
    const CreatedObjects made = create_objects(e, tables, versions);
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

bool block_intact(const ByteSource& source, const BlockRef& block, pst::FileForm form) {
  const Bytes stored = stored_block(source, block, form);
  const auto data = std::span(stored).first(block.size);
  return pst::crc32(data) == pst::load_le32(stored, block.size);
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

  // The cyclic encoding is keyed by each block's id, so its headers match no fixed pattern:
  // a header that is neither plain nor permuted counts for it if it reads as plain once
  // decoded. Only the 64-bit form is looked at for it.
  const bool try_cyclic = tables.form == pst::FileForm::kUnicode;
  int plain = 0;
  int encoded = 0;
  int cyclic = 0;
  ObjectIndex x = tree.first_top_level();
  while (x != kNoObject && plain + encoded + cyclic < 3) {
    const ObjectNode& o = tree[x];
    if (o.data_block != nullptr) {
      std::array<std::uint8_t, 16> head{};
      source.read_at(o.data_block->offset, head);
      switch (classify_heap_header(head)) {
        case HeapHeader::kPlain: ++plain; break;
        case HeapHeader::kEncoded: ++encoded; break;
        case HeapHeader::kNone:
          if (!try_cyclic) break;
          pst::cyclic_crypt(head, static_cast<std::uint32_t>(o.data_block->id));
          if (classify_heap_header(head) == HeapHeader::kPlain) ++cyclic;
          break;
      }
      // The children of an object with data are not looked at.
      x = after(x);
    } else if (o.first_child != kNoObject) {
      x = o.first_child;
    } else {
      x = after(x);
    }
  }
  // Without an object to go by (every leaf page lost), the heaps among the blocks say it.
  if (plain + encoded + cyclic == 0) {
    tables.blocks.for_each_id([&](const BlockRef& block) {
      if (plain + encoded + cyclic >= 3 || pst::is_internal_block(block.id) || block.size < 16)
        return;
      std::array<std::uint8_t, 16> head{};
      source.read_at(block.offset, head);
      switch (classify_heap_header(head)) {
        case HeapHeader::kPlain: ++plain; break;
        case HeapHeader::kEncoded: ++encoded; break;
        case HeapHeader::kNone:
          if (!try_cyclic) break;
          pst::cyclic_crypt(head, static_cast<std::uint32_t>(block.id));
          if (classify_heap_header(head) == HeapHeader::kPlain) ++cyclic;
          break;
      }
    });
  }
  tables.cyclic = cyclic > plain && cyclic > encoded;
  tables.encoded = !tables.cyclic && !(plain > encoded);
}

}  // namespace pstorian
