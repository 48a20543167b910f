// Items whose node B-tree entries were lost. When the leaf pages that list a message are
// zeroed or cut off, its property block is still in the block index, but no node names
// it. Such a block is found as one that no recovered node uses and whose data is a heap
// holding a property context with a message class. Its node id and folder come from the
// folders' contents tables, which list each message by node id beside its subject and
// times; an orphan no table lists gets a node id of its own and no folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include "engine/contents_tables.h"
#include "engine/node_reader.h"

namespace pstorian {

// Adds an object for each orphaned item of `tables` (those `reader` reads): under the
// folder whose contents table lists it, with the node id the table gives, or at the top
// level with an unused node id of its own. Bounded by the file: each unused block is read
// at most once. Counts them in the tables' orphans_found and orphans_placed.
void add_orphaned_items(const ByteSource& source, const NodeReader& reader,
                        RecoveryTables& tables, const ContentsRows& contents);

}  // namespace pstorian
