#include "engine/node_entries.h"

#include <algorithm>

namespace pstorian {

void NodeEntryList::insert(std::uint32_t node_id, std::uint32_t data_block_id,
                           std::uint32_t subnode_block_id, std::uint32_t parent_id) {
  if (kind_ == Kind::kChild && parent_id == node_id) parent_id = 0;
  recorded_.push_back(NodeEntry{node_id, data_block_id, subnode_block_id, parent_id, true});
  dirty_ = true;
}

const std::vector<NodeEntry>& NodeEntryList::entries() const {
  if (dirty_) build();
  return ordered_;
}

void NodeEntryList::build() const {
  ordered_ = recorded_;
  // Stable: within one node id the entries stay in the order they were recorded.
  std::stable_sort(ordered_.begin(), ordered_.end(),
                   [](const NodeEntry& a, const NodeEntry& b) { return a.node_id < b.node_id; });

  // Replay each node id's entries against the run of that id as the list would hold it.
  std::vector<NodeEntry> run;
  std::size_t out = 0;
  for (std::size_t i = 0; i < ordered_.size();) {
    std::size_t end = i + 1;
    while (end < ordered_.size() && ordered_[end].node_id == ordered_[i].node_id) ++end;
    run.clear();
    for (std::size_t k = i; k < end; ++k) {
      NodeEntry e = ordered_[k];
      if (run.empty()) {
        run.push_back(e);
        continue;
      }
      const NodeEntry& first = run.front();
      if (first.parent_id != e.parent_id) {
        // Only the child list can see another parent here (the parentless list holds
        // parent id 0 throughout): the new entry goes in front as a primary entry.
        run.insert(run.begin(), e);
        continue;
      }
      if (first.data_block_id == e.data_block_id && first.subnode_block_id == e.subnode_block_id)
        continue;  // a copy of the key's first entry
      e.primary = false;
      run.push_back(e);
    }
    for (const NodeEntry& e : run) ordered_[out++] = e;
    i = end;
  }
  ordered_.resize(out);
  ordered_.shrink_to_fit();
  dirty_ = false;
}

void NodeEntryList::clear() {
  recorded_.clear();
  recorded_.shrink_to_fit();
  ordered_.clear();
  ordered_.shrink_to_fit();
  dirty_ = false;
}

}  // namespace pstorian
