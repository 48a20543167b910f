#include "engine/folder_identities.h"

#include "engine/item_extraction.h"
#include "format/layout.h"

namespace pstorian {
namespace {

bool is_folder_node(std::uint32_t node_id) {
  const auto type = pst::node_type(node_id);
  return type == pst::kNodeNormalFolder || type == pst::kNodeSearchFolder;
}

// How well a version stands for its folder: current beats named beats merely readable.
int standing(const ItemRecord& record, VersionRole role) {
  return (role == VersionRole::kCurrent ? 2 : 0) + (record.display_name ? 1 : 0);
}

}  // namespace

std::unordered_map<std::uint32_t, FolderIdentity> folder_identities(
    const NodeReader& reader, const std::vector<VersionRole>& roles) {
  const ObjectTree& tree = reader.tables().objects;
  std::unordered_map<std::uint32_t, FolderIdentity> out;
  std::unordered_map<std::uint32_t, int> best;
  for (const ObjectIndex x : tree.pre_order()) {
    const ObjectNode& node = tree[x];
    if (!is_folder_node(node.node_id) || node.data_block == nullptr) continue;
    const VersionRole role = x < roles.size() ? roles[x] : VersionRole::kEarlier;
    // A later version only replaces one that stands lower; current ones are unique.
    const auto known = best.find(node.node_id);
    if (known != best.end() && known->second >= 2) continue;
    std::optional<ItemRecord> record = decode_item(reader, node);
    if (!record || !record->folder) continue;
    const int score = standing(*record, role);
    if (known != best.end() && known->second >= score) continue;
    best[node.node_id] = score;
    const std::uint32_t parent = node.parent == kNoObject ? 0 : tree[node.parent].node_id;
    out[node.node_id] = FolderIdentity{x, parent, std::move(*record)};
  }
  return out;
}

void keep_structure_at_root(StoreRoles& roles,
                            const std::unordered_map<std::uint32_t, FolderIdentity>& identities) {
  for (std::optional<std::uint32_t>* role :
       {&roles.ipm_subtree, &roles.views, &roles.common_views, &roles.finder}) {
    if (!*role) continue;
    const auto it = identities.find(**role);
    // A folder whose parent is lost proves nothing either way.
    if (it != identities.end() && it->second.parent_id != 0 &&
        it->second.parent_id != pst::kNidRootFolder)
      role->reset();
  }
}

}  // namespace pstorian
