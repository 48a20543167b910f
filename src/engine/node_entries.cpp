#include "engine/node_entries.h"

#include <algorithm>

#include "engine/huge_pages.h"

namespace pstorian {

void NodeEntryList::insert(std::uint32_t node_id, std::uint64_t data_block_id,
                           std::uint64_t subnode_block_id, std::uint32_t parent_id) {
  if (kind_ == Kind::kChild && parent_id == node_id) parent_id = 0;
  recorded_.push_back(NodeEntry{node_id, data_block_id, subnode_block_id, parent_id, true});
  dirty_ = true;
}

void NodeEntryList::reserve(std::size_t n) {
  recorded_.reserve(recorded_.size() + n);
  prefer_huge_pages(recorded_);
}

const std::vector<NodeEntry>& NodeEntryList::entries() const {
  OpenGate gate;
  build(gate);
  return ordered_;
}

bool NodeEntryList::build(JobGate& gate) const {
  if (!dirty_) return true;
  if (!gate.pass()) return false;
  // Stable: within one node id the entries stay in the order they were recorded, also
  // for entries recorded after this build.
  std::stable_sort(recorded_.begin(), recorded_.end(),
                   [](const NodeEntry& a, const NodeEntry& b) { return a.node_id < b.node_id; });
  if (!gate.pass()) return false;

  // Replay each node id's entries against the run of that id as the list would hold it:
  // an entry with another parent than the run's first goes in front of the run, a further
  // version behind it. The run is therefore the front entries in the reverse of their
  // order of arrival, then the versions in theirs; kept as two lists and joined at the end
  // of the run, no entry is moved more than once however many go in front.
  ordered_.clear();
  ordered_.reserve(recorded_.size());
  std::vector<NodeEntry> versions;
  constexpr std::size_t kEntriesPerPass = 1 << 16;
  std::size_t next_pass = kEntriesPerPass;
  for (std::size_t i = 0; i < recorded_.size();) {
    if (i >= next_pass) {
      // Stopped halfway, the list stays dirty; recorded_ is sorted, which a rebuild keeps.
      if (!gate.pass()) return false;
      next_pass = i + kEntriesPerPass;
    }
    const std::uint32_t node_id = recorded_[i].node_id;
    const std::size_t run = ordered_.size();
    ordered_.push_back(recorded_[i]);  // the front entries, first to last in arrival
    versions.clear();
    for (++i; i < recorded_.size() && recorded_[i].node_id == node_id; ++i) {
      NodeEntry e = recorded_[i];
      const NodeEntry& first = ordered_.back();
      if (first.parent_id != e.parent_id) {
        // Only the child list can see another parent here (the parentless list holds
        // parent id 0 throughout): the new entry goes in front as a primary entry.
        ordered_.push_back(e);
        continue;
      }
      if (first.data_block_id == e.data_block_id && first.subnode_block_id == e.subnode_block_id)
        continue;  // a copy of the key's first entry
      e.primary = false;
      versions.push_back(e);
    }
    std::reverse(ordered_.begin() + static_cast<std::ptrdiff_t>(run), ordered_.end());
    ordered_.insert(ordered_.end(), versions.begin(), versions.end());
  }
  dirty_ = false;
  return true;
}

void NodeEntryList::clear() {
  recorded_.clear();
  recorded_.shrink_to_fit();
  ordered_.clear();
  ordered_.shrink_to_fit();
  dirty_ = false;
}

}  // namespace pstorian
