// The reader's side of `pstorian-cli check`: reads a personal folder file as a program that
// trusts it would, and lists what such a reader would stumble on. It starts where a reader
// starts: the header and its check value, then both B-trees from the roots the header names
// (page types, check values, signatures, levels, entry sizes, key order), every block the
// block B-tree lists (inside the file, trailer, signature, check value), the allocation
// maps (their pages, and that no block or page lies in space they call free), the node
// tree (the store, name map and root folder nodes, data and subnode blocks that exist and
// are not named more often than the block B-tree counts, parents that are folders, each
// folder's tables) and the node contents (every node's heap, BTHs, property context or
// table context, a message's recipients, attachments and attached messages: see
// node_contents_check.h). It also counts the folders and items a reader reaches from the
// root folder. Where a reader reaches no node at all, the nodes and blocks a scan found are
// checked in their place, as a repair meets them.
//
// The cost is bounded by the file, whatever it holds: each page and block is read a few
// times at most, and what is held is the two B-trees' entries and one node's contents.
//
// Nothing here is trusted before it is verified, and every read is bounded by the file:
// the file is hostile input. Nothing is written. Both forms with 512-byte pages are read:
// the 32-bit (ANSI) and the 64-bit (Unicode) one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_source.h"
#include "engine/object_tables.h"

namespace pstorian::cli {

enum class CheckArea {
  kHeader,
  kNodeBTree,
  kBlockBTree,
  kBlocks,
  kAllocationMaps,
  kNodeTree,
  kNodeContents,
};

// "header", "node B-tree", "block B-tree", "blocks", "allocation maps", "node tree",
// "node contents".
std::string_view check_area_name(CheckArea area);

struct CheckFinding {
  bool error = true;  // false: a warning, something a reader copes with
  CheckArea area = CheckArea::kHeader;
  std::optional<std::uint64_t> offset;  // where in the file, when it is about one place
  std::string text;                     // plain words, no trailing full stop
};

enum class StoreForm { kUnknown, kAnsi, kUnicode };

struct StoreCheck {
  StoreForm form = StoreForm::kUnknown;
  std::uint8_t crypt_method = 0;  // as the header says (0 none, 1 permutative, 2 cyclic)
  std::uint64_t file_size = 0;
  // The findings in the order met, at most kKeptPerArea of each area; the counts below
  // include those that were not kept.
  std::vector<CheckFinding> findings;
  std::size_t errors = 0;
  std::size_t warnings = 0;
  std::size_t dropped = 0;          // findings counted but not kept
  std::size_t nodes = 0;            // node B-tree entries a reader reaches
  std::size_t blocks = 0;           // block B-tree entries a reader reaches
  std::size_t folders_reached = 0;  // folders below (and with) the root folder
  std::size_t items_reached = 0;    // messages in those folders

  static constexpr std::size_t kKeptPerArea = 50;
  bool sound() const { return errors == 0; }
};

// Checks the file in `source`. Never fails: whatever cannot be read is a finding. When a
// reader finds no node at all (the header or the node B-tree lost) and `scanned` holds what
// a scan of the file found, its nodes and blocks are checked in their place.
StoreCheck check_store(const ByteSource& source, const RecoveryTables* scanned = nullptr);

}  // namespace pstorian::cli
