#include "engine/object_tables.h"

#include <algorithm>
#include <numeric>

namespace pstorian {

// ---------------------------------------------------------------------------------------
// BlockIndex

void BlockIndex::add(std::uint32_t id, std::uint32_t offset, std::uint32_t size) {
  blocks_.push_back(BlockRef{id, offset, size});
  dirty_ = true;
}

void BlockIndex::build_index() const {
  sorted_.resize(blocks_.size());
  std::iota(sorted_.begin(), sorted_.end(), 0u);
  // Stable by found order within one id: the first copy found heads its group.
  std::stable_sort(sorted_.begin(), sorted_.end(),
                   [this](std::uint32_t a, std::uint32_t b) { return blocks_[a].id < blocks_[b].id; });
  next_.assign(blocks_.size(), kNoObject);
  // A group c0, c1, ..., cn (found order) chains as c0 -> cn -> ... -> c1: each later copy
  // was linked directly behind the first one when it was found.
  for (std::size_t g = 0; g < sorted_.size();) {
    std::size_t end = g + 1;
    while (end < sorted_.size() && blocks_[sorted_[end]].id == blocks_[sorted_[g]].id) ++end;
    std::uint32_t prev = sorted_[g];
    for (std::size_t k = end; k-- > g + 1;) {
      next_[prev] = sorted_[k];
      prev = sorted_[k];
    }
    g = end;
  }
  dirty_ = false;
}

const BlockRef* BlockIndex::find(std::uint32_t id) const {
  if (id == 0) return nullptr;
  if (dirty_) build_index();
  const std::uint32_t key = id & ~1u;
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), key,
                             [this](std::uint32_t pos, std::uint32_t k) { return blocks_[pos].id < k; });
  if (it == sorted_.end() || blocks_[*it].id != key) return nullptr;
  return &blocks_[*it];
}

const BlockRef* BlockIndex::next_version(const BlockRef& ref) const {
  if (dirty_) build_index();
  // Recover the position of `ref` in blocks_: the deque does not give it directly, so
  // search its id group for the same address.
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), ref.id,
                             [this](std::uint32_t pos, std::uint32_t k) { return blocks_[pos].id < k; });
  for (; it != sorted_.end() && blocks_[*it].id == ref.id; ++it) {
    if (&blocks_[*it] == &ref) {
      const std::uint32_t n = next_[*it];
      return n == kNoObject ? nullptr : &blocks_[n];
    }
  }
  return nullptr;
}

std::size_t BlockIndex::ids_with_versions() const {
  if (dirty_) build_index();
  std::size_t n = 0;
  for (std::size_t i = 1; i < sorted_.size(); ++i) {
    if (blocks_[sorted_[i]].id == blocks_[sorted_[i - 1]].id &&
        (i < 2 || blocks_[sorted_[i - 2]].id != blocks_[sorted_[i]].id))
      ++n;
  }
  return n;
}

void BlockIndex::clear() {
  blocks_.clear();
  sorted_.clear();
  next_.clear();
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
