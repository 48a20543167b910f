#include "pst/ndb/allocation_map.h"

#include <algorithm>
#include <stdexcept>

#include "format/endian.h"
#include "format/layout.h"

namespace pstorian {
namespace {

constexpr std::uint64_t kUnit = pst::kBlockAlignment;
constexpr std::uint64_t kBitsPerMap = 496 * 8;
constexpr std::uint64_t kMapStart = pst::kFirstAMapOffset;
constexpr std::size_t kHeaderFMapEntries = 128;  // AMap pages the header's rgbFM covers
constexpr std::size_t kFMapEntries = 496;        // AMap pages one FMap page covers
constexpr std::uint64_t kFMapInInterval = 0x400;
constexpr std::size_t kPageUnits = pst::kPageSize / kUnit;

// A map page's body: one bit per unit from the first one the page covers, 1 where `used`
// says so and everywhere past the end of the file.
Page map_page(const BitArray& used, std::size_t n, std::uint8_t ptype, std::uint64_t at,
              FileForm form) {
  Page page{};
  const std::size_t first = n * kBitsPerMap;
  const std::size_t bits_at = layout_of(form).map_bits_at;
  for (std::size_t i = 0; i < kBitsPerMap / 8; ++i) page[bits_at + i] = used.byte_at(first + 8 * i);
  seal_page(page, ptype, at, at, form);
  return page;
}

}  // namespace

AllocationMap::AllocationMap(std::uint64_t file_size, FileForm form) : form_(form) {
  if (file_size < pst::kFirstPMapOffset + pst::kPageSize)
    throw std::invalid_argument("file too small for its allocation maps");
  grow(file_size);
}

void AllocationMap::grow(std::uint64_t new_size) {
  if (new_size < file_size_) throw std::invalid_argument("allocation map cannot shrink");
  const std::uint64_t old = file_size_;
  file_size_ = new_size;
  const std::size_t old_units = allocated_.size();
  allocated_.grow((new_size - kMapStart + kUnit - 1) / kUnit, false);
  free_units_ += allocated_.size() - old_units;
  const std::size_t intervals = (allocated_.size() + kBitsPerMap - 1) / kBitsPerMap;
  const std::size_t last_old = longest_run_[0].empty() ? 0 : longest_run_[0].size() - 1;
  for (auto& runs : longest_run_) {
    if (!runs.empty()) runs.back() = -1;  // the last interval got longer
    runs.resize(intervals, -1);
  }
  for (auto& exact : run_exact_) exact.resize(intervals, false);
  for (std::size_t n = scan_from_.size(); n < intervals; ++n) scan_from_.push_back(n * kBitsPerMap);
  // ... and may have room now for what it lacked before.
  for (auto& hints : fit_hint_)
    for (auto& hint : hints) hint = std::min(hint, last_old);
  page_used_.grow((new_size - kMapStart + pst::kPageSize - 1) / pst::kPageSize, true);
  mark_map_pages(std::max(old, kMapStart), new_size);
  // Pages past the old end show new bits (and may be new map pages): all to be written.
  for (std::size_t n = 0; n < amap_page_count(); ++n)
    if (amap_page_offset(n) + pst::kAMapSpan > old) dirty_amaps_.insert(n);
  for (std::size_t n = 0; n < pmap_page_count(); ++n)
    if (pmap_page_offset(n) + pst::kPMapSpan > old) dirty_pmaps_.insert(n);
  for (std::size_t n = 0; n < fmap_page_count(); ++n)
    if (fmap_page_offset(n) + pst::kAMapSpan * kFMapEntries > old) dirty_fmaps_.insert(n);
}

void AllocationMap::mark_map_pages(std::uint64_t from, std::uint64_t to) {
  for (std::size_t n = 0; amap_page_offset(n) < to; ++n)
    if (amap_page_offset(n) >= from) mark_allocated(amap_page_offset(n), pst::kPageSize);
  for (std::size_t n = 0; pmap_page_offset(n) < to; ++n)
    if (pmap_page_offset(n) >= from) mark_allocated(pmap_page_offset(n), pst::kPageSize);
  for (std::size_t n = 0; fmap_page_offset(n) < to; ++n)
    if (fmap_page_offset(n) >= from) mark_allocated(fmap_page_offset(n), pst::kPageSize);
}

std::size_t AllocationMap::unit_index(std::uint64_t ib) const {
  if (ib < kMapStart || ib >= file_size_) throw std::out_of_range("offset outside the mapped file");
  return static_cast<std::size_t>((ib - kMapStart) / kUnit);
}

void AllocationMap::mark(std::uint64_t ib, std::uint64_t size, bool allocated) {
  if (size == 0) return;
  if (ib + size > file_size_) throw std::out_of_range("range past the end of the file");
  const std::size_t first = unit_index(ib);
  const std::size_t last = unit_index(ib + size - 1);
  const std::size_t changed = allocated_.assign(first, last + 1, allocated);
  if (allocated)
    free_units_ -= changed;
  else
    free_units_ += changed;
  for (std::size_t n = first / kBitsPerMap; n <= last / kBitsPerMap; ++n) {
    dirty_amaps_.insert(n);
    forget_runs(n, allocated);
  }
  if (!allocated) {
    first_free_ = std::min(first_free_, first);
    for (std::size_t n = first / kBitsPerMap; n <= last / kBitsPerMap; ++n)
      scan_from_[n] = std::min(scan_from_[n], std::max(first, n * kBitsPerMap));
    for (auto& hints : fit_hint_)
      for (auto& hint : hints) hint = std::min(hint, first / kBitsPerMap);
  }
}

void AllocationMap::forget_runs(std::size_t n, bool only_allocated) {
  for (std::size_t c = 0; c < longest_run_.size(); ++c) {
    if (n >= longest_run_[c].size()) continue;
    // Allocating can only shorten the runs: the old length still bounds them.
    if (!only_allocated) longest_run_[c][n] = -1;
    run_exact_[c][n] = false;
  }
}

void AllocationMap::mark_allocated(std::uint64_t ib, std::uint64_t size) {
  mark(ib, size, true);
}
void AllocationMap::mark_free(std::uint64_t ib, std::uint64_t size) {
  mark(ib, size, false);
}

bool AllocationMap::is_allocated(std::uint64_t ib, std::uint64_t size) const {
  if (size == 0) return true;
  if (ib < kMapStart || ib + size > file_size_) return false;
  const std::size_t last = unit_index(ib + size - 1);
  return allocated_.find(unit_index(ib), last + 1, false) == last + 1;
}

std::size_t AllocationMap::page_index(std::uint64_t ib) const {
  if (ib < kMapStart || ib >= file_size_ || (ib - kMapStart) % pst::kPageSize != 0)
    throw std::out_of_range("not a page of the mapped file");
  return static_cast<std::size_t>((ib - kMapStart) / pst::kPageSize);
}

void AllocationMap::set_page_free(std::uint64_t ib, bool free) {
  if (page_used_.assign(page_index(ib), page_index(ib) + 1, !free) != 0) {
    if (free)
      ++free_pages_;
    else
      --free_pages_;
  }
  dirty_pmaps_.insert(page_index(ib) / kBitsPerMap);
}

bool AllocationMap::is_page_free(std::uint64_t ib) const {
  return !page_used_[page_index(ib)];
}

std::size_t AllocationMap::longest_free_run(std::size_t page, std::size_t step,
                                            bool bound_will_do) const {
  if (page >= longest_run_[0].size()) return 0;
  const bool cached = step == 1 || step == kPageUnits;
  const std::size_t c = step == 1 ? 0 : 1;
  int* const known = cached ? &longest_run_[c][page] : nullptr;
  if (known != nullptr && *known >= 0 && (bound_will_do || run_exact_[c][page]))
    return static_cast<std::size_t>(*known);
  // Intervals hold a multiple of 8 units, so unit indexes tell page alignment.
  std::size_t longest = 0;
  const std::size_t end = std::min(allocated_.size(), (page + 1) * kBitsPerMap);
  for (std::size_t u = allocated_.find(page * kBitsPerMap, end, false); u < end;) {
    const std::size_t run_end = allocated_.find(u, end, true);
    const std::size_t run_start = (u + step - 1) / step * step;
    if (run_end > run_start) longest = std::max(longest, run_end - run_start);
    u = allocated_.find(run_end, end, false);
  }
  if (known != nullptr) {
    *known = static_cast<int>(longest);
    run_exact_[c][page] = true;
  }
  return longest;
}

std::optional<std::uint64_t> AllocationMap::find_free(std::uint64_t size,
                                                      std::uint64_t alignment) const {
  const std::uint64_t units = (size + kUnit - 1) / kUnit;
  const std::uint64_t step = std::max<std::uint64_t>(alignment / kUnit, 1);
  // Everything below the hint is allocated, and intervals whose longest free run is too
  // short are skipped, so the search does not grow with the file. A run never crosses into
  // the next interval: that starts with its AMap page.
  first_free_ = allocated_.find(first_free_, allocated_.size(), false);
  std::size_t* const hint =
      units <= kHintedUnits && (step == 1 || step == kPageUnits)
          ? &fit_hint_[step == 1 ? 0 : 1][static_cast<std::size_t>(units)]
          : nullptr;
  const std::size_t from = std::max(first_free_ / kBitsPerMap, hint != nullptr ? *hint : 0);
  const std::size_t intervals = longest_run_[0].size();
  for (std::size_t page = from; page < intervals; ++page) {
    if (longest_free_run(page, static_cast<std::size_t>(step), true) < units) continue;
    if (hint != nullptr) *hint = page;
    const std::size_t end = std::min(allocated_.size(), (page + 1) * kBitsPerMap);
    const std::size_t start_at = std::max({first_free_, page * kBitsPerMap, scan_from_[page]});
    std::size_t u = allocated_.find(start_at, end, false);
    if (u > start_at) scan_from_[page] = u;  // past the allocated units the interval starts with
    while (u < end) {
      const std::size_t run_end = allocated_.find(u, end, true);
      const std::size_t start = (u + step - 1) / step * step;  // a run must start aligned
      if (run_end > start && run_end - start >= units) return kMapStart + start * kUnit;
      u = allocated_.find(run_end, end, false);
    }
    longest_free_run(page, static_cast<std::size_t>(step));  // the bound was too high
  }
  if (hint != nullptr) *hint = intervals;
  return std::nullopt;
}

std::uint64_t AllocationMap::free_bytes() const {
  return free_units_ * kUnit;
}

std::uint64_t AllocationMap::free_page_bytes() const {
  return free_pages_ * pst::kPageSize;
}

std::size_t AllocationMap::amap_page_count() const {
  return static_cast<std::size_t>((file_size_ - kMapStart + pst::kAMapSpan - 1) / pst::kAMapSpan);
}

std::size_t AllocationMap::pmap_page_count() const {
  return static_cast<std::size_t>((file_size_ - pst::kFirstPMapOffset + pst::kPMapSpan - 1) /
                                  pst::kPMapSpan);
}

std::uint64_t AllocationMap::amap_page_offset(std::size_t n) {
  return kMapStart + static_cast<std::uint64_t>(n) * pst::kAMapSpan;
}

std::uint64_t AllocationMap::pmap_page_offset(std::size_t n) {
  return pst::kFirstPMapOffset + static_cast<std::uint64_t>(n) * pst::kPMapSpan;
}

std::uint64_t AllocationMap::fmap_page_offset(std::size_t n) {
  return amap_page_offset(kHeaderFMapEntries + n * kFMapEntries) + kFMapInInterval;
}

std::size_t AllocationMap::fmap_page_count() const {
  std::size_t n = 0;
  while (fmap_page_offset(n) < file_size_) ++n;
  return n;
}

Page AllocationMap::build_fmap_page(std::size_t n) const {
  Page page{};
  const std::size_t bytes_at = layout_of(form_).map_bits_at;
  for (std::size_t i = 0; i < kFMapEntries; ++i)
    page[bytes_at + i] = static_cast<std::uint8_t>(
        std::min<std::size_t>(longest_free_run(kHeaderFMapEntries + n * kFMapEntries + i), 255));
  const auto at = fmap_page_offset(n);
  seal_page(page, pst::kPageFMap, at, at, form_);
  return page;
}

// Copies one map page's bits into `bits`, as far as the file reaches, and keeps `zeros`
// (the number of 0 bits in `bits`) up to date.
static void load_map_page(BitArray& bits, std::uint64_t& zeros, std::size_t n, const Page& page,
                          std::size_t bits_at) {
  const std::size_t first = n * kBitsPerMap;
  for (std::size_t i = 0; i < kBitsPerMap && first + i < bits.size(); ++i) {
    const bool bit = (page[bits_at + i / 8] & (0x80 >> (i % 8))) != 0;
    if (bits.assign(first + i, first + i + 1, bit) == 0) continue;
    if (bit)
      --zeros;
    else
      ++zeros;
  }
}

void AllocationMap::load_amap_page(std::size_t n, const Page& page) {
  load_map_page(allocated_, free_units_, n, page, layout_of(form_).map_bits_at);
  first_free_ = 0;
  if (n < scan_from_.size()) scan_from_[n] = n * kBitsPerMap;
  for (auto& hints : fit_hint_) hints.fill(0);
  forget_runs(n, false);
  dirty_amaps_.insert(n);
}

void AllocationMap::load_pmap_page(std::size_t n, const Page& page) {
  load_map_page(page_used_, free_pages_, n, page, layout_of(form_).map_bits_at);
  dirty_pmaps_.insert(n);
}

AllocationMap::ChangedPages AllocationMap::take_changed_pages() {
  // An FMap page sums up the AMap pages it covers: it changes with them.
  for (const std::size_t a : dirty_amaps_) {
    if (a < kHeaderFMapEntries) continue;
    const std::size_t f = (a - kHeaderFMapEntries) / kFMapEntries;
    if (fmap_page_offset(f) < file_size_) dirty_fmaps_.insert(f);
  }
  ChangedPages changed{{dirty_amaps_.begin(), dirty_amaps_.end()},
                       {dirty_pmaps_.begin(), dirty_pmaps_.end()},
                       {dirty_fmaps_.begin(), dirty_fmaps_.end()}};
  dirty_fmaps_.clear();
  dirty_amaps_.clear();
  dirty_pmaps_.clear();
  return changed;
}

Page AllocationMap::build_amap_page(std::size_t n) const {
  return map_page(allocated_, n, pst::kPageAMap, amap_page_offset(n), form_);
}

Page AllocationMap::build_pmap_page(std::size_t n) const {
  return map_page(page_used_, n, pst::kPagePMap, pmap_page_offset(n), form_);
}

}  // namespace pstorian
