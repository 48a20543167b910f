#include "pst/ndb/page.h"

#include <span>

#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"

namespace pstorian {

namespace {

// Only B-tree pages are signed; the allocation map pages leave wSig at zero. The signature
// folds the low 32 bits of offset and id in both forms.
std::uint16_t page_signature(std::uint8_t ptype, std::uint64_t bid, std::uint64_t ib) {
  const bool signed_page = ptype == pst::kPageBbt || ptype == pst::kPageNbt;
  return signed_page ? pst::block_signature(static_cast<std::uint32_t>(ib),
                                            static_cast<std::uint32_t>(bid))
                     : std::uint16_t{0};
}

// Where the bid and the check value lie in the trailer.
struct TrailerPlaces {
  std::size_t bid;
  std::size_t crc;
};

TrailerPlaces trailer_places(const FormLayout& f) {
  const std::size_t t = f.page_trailer_at;
  return f.unicode() ? TrailerPlaces{t + 8, t + 4} : TrailerPlaces{t + 4, t + 8};
}

}  // namespace

void seal_page(Page& page, std::uint8_t ptype, std::uint64_t bid, std::uint64_t ib,
               FileForm form) {
  const FormLayout& f = layout_of(form);
  const auto places = trailer_places(f);
  page[f.page_trailer_at] = ptype;
  page[f.page_trailer_at + 1] = ptype;
  pst::store_le16(page, f.page_trailer_at + 2, page_signature(ptype, bid, ib));
  store_id(f, page, places.bid, bid);
  pst::store_le32(page, places.crc, pst::crc32(std::span(page).first(f.page_trailer_at)));
}

bool page_trailer_holds(const Page& page, std::uint8_t ptype, std::uint64_t bid,
                        std::uint64_t ib, FileForm form) {
  const FormLayout& f = layout_of(form);
  const auto places = trailer_places(f);
  return page[f.page_trailer_at] == ptype && page[f.page_trailer_at + 1] == ptype &&
         pst::load_le16(page, f.page_trailer_at + 2) == page_signature(ptype, bid, ib) &&
         load_id(f, page, places.bid) == bid &&
         pst::load_le32(page, places.crc) ==
             pst::crc32(std::span(page).first(f.page_trailer_at));
}

}  // namespace pstorian
