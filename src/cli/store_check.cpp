#include "cli/store_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "cli/node_contents_check.h"
#include "engine/object_collection.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout.h"
#include "format/signature.h"

namespace pstorian::cli {
namespace {

using Page = std::array<std::uint8_t, pst::kPageSize>;

// Where the two forms keep what the check reads. The 64-bit form widens ids and offsets to
// 8 bytes, which moves every field after the first one it holds.
struct Form {
  bool unicode = false;
  unsigned id_bytes = 4;  // block ids and file offsets
  // Header.
  unsigned bid_next_b = 24;
  unsigned bid_next_p = 28;
  unsigned file_eof = 168;
  unsigned nbt_bref = 184;
  unsigned bbt_bref = 192;
  unsigned amap_valid = 200;
  unsigned sentinel = 460;
  unsigned crypt = 461;
  // B-tree pages: entries from byte 0 up to `entries_end`, then cEnt, cEntMax, cbEnt and
  // cLevel; the page trailer from `trailer` (ptype, ptypeRepeat, wSig, then bid and check
  // value, in this order in the 32-bit form and the other way round in the 64-bit one).
  unsigned entries_end = 496;
  unsigned trailer = 500;
  unsigned page_bid = 504;
  unsigned page_crc = 508;
  unsigned bt_entry = 12;   // intermediate entry: key, BREF
  unsigned nbt_entry = 16;  // nid, bidData, bidSub, nidParent
  unsigned bbt_entry = 12;  // BREF, cb, cRef
  // Block trailers: cb, wSig, then bid and check value (swapped as in pages).
  unsigned block_trailer = 12;
  unsigned block_bid = 4;
  unsigned block_crc = 8;
  // Allocation map pages: the bits start after a 4-byte pad in the 32-bit form.
  unsigned map_bits = 4;
  // Data trees and subnode blocks: a 4- or 8-byte header, then entries of ids.
  unsigned xblock_header = 8;
};

constexpr Form kAnsiForm{};

constexpr Form unicode_form() {
  Form f;
  f.unicode = true;
  f.id_bytes = 8;
  f.bid_next_b = 516;
  f.bid_next_p = 32;
  f.file_eof = 184;
  f.nbt_bref = 216;
  f.bbt_bref = 232;
  f.amap_valid = 248;
  f.sentinel = 512;
  f.crypt = 513;
  f.entries_end = 488;
  f.trailer = 496;
  f.page_bid = 504;
  f.page_crc = 500;
  f.bt_entry = 24;
  f.nbt_entry = 32;
  f.bbt_entry = 24;
  f.block_trailer = 16;
  f.block_bid = 8;
  f.block_crc = 4;
  f.map_bits = 0;
  f.xblock_header = 8;
  return f;
}
constexpr Form kUnicodeForm = unicode_form();

// The header check values cover the bytes from wMagicClient on: 471 of them, and in the
// 64-bit form also 516 for the full check value.
constexpr std::size_t kCrcFrom = 8;
constexpr std::size_t kCrcPartialBytes = 471;
constexpr std::size_t kCrcFullBytes = 516;
constexpr std::size_t kCrcFullAt = 524;
constexpr std::size_t kUnicodeHeaderBytes = 564;
constexpr std::uint16_t kClientMagic = 0x4D53;  // "SM"
constexpr std::uint8_t kSentinel = 0x80;
constexpr std::uint32_t kMaxBlock = 8192;  // a block with its trailer, padded
constexpr unsigned kMaxTreeDepth = 8;      // B-tree levels a reader follows

bool all_zero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

bool is_folder(std::uint64_t nid) {
  const auto type = pst::node_type(static_cast<std::uint32_t>(nid));
  return type == pst::kNodeNormalFolder || type == pst::kNodeSearchFolder;
}

class Checker {
 public:
  Checker(const ByteSource& source, const RecoveryTables* scanned, StoreCheck& out)
      : source_(source), scanned_(scanned), out_(out) {
    out_.file_size = source.size();
  }

