#include "pst/ltp/value_placement.h"

#include <stdexcept>

#include "format/endian.h"
#include "format/property_types.h"

namespace pstorian {

std::uint32_t place_value(HeapWriter& heap, const PropertyView& property, std::size_t slot_size,
                          SubnodeSink* large_values) {
  const auto v = property.value;
  const auto fixed = fixed_value_size(pst::tag_type(property.tag));
  if (fixed && v.size() != *fixed) throw std::invalid_argument("fixed-size value of wrong size");
  if (fixed && *fixed <= slot_size) {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < v.size(); ++i) n |= static_cast<std::uint32_t>(v[i]) << (8 * i);
    return n;
  }
  if (v.empty()) return 0;
  if (v.size() <= HeapWriter::kMaxAllocation) return heap.allocate(v);
  if (large_values == nullptr) throw std::invalid_argument("value too large for the heap");
  return large_values->store(v, 1);
}

}  // namespace pstorian
