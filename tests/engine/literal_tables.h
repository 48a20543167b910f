// A deliberately plain model of the scan's lists and trees, used only by tests to check
// the real ones: sorted doubly linked entry lists with a milestone list every 100
// elements, six unbalanced block search trees with version chains linked behind the first
// copy, and an object tree whose lookups walk it in pre-order, with a parent cache list.
// Links are indexes into per-structure pools; -1 means none.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace literal {

constexpr int kNil = -1;

struct Entry {
  std::uint32_t nid = 0, data = 0, sub = 0, parent = 0;
  bool primary = true;
  int next = kNil, prev = kNil;
};

class EntryList {
 public:
  explicit EntryList(bool child_list) : child_(child_list) {}

  void insert(std::uint32_t nid, std::uint32_t data, std::uint32_t sub, std::uint32_t parent) {
    if (child_ && parent == nid) parent = 0;
    const int e = static_cast<int>(pool_.size());
    pool_.push_back(Entry{nid, data, sub, parent, true, kNil, kNil});
    if (head_ == kNil) {
      head_ = tail_ = e;
      count_ = 1;
      return;
    }
    if (count_ == 100 * multiplier_) {
      int at = head_;
      for (int i = 0; i < count_ - 1; ++i) at = pool_[at].next;
      milestones_.push_back(at);
      ++multiplier_;
    }
    int cur = head_;
    for (int m : milestones_) {
      if (pool_[m].nid < nid)
        cur = m;
      else
        break;
    }
    while (cur != kNil && pool_[cur].nid < nid) cur = pool_[cur].next;
    if (cur == kNil) {
      link_after(tail_, e);
      ++count_;
      return;
    }
    const Entry& c = pool_[cur];
    if (c.nid > nid || (child_ && c.parent != parent)) {
      link_before(cur, e);
      ++count_;
      return;
    }
    if (c.data == data && c.sub == sub && c.parent == parent) {
      pool_.pop_back();  // an identical copy: dropped
      return;
    }
    while (pool_[cur].next != kNil && pool_[pool_[cur].next].nid == nid) cur = pool_[cur].next;
    pool_[e].primary = false;
    link_after(cur, e);
  }

  std::vector<Entry> in_order() const {
    std::vector<Entry> out;
    for (int x = head_; x != kNil; x = pool_[x].next) out.push_back(pool_[x]);
    return out;
  }

 private:
  void link_after(int at, int e) {
    pool_[e].prev = at;
    pool_[e].next = pool_[at].next;
    if (pool_[at].next != kNil) pool_[pool_[at].next].prev = e; else tail_ = e;
    pool_[at].next = e;
  }
  void link_before(int at, int e) {
    pool_[e].next = at;
    pool_[e].prev = pool_[at].prev;
    if (pool_[at].prev != kNil) pool_[pool_[at].prev].next = e; else head_ = e;
    pool_[at].prev = e;
  }

  bool child_;
  std::vector<Entry> pool_;
  int head_ = kNil, tail_ = kNil;
  int count_ = 0, multiplier_ = 1;
  std::vector<int> milestones_;
};

struct Block {
  std::uint32_t id = 0, offset = 0, size = 0;
  int lower = kNil, higher = kNil, next_version = kNil;
};

class BlockTrees {
 public:
  void add(std::uint32_t id, std::uint32_t offset, std::uint32_t size) {
    const int b = static_cast<int>(pool_.size());
    pool_.push_back(Block{id, offset, size});
    int* link = &roots_[tree_of(id)];
    while (*link != kNil) {
      Block& n = pool_[*link];
      if (id == n.id) {
        pool_[b].next_version = n.next_version;
        n.next_version = b;
        return;
      }
      link = id < n.id ? &n.lower : &n.higher;
    }
    *link = b;
  }
  int find(std::uint32_t id) const {
    if (id == 0) return kNil;
    const std::uint32_t key = id & ~1u;
    int x = roots_[tree_of(key)];
    while (x != kNil && pool_[x].id != key) x = key < pool_[x].id ? pool_[x].lower : pool_[x].higher;
    return x;
  }
  const Block& operator[](int i) const { return pool_[static_cast<std::size_t>(i)]; }

