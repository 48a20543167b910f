#include "engine/index_blocks.h"

#include <array>

#include "engine/file_btrees.h"
#include "format/endian.h"
#include "format/signature.h"
#include "pst/ndb/form_layout.h"

namespace pstorian {
namespace {

// Nothing before the first allocation map page is a block, in either form.
constexpr std::uint64_t kFirstBlockOffset = pst::unicode::kFirstAMapOffset;

// Whether the trailer place of a block of `cb` bytes at `ib` holds the sound trailer of
// another block: then the index entry is stale, from before that block took the place.
bool another_block_is_there(const ByteSource& source, const FormLayout& f, std::uint64_t id,
                            std::uint64_t ib, std::uint64_t span) {
  std::array<std::uint8_t, pst::unicode::kBlockTrailerSize> trailer{};
  const auto t = std::span(trailer).first(f.block_trailer_size);
  source.read_at(ib + span - f.block_trailer_size, t);
  // cb, wSig, then the id: after the check value in the 64-bit form, before it in the 32-bit.
  const std::uint64_t there = f.unicode() ? pst::load_le64(t, 8) : pst::load_le32(t, 4);
  const std::uint16_t sig = pst::load_le16(t, 2);
  return (there & ~std::uint64_t{1}) != id && there != 0 &&
         pst::block_signature(static_cast<std::uint32_t>(ib), static_cast<std::uint32_t>(there)) ==
             sig;
}

}  // namespace

std::vector<BlockRef> blocks_only_the_index_names(const ByteSource& source,
                                                  const BlockIndex& found, pst::FileForm form) {
  std::vector<BlockRef> missed;
  const FormLayout& f = layout_of(form);
  const BTreeWalk walk = walk_file_btree(
      source, FileBTree::kBlocks, [&](std::span<const std::uint8_t> entry, pst::FileForm at) {
        if (at != form) return;
        // bid, ib, cb, cRef: ids and offsets in the width of the form.
        const std::uint64_t id = load_id(f, entry, 0) & ~std::uint64_t{1};
        const std::uint64_t ib = load_id(f, entry, f.id_size);
        const std::uint32_t cb = pst::load_le16(entry, 2 * f.id_size);
        if (id == 0 || cb == 0 || cb > f.max_block_data) return;
        const std::uint64_t span =
            (cb + f.block_trailer_size + pst::kBlockAlignment - 1) / pst::kBlockAlignment *
            pst::kBlockAlignment;
        if (ib % pst::kBlockAlignment != 0 || ib < kFirstBlockOffset || ib > source.size() ||
            source.size() - ib < span)
          return;
        if (found.find(id) != nullptr || another_block_is_there(source, f, id, ib, span)) return;
        missed.push_back(BlockRef{id, ib, cb});
      });
  if (walk.form != form) return {};
  return missed;
}

}  // namespace pstorian
