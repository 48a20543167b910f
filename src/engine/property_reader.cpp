#include "engine/property_reader.h"

#include <algorithm>

#include "engine/named_property_map.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"

namespace pstorian {
namespace {

bool is_inline_type(std::uint16_t type) {
  return type == pst::kPtShort || type == pst::kPtLong || type == pst::kPtBoolean;
}

bool is_reference_type(std::uint16_t type, pst::FileForm form) {
  if (type == pst::kPtUnicode || type == pst::kPtMvUnicode) return form == pst::FileForm::kUnicode;
  switch (type) {
    case pst::kPtObject:
    case pst::kPtLongLong:
    case pst::kPtString8:
    case pst::kPtSysTime:
    case pst::kPtClsid:
    case pst::kPtBinary:
    case pst::kPtMvLong:
    case pst::kPtMvString8:
    case pst::kPtMvBinary:
      return true;
    default:
      return false;
  }
}

// Collects the views of a property or table context as owned rows.
class RowCollector final : public SlotVisitor {
 public:
  explicit RowCollector(const RecoveryTables& tables)
      : named_props_(tables.named_props), form_(tables.form) {}

  void begin_row() override { rows.emplace_back(); }

  void visit(const PropertySlot& slot) override {
    std::array<std::uint8_t, 4> inline_bytes{};
    const auto view = field_view(slot, named_props_, inline_bytes, form_);
    if (!view || rows.empty()) return;
    PropValue v{view->id, view->type, std::nullopt, std::nullopt};
    if (view->data) v.data.emplace(view->data->begin(), view->data->end());
    if (view->name != nullptr) v.name = *view->name;
    rows.back().values.push_back(std::move(v));
  }

  PropRows rows;

 private:
  const std::vector<NamedPropEntry>& named_props_;
  pst::FileForm form_;
};

}  // namespace

std::optional<PropView> field_view(const PropertySlot& slot,
                                   const std::vector<NamedPropEntry>& named_props,
                                   std::array<std::uint8_t, 4>& inline_bytes,
                                   pst::FileForm form) {
  PropView v;
  v.id = pst::tag_id(slot.tag);
  if (v.id >= 0x8000) {
    if (const NamedPropEntry* e = find_named_property(named_props, v.id)) {
      if (e->kind == 1)
        v.id = e->numeric_name;
      else
        v.name = &e->name;
    }
  }
  const std::uint16_t type = pst::tag_type(slot.tag);
  if (is_inline_type(type)) {
    v.type = type;
    inline_bytes.fill(0);
    std::copy_n(slot.cell.begin(), std::min<std::size_t>(slot.cell.size(), 4), inline_bytes.begin());
    v.data = std::span<const std::uint8_t>(inline_bytes);
  } else if (is_reference_type(type, form)) {
    v.type = type;
    const bool readable = slot.value && !slot.value->empty();
    if (readable)
      v.data = *slot.value;
    else if (!slot.in_subnode)
      return std::nullopt;
  }
  // Any other type stays in the row without data, with type 0.
  return v;
}

std::optional<PropRows> read_properties(const NodeReader& reader, const BlockRef* data_block,
                                        const SubnodeList& subnodes) {
  if (data_block == nullptr) return std::nullopt;
  // Values are copies of heap allocations and subnode data. However often the cells of a
  // hostile table name the same large value, all the values of one read together stay
  // within the size of the file; values beyond that are left unread.
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const ContentReader content(reader, budget);
  const auto heap = content.open_heap(*data_block);
  if (!heap) return std::nullopt;
  const SubnodeScopes scopes{SubnodeScope(subnodes), {}};
  RowCollector collector(reader.tables());
  switch (heap->client_signature()) {
    case pst::kClientPropertyContext:
      collector.begin_row();
      if (!content.properties(*heap, scopes, &collector)) return std::nullopt;
      collector.rows.front().row_total = 1;
      return std::move(collector.rows);
    case pst::kClientTableContext:
      if (!content.rows(*heap, scopes, SIZE_MAX, false, &collector)) return std::nullopt;
      for (PropRow& row : collector.rows) row.row_total = static_cast<std::uint32_t>(collector.rows.size());
      return std::move(collector.rows);
    default:
      return std::nullopt;
  }
}

}  // namespace pstorian
