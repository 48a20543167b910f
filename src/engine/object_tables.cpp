#include "engine/object_tables.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "engine/huge_pages.h"

namespace pstorian {

// ---------------------------------------------------------------------------------------
// BlockIndex

void BlockIndex::add(std::uint64_t id, std::uint64_t offset, std::uint32_t size) {
  if (pending_.empty()) pending_.emplace_back();
  pending_.back().push_back(BlockRef{id, offset, size});
  ++pending_count_;
}

void BlockIndex::add_found(std::vector<BlockRef> copies) {
  pending_count_ += copies.size();
  pending_.push_back(std::move(copies));
}

void BlockIndex::reserve(std::size_t n) {
  if (pending_.empty()) pending_.emplace_back();
  pending_.back().reserve(pending_.back().size() + n);
}

namespace {

bool by_id(const BlockRef& a, const BlockRef& b) { return a.id < b.id; }

// How ids map to buckets: (id - min_id) >> shift, about four blocks to a bucket when the
// ids are spread evenly. Skewed ids only make some buckets fuller.
struct BucketLayout {
  std::uint64_t min_id = 0;
  unsigned shift = 0;
  std::size_t count = 0;  // buckets, plus one that stays empty
};

std::uint64_t shifted(std::uint64_t v, unsigned shift) { return shift >= 64 ? 0 : v >> shift; }

BucketLayout layout_for(std::uint64_t min_id, std::uint64_t max_id, std::size_t blocks) {
  BucketLayout l{min_id, 0, 0};
  const std::uint64_t span = max_id - min_id;
  const std::uint64_t wanted = std::max<std::uint64_t>(1, blocks / 4);
  while (shifted(span, l.shift) >= wanted) ++l.shift;
  l.count = static_cast<std::size_t>(shifted(span, l.shift)) + 2;
  return l;
}

std::size_t bucket_in(const BucketLayout& l, std::uint64_t id) {
  return static_cast<std::size_t>(shifted(id - l.min_id, l.shift));
}

// Sorts the pieces, taken one after another, stably by id into `out`, and sets `starts`
// to the bucket starts of `layout` over `out`. One pass deals each block to its bucket in
// found order; the few blocks of a bucket are then put in id order, which keeps equal ids
// in found order too.
void bucket_sort(const std::vector<std::vector<BlockRef>>& pieces, std::size_t total,
                 const BucketLayout& layout, std::vector<BlockRef>& out,
                 std::vector<std::uint32_t>& starts) {
  starts.assign(layout.count, 0);
  for (const auto& piece : pieces)
    for (const BlockRef& b : piece) ++starts[bucket_in(layout, b.id) + 1];
  for (std::size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  out.reserve(total);
  prefer_huge_pages(out);
  out.resize(total);
  for (const auto& piece : pieces)
    for (const BlockRef& b : piece) out[starts[bucket_in(layout, b.id)]++] = b;
  // Each start has moved on to the end of its bucket, which is where the next one begins.
  std::copy_backward(starts.begin(), starts.end() - 1, starts.end());
  starts[0] = 0;

  for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
    const auto first = out.begin() + starts[k];
    const auto last = out.begin() + starts[k + 1];
    if (last - first > 16) {
      std::stable_sort(first, last, by_id);
      continue;
    }
    for (auto it = first + (first != last); it < last; ++it) {
      const BlockRef b = *it;
      auto hole = it;
      for (; hole != first && (hole - 1)->id > b.id; --hole) *hole = *(hole - 1);
      *hole = b;
    }
  }
}

}  // namespace

void BlockIndex::build_index() const {
  std::uint64_t lo = UINT64_MAX, hi = 0;
  for (const auto& piece : pending_)
    for (const BlockRef& b : piece) {
      lo = std::min(lo, b.id);
      hi = std::max(hi, b.id);
    }
  if (sorted_.empty()) {
    const BucketLayout layout = layout_for(lo, hi, pending_count_);
    bucket_sort(pending_, pending_count_, layout, sorted_, buckets_);
    min_id_ = layout.min_id;
    shift_ = layout.shift;
  } else {
    std::vector<BlockRef> fresh;
    std::vector<std::uint32_t> unused;
    bucket_sort(pending_, pending_count_, layout_for(lo, hi, pending_count_), fresh, unused);
    // Copies added later come after the earlier ones of the same id: std::merge takes
    // from its first range on ties.
    std::vector<BlockRef> merged;
    merged.reserve(sorted_.size() + fresh.size());
    std::merge(sorted_.begin(), sorted_.end(), fresh.begin(), fresh.end(),
               std::back_inserter(merged), by_id);
    if (handed_out_) retired_.push_back(std::move(sorted_));
    sorted_ = std::move(merged);
    const BucketLayout layout = layout_for(sorted_.front().id, sorted_.back().id, sorted_.size());
    buckets_.assign(layout.count, 0);
    std::size_t pos = 0;
    for (std::size_t b = 0; b < layout.count; ++b) {
      while (pos < sorted_.size() && bucket_in(layout, sorted_[pos].id) < b) ++pos;
      buckets_[b] = static_cast<std::uint32_t>(pos);
    }
    min_id_ = layout.min_id;
    shift_ = layout.shift;
  }
  max_id_ = sorted_.empty() ? 0 : sorted_.back().id;
  pending_ = {};
  pending_count_ = 0;
  handed_out_ = false;
}

const BlockRef* BlockIndex::find(std::uint64_t id) const {
  if (id == 0) return nullptr;
  if (pending_count_ != 0) build_index();
  const std::uint64_t key = id & ~std::uint64_t{1};
  if (sorted_.empty() || key < min_id_ || key > max_id_) return nullptr;
  const std::size_t b = bucket_of(key);
  const auto first = sorted_.begin() + buckets_[b];
  const auto last = sorted_.begin() + buckets_[b + 1];
  const auto it = std::lower_bound(first, last, key,
                                   [](const BlockRef& x, std::uint64_t k) { return x.id < k; });
  if (it == last || it->id != key) return nullptr;
  handed_out_ = true;
  return &*it;
}

void BlockIndex::for_each_id(const std::function<void(const BlockRef&)>& f) const {
  if (pending_count_ != 0) build_index();
  handed_out_ = true;
  for (std::size_t i = 0; i < sorted_.size(); ++i)
    if (i == 0 || sorted_[i].id != sorted_[i - 1].id) f(sorted_[i]);
}

void BlockIndex::prefetch(std::uint64_t id) const {
  if (pending_count_ != 0) build_index();
  const std::uint64_t key = id & ~std::uint64_t{1};
  if (sorted_.empty() || key < min_id_ || key > max_id_) return;
  __builtin_prefetch(sorted_.data() + buckets_[bucket_of(key)]);
}

std::size_t BlockIndex::position_of(const BlockRef& ref) const {
  if (!sorted_.empty() && &ref >= sorted_.data() && &ref < sorted_.data() + sorted_.size())
    return static_cast<std::size_t>(&ref - sorted_.data());
  // A copy of a BlockRef, or one from before a rebuild: look for the same copy.
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), ref, by_id);
  for (; it != sorted_.end() && it->id == ref.id; ++it)
    if (it->offset == ref.offset && it->size == ref.size)
      return static_cast<std::size_t>(it - sorted_.begin());
  return SIZE_MAX;
}

