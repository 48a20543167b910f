#include "mailclient/ndb/page.h"

#include <span>

#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"

namespace pstorian {

void seal_page(Page& page, std::uint8_t ptype, std::uint32_t bid, std::uint32_t ib) {
  // Only B-tree pages are signed; the allocation map pages leave wSig at zero.
  const bool signed_page = ptype == pst::kPageBbt || ptype == pst::kPageNbt;
  page[500] = ptype;
  page[501] = ptype;
  pst::store_le16(page, 502, signed_page ? pst::block_signature(ib, bid) : std::uint16_t{0});
  pst::store_le32(page, 504, bid);
  pst::store_le32(page, 508, pst::crc32(std::span(page).first(kPageCrcBytes)));
}

}  // namespace pstorian
