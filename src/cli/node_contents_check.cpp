#include "cli/node_contents_check.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <span>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"
#include "format/permute.h"
#include "format/property_types.h"
#include "pst/ltp/ltp_reader.h"

namespace pstorian::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kDataTreeType = 0x01;
constexpr std::uint8_t kSubnodeType = 0x02;
constexpr std::size_t kDataTreeHeader = 8;  // btype, cLevel, cEnt, lcbTotal
// Subnode trees hold subnode trees (an attachment's, an attached message's); a walk
// follows them this deep, which no sound file comes near.
constexpr unsigned kMaxTreeNesting = 32;
// Heap ids name a heap's block in 16 bits.
constexpr std::size_t kMaxHeapBlocks = 0x10000;
// Subnodes of one tree the check holds: far more than a message has, and few enough that the
// trees of a message and its attached messages, to kMaxEmbedding levels, stay small.
constexpr std::size_t kMaxSubnodes = 0x10000;
constexpr std::size_t kTcInfoRowIndexAt = 10;

constexpr std::uint32_t kRecipientTable = 0x692;
constexpr std::uint32_t kAttachmentTable = 0x671;
constexpr std::uint32_t kTagRowId = 0x67F20003;
constexpr std::uint32_t kTagAttachMethod = 0x37050003;
constexpr std::uint32_t kTagAttachDataObject = 0x3701000D;
constexpr std::uint32_t kAttachEmbeddedMessage = 5;

std::string node_kind(std::uint32_t nid) {
  switch (pst::node_type(nid)) {
    case pst::kNodeNormalFolder:
      return "folder";
    case pst::kNodeSearchFolder:
      return "search folder";
    case pst::kNodeNormalMessage:
      return "message";
    case pst::kNodeAssociatedMessage:
      return "hidden message";
    case pst::kNodeHierarchyTable:
      return "subfolder table";
    case pst::kNodeContentsTable:
      return "contents table";
    case pst::kNodeAssociatedContentsTable:
      return "hidden contents table";
    case pst::kNodeSearchContentsTable:
      return "search contents table";
    case pst::kNodeAttachmentTable:
      return "attachment table";
    case pst::kNodeRecipientTable:
      return "recipient table";
    case pst::kNodeInternal:
      return "internal node";
    default:
      return "node";
  }
}

// What a node's data holds, as far as the check reads it.
enum class Holds { kNothingRead, kProperties, kMessage, kTable };

Holds holds(std::uint32_t nid) {
  if (nid == pst::kNidMessageStore || nid == pst::kNidNameToIdMap) return Holds::kProperties;
  switch (pst::node_type(nid)) {
    case pst::kNodeNormalFolder:
    case pst::kNodeSearchFolder:
      return Holds::kProperties;
    case pst::kNodeNormalMessage:
    case pst::kNodeAssociatedMessage:
      return Holds::kMessage;
    case pst::kNodeHierarchyTable:
    case pst::kNodeContentsTable:
    case pst::kNodeAssociatedContentsTable:
    case pst::kNodeAttachmentTable:
    case pst::kNodeRecipientTable:
      return Holds::kTable;
    case pst::kNodeSearchContentsTable:
      // Some writers keep it in another structure (a heap of another client), and readers
      // do not need it to show the search folder.
      return Holds::kNothingRead;
    default:
      return Holds::kNothingRead;
  }
}

// A subnode tree's entries by subnode id: the data and the nested subnode tree of each.
using SubnodeMap = std::map<std::uint32_t, IndexedNode>;

// Where values and row matrices are looked up: a context's own subnode tree first, then the
// one around it (a message's, for its tables and attachments).
struct Scopes {
  const SubnodeMap* own = nullptr;
  const SubnodeMap* outer = nullptr;

  const IndexedNode* find(std::uint32_t id) const {
    for (const SubnodeMap* m : {own, outer}) {
      if (m == nullptr) continue;
      const auto it = m->find(id);
      if (it != m->end()) return &it->second;
    }
    return nullptr;
  }
};

// What a finding is about: the node, and the structures within it that lead to what was
// read ("the message 0x200024, its attachment 0x8025, its attached message (subnode
// 0x10E)"), so that every text says where. The words are put together only for a finding.
struct Place {
  std::uint32_t nid = 0;
  const Place* outer = nullptr;
  const char* before = "";  // the words before the id of the part
  std::uint32_t id = 0;
  const char* after = "";

