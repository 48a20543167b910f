// The two steps that follow the probe passes: building the object tree from the node
// entries, and deciding whether block data is stored encoded.
#pragma once

#include "engine/byte_source.h"
#include "engine/node_entries.h"
#include "engine/object_tables.h"
#include "engine/progress.h"

namespace pstorian {

// Builds tables.objects from the two entry lists, looking blocks up in tables.blocks.
//
// Every entry becomes an object, and so does every further copy of its data block that
// differs from the copies before it in version order (same node id and subnode block,
// primary = false), placed right behind it; copies with the same bytes and check value
// as an earlier one, read from `source`, give no object. Parentless entries
// go to the top-level list. A child entry goes under the first object of its parent's node
// id in pre-order as the tree stands when the parent is first looked up; that object is
// remembered and handed out for later children of the same parent id even if another
// object of that id comes earlier in pre-order by then. A child whose parent is not (yet)
// in the tree goes to the top level. Steps `progress` once per 40 parentless and per 50
// child entries. Puts the lists in order first if they are not. Returns false if `gate`
// stopped the work.
bool collect_objects(const NodeEntryList& parentless, const NodeEntryList& children,
                     const ByteSource& source, RecoveryTables& tables, ProgressSink& progress,
                     JobGate& gate);

// Whether the check value in the trailer of `block`, a block of a file in `form`, matches its
// data as stored.
bool block_intact(const ByteSource& source, const BlockRef& block,
                  pst::FileForm form = pst::FileForm::kAnsi);

// The header test applied to the first 16 bytes of a data block.
enum class HeapHeader { kNone, kPlain, kEncoded };
HeapHeader classify_heap_header(std::span<const std::uint8_t, 16> bytes);

// Sets tables.encoded from up to three heap-on-node headers met in a walk of the object
// tree: encoded unless more of them were plain than encoded (no header at all: encoded).
// In a file of the 64-bit form headers that read as plain once cyclically decoded count
// too, and sets tables.cyclic instead where they outnumber both others.
void detect_encoding(RecoveryTables& tables, const ByteSource& source);

}  // namespace pstorian
