// A B-tree kept in memory as its pages, written copy-on-write: a checkpoint writes only the
// pages that changed (a changed leaf and the intermediate pages above it) to new places, so
// the pages the file's header still points at are never overwritten. The pages replaced are
// handed back to be freed once the new header is written.
//
// Pages split when they overflow, each on its own, so that an entry added anywhere changes
// one page on each level (two where one splits), however large the tree: a checkpoint costs
// what changed since the last one, not what the tree holds. Entries added after the last key
// (new block ids, new node ids: the common case) start a new page and leave the full one as
// it is; entries in the middle split the page in half. A leaf left empty is taken out of its
// parent; pages are not merged otherwise.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "pst/ndb/btree_page.h"
#include "pst/ndb/btree_writer.h"

namespace pstorian {

template <typename Entry>
class PagedBTree {
 public:
  using LeafBuilder = Page (*)(std::span<const Entry>, Bref, FileForm);

  PagedBTree(std::uint8_t ptype, LeafBuilder build_leaf, FileForm form = FileForm::kAnsi)
      : ptype_(ptype),
        form_(form),
        capacity_(leaf_capacity(ptype, form)),
        intermediate_capacity_(intermediate_capacity(form)),
        build_leaf_(build_leaf) {}

  // Loading a tree read from a file: leaves in key order with where they lie, then the
  // intermediate pages level by level (lowest first, each level in key order), each with its
  // children, which must be the pages of the level below in their order. Throws
  // std::invalid_argument when they are not.
  void load_leaf(std::vector<Entry> entries, Bref at) {
    auto leaf = std::make_unique<Node>();
    size_ += entries.size();
    leaf->entries = std::move(entries);
    leaf->page = at;
    loading_.push_back(std::move(leaf));
  }
  void load_level(std::vector<std::pair<std::vector<BTreeChild>, Bref>> pages) {
    std::vector<std::unique_ptr<Node>> level;
    std::size_t next = 0;
    for (auto& [children, at] : pages) {
      auto page = std::make_unique<Node>();
      page->page = at;
      for (const BTreeChild& c : children) {
        if (next == loading_.size() || !loading_[next]->page || !(*loading_[next]->page == c.page) ||
            (!page->children.empty() && page->children.front()->level != loading_[next]->level))
          throw std::invalid_argument("B-tree pages do not match their parents");
        page->level = static_cast<std::uint8_t>(loading_[next]->level + 1);
        // Where lookups turn to the child: after the keys of the children before it, which
        // the file's own keys need not say truly.
        const std::uint64_t first = first_key(*loading_[next]);
        page->keys.push_back(page->keys.empty() ? first : std::max(first, page->keys.back()));
        page->children.push_back(std::move(loading_[next++]));
      }
      if (page->children.empty()) throw std::invalid_argument("B-tree page without children");
      level.push_back(std::move(page));
    }
    if (next != loading_.size()) throw std::invalid_argument("B-tree pages without a parent");
    loading_ = std::move(level);
  }
  void set_root(Bref root) {
    if (loading_.size() > 1) throw std::invalid_argument("B-tree with more than one root");
    if (loading_.size() == 1) root_node_ = std::move(loading_.front());
    loading_.clear();
    root_ = root;
  }

  std::size_t size() const { return size_; }

  const Entry* find(std::uint64_t key) const {
    const Node* n = root_node_.get();
    if (n == nullptr) return nullptr;
    while (n->level > 0) n = n->children[route(*n, key)].get();
    const auto it = std::lower_bound(n->entries.begin(), n->entries.end(), key, before);
    return it != n->entries.end() && it->key() == key ? &*it : nullptr;
  }

  template <typename Visit>
  void for_each(Visit visit) const {
    if (root_node_) visit_leaves(*root_node_, visit);
  }