  Place within(const char* words_before, std::uint32_t part_id, const char* words_after) const {
    return {nid, this, words_before, part_id, words_after};
  }
  std::string text() const {
    if (outer == nullptr) return node_name(nid);
    return outer->text() + ", " + before + hex(id) + after;
  }
};

class ContentsChecker {
 public:
  ContentsChecker(const ByteSource& source, const ContentsSource& form, const NodeIndex& nodes,
                  const BlockIndexMap& blocks, const FindingSink& report)
      : source_(source),
        unicode_(form.unicode),
        crypt_(form.crypt),
        from_scan_(form.from_scan),
        id_bytes_(form.unicode ? 8 : 4),
        nodes_(nodes),
        blocks_(blocks),
        report_(report),
        budget_(2 * source.size() + ContentsLimits::kSlackBytes) {}

  void run() {
    walk_trees();
    if (from_scan_)
      report_changed();
    else
      report_overnamed();
    read_contents();
  }

 private:
  void error(CheckArea area, std::string text) { report_(true, area, std::move(text)); }
  void warning(CheckArea area, std::string text) { report_(false, area, std::move(text)); }
  void error(const Place& at, const std::string& text) {
    error(CheckArea::kNodeContents, at.text() + ": " + text);
  }

  std::uint64_t load_id(std::span<const std::uint8_t> b, std::size_t at) const {
    return unicode_ ? pst::load_le64(b, at) : pst::load_le32(b, at);
  }

  // ---- Trees and how often blocks are named ------------------------------------------

  // A block from a scan is read as a repair reads it, whatever its check value says; one
  // from the block B-tree only when the block check found it sound.
  bool readable(const IndexedBlock& block) const { return from_scan_ || block.sound; }

  // The block B-tree's entry for `bid`, when the block is there and readable; a missing one is
  // reported (for `nid`, as its `role` block), a damaged one was reported with the blocks.
  const IndexedBlock* known(std::uint64_t bid, std::uint32_t nid, std::string_view role) {
    const auto it = blocks_.find(bid & ~std::uint64_t{1});
    if (it == blocks_.end()) {
      error(CheckArea::kNodeTree,
            node_name(nid) + ": its " + std::string(role) + " block " + hex(bid) +
                (from_scan_ ? " was not found in the file" : " is not in the block B-tree"));
      return nullptr;
    }
    return readable(it->second) ? &it->second : nullptr;
  }

  // The bytes of a sound block as stored (not decoded); nothing for one that is missing or
  // damaged, or once the reading budget is spent.
  std::optional<Bytes> stored(std::uint64_t bid) {
    const auto it = blocks_.find(bid & ~std::uint64_t{1});
    if (it == blocks_.end() || !readable(it->second)) return std::nullopt;
    if (!spend(it->second.size)) return std::nullopt;
    Bytes data(it->second.size);
    source_.read_at(it->second.offset, data);
    return data;
  }

  // A data block decoded as the header's encoding asks.
  std::optional<Bytes> data_block(std::uint64_t bid) {
    auto data = stored(bid);
    if (!data) return std::nullopt;
    if (crypt_ == pst::kCryptPermute)
      pst::permute_decode(*data);
    else if (crypt_ == pst::kCryptCyclic)
      pst::cyclic_crypt(*data, static_cast<std::uint32_t>(bid));  // keyed by the id's low half
    return data;
  }

  bool spend(std::uint64_t bytes) {
    if (bytes <= budget_) {
      budget_ -= bytes;
      return true;
    }
    if (!over_budget_)
      error(CheckArea::kNodeContents,
            "the nodes name their blocks over and over: reading their contents as a reader "
            "does would read more than the whole file, and the check stopped reading them");
    over_budget_ = true;
    budget_ = 0;
    return false;
  }

  void name(std::uint64_t bid) {
    if (bid != 0) ++named_[bid & ~std::uint64_t{1}];
  }

  struct TreeStep {
    std::uint64_t bid = 0;
    bool subnodes = false;
    unsigned nesting = 0;
    int level = -1;  // the level the block above puts it on; -1 for the top of a tree
  };

  // Walks every node's data tree and subnode tree, each tree block once, checking that each
  // block they name exists, that levels go down one at a time, and counting how often every
  // block is named.
  void walk_trees() {
    std::vector<TreeStep> todo;
    for (const auto& [nid, node] : nodes_) {
      name(node.data);
      name(node.sub);
      if (node.data != 0) todo.push_back({node.data, false, 0, -1});
      if (node.sub != 0) todo.push_back({node.sub, true, 0, -1});
      while (!todo.empty()) {
        const TreeStep step = todo.back();
        todo.pop_back();
        walk_tree_block(nid, step, todo);
      }
    }
  }