// A group c0, c1, ..., cn (found order) chains as c0 -> cn -> ... -> c1: each later copy
// was linked directly behind the first one when it was found.
const BlockRef* BlockIndex::next_version(const BlockRef& ref) const {
  if (pending_count_ != 0) build_index();
  const std::size_t pos = position_of(ref);
  if (pos >= sorted_.size()) return nullptr;
  const std::uint64_t id = sorted_[pos].id;
  handed_out_ = true;
  const bool is_first = pos == 0 || sorted_[pos - 1].id != id;
  if (is_first) {
    std::size_t end = pos + 1;
    while (end < sorted_.size() && sorted_[end].id == id) ++end;
    return end - pos > 1 ? &sorted_[end - 1] : nullptr;
  }
  const bool second_found = pos == 1 || sorted_[pos - 2].id != id;
  return second_found ? nullptr : &sorted_[pos - 1];
}

std::size_t BlockIndex::ids_with_versions() const {
  if (pending_count_ != 0) build_index();
  std::size_t n = 0;
  for (std::size_t i = 1; i < sorted_.size(); ++i)
    if (sorted_[i].id == sorted_[i - 1].id && (i < 2 || sorted_[i - 2].id != sorted_[i].id)) ++n;
  return n;
}

void BlockIndex::prefer_intact(const std::function<bool(const BlockRef&)>& intact) {
  if (pending_count_ != 0) build_index();
  std::vector<BlockRef> chain;
  for (std::size_t start = 0, end = 0; start < sorted_.size(); start = end) {
    end = start + 1;
    while (end < sorted_.size() && sorted_[end].id == sorted_[start].id) ++end;
    if (end - start < 2 || intact(sorted_[start])) continue;
    // The group c0, c1, ..., cn is stored in found order and chains c0 -> cn -> ... -> c1.
    chain.assign(1, sorted_[start]);
    for (std::size_t i = end - 1; i > start; --i) chain.push_back(sorted_[i]);
    const auto sound = std::find_if(chain.begin() + 1, chain.end(), intact);
    if (sound == chain.end()) continue;
    const BlockRef first = *sound;
    chain.erase(sound);
    // Stored back so that the chain reads: the intact copy, then the others in their order.
    sorted_[start] = first;
    for (std::size_t k = 0; k < chain.size(); ++k) sorted_[end - 1 - k] = chain[k];
  }
}

void BlockIndex::clear() {
  pending_ = {};
  pending_count_ = 0;
  sorted_ = {};
  buckets_ = {};
  retired_ = {};
  min_id_ = max_id_ = 0;
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
  depth_.push_back(0);
  jump_.push_back(index);
  if (run_starts_.empty() || node_id < ids_.back()) {
    if (run_starts_.size() == kMaxRuns) fold_runs();
    run_starts_.push_back(index);
  }
  ids_.push_back(node_id);
  claim_index_valid_ = false;
  return index;
}

