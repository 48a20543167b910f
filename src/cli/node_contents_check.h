// The part of `check` below the node B-tree (see store_check.h): the data trees and subnode
// trees of every node, how often each block is named, and what each node holds, read as a
// reader that trusts the file reads it: its heap and heap page maps, the BTHs on the heap,
// and the property context or table context it is. A message is read with its recipient
// table, its attachment table and each attachment, and an attached message as a message of
// its own (to kMaxEmbedding levels); the store, the named property map, folders and their
// tables as what they are.
//
// The heaps and contexts go through the mail client's ltp reader in its strict mode
// (Broken::kRefuse): what that reader refuses, a reader of the file would stumble on, and it
// is named with the node, the structure ("heap page map", "BTH", "property context",
// "table context", "row index", "row matrix", "recipient table", "attachment table") and
// what is wrong with it.
//
// The file is hostile, and the check costs about what a scan does whatever it holds:
// - each tree block is walked once, however many nodes and trees name it; how often each
//   block is named is counted, and a block named more often than the block B-tree counts
//   references for it is a finding ("named N times"), not a reason to read it again;
// - a data tree that names one block more than once is a finding and is not read further;
// - nodes that share their data, subnodes and kind share one reading;
// - all the blocks read together stay within twice the file's size plus kSlackBytes (tree
//   blocks are read once to walk them and again to read what they lead to), and a heap
//   larger than kMaxHeapBytes is not read; what is held at any time is one heap, one block
//   of a row matrix and the subnode trees of one message.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

#include "cli/store_check.h"
#include "engine/byte_source.h"

namespace pstorian::cli {

// A node as the node B-tree lists it.
struct IndexedNode {
  std::uint64_t data = 0;
  std::uint64_t sub = 0;
  std::uint32_t parent = 0;
};

// A block as the block B-tree lists it, and what the block check found.
struct IndexedBlock {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  std::uint16_t references = 0;  // cRef: the block B-tree's own reference and one per user
  bool sound = false;            // inside the file, its trailer and check value right
};

using NodeIndex = std::map<std::uint32_t, IndexedNode>;
using BlockIndexMap = std::unordered_map<std::uint64_t, IndexedBlock>;  // by id, bit 0 clear

// Receives each finding: error or warning, the area, plain words without a full stop.
using FindingSink = std::function<void(bool error, CheckArea area, std::string text)>;

struct ContentsLimits {
  static constexpr std::uint64_t kMaxHeapBytes = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kSlackBytes = std::uint64_t{64} << 20;
  static constexpr int kMaxEmbedding = 8;
};

// How the blocks are to be read, and where the indexes come from.
struct ContentsSource {
  bool unicode = false;
  std::uint8_t crypt = 0;  // the data encoding (0 none, 1 permutative, 2 cyclic)
  // The indexes were made from what a scan found, not from the file's B-trees: a block that
  // is missing was not found in the file, the blocks' reference counts are not known, and a
  // block is read whatever its check value (`sound`) says, as a repair reads it; the blocks
  // the nodes use whose check values are wrong are counted in one finding.
  bool from_scan = false;
};

// Checks the trees and contents of `nodes`, reading blocks through `blocks` only (a block
// that is not there, or not sound, was reported by the caller and is not read).
void check_node_contents(const ByteSource& source, const ContentsSource& form,
                         const NodeIndex& nodes, const BlockIndexMap& blocks,
                         const FindingSink& report);

// Whether the check reads what a node of this id holds (a folder, a message, a table, the
// store, the named property map): such a node always has data.
bool has_contents(std::uint32_t nid);

// "0x1A2B".
std::string hex(std::uint64_t value);
// "the message 0x200024", "the folder 0x8022", "the message store (node 0x21)", ...
std::string node_name(std::uint32_t nid);

}  // namespace pstorian::cli