  void tree_error(std::uint32_t nid, std::uint64_t bid, const std::string& text) {
    // Once for a block, however many entries name it.
    if (misshapen_.insert(bid & ~std::uint64_t{1}).second)
      error(CheckArea::kNodeTree, node_name(nid) + ": its tree block " + hex(bid) + " " + text);
  }

  void walk_tree_block(std::uint32_t nid, const TreeStep& step, std::vector<TreeStep>& todo) {
    const char* role = step.subnodes ? "subnode" : "data";
    if (known(step.bid, nid, role) == nullptr) return;
    if (!pst::is_internal_block(static_cast<std::uint32_t>(step.bid))) {
      // A data tree's leaves, and a subnode's data, are data blocks; a subnode tree is not.
      if (step.subnodes || step.level > 0)
        tree_error(nid, step.bid, "is named as a tree block, and it is a data block");
      return;
    }
    if (step.nesting > kMaxTreeNesting) {
      if (deep_.insert(nid).second)
        error(CheckArea::kNodeTree, node_name(nid) + ": its trees nest more than " +
                                        std::to_string(kMaxTreeNesting) +
                                        " levels deep, far more than a reader follows");
      return;
    }
    // A tree block is followed once: a hostile file could list one block many times in
    // itself, and each listing would multiply the walk.
    const auto [walked, first] = walked_.try_emplace(step.bid & ~std::uint64_t{1}, -1);
    if (!first) {
      if (step.level != -1 && walked->second != -1 && walked->second != step.level)
        tree_error(nid, step.bid,
                   "is on level " + std::to_string(walked->second) + " where level " +
                       std::to_string(step.level) + " belongs: the tree loops or is crossed");
      return;
    }
    const auto data = stored(step.bid);
    if (!data) return;
    const std::uint8_t type = data->empty() ? 0 : (*data)[0];
    const int level = data->size() > 1 ? (*data)[1] : 0;
    walked->second = level;
    const std::size_t count = data->size() >= 4 ? pst::load_le16(*data, 2) : 0;
    if (type != (step.subnodes ? kSubnodeType : kDataTreeType)) {
      error(CheckArea::kNodeTree, node_name(nid) + ": its " + role + " tree block " +
                                      hex(step.bid) + " has the wrong type");
      return;
    }
    // Data trees have one or two levels above the data, subnode trees a leaf level and at
    // most one above it.
    const int top = step.subnodes ? 1 : 2;
    const int bottom = step.subnodes ? 0 : 1;
    if ((step.level != -1 && level != step.level) || level < bottom || level > top) {
      tree_error(nid, step.bid,
                 "is on level " + std::to_string(level) +
                     (step.level != -1 ? " where level " + std::to_string(step.level) + " belongs"
                                       : ", which no such tree has"));
      return;
    }
    // A subnode block's header is padded to 8 bytes only in the 64-bit form.
    const std::size_t header = !step.subnodes ? kDataTreeHeader : unicode_ ? 8 : 4;
    // Entries: child ids for a data tree; (nid, bid) or (nid, bidData, bidSub) for subnodes.
    const std::size_t fields = !step.subnodes ? 1 : level > 0 ? 2 : 3;
    const std::size_t entry = fields * id_bytes_;
    if (header + count * entry > data->size()) {
      error(CheckArea::kNodeTree, node_name(nid) + ": its tree block " + hex(step.bid) +
                                      " lists more entries than it holds");
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t e = header + i * entry;
      const unsigned next = step.nesting + 1;
      if (!step.subnodes) {
        const std::uint64_t child = load_id(*data, e);
        name(child);
        todo.push_back({child, false, next, level - 1});
      } else if (level > 0) {
        const std::uint64_t child = load_id(*data, e + id_bytes_);
        name(child);
        todo.push_back({child, true, next, level - 1});
      } else {
        const std::uint64_t sub_data = load_id(*data, e + id_bytes_);
        const std::uint64_t sub_sub = load_id(*data, e + 2 * id_bytes_);
        name(sub_data);
        name(sub_sub);
        if (sub_data != 0) todo.push_back({sub_data, false, next, -1});
        if (sub_sub != 0) todo.push_back({sub_sub, true, next, -1});
      }
    }
  }

