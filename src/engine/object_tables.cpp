#include "engine/object_tables.h"

#include <algorithm>

namespace pstorian {

// ---------------------------------------------------------------------------------------
// BlockIndex

void BlockIndex::add(std::uint32_t id, std::uint32_t offset, std::uint32_t size) {
  blocks_.push_back(BlockRef{id, offset, size});
  dirty_ = true;
}

namespace {

struct SortItem {
  std::uint32_t id, pos;
};

// Stable sort by id: three counting passes over 11, 11 and 10 bits of the id. A million
// blocks sort in a few milliseconds, and equal ids keep their found order.
std::vector<SortItem> sort_by_id(const std::deque<BlockRef>& blocks) {
  std::vector<SortItem> v, tmp(blocks.size());
  v.reserve(blocks.size());
  for (const BlockRef& b : blocks) v.push_back({b.id, static_cast<std::uint32_t>(v.size())});
  std::vector<std::size_t> count(2049);
  for (unsigned shift : {0u, 11u, 22u}) {
    std::fill(count.begin(), count.end(), 0);
    for (const SortItem& x : v) ++count[((x.id >> shift) & 0x7FF) + 1];
    for (std::size_t i = 1; i < count.size(); ++i) count[i] += count[i - 1];
    for (const SortItem& x : v) tmp[count[(x.id >> shift) & 0x7FF]++] = x;
    v.swap(tmp);
  }
  return v;
}

}  // namespace

void BlockIndex::build_index() const {
  const std::vector<SortItem> order = sort_by_id(blocks_);
  sorted_.resize(order.size());
  keys_.resize(order.size());
  {
    // Each copy learns its sorted position; written in found order, the deque is walked
    // sequentially and only the small inverse table is written at random.
    std::vector<std::uint32_t> inverse(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      sorted_[i] = order[i].pos;
      keys_[i] = order[i].id;
      inverse[order[i].pos] = static_cast<std::uint32_t>(i);
    }
    std::size_t i = 0;
    for (const BlockRef& b : blocks_) b.sorted_position = inverse[i++];
  }
  // About four blocks per bucket when the ids are spread evenly; skewed ids only make
  // the buckets fuller, and the search within a bucket is binary.
  buckets_.clear();
  shift_ = 0;
  min_id_ = keys_.empty() ? 0 : keys_.front();
  if (!keys_.empty()) {
    const std::uint64_t span = static_cast<std::uint64_t>(keys_.back()) - min_id_;
    const std::uint64_t wanted = std::max<std::uint64_t>(1, keys_.size() / 4);
    while ((span >> shift_) >= wanted) ++shift_;
    const std::size_t n = static_cast<std::size_t>(span >> shift_) + 2;
    buckets_.assign(n, 0);
    std::size_t pos = 0;
    for (std::size_t b = 0; b < n; ++b) {
      while (pos < keys_.size() && ((keys_[pos] - min_id_) >> shift_) < b) ++pos;
      buckets_[b] = static_cast<std::uint32_t>(pos);
    }
  }
  dirty_ = false;
}

const BlockRef* BlockIndex::find(std::uint32_t id) const {
  if (id == 0) return nullptr;
  if (dirty_) build_index();
  const std::uint32_t key = id & ~1u;
  if (keys_.empty() || key < min_id_ || key > keys_.back()) return nullptr;
  const std::size_t b = (key - min_id_) >> shift_;
  const auto first = keys_.begin() + buckets_[b];
  const auto last = keys_.begin() + buckets_[b + 1];
  const auto it = std::lower_bound(first, last, key);
  if (it == last || *it != key) return nullptr;
  return &blocks_[sorted_[static_cast<std::size_t>(it - keys_.begin())]];
}

// A group c0, c1, ..., cn (found order) chains as c0 -> cn -> ... -> c1: each later copy
// was linked directly behind the first one when it was found.
const BlockRef* BlockIndex::next_version(const BlockRef& ref) const {
  if (dirty_) build_index();
  const std::size_t pos = ref.sorted_position;
  const std::uint32_t id = ref.id;
  // A copy of a BlockRef names the same place; anything else has no chain here.
  if (pos >= keys_.size() || keys_[pos] != id) return nullptr;
  const bool is_first = pos == 0 || keys_[pos - 1] != id;
  if (is_first) {
    std::size_t end = pos + 1;
    while (end < keys_.size() && keys_[end] == id) ++end;
    return end - pos > 1 ? &blocks_[sorted_[end - 1]] : nullptr;
  }
  const bool second_found = pos == 1 || keys_[pos - 2] != id;
  return second_found ? nullptr : &blocks_[sorted_[pos - 1]];
}

std::size_t BlockIndex::ids_with_versions() const {
  if (dirty_) build_index();
  std::size_t n = 0;
  for (std::size_t i = 1; i < keys_.size(); ++i)
    if (keys_[i] == keys_[i - 1] && (i < 2 || keys_[i - 2] != keys_[i])) ++n;
  return n;
}

void BlockIndex::clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  sorted_.clear();
  sorted_.shrink_to_fit();
  keys_.clear();
  keys_.shrink_to_fit();
  buckets_.clear();
  buckets_.shrink_to_fit();
  min_id_ = 0;
  shift_ = 0;
  dirty_ = false;
}

// ---------------------------------------------------------------------------------------
// ObjectTree

