#include "pst/ltp/bth_writer.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

constexpr std::size_t kHeaderSize = 8;

// Splits one level of records into allocations and returns the level above: each child's
// first key followed by its heap id.
std::vector<std::uint8_t> store_level(HeapWriter& heap, std::span<const std::uint8_t> records,
                                      std::size_t key_size, std::size_t record_size,
                                      std::vector<std::uint32_t>* hids = nullptr) {
  const std::size_t per_allocation = HeapWriter::kMaxAllocation / record_size * record_size;
  std::vector<std::uint8_t> above;
  for (std::size_t at = 0; at < records.size(); at += per_allocation) {
    const auto part = records.subspan(at, std::min(per_allocation, records.size() - at));
    const std::uint32_t hid = heap.allocate(part);
    if (hids != nullptr) hids->push_back(hid);
    above.insert(above.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(key_size));
    const std::size_t o = above.size();
    above.resize(o + 4);
    pst::store_le32(above, o, hid);
  }
  return above;
}

}  // namespace

std::uint32_t reserve_bth_header(HeapWriter& heap) {
  return heap.allocate(kHeaderSize);
}

BthLeaves write_bth(HeapWriter& heap, std::uint32_t header_hid, std::uint8_t key_size,
                    std::uint8_t entry_size, std::span<const std::uint8_t> records) {
  const std::size_t record_size = std::size_t{key_size} + entry_size;
  if (key_size == 0 || key_size > 16 || records.size() % record_size != 0)
    throw std::invalid_argument("BTH records do not match their sizes");
  auto key = [&](std::span<const std::uint8_t> level, std::size_t rs, std::size_t i) {
    return level.subspan(i * rs, key_size);
  };
  const std::size_t count = records.size() / record_size;
  for (std::size_t i = 1; i < count; ++i) {
    const auto a = key(records, record_size, i - 1), b = key(records, record_size, i);
    // Keys compare as little-endian numbers: from the last byte down.
    if (!std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend()))
      throw std::invalid_argument("BTH keys not ascending");
  }

  BthLeaves leaves;
  leaves.record_size = record_size;
  leaves.per_allocation = HeapWriter::kMaxAllocation / record_size;
  std::uint32_t root = 0;
  std::uint8_t levels = 0;
  if (count > 0) {
    std::vector<std::uint8_t> level =
        store_level(heap, records, key_size, record_size, &leaves.hids);
    // Each allocation of the level below appears above as one (key, hid) pair.
    while (level.size() > key_size + 4u) {
      ++levels;
      level = store_level(heap, level, key_size, key_size + 4u);
    }
    root = pst::load_le32(level, key_size);
  }
  const auto header = heap.at(header_hid);
  header[0] = pst::kClientBTreeOnHeap;
  header[1] = key_size;
  header[2] = entry_size;
  header[3] = levels;
  pst::store_le32(header, 4, root);
  return leaves;
}

}  // namespace pstorian
