#include "pst/messaging/folder_table.h"

#include <algorithm>

#include "format/endian.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

StoredProperty* find_cell(TableRow& row, std::uint32_t tag) {
  for (auto& p : row)
    if (p.tag == tag) return &p;
  return nullptr;
}

}  // namespace

FolderTable::FolderTable(std::vector<TableColumn> columns, std::vector<TableRow> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (const StoredProperty* id = find_cell(rows_[i], kTagLtpRowId);
        id != nullptr && id->value.size() == 4)
      index_[pst::load_le32(id->value, 0)] = i;
}

std::uint32_t FolderTable::row_id(std::size_t position) const {
  for (const auto& p : rows_.at(position))
    if (p.tag == kTagLtpRowId && p.value.size() == 4) return pst::load_le32(p.value, 0);
  return 0;
}

void FolderTable::count_clear_bit(std::uint32_t tag, std::uint32_t bit) {
  counted_tag_ = tag;
  counted_bit_ = bit;
  bit_clear_rows_ = static_cast<std::size_t>(
      std::count_if(rows_.begin(), rows_.end(), [this](const TableRow& r) { return bit_clear(r); }));
}

bool FolderTable::bit_clear(const TableRow& row) const {
  if (counted_tag_ == 0) return false;
  for (const auto& p : row)
    if (p.tag == counted_tag_)
      return p.value.size() == 4 && (pst::load_le32(p.value, 0) & counted_bit_) == 0;
  return false;
}

void FolderTable::put(std::uint32_t id, std::uint32_t version, const PropertyBag& object,
                      const TextCodec* narrow) {
  auto it = index_.find(id);
  if (it == index_.end()) {
    it = index_.emplace(id, rows_.size()).first;
    rows_.emplace_back();
  } else {
    unchanged_ = std::min(unchanged_, it->second);
    if (bit_clear(rows_[it->second])) --bit_clear_rows_;
  }
  TableRow& row = rows_[it->second];
  auto assign = [&row](std::uint32_t tag, std::vector<std::uint8_t> value) {
    if (StoredProperty* c = find_cell(row, tag))
      c->value = std::move(value);
    else
      row.push_back({tag, std::move(value)});
    // One cell per column: a text column's value of the other string type goes. Only text
    // columns take a value of another type, so other cells are not looked through.
    const std::uint16_t type = pst::tag_type(tag);
    if (type != pst::kPtString8 && type != pst::kPtUnicode) return;
    std::erase_if(row, [tag](const StoredProperty& p) {
      return p.tag != tag && (p.tag >> 16) == (tag >> 16);
    });
  };
  assign(kTagLtpRowId, StoredProperty::int32(kTagLtpRowId, id).value);
  assign(kTagLtpRowVer, StoredProperty::int32(kTagLtpRowVer, version).value);
  for (const auto& c : columns_) {
    if (c.tag == kTagLtpRowId || c.tag == kTagLtpRowVer) continue;
    if (const auto* v = object.find(c.tag)) {
      assign(c.tag, *v);
    } else if (pst::tag_type(c.tag) == pst::kPtString8) {
      const auto [tag, wide] = object.find_id(c.tag);
      if (wide == nullptr || pst::tag_type(tag) != pst::kPtUnicode) continue;
      if (narrow == nullptr) {
        assign(tag, *wide);
      } else {
        const std::string text = narrow->encode(from_utf16le(*wide));
        assign(c.tag, {text.begin(), text.end()});
      }
    }
  }
  if (bit_clear(row)) ++bit_clear_rows_;
}

void FolderTable::erase(std::uint32_t id) {
  const auto it = index_.find(id);
  if (it == index_.end()) return;
  const std::size_t at = it->second;
  unchanged_ = std::min(unchanged_, at);
  if (bit_clear(rows_[at])) --bit_clear_rows_;
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
  index_.erase(it);
  for (auto& [key, position] : index_)
    if (position > at) --position;
}

const StoredProperty* FolderTable::cell(std::uint32_t id, std::uint32_t tag) const {
  const auto it = index_.find(id);
  if (it == index_.end()) return nullptr;
  for (const auto& p : rows_[it->second])
    if (p.tag == tag) return &p;
  return nullptr;
}

}  // namespace pstorian