  void run() {
    if (check_header()) {
      walk_btree(CheckArea::kNodeBTree, nbt_root_bid_, nbt_root_ib_);
      walk_btree(CheckArea::kBlockBTree, bbt_root_bid_, bbt_root_ib_);
      check_blocks();
      check_allocation_maps();
      check_node_tree();
      check_node_contents(source_, {form_.unicode, out_.crypt_method, false}, nodes_, blocks_,
                          sink());
    }
    out_.nodes = nodes_.size();
    out_.blocks = blocks_.size();
    if (nodes_.empty() && scanned_ != nullptr) check_what_the_scan_found(*scanned_);
  }

 private:
  void report(bool error, CheckArea area, std::optional<std::uint64_t> offset, std::string text) {
    (error ? out_.errors : out_.warnings) += 1;
    if (kept_[static_cast<std::size_t>(area)]++ >= StoreCheck::kKeptPerArea) {
      ++out_.dropped;
      return;
    }
    out_.findings.push_back({error, area, offset, std::move(text)});
  }
  FindingSink sink() {
    return [this](bool error, CheckArea area, std::string text) {
      report(error, area, std::nullopt, std::move(text));
    };
  }
  void error(CheckArea area, std::optional<std::uint64_t> offset, std::string text) {
    report(true, area, offset, std::move(text));
  }
  void warning(CheckArea area, std::optional<std::uint64_t> offset, std::string text) {
    report(false, area, offset, std::move(text));
  }

  std::uint64_t load_id(std::span<const std::uint8_t> b, std::size_t at) const {
    return form_.unicode ? pst::load_le64(b, at) : pst::load_le32(b, at);
  }
  bool inside(std::uint64_t offset, std::uint64_t length) const {
    return offset <= source_.size() && source_.size() - offset >= length;
  }

  // ---- Header -------------------------------------------------------------------------

