#include "cli/file_kind.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/object_collection.h"

namespace pstorian::cli {

bool is_personal_folder_file(const ByteSource& source, const RecoveryTables& scanned,
                             const ScanCounts& counts) {
  std::array<std::uint8_t, 4> magic{};
  if (source.size() >= magic.size()) {
    source.read_at(0, magic);
    if (std::memcmp(magic.data(), "!BDN", magic.size()) == 0) return true;
  }
  if (counts.leaf_pages > 0) return true;
  std::size_t tried = 0;
  bool found = false;
  std::vector<std::uint8_t> data;
  scanned.blocks.for_each_id([&](const BlockRef& block) {
    if (found || tried == kBlocksTried) return;
    ++tried;
    if (!block_intact(source, block, scanned.form)) return;
    data.assign(block.size, 0);
    source.read_at(block.offset, data);
    found = std::any_of(data.begin(), data.end(), [](std::uint8_t b) { return b != 0; });
  });
  return found;
}

}  // namespace pstorian::cli
