// Blocks that only the file's own block B-tree still finds. The scan knows a block by its
// trailer; when damage hit the trailer and spared the data (a flipped bit in its size, a
// zeroed page that held little more than the trailer), the scan passes the block by, while a
// reader that trusts the header reaches it through the block B-tree. Such a block may be the
// only copy of a folder's properties, and with them the place of every message in it.
#pragma once

#include <vector>

#include "engine/byte_source.h"
#include "engine/object_tables.h"

namespace pstorian {

// The blocks the block B-tree of `source` names (its header and pages verified as they are
// read) that `found` lacks and that fit the file: in bounds, aligned, and not where the
// trailer of another block stands. Nothing for a file of another form than `form`.
std::vector<BlockRef> blocks_only_the_index_names(const ByteSource& source,
                                                  const BlockIndex& found, pst::FileForm form);

}  // namespace pstorian
