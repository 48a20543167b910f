#include "mailclient/ndb/page.h"

#include <span>

#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"

namespace pstorian {

namespace {

// Only B-tree pages are signed; the allocation map pages leave wSig at zero.
std::uint16_t page_signature(std::uint8_t ptype, std::uint32_t bid, std::uint32_t ib) {
  const bool signed_page = ptype == pst::kPageBbt || ptype == pst::kPageNbt;
  return signed_page ? pst::block_signature(ib, bid) : std::uint16_t{0};
}

}  // namespace

void seal_page(Page& page, std::uint8_t ptype, std::uint32_t bid, std::uint32_t ib) {
  page[500] = ptype;
  page[501] = ptype;
  pst::store_le16(page, 502, page_signature(ptype, bid, ib));
  pst::store_le32(page, 504, bid);
  pst::store_le32(page, 508, pst::crc32(std::span(page).first(kPageCrcBytes)));
}

bool page_trailer_holds(const Page& page, std::uint8_t ptype, std::uint32_t bid,
                        std::uint32_t ib) {
  return page[500] == ptype && page[501] == ptype &&
         pst::load_le16(page, 502) == page_signature(ptype, bid, ib) &&
         pst::load_le32(page, 504) == bid &&
         pst::load_le32(page, 508) == pst::crc32(std::span(page).first(kPageCrcBytes));
}

}  // namespace pstorian