  // False when the header is too damaged for a reader to find anything else.
  bool check_header() {
    std::array<std::uint8_t, kUnicodeHeaderBytes> h{};
    if (source_.size() < pst::kHeaderSize) {
      error(CheckArea::kHeader, 0,
            "the file is only " + std::to_string(source_.size()) +
                " bytes long, shorter than the 512-byte header");
      return false;
    }
    source_.read_at(0, h);
    if (all_zero(std::span(h).first(pst::kHeaderSize))) {
      error(CheckArea::kHeader, 0,
            "the header is zeroed: a reader cannot find the B-trees, nor tell the file's form");
      return false;
    }
    const bool magic = std::memcmp(h.data(), "!BDN", 4) == 0;
    if (!magic)
      error(CheckArea::kHeader, 0,
            "the file does not begin with the mark of a personal folder file (\"!BDN\")");
    if (pst::load_le16(h, 8) != kClientMagic)
      error(CheckArea::kHeader, 8, "the header's client mark is not \"SM\"");
    const std::uint16_t version = pst::load_le16(h, 10);
    if (version == pst::kVersionAnsi || version == pst::kVersionAnsi + 1) {
      form_ = kAnsiForm;
      out_.form = StoreForm::kAnsi;
    } else if (version == pst::kVersionUnicode) {
      form_ = kUnicodeForm;
      out_.form = StoreForm::kUnicode;
    } else if (version == 36 || version == 37) {
      out_.form = StoreForm::kUnicode;
      out_.crypt_method = h[kUnicodeForm.crypt];  // where the 64-bit form keeps it too
      warning(CheckArea::kHeader, 10,
              "a 64-bit file with 4 KiB pages (version " + std::to_string(version) +
                  "); its B-trees and blocks are not checked");
      return false;
    } else {
      error(CheckArea::kHeader, 10,
            "the header names no known file version (" + std::to_string(version) +
                "): a reader cannot tell where anything is");
      return false;
    }

    const std::uint32_t partial = pst::crc32(std::span(h).subspan(kCrcFrom, kCrcPartialBytes));
    if (partial != pst::load_le32(h, 4))
      error(CheckArea::kHeader, 4,
            "the header's check value does not match its content (stored " +
                hex(pst::load_le32(h, 4)) + ", computed " + hex(partial) + ")");
    if (form_.unicode) {
      const std::uint32_t full = pst::crc32(std::span(h).subspan(kCrcFrom, kCrcFullBytes));
      if (full != pst::load_le32(h, kCrcFullAt))
        error(CheckArea::kHeader, kCrcFullAt,
              "the header's full check value does not match its content (stored " +
                  hex(pst::load_le32(h, kCrcFullAt)) + ", computed " + hex(full) + ")");
    }
    if (h[form_.sentinel] != kSentinel)
      error(CheckArea::kHeader, form_.sentinel,
            "the header's sentinel byte is " + hex(h[form_.sentinel]) + ", not 0x80");
    out_.crypt_method = h[form_.crypt];
    if (out_.crypt_method > pst::kCryptCyclic)
      error(CheckArea::kHeader, form_.crypt,
            "the header names an unknown data encoding (" + hex(out_.crypt_method) + ")");

    const std::uint64_t eof = load_id(h, form_.file_eof);
    if (eof > source_.size())
      error(CheckArea::kHeader, form_.file_eof,
            "the file is cut short: the header says it is " + std::to_string(eof) +
                " bytes long, but it has " + std::to_string(source_.size()));
    else if (eof < source_.size())
      warning(CheckArea::kHeader, form_.file_eof,
              "the file goes on past the end the header names (" + std::to_string(eof) + " of " +
                  std::to_string(source_.size()) + " bytes)");
    amap_end_ = std::min(eof, source_.size());
    amap_valid_ = h[form_.amap_valid] != 0;
    if (!amap_valid_)
      warning(CheckArea::kAllocationMaps, form_.amap_valid,
              "the header marks the allocation maps as not valid: a reader rebuilds them "
              "before it writes, and they are not checked here");
    bid_next_b_ = load_id(h, form_.bid_next_b);
    bid_next_p_ = load_id(h, form_.bid_next_p);
    nbt_root_bid_ = load_id(h, form_.nbt_bref);
    nbt_root_ib_ = load_id(h, form_.nbt_bref + form_.id_bytes);
    bbt_root_bid_ = load_id(h, form_.bbt_bref);
    bbt_root_ib_ = load_id(h, form_.bbt_bref + form_.id_bytes);
    return true;
  }

  // ---- B-trees ------------------------------------------------------------------------

  struct PageToVisit {
    std::uint64_t bid = 0;
    std::uint64_t offset = 0;
    int level = -1;  // the level the parent implies; -1 for the root
    std::optional<std::uint64_t> parent_key;
    unsigned depth = 0;
  };

  // Reads and verifies the page; false when a reader would reject it, so nothing below it
  // is reached.
  bool read_tree_page(CheckArea area, const PageToVisit& at, std::uint8_t ptype, Page& page) {
    const std::string what = at.level == -1 ? "the root page" : "the page";
    const std::string where = what + " at " + hex(at.offset);
    if (at.offset % pst::kPageSize != 0 || at.offset < pst::kHeaderSize ||
        !inside(at.offset, pst::kPageSize)) {
      error(area, at.offset,
            where +
                (inside(at.offset, pst::kPageSize) ? " is not on a page boundary"
                                                   : " lies outside the file") +
                ": a reader loses everything below it");
      return false;
    }
    source_.read_at(at.offset, page);
    if (all_zero(page)) {
      error(area, at.offset, where + " is zeroed: a reader loses everything below it");
      return false;
    }
    if (page[form_.trailer] != ptype || page[form_.trailer + 1] != ptype) {
      error(area, at.offset,
            where + " is not a page of this B-tree (its type is " + hex(page[form_.trailer]) +
                "): a reader loses everything below it");
      return false;
    }
    const std::uint32_t crc = pst::crc32(std::span(page).first(form_.trailer));
    if (crc != pst::load_le32(page, form_.page_crc)) {
      error(area, at.offset,
            where +
                " has a wrong check value (its content was changed): a reader rejects it "
                "and loses everything below it");
      return false;
    }
    const std::uint64_t bid = load_id(page, form_.page_bid);
    if (bid != at.bid)
      error(area, at.offset,
            where + " carries the id " + hex(bid) + " where its parent expects " + hex(at.bid));
    if (pst::load_le16(page, form_.trailer + 2) !=
        pst::block_signature(static_cast<std::uint32_t>(at.offset),
                             static_cast<std::uint32_t>(bid)))
      error(area, at.offset, where + " has a signature that does not fit its place in the file");
    if (bid_next_p_ != 0 && bid >= bid_next_p_)
      error(area, at.offset,
            where + " has the id " + hex(bid) +
                ", not below the next page id the header "
                "hands out (" +
                hex(bid_next_p_) + ")");
    return true;
  }

