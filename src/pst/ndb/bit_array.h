// The bits of an allocation map, 64 to a word, with the scans the maps make over a whole
// interval at a time: the next set or clear bit, a range set or cleared at once, a page's
// bits as bytes. A bit at a time, a map of a file of a few gigabytes (tens of millions of
// units) costs more than the blocks placed in it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace pstorian {

class BitArray {
 public:
  std::size_t size() const { return size_; }

  // Grows to `n` bits, the new ones set to `value`.
  void grow(std::size_t n, bool value) {
    if (n < size_) throw std::invalid_argument("a bit array only grows");
    const std::size_t old = size_;
    words_.resize((n + 63) / 64, 0);
    size_ = n;
    assign(old, n, value);
  }

  bool operator[](std::size_t i) const { return ((words_[i / 64] >> (i % 64)) & 1) != 0; }

  void set(std::size_t i, bool value) { assign(i, i + 1, value); }

  // Sets the bits [first, last) to `value`; returns how many of them changed.
  std::size_t assign(std::size_t first, std::size_t last, bool value) {
    std::size_t changed = 0;
    while (first < last) {
      const std::size_t w = first / 64;
      const std::size_t from = first % 64;
      const std::size_t to = std::min<std::size_t>(64, from + (last - first));
      const std::uint64_t mask = (to == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << to) - 1) &
                                 ~((std::uint64_t{1} << from) - 1);
      std::uint64_t& word = words_[w];
      changed += static_cast<std::size_t>(std::popcount((value ? ~word : word) & mask));
      word = value ? word | mask : word & ~mask;
      first += to - from;
    }
    return changed;
  }

  // The first bit in [from, end) equal to `value`, or `end` when there is none.
  std::size_t find(std::size_t from, std::size_t end, bool value) const {
    end = std::min(end, size_);
    while (from < end) {
      std::uint64_t word = value ? words_[from / 64] : ~words_[from / 64];
      word &= ~std::uint64_t{0} << (from % 64);
      if (word != 0)
        return std::min(end, from / 64 * 64 + static_cast<std::size_t>(std::countr_zero(word)));
      from = from / 64 * 64 + 64;
    }
    return end;
  }

  // The eight bits from `i` (a multiple of 8) as a map page stores them, the first in the
  // most significant bit; bits past the end count as set.
  std::uint8_t byte_at(std::size_t i) const {
    static constexpr auto kReversed = [] {
      std::array<std::uint8_t, 256> r{};
      for (std::size_t b = 0; b < 256; ++b)
        for (std::size_t k = 0; k < 8; ++k)
          if ((b >> k) & 1) r[b] |= static_cast<std::uint8_t>(0x80 >> k);
      return r;
    }();
    std::uint8_t bits = i >= size_ ? 0xFF : 0;
    if (i < size_) {
      bits = static_cast<std::uint8_t>(words_[i / 64] >> (i % 64));
      if (size_ - i < 8) bits |= static_cast<std::uint8_t>(0xFF << (size_ - i));
    }
    return kReversed[bits];
  }

 private:
  std::vector<std::uint64_t> words_;  // bits past size_ are clear
  std::size_t size_ = 0;
};

}  // namespace pstorian
