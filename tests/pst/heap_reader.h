// A minimal reader of heaps and their clients for the writer tests: enough to find an
// allocation by heap id and walk a B-tree-on-heap, with every access bounds-checked.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <vector>

#include "format/endian.h"

namespace pstorian::test {

class HeapReader {
 public:
  explicit HeapReader(std::vector<std::vector<std::uint8_t>> blocks) : blocks_(std::move(blocks)) {}

  std::uint8_t client_signature() const { return blocks_.at(0).at(3); }
  std::uint32_t user_root() const { return pst::load_le32(blocks_.at(0), 4); }

  // Start offsets of the allocations of one block, plus the end of the last.
  std::vector<std::uint16_t> page_map(std::size_t block) const {
    const auto& b = blocks_.at(block);
    const std::uint16_t at = pst::load_le16(b, 0);
    if (at % 2 != 0 || at + 4u > b.size()) throw std::runtime_error("bad ibHnpm");
    const std::uint16_t count = pst::load_le16(b, at);
    if (at + 4u + 2u * (count + 1u) != b.size())
      throw std::runtime_error("page map not at the end");
    std::vector<std::uint16_t> starts;
    for (std::size_t i = 0; i <= count; ++i) starts.push_back(pst::load_le16(b, at + 4 + 2 * i));
    return starts;
  }

  std::span<const std::uint8_t> get(std::uint32_t hid) const {
    const auto starts = page_map(hid >> 16);
    const std::size_t index = (hid >> 5) & 0x7FF;
    if ((hid & 0x1F) != 0 || index == 0 || index >= starts.size())
      throw std::runtime_error("bad heap id");
    return std::span(blocks_[hid >> 16])
        .subspan(starts[index - 1], starts[index] - starts[index - 1]);
  }

  // The records of a BTH as key (little-endian number) -> entry bytes.
  std::map<std::uint64_t, std::vector<std::uint8_t>> bth(std::uint32_t header_hid,
                                                         std::uint8_t* levels = nullptr) const {
    const auto h = get(header_hid);
    if (h.size() != 8 || h[0] != 0xB5) throw std::runtime_error("bad BTH header");
    if (levels != nullptr) *levels = h[3];
    std::map<std::uint64_t, std::vector<std::uint8_t>> out;
    if (pst::load_le32(h, 4) != 0) walk(pst::load_le32(h, 4), h[1], h[2], h[3], out);
    return out;
  }

 private:
  void walk(std::uint32_t hid, std::size_t key, std::size_t entry, std::size_t level,
            std::map<std::uint64_t, std::vector<std::uint8_t>>& out) const {
    const auto d = get(hid);
    const std::size_t rs = key + (level == 0 ? entry : 4);
    if (d.size() % rs != 0) throw std::runtime_error("ragged BTH records");
    for (std::size_t at = 0; at < d.size(); at += rs) {
      std::uint64_t k = 0;
      for (std::size_t i = 0; i < key; ++i) k |= std::uint64_t{d[at + i]} << (8 * i);
      if (level == 0)
        out[k] = {d.begin() + static_cast<std::ptrdiff_t>(at + key),
                  d.begin() + static_cast<std::ptrdiff_t>(at + rs)};
      else
        walk(pst::load_le32(d, at + key), key, entry, level - 1, out);
    }
  }

  std::vector<std::vector<std::uint8_t>> blocks_;
};

}  // namespace pstorian::test
