#include "engine/form_detection.h"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/probe_unicode.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/layout_unicode.h"
#include "format/signature.h"

namespace pstorian {
namespace {

// Up to this many samples of this size, spread evenly over the file: enough blocks to decide
// by, a few megabytes read however large the file is.
constexpr std::uint64_t kSampleSize = 64 * 1024;
constexpr std::uint64_t kSamples = 48;

struct Votes {
  std::uint64_t ansi = 0;
  std::uint64_t unicode = 0;
};

bool crc_fits(const ByteSource& source, std::uint64_t offset, std::uint32_t size,
              std::uint32_t crc) {
  std::vector<std::uint8_t> data(size);
  source.read_at(offset, data);
  return pst::crc32(data) == crc;
}

// A 32-bit block trailer in the last 12 bytes before `end`: cb (2), wSig (2), bid (4),
// dwCRC (4).
bool ansi_trailer(const ByteSource& source, std::uint64_t end, std::span<const std::uint8_t> t) {
  const std::uint32_t cb = pst::load_le16(t, 0);
  const std::uint32_t id = pst::load_le32(t, 4);
  if (id == 0 || cb == 0 || cb > pst::kMaxBlockData) return false;
  const std::uint64_t span =
      (cb + pst::kBlockTrailerSize + pst::kBlockAlignment - 1) / pst::kBlockAlignment *
      pst::kBlockAlignment;
  if (end < unicode_probe::kFirstBlockOffset + span) return false;
  const std::uint64_t offset = end - span;
  if (pst::block_signature(static_cast<std::uint32_t>(offset), id) != pst::load_le16(t, 2))
    return false;
  return crc_fits(source, offset, cb, pst::load_le32(t, 8));
}

bool unicode_trailer(const ByteSource& source, std::uint64_t end,
                     std::span<const std::uint8_t, 16> t) {
  const auto found = unicode_probe::block_trailer(end, t);
  return found && crc_fits(source, found->block.offset, found->block.size, found->crc);
}

bool ansi_leaf_page_tail(std::span<const std::uint8_t> tail) {
  return tail[0] <= pst::kNbtLeafMaxEntries && tail[1] == pst::kNbtLeafMaxEntries &&
         tail[2] == pst::kNbtLeafEntrySize && tail[3] == 0 && tail[4] == pst::kPageNbt &&
         tail[5] == pst::kPageNbt;
}

void vote_in(const ByteSource& source, std::uint64_t from, std::uint64_t to, Votes& votes) {
  constexpr std::uint64_t kUnit = pst::kBlockAlignment;
  from = std::max(from, unicode_probe::kFirstBlockOffset) / kUnit * kUnit;
  to = std::min(to, source.size()) / kUnit * kUnit;
  if (to <= from) return;
  std::vector<std::uint8_t> bytes(to - from);
  source.read_at(from, bytes);
  const std::span<const std::uint8_t> all(bytes);
  for (std::uint64_t end = from + kUnit; end <= to; end += kUnit) {
    const auto unit = all.subspan(end - kUnit - from, kUnit);
    if (unicode_trailer(source, end, unit.last<16>())) ++votes.unicode;
    if (ansi_trailer(source, end, unit.last(12))) ++votes.ansi;
    if (end % pst::kPageSize != 0) continue;
    if (unicode_probe::is_leaf_page_tail(unit.last<24>())) ++votes.unicode;
    // cEnt, cEntMax, cbEnt and cLevel lie just before the 12-byte page trailer.
    if (ansi_leaf_page_tail(unit.last(pst::kPageTrailerSize + 4).first(6))) ++votes.ansi;
  }
}

}  // namespace

pst::FileForm detect_form(const ByteSource& source) {
  Votes votes;
  const std::uint64_t size = source.size();
  if (size <= kSampleSize * kSamples) {
    vote_in(source, 0, size, votes);
  } else {
    const std::uint64_t stride = size / kSamples;
    for (std::uint64_t k = 0; k < kSamples; ++k)
      vote_in(source, k * stride, k * stride + kSampleSize, votes);
  }
  if (votes.unicode != votes.ansi)
    return votes.unicode > votes.ansi ? pst::FileForm::kUnicode : pst::FileForm::kAnsi;
  std::array<std::uint8_t, 2> version{};
  source.read_at(10, version);
  return pst::load_le16(version, 0) >= pst::unicode::kVersionUnicode ? pst::FileForm::kUnicode
                                                                      : pst::FileForm::kAnsi;
}

}  // namespace pstorian
