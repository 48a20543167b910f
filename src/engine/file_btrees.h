// The file's own B-trees, read the way a reader that trusts the header reads them: from the
// roots the header names, each page verified (type, id, signature, check value, shape and
// level) before its entries are used. A damaged file is hostile input here as everywhere:
// the walk is bounded in depth, visits no page twice and reads nothing past the file.
//
// The scan does not need these trees; they tell what the scan cannot: which version of a
// node is current (the node B-tree) and where a block whose trailer was damaged lies (the
// block B-tree).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "engine/byte_source.h"
#include "format/file_form.h"

namespace pstorian {

enum class FileBTree : std::uint8_t { kNodes, kBlocks };

struct BTreeWalk {
  bool root_sound = false;  // the header and the root page checked out
  bool complete = false;    // and so did every page below it
  pst::FileForm form = pst::FileForm::kAnsi;
};

// One leaf entry as stored, in the widths of the file's form.
using LeafEntryVisitor =
    std::function<void(std::span<const std::uint8_t> entry, pst::FileForm form)>;

// Walks the tree `which` of `source` from the root its header names, handing each leaf
// entry of each sound leaf page to `visit` (when given).
BTreeWalk walk_file_btree(const ByteSource& source, FileBTree which,
                          const LeafEntryVisitor& visit = {});

}  // namespace pstorian