  void walk_btree(CheckArea area, std::uint64_t root_bid, std::uint64_t root_ib) {
    const bool nbt = area == CheckArea::kNodeBTree;
    const std::uint8_t ptype = nbt ? pst::kPageNbt : pst::kPageBbt;
    const unsigned leaf_entry = nbt ? form_.nbt_entry : form_.bbt_entry;
    std::vector<PageToVisit> todo{{root_bid, root_ib, -1, std::nullopt, 0}};
    std::unordered_set<std::uint64_t> visited;
    while (!todo.empty()) {
      const PageToVisit at = todo.back();
      todo.pop_back();
      if (!visited.insert(at.offset).second) {
        error(area, at.offset,
              "the page at " + hex(at.offset) + " is reached twice: the B-tree has a loop");
        continue;
      }
      Page page{};
      if (!read_tree_page(area, at, ptype, page)) continue;
      tree_pages_.emplace_back(at.offset, pst::kPageSize);
      const unsigned count = page[form_.entries_end];
      const unsigned max = page[form_.entries_end + 1];
      const unsigned size = page[form_.entries_end + 2];
      const int level = page[form_.entries_end + 3];
      const std::string where = "the page at " + hex(at.offset);
      if ((at.level != -1 && level != at.level) || level > static_cast<int>(kMaxTreeDepth) ||
          at.depth > kMaxTreeDepth) {
        error(area, at.offset,
              where + " says it is on level " + std::to_string(level) +
                  (at.level == -1
                       ? std::string(", deeper than a B-tree goes")
                       : ", where its parent puts it on level " + std::to_string(at.level)) +
                  ": a reader loses everything below it");
        continue;
      }
      const unsigned expected_size = level == 0 ? leaf_entry : form_.bt_entry;
      if (size != expected_size || max != form_.entries_end / expected_size || count > max) {
        error(area, at.offset,
              where + " has impossible entry counts or sizes (" + std::to_string(count) +
                  " of at most " + std::to_string(max) + " entries of " + std::to_string(size) +
                  " bytes): a reader loses everything below it");
        continue;
      }
      if (count == 0) {
        if (at.level != -1 || level != 0) warning(area, at.offset, where + " is empty");
        continue;
      }
      std::optional<std::uint64_t> previous;
      for (unsigned i = 0; i < count; ++i) {
        const std::size_t e = static_cast<std::size_t>(i) * size;
        // Node ids are 4 bytes in both forms; the 64-bit form pads them to 8.
        const std::uint64_t key = nbt && level == 0 ? pst::load_le32(page, e) : load_id(page, e);
        if (previous && key <= *previous)
          error(area, at.offset,
                where + ": its keys are not in ascending order at entry " + std::to_string(i) +
                    " (" + hex(key) + ")");
        if (i == 0 && at.parent_key && key != *at.parent_key) {
          const bool below = key < *at.parent_key;
          report(below, area, at.offset,
                 where + " begins with the key " + hex(key) + " where its parent says " +
                     hex(*at.parent_key));
        }
        previous = key;
        if (level > 0) {
          todo.push_back({load_id(page, e + form_.id_bytes), load_id(page, e + 2 * form_.id_bytes),
                          level - 1, key, at.depth + 1});
        } else if (nbt) {
          add_node(page, e, at.offset);
        } else {
          add_block(page, e, at.offset);
        }
      }
    }
  }