  // A block's cRef counts the block B-tree's own reference and one for each node entry or
  // tree entry that names it; writers keep it so, since it decides when a block is freed.
  // Named more often, the block is shared where it should not be (or was listed over and
  // over by a damaged tree), and the first writer to free it leaves the others naming
  // nothing.
  void report_overnamed() {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> over;
    for (const auto& [bid, times] : named_) {
      const auto it = blocks_.find(bid);
      if (it != blocks_.end() && times > it->second.references) over.emplace_back(bid, times);
    }
    std::sort(over.begin(), over.end());
    for (const auto& [bid, times] : over)
      error(CheckArea::kNodeTree,
            "the block " + hex(bid) + " is named " + std::to_string(times) +
                " times, where the block B-tree counts " +
                std::to_string(blocks_.at(bid).references) + " references to it");
  }

  // Blocks that the nodes found by a scan use, and whose check values are wrong. Blocks that
  // nothing names are left out: the scan also meets bytes that merely look like a block's
  // trailer, in the data of other blocks.
  void report_changed() {
    std::size_t changed = 0;
    for (const auto& [bid, times] : named_) {
      const auto it = blocks_.find(bid);
      if (it != blocks_.end() && !it->second.sound) ++changed;
    }
    if (changed != 0)
      error(CheckArea::kBlocks, std::to_string(changed) + " of the blocks the nodes use " +
                                    (changed == 1 ? "has" : "have") +
                                    " a wrong check value: their content was changed");
  }

  // ---- Reading what the nodes hold --------------------------------------------------

  void read_contents() {
    // Nodes that share their data, their subnodes and what they hold read alike.
    std::set<std::tuple<std::uint64_t, std::uint64_t, Holds>> read;
    for (const auto& [nid, node] : nodes_) {
      if (over_budget_) return;
      const Holds what = holds(nid);
      if (what == Holds::kNothingRead || node.data == 0) continue;
      if (!read.emplace(node.data, node.sub, what).second) continue;
      const Place at{nid};
      const SubnodeMap subnodes = subnode_map(node.sub, at);
      const Scopes scopes{&subnodes, nullptr};
      if (what == Holds::kMessage)
        check_message(node.data, subnodes, at, 0);
      else if (what == Holds::kProperties)
        check_property_context(node.data, scopes, at);
      else
        check_table(node.data, scopes, at, nullptr);
    }
  }

  // The entries of the subnode tree at `bid`: a leaf block, or an index block over leaf
  // blocks. What cannot be read was reported by the tree walk; a subnode listed twice is
  // reported here, since a reader may take either.
  SubnodeMap subnode_map(std::uint64_t bid, const Place& at) {
    SubnodeMap out;
    if (bid == 0) return out;
    const auto root = stored(bid);
    if (!root || root->size() < 4 || (*root)[0] != kSubnodeType) return out;
    std::vector<Bytes> leaves;
    const std::size_t header = unicode_ ? 8 : 4;
    if ((*root)[1] == 0) {
      leaves.push_back(*root);
    } else {
      const std::size_t count = pst::load_le16(*root, 2);
      const std::size_t entry = 2 * id_bytes_;
      std::unordered_set<std::uint64_t> seen;
      for (std::size_t i = 0; i < count && header + (i + 1) * entry <= root->size(); ++i) {
        const std::uint64_t child = load_id(*root, header + i * entry + id_bytes_);
        if (!seen.insert(child & ~std::uint64_t{1}).second) continue;
        auto leaf = stored(child);
        if (leaf && leaf->size() >= 4 && (*leaf)[0] == kSubnodeType && (*leaf)[1] == 0)
          leaves.push_back(std::move(*leaf));
      }
    }
    const std::size_t entry = 3 * id_bytes_;
    bool twice = false;
    for (const Bytes& leaf : leaves) {
      const std::size_t count = pst::load_le16(leaf, 2);
      for (std::size_t i = 0; i < count && header + (i + 1) * entry <= leaf.size(); ++i) {
        if (out.size() == kMaxSubnodes) {
          warning(CheckArea::kNodeContents,
                  at.text() + ": its subnode tree lists more than " +
                      std::to_string(kMaxSubnodes) + " subnodes; the rest are not checked");
          return out;
        }
        const std::size_t e = header + i * entry;
        const auto id = static_cast<std::uint32_t>(load_id(leaf, e));
        const IndexedNode node{load_id(leaf, e + id_bytes_), load_id(leaf, e + 2 * id_bytes_), 0};
        twice = !out.emplace(id, node).second || twice;
      }
    }
    if (twice) error(at, "its subnode tree lists a subnode twice: a reader may take either");
    return out;
  }