// Folding costs a sort of what the runs hold, and happens only after kMaxRuns descents in
// node id.
void ObjectTree::fold_runs() {
  const std::size_t old_size = folded_.size();
  for (std::size_t i = run_starts_.front(); i < ids_.size(); ++i)
    folded_.push_back(IdEntry{ids_[i], static_cast<ObjectIndex>(i)});
  auto by_id_then_object = [](const IdEntry& a, const IdEntry& b) {
    return a.node_id != b.node_id ? a.node_id < b.node_id : a.object < b.object;
  };
  const auto middle = folded_.begin() + static_cast<std::ptrdiff_t>(old_size);
  std::sort(middle, folded_.end(), by_id_then_object);
  std::inplace_merge(folded_.begin(), middle, folded_.end(), by_id_then_object);
  run_starts_.clear();
}

void ObjectTree::reserve(std::size_t n) {
  objects_.reserve(n);
  prefer_huge_pages(objects_);
  sibling_seq_.reserve(n);
  depth_.reserve(n);
  jump_.reserve(n);
  ids_.reserve(n);
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
  depth_[object] = 0;
  jump_[object] = object;
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
  // The jump of an object leads to its parent, or, where the parent's jump and the jump's
  // jump span equal distances, twice as far as the parent's jump: the skew-binary scheme,
  // in which any ancestor is reached in a logarithmic number of steps.
  depth_[object] = depth_[parent] + 1;
  const ObjectIndex up = jump_[parent];
  jump_[object] = depth_[parent] - depth_[up] == depth_[up] - depth_[jump_[up]] ? jump_[up] : parent;
  claim_index_valid_ = false;
}

ObjectIndex ObjectTree::ancestor_at(ObjectIndex x, std::uint32_t depth) const {
  while (depth_[x] > depth) x = depth_[jump_[x]] >= depth ? jump_[x] : objects_[x].parent;
  return x;
}

// Lists are only ever appended to, so an object's position among its siblings never
// changes; comparing the two ancestors just below the point where the paths part decides
// pre-order. The jumps find that point in logarithmic steps: walking the whole paths made
// a lookup cost the depth of the tree, and a chain of nodes nested thousands deep made
// the collection quadratic.
bool ObjectTree::precedes_in_pre_order(ObjectIndex a, ObjectIndex b) const {
  if (a == b) return false;
  if (depth_[a] > depth_[b]) {
    a = ancestor_at(a, depth_[b]);
    if (a == b) return false;  // b is an ancestor of a
  } else if (depth_[b] > depth_[a]) {
    b = ancestor_at(b, depth_[a]);
    if (a == b) return true;  // a is an ancestor of b
  }
  // At equal depths the jumps lead to equal depths too.
  while (objects_[a].parent != objects_[b].parent) {
    if (jump_[a] != jump_[b]) {
      a = jump_[a];
      b = jump_[b];
    } else {
      a = objects_[a].parent;
      b = objects_[b].parent;
    }
  }
  return sibling_seq_[a] < sibling_seq_[b];
}

ObjectIndex ObjectTree::find(std::uint32_t node_id) const {
  ObjectIndex best = kNoObject;
  auto consider = [&](ObjectIndex candidate) {
    // Objects not yet attached anywhere are not part of the tree.
    const ObjectNode& c = objects_[candidate];
    const bool attached = c.parent != kNoObject || c.prev_sibling != kNoObject || first_top_ == candidate;
    if (!attached) return;
    if (best == kNoObject || precedes_in_pre_order(candidate, best)) best = candidate;
  };
  auto f = std::lower_bound(folded_.begin(), folded_.end(), node_id,
                            [](const IdEntry& e, std::uint32_t id) { return e.node_id < id; });
  for (; f != folded_.end() && f->node_id == node_id; ++f) consider(f->object);
  for (std::size_t r = 0; r < run_starts_.size(); ++r) {
    const auto first = ids_.begin() + run_starts_[r];
    const auto last = r + 1 < run_starts_.size() ? ids_.begin() + run_starts_[r + 1] : ids_.end();
    for (auto it = std::lower_bound(first, last, node_id); it != last && *it == node_id; ++it)
      consider(static_cast<ObjectIndex>(it - ids_.begin()));
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
  depth_.clear();
  jump_.clear();
  first_top_ = last_top_ = kNoObject;
  top_count_ = 0;
  ids_.clear();
  run_starts_.clear();
  folded_.clear();
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
  form = pst::FileForm::kAnsi;
  encoded = false;
  cyclic = false;
  orphans_found = 0;
  orphans_placed = 0;
}

std::optional<ObjectIndex> RecoveryTables::claim_object(std::uint32_t node_id) {
  const ObjectIndex x = objects.claim(node_id);
  if (x == kNoObject) return std::nullopt;
  return x;
}

}  // namespace pstorian