  void add_node(const Page& page, std::size_t e, std::uint64_t page_offset) {
    const std::uint32_t nid = pst::load_le32(page, e);
    const unsigned ids = form_.unicode ? 8 : 4;
    const IndexedNode node{load_id(page, e + ids), load_id(page, e + ids + form_.id_bytes),
                           pst::load_le32(page, e + ids + 2 * form_.id_bytes)};
    if (!nodes_.emplace(nid, node).second)
      error(CheckArea::kNodeBTree, page_offset,
            "the node " + hex(nid) + " is listed twice: a reader may take either");
  }

  void add_block(const Page& page, std::size_t e, std::uint64_t page_offset) {
    const std::uint64_t bid = load_id(page, e) & ~std::uint64_t{1};
    const IndexedBlock block{load_id(page, e + form_.id_bytes),
                             pst::load_le16(page, e + 2 * form_.id_bytes),
                             pst::load_le16(page, e + 2 * form_.id_bytes + 2), false};
    if (!blocks_.emplace(bid, block).second)
      error(CheckArea::kBlockBTree, page_offset,
            "the block " + hex(bid) + " is listed twice: a reader may take either");
  }

  // ---- Blocks -------------------------------------------------------------------------

  std::uint64_t stored_size(std::uint32_t cb) const {
    const std::uint64_t with_trailer = std::uint64_t{cb} + form_.block_trailer;
    return (with_trailer + pst::kBlockAlignment - 1) / pst::kBlockAlignment * pst::kBlockAlignment;
  }

  // Reads the file a stretch at a time for reads that come in file order: one read for many
  // blocks rather than one each.
  class Window {
   public:
    explicit Window(const ByteSource& source) : source_(source) {}
    // `length` bytes at `offset`, which must lie inside the file.
    std::span<const std::uint8_t> at(std::uint64_t offset, std::uint64_t length) {
      if (offset < start_ || offset + length > start_ + bytes_.size()) {
        start_ = offset;
        bytes_.resize(static_cast<std::size_t>(
            std::max(length, std::min<std::uint64_t>(kStretch, source_.size() - offset))));
        source_.read_at(start_, bytes_);
      }
      return std::span(bytes_).subspan(static_cast<std::size_t>(offset - start_),
                                       static_cast<std::size_t>(length));
    }

   private:
    static constexpr std::uint64_t kStretch = std::uint64_t{1} << 20;
    const ByteSource& source_;
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
  };

  void check_blocks() {
    // In file order, so that the findings read from the start of the file to its end.
    std::vector<std::pair<std::uint64_t, IndexedBlock*>> in_order;
    in_order.reserve(blocks_.size());
    for (auto& [bid, block] : blocks_) in_order.emplace_back(bid, &block);
    std::sort(in_order.begin(), in_order.end(),
              [](const auto& a, const auto& b) { return a.second->offset < b.second->offset; });
    Window window(source_);
    for (auto& [bid, entry] : in_order) {
      IndexedBlock& block = *entry;
      // Put into words only for a finding: most blocks have none.
      auto where = [&, bid = bid] { return "the block " + hex(bid) + " at " + hex(block.offset); };
      const std::uint64_t length = stored_size(block.size);
      if (length > kMaxBlock) {
        error(CheckArea::kBlocks, block.offset,
              where() + " is said to hold " + std::to_string(block.size) +
                  " bytes, more than a block can");
        continue;
      }
      if (block.offset % pst::kBlockAlignment != 0 || block.offset < pst::kHeaderSize ||
          !inside(block.offset, length)) {
        error(CheckArea::kBlocks, block.offset,
              where() +
                  (inside(block.offset, length) ? " is not on a 64-byte boundary"
                                                : " lies outside the file") +
                  ": a reader cannot read it");
        continue;
      }
      const std::span<const std::uint8_t> data = window.at(block.offset, length);
      const std::span<const std::uint8_t> trailer =
          data.subspan(static_cast<std::size_t>(length) - form_.block_trailer);
      if (all_zero(data)) {
        error(CheckArea::kBlocks, block.offset, where() + " is zeroed");
        continue;
      }
      const std::uint64_t stored_bid = load_id(trailer, form_.block_bid) & ~std::uint64_t{1};
      if (pst::load_le16(trailer, 0) != block.size || stored_bid != bid) {
        error(CheckArea::kBlocks, block.offset,
              where() + " has a trailer that does not name it (it says block " + hex(stored_bid) +
                  " of " + std::to_string(pst::load_le16(trailer, 0)) + " bytes)");
        continue;
      }
      if (pst::load_le16(trailer, 2) !=
          pst::block_signature(static_cast<std::uint32_t>(block.offset),
                               static_cast<std::uint32_t>(load_id(trailer, form_.block_bid))))
        error(CheckArea::kBlocks, block.offset,
              where() + " has a signature that does not fit its place in the file");
      if (pst::crc32(data.first(block.size)) !=
          pst::load_le32(trailer, form_.block_crc)) {
        error(CheckArea::kBlocks, block.offset,
              where() + " has a wrong check value: its content was changed");
        continue;
      }
      if (bid_next_b_ != 0 && bid >= bid_next_b_)
        warning(
            CheckArea::kBlocks, block.offset,
            where() + " has an id the header would hand out again (next " + hex(bid_next_b_) + ")");
      block.sound = true;
    }
  }