 private:
  static int tree_of(std::uint32_t id) {
    if (id <= 0xFFFF) return 0;
    if (id <= 0x5FFFFF) return 1;
    if (id <= 0xAFFFFF) return 2;
    if (id <= 0xFFFFFF) return 3;
    if (id <= 0x14FFFFF) return 4;
    return 5;
  }
  std::vector<Block> pool_;
  std::array<int, 6> roots_{kNil, kNil, kNil, kNil, kNil, kNil};
};

struct Object {
  std::uint32_t nid = 0;
  int sub = kNil, data = kNil;
  std::uint32_t child_count = 0;
  bool primary = false, unclaimed = true;
  int prev = kNil, next = kNil, parent = kNil, first_child = kNil, last_child = kNil;
};

class ObjectTree {
 public:
  std::vector<Object> pool;
  int first = kNil, last = kNil;

  // Pre-order walk from the first top-level object; stops at the first object `pick`
  // accepts.
  template <class Pick>
  int walk(Pick pick) const {
    int x = first;
    while (x != kNil) {
      if (pick(x)) return x;
      if (pool[x].first_child != kNil) {
        x = pool[x].first_child;
        continue;
      }
      while (x != kNil && pool[x].next == kNil) x = pool[x].parent;
      if (x != kNil) x = pool[x].next;
    }
    return kNil;
  }
  int find(std::uint32_t nid) const {
    return walk([&](int x) { return pool[x].nid == nid; });
  }
  int claim(std::uint32_t nid) {
    const int x = walk([&](int y) { return pool[y].nid == nid && pool[y].unclaimed; });
    if (x != kNil) pool[x].unclaimed = false;
    return x;
  }
  std::vector<int> pre_order() const {
    std::vector<int> out;
    walk([&](int x) {
      out.push_back(x);
      return false;
    });
    return out;
  }
  void attach(int parent, int o) {
    Object& n = pool[o];
    n.parent = parent;
    int& head = parent == kNil ? first : pool[parent].first_child;
    int& tail = parent == kNil ? last : pool[parent].last_child;
    n.prev = tail;
    if (tail != kNil) pool[tail].next = o; else head = o;
    tail = o;
    if (parent != kNil) ++pool[parent].child_count;
  }
};

// The object collection over the literal structures.
inline void collect(const EntryList& parentless, const EntryList& children, const BlockTrees& blocks,
                    ObjectTree& tree) {
  auto make = [&](const Entry& e, std::vector<int>& pending) {
    Object o;
    o.nid = e.nid;
    o.sub = blocks.find(e.sub);
    o.data = blocks.find(e.data);
    o.primary = e.primary;
    tree.pool.push_back(o);
    const int made = static_cast<int>(tree.pool.size()) - 1;
    if (o.data != kNil) {
      for (int v = blocks[o.data].next_version; v != kNil; v = blocks[v].next_version) {
        Object ver = o;
        ver.data = v;
        ver.primary = false;
        tree.pool.push_back(ver);
        pending.push_back(static_cast<int>(tree.pool.size()) - 1);
      }
    }
    return made;
  };
  std::vector<int> pending;
  for (const Entry& e : parentless.in_order()) {
    pending.clear();
    tree.attach(kNil, make(e, pending));
    for (int p : pending) tree.attach(kNil, p);
  }
  std::vector<int> cache;  // most recently added first
  for (const Entry& e : children.in_order()) {
    pending.clear();
    const int o = make(e, pending);
    int parent = kNil;
    for (int c : cache) {
      if (tree.pool[c].nid == e.parent) {
        parent = c;
        break;
      }
    }
    if (parent == kNil) {
      parent = tree.find(e.parent);
      if (parent != kNil) cache.insert(cache.begin(), parent);
    }
    tree.attach(parent, o);
    for (int p : pending) tree.attach(parent, p);
  }
}

}  // namespace literal