  // The leaf blocks of the data tree at `bid`, in order (the block itself when it is no
  // tree); nothing when the tree cannot be read whole, which is reported unless a damaged
  // or missing block was already.
  std::optional<std::vector<std::uint64_t>> leaves(std::uint64_t bid, const Place& at) {
    if (!pst::is_internal_block(static_cast<std::uint32_t>(bid))) {
      if (blocks_.count(bid & ~std::uint64_t{1}) == 0) return std::nullopt;
      return std::vector<std::uint64_t>{bid};
    }
    if (unreadable_trees_.count(bid & ~std::uint64_t{1}) != 0) return std::nullopt;
    const auto top = tree_block(bid, 0, at);
    if (!top) {
      unreadable_trees_.insert(bid & ~std::uint64_t{1});
      return std::nullopt;
    }
    // How often the tree names each leaf, each block of the level below read once however
    // often the top names it: a damaged top can name one block thousands of times, and the
    // one below it thousands more.
    std::unordered_map<std::uint64_t, std::uint64_t> below;
    for (const std::uint64_t child : top->children) ++below[child & ~std::uint64_t{1}];
    std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> level1;
    std::unordered_map<std::uint64_t, std::uint64_t> times;
    if (top->level == 1) {
      times = below;
    } else {
      for (const auto& [child, named] : below) {
        auto block = tree_block(child, 1, at);
        if (!block) {
          unreadable_trees_.insert(bid & ~std::uint64_t{1});
          return std::nullopt;
        }
        for (const std::uint64_t leaf : block->children) times[leaf & ~std::uint64_t{1}] += named;
        level1.emplace(child, std::move(block->children));
      }
    }
    const auto most = std::max_element(times.begin(), times.end(), [](const auto& a, const auto& b) {
      return a.second < b.second || (a.second == b.second && a.first > b.first);
    });
    if (most != times.end() && most->second > 1) {
      const auto users = named_.find(bid & ~std::uint64_t{1});
      error(at, "its data tree " + hex(bid) + " names the block " + hex(most->first) + " " +
                    std::to_string(most->second) +
                    " times: a reader would read it as often, and the data is not whole" +
                    (users != named_.end() && users->second > 1
                         ? " (the tree is named " + std::to_string(users->second) + " times)"
                         : std::string()));
      unreadable_trees_.insert(bid & ~std::uint64_t{1});
      return std::nullopt;
    }
    // Every leaf is named once now, so the list is no longer than the blocks of the file.
    std::vector<std::uint64_t> out;
    if (top->level == 1) {
      out = top->children;
    } else {
      for (const std::uint64_t child : top->children) {
        const auto& more = level1.at(child & ~std::uint64_t{1});
        out.insert(out.end(), more.begin(), more.end());
      }
    }
    for (const std::uint64_t leaf : out)
      if (blocks_.count(leaf & ~std::uint64_t{1}) == 0) return std::nullopt;  // reported
    return out;
  }

  struct TreeBlock {
    unsigned level = 0;
    std::vector<std::uint64_t> children;
  };