  // ---- Allocation maps ----------------------------------------------------------------

  // The map pages of one kind from `first` every `span` bytes up to the end of the file;
  // damaged ones are reported and left out.
  std::map<std::uint64_t, Page> read_map_pages(std::uint64_t first, std::uint64_t span,
                                               std::uint8_t ptype, std::string_view name) {
    std::map<std::uint64_t, Page> pages;
    for (std::uint64_t at = first; at < amap_end_ && inside(at, pst::kPageSize); at += span) {
      Page page{};
      source_.read_at(at, page);
      const std::string where = std::string("the ") + std::string(name) + " page at " + hex(at);
      if (all_zero(page)) {
        error(CheckArea::kAllocationMaps, at, where + " is zeroed");
        continue;
      }
      if (page[form_.trailer] != ptype || page[form_.trailer + 1] != ptype ||
          load_id(page, form_.page_bid) != at) {
        error(CheckArea::kAllocationMaps, at, where + " is not a map page of its kind");
        continue;
      }
      if (pst::crc32(std::span(page).first(form_.trailer)) !=
          pst::load_le32(page, form_.page_crc)) {
        error(CheckArea::kAllocationMaps, at,
              where + " has a wrong check value: its content was changed");
        continue;
      }
      pages.emplace(at, page);
    }
    return pages;
  }

  // Whether the map page covering `offset` marks the units of [offset, offset + length) as
  // used; true when that page is damaged (already reported) or missing.
  static bool marked(const std::map<std::uint64_t, Page>& maps, unsigned bits_at,
                     std::uint64_t first, std::uint64_t span, std::uint64_t unit,
                     std::uint64_t offset, std::uint64_t length) {
    if (offset < first) return true;
    const std::uint64_t base = first + (offset - first) / span * span;
    const auto it = maps.find(base);
    if (it == maps.end()) return true;
    for (std::uint64_t u = (offset - base) / unit; u < (offset - base + length + unit - 1) / unit;
         ++u) {
      const std::size_t byte = bits_at + static_cast<std::size_t>(u / 8);
      if (byte >= bits_at + pst::kBTreeEntryBytes) break;  // the next map's part
      if ((it->second[byte] & (0x80 >> (u % 8))) == 0) return false;
    }
    return true;
  }

