#include "pst/ndb/btree_page.h"

#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

void finish(Page& page, std::size_t count, std::uint32_t max, std::uint32_t size,
            std::uint8_t level, std::uint8_t ptype, Bref at, const FormLayout& f) {
  const std::size_t counts = f.btree_entry_bytes;
  page[counts] = static_cast<std::uint8_t>(count);
  page[counts + 1] = static_cast<std::uint8_t>(max);
  page[counts + 2] = static_cast<std::uint8_t>(size);
  page[counts + 3] = level;
  seal_page(page, ptype, at.bid, at.ib, f.form);
}

void check_count(std::size_t count, std::uint32_t max) {
  if (count > max) throw std::invalid_argument("too many entries for one B-tree page");
}

}  // namespace

std::size_t leaf_capacity(std::uint8_t ptype, FileForm form) {
  const FormLayout& f = layout_of(form);
  return ptype == pst::kPageBbt ? f.bbt_leaf_max : f.nbt_leaf_max;
}

std::size_t intermediate_capacity(FileForm form) {
  return layout_of(form).intermediate_max;
}

Page build_bbt_leaf(std::span<const BbtEntry> entries, Bref at, FileForm form) {
  const FormLayout& f = layout_of(form);
  check_count(entries.size(), f.bbt_leaf_max);
  Page page{};
  std::size_t o = 0;
  const std::size_t w = f.id_size;
  for (const auto& e : entries) {
    store_id(f, page, o, e.bid);
    store_id(f, page, o + w, e.ib);
    pst::store_le16(page, o + 2 * w, e.cb);
    pst::store_le16(page, o + 2 * w + 2, e.cref);
    o += f.bbt_leaf_entry_size;
  }
  finish(page, entries.size(), f.bbt_leaf_max, f.bbt_leaf_entry_size, 0, pst::kPageBbt, at, f);
  return page;
}

Page build_nbt_leaf(std::span<const NbtEntry> entries, Bref at, FileForm form) {
  const FormLayout& f = layout_of(form);
  check_count(entries.size(), f.nbt_leaf_max);
  Page page{};
  std::size_t o = 0;
  const std::size_t w = f.id_size;
  for (const auto& e : entries) {
    store_id(f, page, o, e.nid);
    store_id(f, page, o + w, e.bid_data);
    store_id(f, page, o + 2 * w, e.bid_sub);
    pst::store_le32(page, o + 3 * w, e.nid_parent);
    o += f.nbt_leaf_entry_size;
  }
  finish(page, entries.size(), f.nbt_leaf_max, f.nbt_leaf_entry_size, 0, pst::kPageNbt, at, f);
  return page;
}

Page build_intermediate_page(std::uint8_t ptype, std::span<const BTreeChild> children,
                             std::uint8_t level, Bref at, FileForm form) {
  const FormLayout& f = layout_of(form);
  check_count(children.size(), f.intermediate_max);
  Page page{};
  std::size_t o = 0;
  const std::size_t w = f.id_size;
  for (const auto& c : children) {
    store_id(f, page, o, c.key);
    store_id(f, page, o + w, c.page.bid);
    store_id(f, page, o + 2 * w, c.page.ib);
    o += f.intermediate_entry_size;
  }
  finish(page, children.size(), f.intermediate_max, f.intermediate_entry_size, level, ptype, at,
         f);
  return page;
}

}  // namespace pstorian
