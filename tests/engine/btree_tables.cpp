#include "engine/btree_tables.h"

#include <set>
#include <vector>

#include "engine/byte_source.h"
#include "engine/bytes.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian::testing {
namespace {

// 32-bit header: NBT root reference (bid, offset) at 184, BBT root at 192, encoding at 461.
constexpr std::size_t kNbtRootAt = 188;
constexpr std::size_t kBbtRootAt = 196;
constexpr std::size_t kCryptAt = 461;

std::optional<Bytes> read(const ByteSource& file, std::uint64_t offset, std::uint32_t size) {
  if (offset > file.size() || file.size() - offset < size) return std::nullopt;
  Bytes out(size);
  file.read_at(offset, out);
  return out;
}

struct NodeEntry {
  std::uint32_t nid, data, sub, parent;
};

class Walker {
 public:
  explicit Walker(const ByteSource& file) : file_(file) {}

  // Visits the leaf entries under the page at `offset`.
  template <class OnEntry>
  bool walk(std::uint32_t offset, std::size_t leaf_entry_size, OnEntry on_entry, int depth = 0) {
    if (depth > 8 || !seen_.insert(offset).second) return false;
    auto page = read(file_, offset, pst::kPageSize);
    if (!page) return false;
    const std::size_t count = (*page)[496];
    const std::size_t level = (*page)[499];
    const std::size_t size = level == 0 ? leaf_entry_size : pst::kIntermediateEntrySize;
    for (std::size_t i = 0; i < count && (i + 1) * size <= pst::kBTreeEntryBytes; ++i) {
      const std::size_t at = i * size;
      if (level == 0)
        on_entry(std::span<const std::uint8_t>(*page).subspan(at, size));
      else
        walk(pst::load_le32(*page, at + 8), leaf_entry_size, on_entry, depth + 1);
    }
    return true;
  }

 private:
  const ByteSource& file_;
  std::set<std::uint32_t> seen_;
};

}  // namespace

bool fill_tables_from_btrees(const std::string& path, RecoveryTables& tables) {
  tables.clear();
  const auto file = SourceFile::open(path);
  if (!file) return false;
  auto header = read(*file, 0, pst::kHeaderSize);
  if (!header) return false;
  Walker walker(*file);
  const bool bbt =
      walker.walk(pst::load_le32(*header, kBbtRootAt), pst::kBbtLeafEntrySize, [&](auto e) {
        tables.blocks.add(pst::load_le32(e, 0) & ~1u, pst::load_le32(e, 4), pst::load_le16(e, 8));
      });
  std::vector<NodeEntry> nodes;
  const bool nbt =
      walker.walk(pst::load_le32(*header, kNbtRootAt), pst::kNbtLeafEntrySize, [&](auto e) {
        nodes.push_back({pst::load_le32(e, 0), pst::load_le32(e, 4), pst::load_le32(e, 8),
                         pst::load_le32(e, 12)});
      });
  if (!bbt || !nbt) return false;

  auto create = [&](const NodeEntry& n) {
    return tables.objects.create(n.nid, tables.find_block(n.sub), tables.find_block(n.data), true);
  };
  for (const NodeEntry& n : nodes)
    if (n.parent == 0) tables.objects.append_top_level(create(n));
  for (const NodeEntry& n : nodes) {
    if (n.parent == 0) continue;
    const ObjectIndex o = create(n);
    const ObjectIndex parent = tables.objects.find(n.parent);
    if (parent == kNoObject)
      tables.objects.append_top_level(o);
    else
      tables.objects.append_child(parent, o);
  }
  tables.encoded = (*header)[kCryptAt] == pst::kCryptPermute;
  return true;
}

}  // namespace pstorian::testing