  // The data tree block `bid`, which must be of `level` (0: either level) and name only
  // blocks of the level below.
  std::optional<TreeBlock> tree_block(std::uint64_t bid, unsigned level, const Place& at) {
    const auto data = stored(bid);
    if (!data) return std::nullopt;
    if (data->size() < kDataTreeHeader || (*data)[0] != kDataTreeType) return std::nullopt;
    TreeBlock out;
    out.level = (*data)[1];
    const std::size_t count = pst::load_le16(*data, 2);
    if ((level != 0 && out.level != level) || out.level == 0 || out.level > 2) {
      error(at, "its data tree block " + hex(bid) + " is of level " + std::to_string(out.level) +
                    (level != 0 ? " where level " + std::to_string(level) + " belongs"
                                : ", which no data tree has"));
      return std::nullopt;
    }
    if (kDataTreeHeader + count * id_bytes_ > data->size()) return std::nullopt;  // reported
    out.children.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t child = load_id(*data, kDataTreeHeader + i * id_bytes_);
      if (pst::is_internal_block(static_cast<std::uint32_t>(child)) != (out.level == 2)) {
        error(at, "its data tree block " + hex(bid) + " of level " + std::to_string(out.level) +
                      " names the block " + hex(child) + ", which is " +
                      (out.level == 2 ? "no tree block" : "a tree block"));
        return std::nullopt;
      }
      out.children.push_back(child);
    }
    return out;
  }

  // The heap on the data at `bid`: its blocks read and decoded, then opened as the strict
  // reader opens it. Nothing (and the reason reported) when a reader could not open it;
  // `client` is the signature of what the heap must hold.
  std::optional<HeapView> heap(std::uint64_t bid, std::uint8_t client, const Place& at) {
    const auto ids = leaves(bid, at);
    if (!ids || ids->empty()) return std::nullopt;
    if (ids->size() > kMaxHeapBlocks) {
      error(at, "its heap is spread over " + std::to_string(ids->size()) +
                    " blocks, more than a heap can name");
      return std::nullopt;
    }
    std::uint64_t bytes = 0;
    for (const std::uint64_t id : *ids) bytes += blocks_.at(id & ~std::uint64_t{1}).size;
    if (bytes > ContentsLimits::kMaxHeapBytes) {
      warning(CheckArea::kNodeContents,
              at.text() + ": its heap is " + std::to_string(bytes) + " bytes, more than the " +
                  "check reads of one heap; it is not checked");
      return std::nullopt;
    }
    std::vector<Bytes> blocks;
    blocks.reserve(ids->size());
    for (const std::uint64_t id : *ids) {
      auto block = data_block(id);
      if (!block) return std::nullopt;  // damaged (reported with the blocks) or over budget
      blocks.push_back(std::move(*block));
    }
    if (blocks.front().size() < 12 || blocks.front()[2] != pst::kHeapSignature) {
      error(at, "its data is no heap (the heap signature is missing): a reader cannot read it");
      return std::nullopt;
    }
    if (blocks.front()[3] != client) {
      error(at, std::string("its heap holds no ") +
                    (client == pst::kClientPropertyContext ? "property context" : "table context") +
                    " (its client signature is " + hex(blocks.front()[3]) +
                    "): a reader cannot read it");
      return std::nullopt;
    }
    const std::size_t count = blocks.size();
    try {
      HeapView view(std::move(blocks), Broken::kRefuse);
      for (std::size_t i = 1; i < count; ++i)
        if (!view.block_readable(i))
          error(at, "its heap page map is broken in block " + std::to_string(i + 1) + " of " +
                        std::to_string(count) + ": a reader loses what that block holds");
      return view;
    } catch (const LtpError& e) {
      error(at, "its heap page map is broken in block 1 of " + std::to_string(count) + " (" +
                    e.what() + "): a reader cannot read it");
      return std::nullopt;
    }
  }

  // The BTH whose header is `hid`; nothing (reported as `what`) when a reader would refuse it.
  std::optional<std::vector<BthRecord>> bth(const HeapView& view, std::uint32_t hid,
                                            const std::string& what, const Place& at) {
    try {
      return read_bth(view, hid, Broken::kRefuse);
    } catch (const LtpError& e) {
      error(at, what + " is broken (" + e.what() + "): a reader cannot read it");
      return std::nullopt;
    }
  }

  // The subnode a value lives in, or that an object value (an attached message or object)
  // names in its reference (subnode id, size) in the heap; 0 for a value in the heap or the
  // slot. Throws LtpError as locate_value does.
  static std::uint32_t value_subnode(const HeapView& view, std::uint32_t tag,
                                     std::span<const std::uint8_t> slot) {
    const ValueLocation where = locate_value(view, pst::tag_type(tag), slot);
    if (where.kind == ValueLocation::kSubnode) return where.subnode;
    if (pst::tag_type(tag) == pst::kPtObject && where.bytes.size() >= 4)
      return pst::load_le32(where.bytes, 0);
    return 0;
  }

  // Checks a value a record or cell names: a heap allocation that is there, or a subnode
  // the scopes hold. False (and reported) when a reader cannot have it. `row` counts from 1
  // in a table, and is 0 in a property context.
  bool check_value(const HeapView& view, std::uint32_t tag, std::span<const std::uint8_t> slot,
                   const Scopes& scopes, std::uint64_t row, const Place& at) {
    auto what = [row] {
      return row == 0 ? std::string("its property context")
                      : "its table context, row " + std::to_string(row);
    };
    try {
      const std::uint32_t subnode = value_subnode(view, tag, slot);
      if (subnode == 0 || scopes.find(subnode) != nullptr) return true;
      error(at, what() + " names the subnode " + hex(subnode) + " for the property " + hex(tag) +
                    ", and there is none");
    } catch (const LtpError& e) {
      error(at, what() + ": the property " + hex(tag) + " cannot be read (" + e.what() + ")");
    }
    return false;
  }

  // The values of a property context that the message reading needs.
  struct Properties {
    std::optional<std::uint32_t> attach_method;
    std::optional<std::uint32_t> attached_object;  // the subnode of an attached object
  };

  std::optional<Properties> check_property_context(std::uint64_t data, const Scopes& scopes,
                                                   const Place& at) {
    const auto view = heap(data, pst::kClientPropertyContext, at);
    if (!view) return std::nullopt;
    if (!bth(*view, view->user_root(), "its BTH", at)) return std::nullopt;
    std::vector<PropertyRecord> records;
    try {
      records = property_records(*view, Broken::kRefuse);
    } catch (const LtpError& e) {
      error(at, std::string("its property context is broken (") + e.what() +
                    "): a reader cannot read it");
      return std::nullopt;
    }
    Properties out;
    for (const PropertyRecord& r : records) {
      if (!check_value(*view, r.tag, r.slot, scopes, 0, at)) continue;
      if (r.tag == kTagAttachMethod) out.attach_method = pst::load_le32(r.slot, 0);
      if (r.tag == kTagAttachDataObject) out.attached_object = value_subnode(*view, r.tag, r.slot);
    }
    return out;
  }

  // Checks the table context at `data`: its layout, its row index, its row matrix and every
  // cell. `row_ids` collects the row ids (an attachment table's name the attachments).
  void check_table(std::uint64_t data, const Scopes& scopes, const Place& at,
                   std::vector<std::uint32_t>* row_ids) {
    const auto view = heap(data, pst::kClientTableContext, at);
    if (!view) return;
    TableInfo info;
    std::uint32_t index_hid = 0;
    try {
      info = read_table_info(*view, Broken::kRefuse);
      index_hid = pst::load_le32(view->get(view->user_root()), kTcInfoRowIndexAt);
    } catch (const LtpError& e) {
      error(at, std::string("its table context is broken (") + e.what() +
                    "): a reader cannot read it");
      return;
    }
    const auto index = bth(*view, index_hid, "its row index (a BTH)", at);
    std::uint64_t rows = 0;
    bool whole = true;  // every row of the matrix was read
    bool bad_cell = false;
    auto take_rows = [&](std::span<const std::uint8_t> matrix) {
      for (std::size_t r = 0; matrix.size() - r * info.row_size >= info.row_size; ++r) {
        const auto row = matrix.subspan(r * info.row_size, info.row_size);
        table_cells(info, row, [&](const TableColumn& c, std::span<const std::uint8_t> cell) {
          if (row_ids != nullptr && c.tag == kTagRowId) row_ids->push_back(pst::load_le32(cell, 0));
          // One finding tells that the cells are damaged; a damaged table could have a
          // great many of them.
          if (!bad_cell)
            bad_cell = !check_value(*view, c.tag, cell, scopes, rows + 1, at);
        });
        ++rows;
      }
    };
    if (info.rows_hnid == 0) {
      // A table without rows.
    } else if (pst::node_type(info.rows_hnid) == pst::kNodeHid) {
      try {
        const auto matrix = heap_row_matrix(*view, info);
        if (matrix.size() % info.row_size != 0)
          error(at, "its row matrix is not a whole number of rows of " +
                        std::to_string(info.row_size) + " bytes");
        take_rows(matrix);
      } catch (const LtpError& e) {
        error(at, std::string("its row matrix cannot be read (") + e.what() + ")");
        whole = false;
      }
    } else if (const IndexedNode* matrix = scopes.find(info.rows_hnid)) {
      // Read a block at a time: every block but the last is padded after its last whole row.
      const auto ids = leaves(matrix->data, at);
      whole = ids.has_value();
      for (std::size_t i = 0; whole && i < ids->size(); ++i) {
        const auto block = data_block((*ids)[i]);
        whole = block.has_value();
        if (whole) take_rows(*block);
      }
    } else {
      error(at, "its row matrix is in the subnode " + hex(info.rows_hnid) +
                    ", and there is none: a reader finds no rows");
      whole = false;
    }
    if (!index || !whole) return;
    for (const BthRecord& r : *index) {
      std::uint64_t row = 0;
      for (std::size_t i = 0; i < std::min<std::size_t>(r.entry.size(), 4); ++i)
        row |= std::uint64_t{r.entry[i]} << (8 * i);
      if (row >= rows) {
        error(at, "its row index places the row " + hex(r.key) + " at row " +
                      std::to_string(row + 1) + " of " + std::to_string(rows));
        break;
      }
    }
  }

  // A message: its properties, recipient table, attachment table and attachments, and an
  // attached message in turn. `subnodes` is the message's own subnode tree.
  void check_message(std::uint64_t data, const SubnodeMap& subnodes, const Place& at, int depth) {
    check_property_context(data, {&subnodes, nullptr}, at);
    if (const auto it = subnodes.find(kRecipientTable); it != subnodes.end()) {
      const Place table = at.within("its recipient table (subnode ", kRecipientTable, ")");
      const SubnodeMap own = subnode_map(it->second.sub, table);
      check_table(it->second.data, {&own, &subnodes}, table, nullptr);
    }
    if (const auto it = subnodes.find(kAttachmentTable); it != subnodes.end()) {
      const Place table = at.within("its attachment table (subnode ", kAttachmentTable, ")");
      const SubnodeMap own = subnode_map(it->second.sub, table);
      std::vector<std::uint32_t> attachments;
      check_table(it->second.data, {&own, &subnodes}, table, &attachments);
      for (const std::uint32_t id : attachments)
        if (subnodes.count(id) == 0) {
          error(table, "it lists the attachment " + hex(id) + ", which the message does not hold");
          break;
        }
    }
    for (const auto& [id, node] : subnodes) {
      if (over_budget_) return;
      if (pst::node_type(id) != pst::kNodeAttachment) continue;
      const Place attachment = at.within("its attachment ", id, "");
      const SubnodeMap own = subnode_map(node.sub, attachment);
      const auto properties = check_property_context(node.data, {&own, &subnodes}, attachment);
      if (!properties || properties->attach_method != kAttachEmbeddedMessage ||
          !properties->attached_object)
        continue;
      const auto embedded = own.find(*properties->attached_object);
      if (embedded == own.end()) continue;  // reported with the attachment's properties
      if (depth + 1 > ContentsLimits::kMaxEmbedding) {
        warning(CheckArea::kNodeContents,
                attachment.text() + ": its attached message lies deeper than the check reads");
        continue;
      }
      const Place message = attachment.within("its attached message (subnode ", embedded->first, ")");
      const SubnodeMap inner = subnode_map(embedded->second.sub, message);
      check_message(embedded->second.data, inner, message, depth + 1);
    }
  }

  const ByteSource& source_;
  const bool unicode_;
  const std::uint8_t crypt_;
  const bool from_scan_;
  const std::size_t id_bytes_;
  const NodeIndex& nodes_;
  const BlockIndexMap& blocks_;
  const FindingSink& report_;
  std::uint64_t budget_;
  bool over_budget_ = false;
  std::unordered_map<std::uint64_t, std::uint64_t> named_;  // times each block is named
  std::unordered_map<std::uint64_t, int> walked_;  // tree blocks followed, with their levels
  std::unordered_set<std::uint64_t> misshapen_;     // tree blocks reported
  std::unordered_set<std::uint32_t> deep_;          // nodes whose trees nest too deep
  // Data trees found unreadable: the nodes that share one are not read again.
  std::unordered_set<std::uint64_t> unreadable_trees_;
};

}  // namespace

std::string hex(std::uint64_t value) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(value));
  return b;
}

bool has_contents(std::uint32_t nid) {
  return holds(nid) != Holds::kNothingRead;
}

std::string node_name(std::uint32_t nid) {
  if (nid == pst::kNidMessageStore) return "the message store (node " + hex(nid) + ")";
  if (nid == pst::kNidNameToIdMap) return "the named property map (node " + hex(nid) + ")";
  return "the " + node_kind(nid) + " " + hex(nid);
}

void check_node_contents(const ByteSource& source, const ContentsSource& form,
                         const NodeIndex& nodes, const BlockIndexMap& blocks,
                         const FindingSink& report) {
  ContentsChecker(source, form, nodes, blocks, report).run();
}

}  // namespace pstorian::cli