  void check_allocation_maps() {
    const auto amaps =
        read_map_pages(pst::kFirstAMapOffset, pst::kAMapSpan, pst::kPageAMap, "allocation map");
    read_map_pages(pst::kFirstPMapOffset, pst::kPMapSpan, pst::kPagePMap, "page map");
    if (!amap_valid_) return;
    auto check = [&](std::uint64_t offset, std::uint64_t length, const std::string& what) {
      if (marked(amaps, form_.map_bits, pst::kFirstAMapOffset, pst::kAMapSpan, pst::kBlockAlignment,
                 offset, length))
        return;
      error(CheckArea::kAllocationMaps, offset,
            what + " lies in space the allocation map calls free: a writer may overwrite it");
    };
    for (const auto& [offset, length] : tree_pages_)
      if (inside(offset, length)) check(offset, length, "the B-tree page at " + hex(offset));
    for (const auto& [bid, block] : blocks_)
      if (block.sound)
        check(block.offset, stored_size(block.size),
              "the block " + hex(bid) + " at " + hex(block.offset));
  }

  // ---- Node tree ----------------------------------------------------------------------

  void check_node_tree() {
    if (nodes_.empty()) {
      error(CheckArea::kNodeTree, std::nullopt, "a reader finds no node at all");
      return;
    }
    const std::array<std::pair<std::uint32_t, const char*>, 3> required{
        {{pst::kNidMessageStore, "the message store"},
         {pst::kNidNameToIdMap, "the named property map"},
         {pst::kNidRootFolder, "the root folder"}}};
    for (const auto& [nid, name] : required)
      if (nodes_.count(nid) == 0)
        error(CheckArea::kNodeTree, std::nullopt,
              std::string(name) + " (node " + hex(nid) + ") is missing");

    std::multimap<std::uint32_t, std::uint32_t> children;
    for (const auto& [nid, node] : nodes_) {
      const auto type = pst::node_type(nid);
      const bool folder = is_folder(nid);
      if (!folder && type != pst::kNodeNormalMessage && type != pst::kNodeAssociatedMessage)
        continue;
      if (nid == pst::kNidRootFolder) {
        if (node.parent != nid)
          warning(CheckArea::kNodeTree, std::nullopt,
                  "the root folder names " + hex(node.parent) + " as its parent, not itself");
        continue;
      }
      const auto parent = nodes_.find(node.parent);
      if (parent == nodes_.end() || !is_folder(node.parent)) {
        error(CheckArea::kNodeTree, std::nullopt,
              node_name(nid) + " belongs to " +
                  (parent == nodes_.end() ? "a folder that is missing (" + hex(node.parent) + ")"
                                          : "a node that is no folder (" + hex(node.parent) + ")") +
                  ": a reader never shows it");
        continue;
      }
      children.emplace(node.parent, nid);
      if (type == pst::kNodeNormalFolder) check_folder_tables(nid);
    }
    count_reached(children);
  }

  void check_folder_tables(std::uint32_t folder) {
    const std::array<std::pair<std::uint8_t, const char*>, 3> tables{
        {{pst::kNodeHierarchyTable, "subfolder"},
         {pst::kNodeContentsTable, "contents"},
         {pst::kNodeAssociatedContentsTable, "hidden contents"}}};
    for (const auto& [type, name] : tables) {
      const std::uint32_t table = (folder & ~std::uint32_t{0x1F}) | type;
      if (nodes_.count(table) == 0)
        error(CheckArea::kNodeTree, std::nullopt,
              "the folder " + hex(folder) + " has no " + name + " table (node " + hex(table) +
                  "): a reader cannot list it");
    }
  }

  void count_reached(const std::multimap<std::uint32_t, std::uint32_t>& children) {
    if (nodes_.count(pst::kNidRootFolder) == 0) return;
    std::vector<std::uint32_t> todo{pst::kNidRootFolder};
    std::set<std::uint32_t> seen{pst::kNidRootFolder};
    while (!todo.empty()) {
      const std::uint32_t folder = todo.back();
      todo.pop_back();
      ++out_.folders_reached;
      const auto [first, last] = children.equal_range(folder);
      for (auto it = first; it != last; ++it) {
        const std::uint32_t child = it->second;
        if (pst::node_type(child) == pst::kNodeNormalMessage) {
          ++out_.items_reached;
        } else if (is_folder(child) && seen.insert(child).second) {
          todo.push_back(child);
        }
      }
    }
  }

