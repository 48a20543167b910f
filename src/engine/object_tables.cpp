#include "engine/object_tables.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace pstorian {

// ---------------------------------------------------------------------------------------
// BlockIndex

void BlockIndex::add(std::uint32_t id, std::uint32_t offset, std::uint32_t size) {
  pending_.push_back(BlockRef{id, offset, size});
}

void BlockIndex::reserve(std::size_t n) { pending_.reserve(n); }

namespace {

bool by_id(const BlockRef& a, const BlockRef& b) { return a.id < b.id; }

// Stable sort by id: counting passes over 11 bits of the id at a time, as many as the
// largest id needs. A million blocks sort in a few milliseconds, and equal ids keep their
// found order.
void radix_sort_by_id(std::vector<BlockRef>& v) {
  if (std::is_sorted(v.begin(), v.end(), by_id)) return;
  std::uint32_t max_id = 0;
  for (const BlockRef& b : v) max_id = std::max(max_id, b.id);
  std::vector<BlockRef> tmp(v.size());
  std::vector<std::size_t> count(2049);
  for (unsigned shift = 0; shift < 32 && (max_id >> shift) != 0; shift += 11) {
    std::fill(count.begin(), count.end(), 0);
    for (const BlockRef& b : v) ++count[((b.id >> shift) & 0x7FF) + 1];
    for (std::size_t i = 1; i < count.size(); ++i) count[i] += count[i - 1];
    for (const BlockRef& b : v) tmp[count[(b.id >> shift) & 0x7FF]++] = b;
    v.swap(tmp);
  }
}

}  // namespace

void BlockIndex::build_index() const {
  radix_sort_by_id(pending_);
  if (sorted_.empty()) {
    sorted_.swap(pending_);
  } else {
    // Copies added later come after the earlier ones of the same id: std::merge takes
    // from its first range on ties.
    std::vector<BlockRef> merged;
    merged.reserve(sorted_.size() + pending_.size());
    std::merge(sorted_.begin(), sorted_.end(), pending_.begin(), pending_.end(),
               std::back_inserter(merged), by_id);
    if (handed_out_) retired_.push_back(std::move(sorted_));
    sorted_ = std::move(merged);
  }
  pending_.clear();
  pending_.shrink_to_fit();
  handed_out_ = false;

  keys_.resize(sorted_.size());
  for (std::size_t i = 0; i < sorted_.size(); ++i) keys_[i] = sorted_[i].id;
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
      while (pos < keys_.size() && bucket_of(keys_[pos]) < b) ++pos;
      buckets_[b] = static_cast<std::uint32_t>(pos);
    }
  }
}

const BlockRef* BlockIndex::find(std::uint32_t id) const {
  if (id == 0) return nullptr;
  if (!pending_.empty()) build_index();
  const std::uint32_t key = id & ~1u;
  if (keys_.empty() || key < min_id_ || key > keys_.back()) return nullptr;
  const std::size_t b = bucket_of(key);
  const auto first = keys_.begin() + buckets_[b];
  const auto last = keys_.begin() + buckets_[b + 1];
  const auto it = std::lower_bound(first, last, key);
  if (it == last || *it != key) return nullptr;
  handed_out_ = true;
  return &sorted_[static_cast<std::size_t>(it - keys_.begin())];
}

std::size_t BlockIndex::position_of(const BlockRef& ref) const {
  if (!sorted_.empty() && &ref >= sorted_.data() && &ref < sorted_.data() + sorted_.size())
    return static_cast<std::size_t>(&ref - sorted_.data());
  // A copy of a BlockRef, or one from before a rebuild: look for the same copy.
  auto it = std::lower_bound(keys_.begin(), keys_.end(), ref.id);
  for (; it != keys_.end() && *it == ref.id; ++it) {
    const BlockRef& b = sorted_[static_cast<std::size_t>(it - keys_.begin())];
    if (b.offset == ref.offset && b.size == ref.size) return static_cast<std::size_t>(it - keys_.begin());
  }
  return SIZE_MAX;
}

// A group c0, c1, ..., cn (found order) chains as c0 -> cn -> ... -> c1: each later copy
// was linked directly behind the first one when it was found.
const BlockRef* BlockIndex::next_version(const BlockRef& ref) const {
  if (!pending_.empty()) build_index();
  const std::size_t pos = position_of(ref);
  if (pos >= keys_.size()) return nullptr;
  // From here on only keys_ is read: most blocks have one copy, and their BlockRef need
  // not be fetched at all.
  const std::uint32_t id = keys_[pos];
  handed_out_ = true;
  const bool is_first = pos == 0 || keys_[pos - 1] != id;
  if (is_first) {
    std::size_t end = pos + 1;
    while (end < keys_.size() && keys_[end] == id) ++end;
    return end - pos > 1 ? &sorted_[end - 1] : nullptr;
  }
  const bool second_found = pos == 1 || keys_[pos - 2] != id;
  return second_found ? nullptr : &sorted_[pos - 1];
}

std::size_t BlockIndex::ids_with_versions() const {
  if (!pending_.empty()) build_index();
  std::size_t n = 0;
  for (std::size_t i = 1; i < keys_.size(); ++i)
    if (keys_[i] == keys_[i - 1] && (i < 2 || keys_[i - 2] != keys_[i])) ++n;
  return n;
}

void BlockIndex::clear() {
  pending_ = {};
  sorted_ = {};
  keys_ = {};
  buckets_ = {};
  retired_ = {};
  min_id_ = 0;
  shift_ = 0;
  handed_out_ = false;
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
  next_of_id_.push_back(kNoObject);
  auto [it, inserted] = by_node_id_.try_emplace(node_id, IdChain{index, index});
  if (!inserted) {
    next_of_id_[it->second.last] = index;
    it->second.last = index;
  }
  claim_index_valid_ = false;
  return index;
}

void ObjectTree::reserve(std::size_t n) {
  objects_.reserve(n);
  sibling_seq_.reserve(n);
  next_of_id_.reserve(n);
  by_node_id_.reserve(n);
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
  for (ObjectIndex candidate = it->second.first; candidate != kNoObject; candidate = next_of_id_[candidate]) {
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
  next_of_id_.clear();
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
