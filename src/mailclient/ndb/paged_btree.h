// A B-tree kept in memory as its leaf pages, written copy-on-write: a checkpoint writes only
// the leaves that changed, and the intermediate pages whose children changed, to new places,
// so the pages the file's header still points at are never overwritten. The pages replaced
// are handed back to be freed once the new header is written.
//
// Leaves split when they overflow. Entries added after the last key (new block ids, new
// node ids: the common case) start a new leaf and leave the full one as it is; entries in
// the middle split the leaf in half.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "mailclient/ndb/btree_page.h"
#include "mailclient/ndb/btree_writer.h"

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

  // Loading a tree read from a file: leaves in key order with where they lie, and the
  // intermediate pages level by level (lowest first), each with its children.
  void load_leaf(std::vector<Entry> entries, Bref at) {
    leaves_.push_back({std::move(entries), at});
  }
  void load_level(std::vector<std::pair<std::vector<BTreeChild>, Bref>> pages) {
    std::vector<IndexPage> level;
    for (auto& [children, at] : pages) level.push_back({std::move(children), at});
    levels_.push_back(std::move(level));
  }
  void set_root(Bref root) { root_ = root; }

  std::size_t size() const {
    std::size_t n = 0;
    for (const auto& l : leaves_) n += l.entries.size();
    return n;
  }

  const Entry* find(std::uint64_t key) const {
    if (leaves_.empty()) return nullptr;
    const auto& entries = leaves_[leaf_index(key)].entries;
    const auto it = std::lower_bound(entries.begin(), entries.end(), key, before);
    return it != entries.end() && it->key() == key ? &*it : nullptr;
  }

  template <typename Visit>
  void for_each(Visit visit) const {
    for (const auto& l : leaves_)
      for (const auto& e : l.entries) visit(e);
  }

  // Adds the entry or replaces the one with the same key.
  void put(const Entry& e) {
    if (leaves_.empty()) leaves_.push_back({});
    const std::size_t index = leaf_index(e.key());
    Leaf& leaf = leaves_[index];
    touch(leaf);
    auto it = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), e.key(), before);
    if (it != leaf.entries.end() && it->key() == e.key()) {
      *it = e;
      return;
    }
    const bool at_end = it == leaf.entries.end() && index + 1 == leaves_.size();
    leaf.entries.insert(it, e);
    if (leaf.entries.size() <= capacity_) return;
    const std::size_t keep = at_end ? capacity_ : leaf.entries.size() / 2;
    Leaf right;
    right.entries.assign(leaf.entries.begin() + static_cast<std::ptrdiff_t>(keep),
                         leaf.entries.end());
    leaf.entries.resize(keep);
    leaves_.insert(leaves_.begin() + static_cast<std::ptrdiff_t>(index + 1), std::move(right));
  }

  bool remove(std::uint64_t key) {
    if (leaves_.empty()) return false;
    const std::size_t index = leaf_index(key);
    Leaf& leaf = leaves_[index];
    const auto it = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), key, before);
    if (it == leaf.entries.end() || it->key() != key) return false;
    touch(leaf);
    leaf.entries.erase(it);
    if (leaf.entries.empty() && leaves_.size() > 1)
      leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }

  // Writes what changed on pages from `next_slot` (through `emit`) and returns the root.
  // Pages no longer part of the tree are passed to `replaced`.
  Bref write(const PageSlotSource& next_slot, const std::function<void(Bref, const Page&)>& emit,
             const std::function<void(Bref)>& replaced) {
    if (leaves_.empty()) leaves_.push_back({});
    std::vector<BTreeChild> level;
    for (auto& l : leaves_) {
      if (!l.page) {
        l.page = next_slot();
        emit(*l.page, build_leaf_(l.entries, *l.page, form_));
      }
      level.push_back({l.entries.empty() ? 0 : l.entries.front().key(), *l.page});
    }
    std::vector<std::uint64_t> kept;
    std::vector<std::vector<IndexPage>> levels;
    std::uint8_t height = 0;
    while (level.size() > 1) {
      ++height;
      const auto* previous = height <= levels_.size() ? &levels_[height - 1] : nullptr;
      std::vector<IndexPage> pages;
      std::vector<BTreeChild> above;
      for (std::size_t i = 0; i < level.size(); i += intermediate_capacity_) {
        const auto from = level.begin() + static_cast<std::ptrdiff_t>(i);
        const auto to = level.begin() + static_cast<std::ptrdiff_t>(
                                            std::min(level.size(), i + intermediate_capacity_));
        IndexPage page{{from, to}, {}};
        if (previous != nullptr && pages.size() < previous->size() &&
            same_children((*previous)[pages.size()].children, page.children)) {
          page.at = (*previous)[pages.size()].at;
          kept.push_back(page.at.ib);
        } else {
          page.at = next_slot();
          emit(page.at, build_intermediate_page(ptype_, page.children, height, page.at, form_));
        }
        above.push_back({page.children.front().key, page.at});
        pages.push_back(std::move(page));
      }
      levels.push_back(std::move(pages));
      level = std::move(above);
    }
    for (const auto& old_level : levels_)
      for (const auto& p : old_level)
        if (std::find(kept.begin(), kept.end(), p.at.ib) == kept.end()) dropped_.push_back(p.at);
    levels_ = std::move(levels);
    root_ = level.front().page;
    for (const Bref& p : dropped_) replaced(p);
    dropped_.clear();
    return root_;
  }

  Bref root() const { return root_; }
  std::size_t levels() const { return levels_.size(); }

 private:
  struct Leaf {
    std::vector<Entry> entries;
    std::optional<Bref> page;  // where it lies on disk while unchanged
  };
  struct IndexPage {
    std::vector<BTreeChild> children;
    Bref at;
  };

  static bool before(const Entry& e, std::uint64_t key) { return e.key() < key; }

  static bool same_children(const std::vector<BTreeChild>& a, const std::vector<BTreeChild>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
      return x.key == y.key && x.page == y.page;
    });
  }

  // The leaf whose key range holds `key`: the last one whose first key is not above it.
  std::size_t leaf_index(std::uint64_t key) const {
    const auto it =
        std::upper_bound(leaves_.begin(), leaves_.end(), key, [](std::uint64_t k, const Leaf& l) {
          return !l.entries.empty() && k < l.entries.front().key();
        });
    return it == leaves_.begin() ? 0 : static_cast<std::size_t>(it - leaves_.begin()) - 1;
  }

  // A leaf about to change no longer lies where it did; its old page is freed at the next write.
  void touch(Leaf& leaf) {
    if (leaf.page) dropped_.push_back(*leaf.page);
    leaf.page.reset();
  }

  std::uint8_t ptype_;
  FileForm form_;
  std::size_t capacity_;
  std::size_t intermediate_capacity_;
  LeafBuilder build_leaf_;
  std::vector<Leaf> leaves_;
  std::vector<std::vector<IndexPage>> levels_;
  std::vector<Bref> dropped_;
  Bref root_;
};

}  // namespace pstorian