  // ---- What the scan found --------------------------------------------------------

  // With no node a reader can reach (the header or the node B-tree lost), the nodes and
  // blocks the scan found are checked in their place: a repair meets them, and what is wrong
  // with them is still worth naming. Of the versions of a node the scan found, the one a
  // repair takes first is checked, and every block is read as a repair reads it, whatever its
  // check value says (see ContentsSource::from_scan).
  void check_what_the_scan_found(const RecoveryTables& tables) {
    NodeIndex nodes;
    const ObjectTree& objects = tables.objects;
    // Of the nodes that always have data (others may have none), those whose data was lost.
    std::size_t without_data = 0;
    for (ObjectIndex x = 0; x < objects.size(); ++x)
      if (objects[x].data_block == nullptr && has_contents(objects[x].node_id)) ++without_data;
    for (const bool primary : {true, false})
      for (ObjectIndex x = 0; x < objects.size(); ++x) {
        const ObjectNode& o = objects[x];
        if (o.primary != primary) continue;
        nodes.emplace(o.node_id,
                      IndexedNode{o.data_block != nullptr ? std::uint64_t{o.data_block->id} : 0,
                                  o.subnode_block != nullptr ? std::uint64_t{o.subnode_block->id} : 0,
                                  o.parent != kNoObject ? objects[o.parent].node_id : 0});
      }
    if (nodes.empty()) return;
    BlockIndexMap blocks;
    tables.blocks.for_each_id([&](const BlockRef& b) {
      blocks.emplace(b.id & ~std::uint64_t{1},
                     IndexedBlock{b.offset, static_cast<std::uint32_t>(b.size), 0,
                                  block_intact(source_, b, tables.form)});
    });
    warning(CheckArea::kNodeTree, std::nullopt,
            "a reader finds no node, so the " + std::to_string(nodes.size()) + " nodes and " +
                std::to_string(blocks.size()) +
                " blocks the scan found are checked in their place");
    if (without_data != 0)
      error(CheckArea::kNodeTree, std::nullopt,
            std::to_string(without_data) + " of the " + std::to_string(objects.size()) +
                " node entries the scan found (versions included) are folders, messages or "
                "tables whose data block is not in the file");
    const std::uint8_t crypt = tables.cyclic    ? pst::kCryptCyclic
                               : tables.encoded ? pst::kCryptPermute
                                                : pst::kCryptNone;
    check_node_contents(source_, {tables.form == pst::FileForm::kUnicode, crypt, true}, nodes,
                        blocks, sink());
  }

  const ByteSource& source_;
  const RecoveryTables* scanned_;
  StoreCheck& out_;
  Form form_;
  std::array<std::size_t, 7> kept_{};
  std::uint64_t amap_end_ = 0;
  bool amap_valid_ = false;
  std::uint64_t bid_next_b_ = 0;
  std::uint64_t bid_next_p_ = 0;
  std::uint64_t nbt_root_bid_ = 0;
  std::uint64_t nbt_root_ib_ = 0;
  std::uint64_t bbt_root_bid_ = 0;
  std::uint64_t bbt_root_ib_ = 0;
  NodeIndex nodes_;
  BlockIndexMap blocks_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> tree_pages_;  // offset, length
};

}  // namespace

std::string_view check_area_name(CheckArea area) {
  switch (area) {
    case CheckArea::kHeader:
      return "header";
    case CheckArea::kNodeBTree:
      return "node B-tree";
    case CheckArea::kBlockBTree:
      return "block B-tree";
    case CheckArea::kBlocks:
      return "blocks";
    case CheckArea::kAllocationMaps:
      return "allocation maps";
    case CheckArea::kNodeTree:
      return "node tree";
    case CheckArea::kNodeContents:
      return "node contents";
  }
  return "file";
}

StoreCheck check_store(const ByteSource& source, const RecoveryTables* scanned) {
  StoreCheck out;
  Checker(source, scanned, out).run();
  return out;
}

}  // namespace pstorian::cli