ObjectIndex ObjectTree::create(std::uint32_t node_id, const BlockRef* subnode_block,
                               const BlockRef* data_block, bool primary) {
  ObjectNode n;
  n.node_id = node_id;
  n.subnode_block = subnode_block;
  n.data_block = data_block;
  n.primary = primary;
  const auto index = static_cast<ObjectIndex>(objects_.size());
  objects_.push_back(n);
  sibling_seq_.push_back(0);
  by_node_id_[node_id].push_back(index);
  claim_index_valid_ = false;
  return index;
}

void ObjectTree::append_top_level(ObjectIndex object) {
  ObjectNode& n = objects_[object];
  n.parent = kNoObject;
  n.prev_sibling = last_top_;
  n.next_sibling = kNoObject;
  if (last_top_ == kNoObject) {
    first_top_ = object;
    sibling_seq_[object] = 0;
  } else {
    objects_[last_top_].next_sibling = object;
    sibling_seq_[object] = sibling_seq_[last_top_] + 1;
  }
  last_top_ = object;
  ++top_count_;
  claim_index_valid_ = false;
}

void ObjectTree::append_child(ObjectIndex parent, ObjectIndex object) {
  ObjectNode& p = objects_[parent];
  ObjectNode& n = objects_[object];
  n.parent = parent;
  n.prev_sibling = p.last_child;
  n.next_sibling = kNoObject;
  if (p.last_child == kNoObject) {
    p.first_child = object;
    sibling_seq_[object] = 0;
  } else {
    objects_[p.last_child].next_sibling = object;
    sibling_seq_[object] = sibling_seq_[p.last_child] + 1;
  }
  p.last_child = object;
  ++p.child_count;
  claim_index_valid_ = false;
}

// Lists are only ever appended to, so an object's position among its siblings never
// changes; comparing the two ancestor paths at the point where they part decides pre-order.
bool ObjectTree::precedes_in_pre_order(ObjectIndex a, ObjectIndex b) const {
  if (a == b) return false;
  std::vector<ObjectIndex> pa, pb;
  for (ObjectIndex x = a; x != kNoObject; x = objects_[x].parent) pa.push_back(x);
  for (ObjectIndex x = b; x != kNoObject; x = objects_[x].parent) pb.push_back(x);
  auto ia = pa.rbegin();
  auto ib = pb.rbegin();
  while (ia != pa.rend() && ib != pb.rend() && *ia == *ib) {
    ++ia;
    ++ib;
  }
  if (ia == pa.rend()) return true;   // a is an ancestor of b
  if (ib == pb.rend()) return false;  // b is an ancestor of a
  return sibling_seq_[*ia] < sibling_seq_[*ib];
}

ObjectIndex ObjectTree::find(std::uint32_t node_id) const {
  auto it = by_node_id_.find(node_id);
  if (it == by_node_id_.end()) return kNoObject;
  ObjectIndex best = kNoObject;
  for (ObjectIndex candidate : it->second) {
    // Objects not yet attached anywhere are not part of the tree.
    const ObjectNode& c = objects_[candidate];
    const bool attached = c.parent != kNoObject || c.prev_sibling != kNoObject || first_top_ == candidate;
    if (!attached) continue;
    if (best == kNoObject || precedes_in_pre_order(candidate, best)) best = candidate;
  }
  return best;
}

std::vector<ObjectIndex> ObjectTree::pre_order() const {
  std::vector<ObjectIndex> out;
  out.reserve(objects_.size());
  std::vector<ObjectIndex> stack;
  for (ObjectIndex top = first_top_; top != kNoObject; top = objects_[top].next_sibling) {
    stack.push_back(top);
    while (!stack.empty()) {
      const ObjectIndex x = stack.back();
      stack.pop_back();
      out.push_back(x);
      // Push children last-to-first so the first child is visited next.
      for (ObjectIndex c = objects_[x].last_child; c != kNoObject; c = objects_[c].prev_sibling)
        stack.push_back(c);
    }
  }
  return out;
}

void ObjectTree::build_claim_index() {
  claim_index_.clear();
  for (ObjectIndex x : pre_order()) claim_index_[objects_[x].node_id].objects.push_back(x);
  claim_index_valid_ = true;
}

ObjectIndex ObjectTree::claim(std::uint32_t node_id) {
  if (!claim_index_valid_) build_claim_index();
  auto it = claim_index_.find(node_id);
  if (it == claim_index_.end()) return kNoObject;
  ClaimList& list = it->second;
  // Claims only ever clear flags, so everything before the cursor stays claimed.
  while (list.cursor < list.objects.size() && !objects_[list.objects[list.cursor]].unclaimed)
    ++list.cursor;
  if (list.cursor == list.objects.size()) return kNoObject;
  const ObjectIndex x = list.objects[list.cursor++];
  objects_[x].unclaimed = false;
  return x;
}

void ObjectTree::clear() {
  objects_.clear();
  sibling_seq_.clear();
  first_top_ = last_top_ = kNoObject;
  top_count_ = 0;
  by_node_id_.clear();
  claim_index_.clear();
  claim_index_valid_ = false;
}

// ---------------------------------------------------------------------------------------
// RecoveryTables

void RecoveryTables::clear() {
  blocks.clear();
  objects.clear();
  named_props.clear();
  named_props_built = false;
  encoded = false;
}

std::optional<ObjectIndex> RecoveryTables::claim_object(std::uint32_t node_id) {
  const ObjectIndex x = objects.claim(node_id);
  if (x == kNoObject) return std::nullopt;
  return x;
}

}  // namespace pstorian