  // Adds the entry or replaces the one with the same key.
  void put(const Entry& e) {
    if (!root_node_) root_node_ = std::make_unique<Node>();
    Path path;
    Node& leaf = descend(e.key(), path);
    for (const auto& step : path) touch(*step.node);
    touch(leaf);
    auto it = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), e.key(), before);
    if (it != leaf.entries.end() && it->key() == e.key()) {
      *it = e;
      return;
    }
    const bool at_end = it == leaf.entries.end() && rightmost(path);
    leaf.entries.insert(it, e);
    ++size_;
    if (leaf.entries.size() <= capacity_) return;
    auto right = std::make_unique<Node>();
    const std::size_t keep = at_end ? capacity_ : leaf.entries.size() / 2;
    right->entries.assign(leaf.entries.begin() + static_cast<std::ptrdiff_t>(keep),
                          leaf.entries.end());
    leaf.entries.resize(keep);
    add_sibling(path, std::move(right), at_end);
  }

  bool remove(std::uint64_t key) {
    if (!root_node_) return false;
    Path path;
    Node& leaf = descend(key, path);
    const auto it = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), key, before);
    if (it == leaf.entries.end() || it->key() != key) return false;
    for (const auto& step : path) touch(*step.node);
    touch(leaf);
    leaf.entries.erase(it);
    --size_;
    // An empty page goes from its parent, and a parent left without children from its own.
    for (std::size_t depth = path.size(); depth > 0; --depth) {
      Node& parent = *path[depth - 1].node;
      const std::size_t i = path[depth - 1].child;
      const Node& child = *parent.children[i];
      if (!(child.level == 0 ? child.entries.empty() : child.children.empty())) break;
      parent.children.erase(parent.children.begin() + static_cast<std::ptrdiff_t>(i));
      parent.keys.erase(parent.keys.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // A root with one child hands the tree to it, as a tree written whole would be.
    while (root_node_->level > 0 && root_node_->children.size() <= 1) {
      if (root_node_->children.empty()) {
        root_node_ = std::make_unique<Node>();
        break;
      }
      root_node_ = std::move(root_node_->children.front());
    }
    return true;
  }

  // Writes what changed on pages from `next_slot` (through `emit`): the changed leaves in
  // key order, then the changed pages of each level above. Returns the root. Pages no longer
  // part of the tree are passed to `replaced`.
  Bref write(const PageSlotSource& next_slot, const std::function<void(Bref, const Page&)>& emit,
             const std::function<void(Bref)>& replaced) {
    if (!root_node_) root_node_ = std::make_unique<Node>();
    // A page is unchanged only while everything below it is, so the changed pages are found
    // without looking into unchanged parts.
    std::vector<std::vector<Node*>> changed(root_node_->level + std::size_t{1});
    collect_changed(*root_node_, changed);
    for (std::size_t level = 0; level < changed.size(); ++level) {
      for (Node* n : changed[level]) {
        n->page = next_slot();
        if (level == 0) {
          emit(*n->page, build_leaf_(n->entries, *n->page, form_));
          continue;
        }
        std::vector<BTreeChild> children;
        children.reserve(n->children.size());
        for (const auto& c : n->children) children.push_back({first_key(*c), *c->page});
        emit(*n->page, build_intermediate_page(ptype_, children, n->level, *n->page, form_));
      }
    }
    for (const Bref& p : dropped_) replaced(p);
    dropped_.clear();
    root_ = *root_node_->page;
    return root_;
  }

  Bref root() const { return root_; }
  // The intermediate levels: 0 while the root is a leaf.
  std::size_t levels() const { return root_node_ ? root_node_->level : 0; }

 private:
  // A leaf (level 0) holds entries; a page above holds children and, for each, the least key
  // that goes to it (the first child takes every key below the second's too).
  struct Node {
    std::uint8_t level = 0;
    std::vector<Entry> entries;
    std::vector<std::uint64_t> keys;
    std::vector<std::unique_ptr<Node>> children;
    std::optional<Bref> page;  // where it lies on disk while unchanged
  };
  struct Step {
    Node* node;
    std::size_t child;
  };
  using Path = std::vector<Step>;

  static bool before(const Entry& e, std::uint64_t key) { return e.key() < key; }

  // The child whose key range holds `key`: the last one whose least key is not above it.
  static std::size_t route(const Node& n, std::uint64_t key) {
    const auto it = std::upper_bound(n.keys.begin() + 1, n.keys.end(), key);
    return static_cast<std::size_t>(it - n.keys.begin()) - 1;
  }

  // The first key below `n` as a parent page lists it: 0 for an empty leaf.
  static std::uint64_t first_key(const Node& n) {
    const Node* at = &n;
    while (at->level > 0 && !at->children.empty()) at = at->children.front().get();
    return at->entries.empty() ? 0 : at->entries.front().key();
  }

  Node& descend(std::uint64_t key, Path& path) {
    Node* n = root_node_.get();
    while (n->level > 0) {
      const std::size_t i = route(*n, key);
      path.push_back({n, i});
      n = n->children[i].get();
    }
    return *n;
  }

  static bool rightmost(const Path& path) {
    return std::all_of(path.begin(), path.end(),
                       [](const Step& s) { return s.child + 1 == s.node->children.size(); });
  }

  // Puts `right`, split off the page at the end of `path`, next to it in the parent, and
  // splits the parents that overflow in turn; a root that splits gets a new root above it.
  void add_sibling(Path& path, std::unique_ptr<Node> right, bool at_end) {
    while (true) {
      const std::uint64_t least = right->level == 0 ? right->entries.front().key() : right->keys.front();
      if (path.empty()) {
        auto root = std::make_unique<Node>();
        root->level = static_cast<std::uint8_t>(root_node_->level + 1);
        root->keys = {first_key(*root_node_), least};
        root->children.push_back(std::move(root_node_));
        root->children.push_back(std::move(right));
        root_node_ = std::move(root);
        return;
      }
      Node& parent = *path.back().node;
      const std::size_t at = path.back().child + 1;
      path.pop_back();
      parent.keys.insert(parent.keys.begin() + static_cast<std::ptrdiff_t>(at), least);
      parent.children.insert(parent.children.begin() + static_cast<std::ptrdiff_t>(at),
                             std::move(right));
      if (parent.children.size() <= intermediate_capacity_) return;
      at_end = at_end && at + 1 == parent.children.size();
      const std::size_t keep = at_end ? intermediate_capacity_ : parent.children.size() / 2;
      right = std::make_unique<Node>();
      right->level = parent.level;
      right->keys.assign(parent.keys.begin() + static_cast<std::ptrdiff_t>(keep), parent.keys.end());
      for (std::size_t i = keep; i < parent.children.size(); ++i)
        right->children.push_back(std::move(parent.children[i]));
      parent.keys.resize(keep);
      parent.children.resize(keep);
    }
  }

  void collect_changed(Node& n, std::vector<std::vector<Node*>>& changed) {
    if (n.page) return;
    changed[n.level].push_back(&n);
    for (const auto& c : n.children) collect_changed(*c, changed);
  }

  template <typename Visit>
  static void visit_leaves(const Node& n, Visit& visit) {
    for (const auto& e : n.entries) visit(e);
    for (const auto& c : n.children) visit_leaves(*c, visit);
  }

  // A page about to change no longer lies where it did; its old place is freed at the next
  // write.
  void touch(Node& n) {
    if (n.page) dropped_.push_back(*n.page);
    n.page.reset();
  }

  std::uint8_t ptype_;
  FileForm form_;
  std::size_t capacity_;
  std::size_t intermediate_capacity_;
  LeafBuilder build_leaf_;
  std::unique_ptr<Node> root_node_;
  std::vector<std::unique_ptr<Node>> loading_;  // the level loaded last, until set_root
  std::size_t size_ = 0;
  std::vector<Bref> dropped_;
  Bref root_;
};

}  // namespace pstorian
