// Which version of each folder says what the folder is. A folder may come back in several
// versions (see current_versions.h), and an earlier one can say something else entirely: a
// folder renamed, moved, or whose old node B-tree entry names a data block that now holds
// another folder's properties (stores that reuse block ids). A folder is placed, named and
// given its properties by one version only, so that every version of it and every item
// below any of them lands in the same place, the place the source has it now.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/current_versions.h"
#include "engine/item_record.h"
#include "engine/node_reader.h"
#include "engine/store_facts.h"

namespace pstorian {

struct FolderIdentity {
  ObjectIndex object = kNoObject;  // the version that stands for the folder
  std::uint32_t parent_id = 0;     // that version's parent folder; 0 at the top level
  ItemRecord record;               // that version, decoded
};

// Node id to identity, for every folder node (normal and search folders) of which some
// version could be read. The version is the current one (`roles`, by object; empty: none is
// known) when it can be read; otherwise the first readable one in pre-order that has a
// name, else the first readable one. Each folder version is decoded at most once.
std::unordered_map<std::uint32_t, FolderIdentity> folder_identities(
    const NodeReader& reader, const std::vector<VersionRole>& roles);

// Leaves out of `roles` each folder of the file's structure (the top of the personal
// folders, the views, the search root) that is known to hang anywhere but from the root
// folder: an entry id of a stale or damaged store that names a user's folder (whose node id
// another writer gives its search root) must not make that folder vanish from every path.
// The deleted items are a user's folder and stay as they are.
void keep_structure_at_root(StoreRoles& roles,
                            const std::unordered_map<std::uint32_t, FolderIdentity>& identities);

}  // namespace pstorian
