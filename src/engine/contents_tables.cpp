#include "engine/contents_tables.h"

#include <algorithm>
#include <array>
#include <map>

#include "engine/content_reader.h"
#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {

ContentsRows read_contents_rows(const NodeReader& reader) {
  const RecoveryTables& tables = reader.tables();
  std::map<std::uint32_t, std::vector<ObjectIndex>> versions;
  for (ObjectIndex x = 0; x < tables.objects.size(); ++x) {
    const ObjectNode& o = tables.objects[x];
    if (pst::node_type(o.node_id) == pst::kNodeContentsTable && o.data_block != nullptr)
      versions[o.node_id].push_back(x);
  }
  static constexpr std::array<std::uint16_t, 5> kKept{kIdRowId, kIdSubject, kIdClientSubmitTime,
                                                      kIdDeliveryTime, kIdMessageClass};
  ContentsRows out;
  ItemBudget budget = ItemBudget::for_file(reader.file_size());
  const ContentReader content(reader, budget);
  for (auto& [table_id, candidates] : versions) {
    auto newer = [&](ObjectIndex a, ObjectIndex b) {
      const BlockRef* x = tables.objects[a].data_block;
      const BlockRef* y = tables.objects[b].data_block;
      if (x->id != y->id) return x->id > y->id;
      return tables.find_block(x->id) == x && tables.find_block(y->id) != y;
    };
    std::stable_sort(candidates.begin(), candidates.end(), newer);
    for (const ObjectIndex x : candidates) {
      const ObjectNode& o = tables.objects[x];
      const SubnodeList subnodes = reader.read_subnodes(o.subnode_block);
      const auto heap = content.open_heap(*o.data_block);
      if (!heap) continue;
      auto rows = content.rows_with(*heap, {SubnodeScope(subnodes), {}}, kKept);
      if (!rows) continue;
      out[(table_id & ~0x1Fu) | pst::kNodeNormalFolder] = std::move(*rows);
      break;
    }
  }
  return out;
}

const ContentProperty* cell_of(const ContentProperties& row, std::uint16_t id) {
  for (const ContentProperty& p : row)
    if (p.id() == id) return &p;
  return nullptr;
}

ContentsListings listings_of(const ContentsRows& rows) {
  ContentsListings out;
  for (const auto& [folder, table] : rows) {
    auto& listed = out[folder];
    for (const ContentProperties& row : table)
      if (const ContentProperty* id = cell_of(row, kIdRowId); id && id->value.size() >= 4)
        listed.insert(pst::load_le32(id->value, 0));
  }
  return out;
}

}  // namespace pstorian
