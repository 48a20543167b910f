#include "pst/ltp/property_context_writer.h"

#include <algorithm>
#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/bth_writer.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ltp/value_placement.h"

namespace pstorian {

std::vector<std::vector<std::uint8_t>> build_property_context(
    std::span<const StoredProperty> properties, SubnodeSink* large_values) {
  std::vector<PropertyView> views;
  views.reserve(properties.size());
  for (const auto& p : properties) views.push_back({p.tag, p.value});
  return build_property_context(views, large_values);
}

std::vector<std::vector<std::uint8_t>> build_property_context(
    std::span<const PropertyView> properties, SubnodeSink* large_values) {
  std::vector<const PropertyView*> sorted;
  sorted.reserve(properties.size());
  for (const auto& p : properties) sorted.push_back(&p);
  std::sort(sorted.begin(), sorted.end(),
            [](const auto* a, const auto* b) { return pst::tag_id(a->tag) < pst::tag_id(b->tag); });
  for (std::size_t i = 1; i < sorted.size(); ++i)
    if (pst::tag_id(sorted[i - 1]->tag) == pst::tag_id(sorted[i]->tag))
      throw std::invalid_argument("property id given twice");

  HeapWriter heap(pst::kClientPropertyContext);
  const std::uint32_t header = reserve_bth_header(heap);
  heap.set_user_root(header);

  constexpr std::size_t kRecord = 8;
  std::vector<std::uint8_t> records(sorted.size() * kRecord, 0);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    pst::store_le16(records, i * kRecord, pst::tag_id(sorted[i]->tag));
    pst::store_le16(records, i * kRecord + 2, pst::tag_type(sorted[i]->tag));
  }
  const BthLeaves leaves = write_bth(heap, header, 2, 6, records);

  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const std::uint32_t hnid = place_value(heap, *sorted[i], 4, large_values);
    pst::store_le32(leaves.record(heap, i), 4, hnid);
  }
  return heap.finish();
}

}  // namespace pstorian
