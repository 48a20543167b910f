#include "mailclient/ndb/btree_page.h"

#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

void finish(Page& page, std::size_t count, std::uint32_t max, std::uint32_t size,
            std::uint8_t level, std::uint8_t ptype, Bref at) {
  page[496] = static_cast<std::uint8_t>(count);
  page[497] = static_cast<std::uint8_t>(max);
  page[498] = static_cast<std::uint8_t>(size);
  page[499] = level;
  seal_page(page, ptype, at.bid, at.ib);
}

void check_count(std::size_t count, std::uint32_t max) {
  if (count > max) throw std::invalid_argument("too many entries for one B-tree page");
}

}  // namespace

Page build_bbt_leaf(std::span<const BbtEntry> entries, Bref at) {
  check_count(entries.size(), pst::kBbtLeafMaxEntries);
  Page page{};
  std::size_t o = 0;
  for (const auto& e : entries) {
    pst::store_le32(page, o, e.bid);
    pst::store_le32(page, o + 4, e.ib);
    pst::store_le16(page, o + 8, e.cb);
    pst::store_le16(page, o + 10, e.cref);
    o += pst::kBbtLeafEntrySize;
  }
  finish(page, entries.size(), pst::kBbtLeafMaxEntries, pst::kBbtLeafEntrySize, 0, pst::kPageBbt,
         at);
  return page;
}

Page build_nbt_leaf(std::span<const NbtEntry> entries, Bref at) {
  check_count(entries.size(), pst::kNbtLeafMaxEntries);
  Page page{};
  std::size_t o = 0;
  for (const auto& e : entries) {
    pst::store_le32(page, o, e.nid);
    pst::store_le32(page, o + 4, e.bid_data);
    pst::store_le32(page, o + 8, e.bid_sub);
    pst::store_le32(page, o + 12, e.nid_parent);
    o += pst::kNbtLeafEntrySize;
  }
  finish(page, entries.size(), pst::kNbtLeafMaxEntries, pst::kNbtLeafEntrySize, 0, pst::kPageNbt,
         at);
  return page;
}

Page build_intermediate_page(std::uint8_t ptype, std::span<const BTreeChild> children,
                             std::uint8_t level, Bref at) {
  check_count(children.size(), pst::kIntermediateMaxEntries);
  Page page{};
  std::size_t o = 0;
  for (const auto& c : children) {
    pst::store_le32(page, o, c.key);
    pst::store_le32(page, o + 4, c.page.bid);
    pst::store_le32(page, o + 8, c.page.ib);
    o += pst::kIntermediateEntrySize;
  }
  finish(page, children.size(), pst::kIntermediateMaxEntries, pst::kIntermediateEntrySize, level,
         ptype, at);
  return page;
}

}  // namespace pstorian
