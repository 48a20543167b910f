// The allocation maps of a file, kept in memory as bits and written out as pages.
//
// AMap: one page every 253,952 bytes from 0x4400; each covers the 3,968 units of 64 bytes
// from its own offset on. The page body is 496 bytes of bits, most significant bit first,
// 1 = allocated; the 32-bit form puts 4 zero bytes before them, the 64-bit form none (its
// trailer is 4 bytes longer). The map pages of both forms cover the same spans. The AMap page itself is allocated in its own map.
//
// PMap: one page every 2,031,616 bytes from 0x4600, one bit per 512-byte page from 0x4400
// on, 0 = free page. Readers no longer rely on it, but it must still agree with the header's
// cbPMapFree and mark every B-tree page as used; pages start out used here and only pages
// declared free are counted in cbPMapFree.
//
// FMap: from the 129th AMap interval on (the header's own 128-byte free map covers the first
// 128), one page every 496 intervals, at 0x400 into its interval (after the AMap and the
// PMap): one byte per AMap page, the longest run of free units in it (at most 255). Readers
// rely on the AMap, but the pages must be there with valid trailers once the file is that
// large. (The free page map, at 0x7C004A00, lies past what this writer lets a 32-bit file
// grow to; a 64-bit file that grows past it gets no free page map pages, whose bits no reader
// relies on, and uses that space like any other.)
//
// Bits for space beyond the end of the file are written as 1 in the AMap and PMap.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "pst/ndb/bit_array.h"
#include "pst/ndb/page.h"

namespace pstorian {

class AllocationMap {
 public:
  // A map for a file of `file_size` bytes (at least up to the end of the first PMap page):
  // everything free except the map pages the format places inside that size.
  explicit AllocationMap(std::uint64_t file_size, FileForm form = FileForm::kAnsi);

  std::uint64_t file_size() const { return file_size_; }
  // Extends the file; the new space is free except for map pages that fall into it.
  void grow(std::uint64_t new_size);

  // Offsets below 0x4400 or ranges past the end of the file throw std::out_of_range.
  void mark_allocated(std::uint64_t ib, std::uint64_t size);
  void mark_free(std::uint64_t ib, std::uint64_t size);
  bool is_allocated(std::uint64_t ib, std::uint64_t size) const;  // every unit allocated
  void set_page_free(std::uint64_t ib, bool free);                // PMap bit of one page
  bool is_page_free(std::uint64_t ib) const;

  // The first run of `size` free bytes starting on a multiple of `alignment` (a multiple
  // of 64), or nothing when the file has none.
  std::optional<std::uint64_t> find_free(std::uint64_t size, std::uint64_t alignment) const;

  std::uint64_t free_bytes() const;       // cbAMapFree
  std::uint64_t free_page_bytes() const;  // cbPMapFree

  std::size_t amap_page_count() const;
  std::size_t pmap_page_count() const;
  std::size_t fmap_page_count() const;
  static std::uint64_t amap_page_offset(std::size_t n);
  static std::uint64_t pmap_page_offset(std::size_t n);
  static std::uint64_t fmap_page_offset(std::size_t n);
  Page build_amap_page(std::size_t n) const;
  Page build_pmap_page(std::size_t n) const;
  Page build_fmap_page(std::size_t n) const;
  // Takes the bits of map pages read from a file (within the file's size).
  void load_amap_page(std::size_t n, const Page& page);
  void load_pmap_page(std::size_t n, const Page& page);

  // The map pages whose bits changed since the last call (or since loading), to be written.
  struct ChangedPages {
    std::vector<std::size_t> amaps;
    std::vector<std::size_t> pmaps;
    std::vector<std::size_t> fmaps;
  };
  ChangedPages take_changed_pages();

 private:
  std::size_t unit_index(std::uint64_t ib) const;
  std::size_t page_index(std::uint64_t ib) const;
  // The longest run of free units in an AMap interval that starts on a multiple of `step`
  // units (1 or 8: blocks or pages), counted when first asked after the interval changed;
  // with `bound_will_do`, a count from before later allocations (at least the length).
  std::size_t longest_free_run(std::size_t amap_page, std::size_t step = 1,
                               bool bound_will_do = false) const;
  void forget_runs(std::size_t amap_page, bool only_allocated);
  void mark(std::uint64_t ib, std::uint64_t size, bool allocated);
  void mark_map_pages(std::uint64_t from, std::uint64_t to);

  FileForm form_ = FileForm::kAnsi;
  std::uint64_t file_size_ = 0;
  BitArray allocated_;  // one per 64-byte unit from 0x4400
  BitArray page_used_;  // one per 512-byte page from 0x4400
  mutable std::size_t first_free_ = 0;  // no free unit below this one
  // Per AMap interval: no free unit between the interval's start and this one. A file fills
  // its last intervals from their start, so without it every block placed there would pass
  // over all the units placed before it.
  mutable std::vector<std::size_t> scan_from_;
  std::uint64_t free_units_ = 0;        // the 0 bits of allocated_
  std::uint64_t free_pages_ = 0;        // the 0 bits of page_used_
  // Per AMap interval, in units; -1 until counted. [0] for any start, [1] for page-aligned.
  mutable std::array<std::vector<int>, 2> longest_run_;
  mutable std::array<std::vector<bool>, 2> run_exact_;  // not shortened since counted
  // For requests of up to kHintedUnits units, per alignment class: no interval below this
  // one has room for them. Only a freed range moves a hint back, so a search resumes where
  // the last one of its size succeeded instead of passing the whole file every time.
  static constexpr std::size_t kHintedUnits = 256;
  mutable std::array<std::array<std::size_t, kHintedUnits + 1>, 2> fit_hint_{};
  std::set<std::size_t> dirty_amaps_;
  std::set<std::size_t> dirty_pmaps_;
  std::set<std::size_t> dirty_fmaps_;
};

}  // namespace pstorian
