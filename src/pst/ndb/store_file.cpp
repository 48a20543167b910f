#include "pst/ndb/store_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_set>

#include "format/crc.h"
#include "format/endian.h"
#include "format/permute.h"
#include "format/signature.h"
#include "pst/ndb/block_writer.h"

namespace pstorian {
namespace {

constexpr int kMaxDepth = 8;
// Buffers gathered into one write: well within the system's limit (IOV_MAX, 1,024).
constexpr std::size_t kMaxPiecesPerWrite = 512;
// The first free page map (FPMap) would lie here, just short of the 2 GB that 32-bit files
// can address safely; files stop growing before it.
constexpr std::uint64_t kLargestAnsiFile = 0x7C004A00;
// Files of the 64-bit form may grow on; this bound only keeps a runaway allocation from
// asking the file system for an absurd size.
constexpr std::uint64_t kLargestUnicodeFile = std::uint64_t{1} << 44;

[[noreturn]] void fail(const std::string& what) {
  throw StoreError(what);
}

std::string errno_text(int err) {
  return std::strerror(err);
}

// The test hook of fail_writes_after: bytes that may still be written, -1 for no limit.
std::atomic<std::int64_t> g_write_budget{-1};
std::atomic<int> g_write_error{ENOSPC};

// Takes up to `wanted` bytes from the budget; what may be written.
std::size_t write_allowance(std::size_t wanted) {
  std::int64_t left = g_write_budget.load();
  for (;;) {
    if (left < 0) return wanted;
    const auto take = std::min<std::int64_t>(left, static_cast<std::int64_t>(wanted));
    if (g_write_budget.compare_exchange_weak(left, left - take)) return static_cast<std::size_t>(take);
  }
}

}  // namespace

StoreFile::StoreFile(const std::filesystem::path& path)
    : path_(path),
      bbt_(pst::kPageBbt, build_bbt_leaf),
      nbt_(pst::kPageNbt, build_nbt_leaf) {
  fd_.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd_.get() < 0) fail("cannot open " + path.string() + ": " + errno_text(errno));
  // One writer at a time: two writers would each commit over the other's checkpoints.
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      fail(path.string() + " is in use: another repair or program is writing to it");
    fail("cannot lock " + path.string() + ": " + errno_text(errno));
  }
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) fail("cannot read " + path.string() + ": " + errno_text(errno));
  disk_size_ = static_cast<std::uint64_t>(st.st_size);
  std::array<std::uint8_t, pst::unicode::kHeaderSize> raw{};
  const std::size_t head = std::min<std::uint64_t>(disk_size_, raw.size());
  if (disk_size_ < pst::kHeaderSize ||
      ::pread(fd_.get(), raw.data(), head, 0) != static_cast<ssize_t>(head))
    fail(path.string() + " is too short for a personal folder file");
  const auto header = parse_file_header(std::span(raw).first(head));
  if (!header) fail(path.string() + " is not a personal folder file of a form this writer knows");
  header_ = *header;
  committed_ = header_;
  if (header_.file_eof > disk_size_ || header_.file_eof < pst::kFirstPMapOffset + pst::kPageSize)
    fail(path.string() + ": end of file in the header does not fit the file");
  bbt_ = PagedBTree<BbtEntry>(pst::kPageBbt, build_bbt_leaf, header_.form);
  nbt_ = PagedBTree<NbtEntry>(pst::kPageNbt, build_nbt_leaf, header_.form);
  map_ = AllocationMap(header_.file_eof, header_.form);
  load_btree(pst::kPageBbt, header_.bbt);
  load_btree(pst::kPageNbt, header_.nbt);
  load_maps();
}

StoreFile::~StoreFile() = default;

void StoreFile::Descriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void StoreFile::load_btree(std::uint8_t ptype, Bref root) {
  const FormLayout& f = layout_of(header_.form);
  const std::size_t w = f.id_size;
  const std::size_t counts = f.btree_entry_bytes;
  const std::size_t trailer = f.page_trailer_at;
  const std::size_t bid_at = f.unicode() ? trailer + 8 : trailer + 4;
  const std::size_t crc_at = f.unicode() ? trailer + 4 : trailer + 8;
  std::vector<std::vector<std::pair<std::vector<BTreeChild>, Bref>>> levels;
  std::set<std::uint64_t> seen;
  std::uint64_t last_key = 0;
  bool first_key = true;
  auto next_key = [&](std::uint64_t key) {
    if (!first_key && key <= last_key) fail("B-tree keys out of order");
    first_key = false;
    last_key = key;
  };
  auto read_page = [&](Bref at) {
    Page page{};
    if (at.ib < pst::kFirstAMapOffset || at.ib % pst::kBlockAlignment != 0 ||
        at.ib + page.size() > header_.file_eof ||
        ::pread(fd_.get(), page.data(), page.size(), static_cast<off_t>(at.ib)) !=
            static_cast<ssize_t>(page.size()))
      fail("B-tree page outside the file");
    if (page[trailer] != ptype || page[trailer + 1] != ptype || load_id(f, page, bid_at) != at.bid ||
        pst::load_le32(page, crc_at) != pst::crc32(std::span(page).first(trailer)))
      fail("damaged B-tree page");
    if (!seen.insert(at.ib).second) fail("B-tree page used twice");
    return page;
  };
  std::function<void(Bref, int)> walk = [&](Bref at, int expect_level) {
    const Page page = read_page(at);
    const int level = page[counts + 3];
    const std::size_t count = page[counts];
    const std::size_t size = page[counts + 2];
    if ((expect_level >= 0 && level != expect_level) || level > kMaxDepth || size == 0 ||
        count * size > counts)
      fail("malformed B-tree page");
    map_.mark_allocated(at.ib, pst::kPageSize);
    if (level == 0) {
      if (ptype == pst::kPageBbt) {
        if (size < f.bbt_leaf_entry_size) fail("malformed block index page");
        std::vector<BbtEntry> entries;
        for (std::size_t i = 0; i < count; ++i) {
          const std::size_t e = i * size;
          entries.push_back({load_id(f, page, e) & ~std::uint64_t{1}, load_id(f, page, e + w),
                             pst::load_le16(page, e + 2 * w), pst::load_le16(page, e + 2 * w + 2)});
          next_key(entries.back().bid);
          if (entries.back().cb > f.max_block_data) fail("block larger than a block can be");
        }
        bbt_.load_leaf(std::move(entries), at);
      } else {
        if (size < f.nbt_leaf_entry_size) fail("malformed node index page");
        std::vector<NbtEntry> entries;
        for (std::size_t i = 0; i < count; ++i) {
          const std::size_t e = i * size;
          entries.push_back({pst::load_le32(page, e), load_id(f, page, e + w),
                             load_id(f, page, e + 2 * w), pst::load_le32(page, e + 3 * w)});
          next_key(entries.back().nid);
        }
        nbt_.load_leaf(std::move(entries), at);
      }
      return;
    }
    if (levels.size() < static_cast<std::size_t>(level))
      levels.resize(static_cast<std::size_t>(level));
    if (size < f.intermediate_entry_size) fail("malformed B-tree page");
    std::vector<BTreeChild> children;
    for (std::size_t i = 0; i < count; ++i)
      children.push_back(
          {load_id(f, page, i * size),
           {load_id(f, page, i * size + w), load_id(f, page, i * size + 2 * w)}});
    levels[static_cast<std::size_t>(level) - 1].emplace_back(children, at);
    for (const auto& c : children) walk(c.page, level - 1);
  };
  walk(root, -1);
  try {
    for (auto& level : levels) {
      if (ptype == pst::kPageBbt)
        bbt_.load_level(std::move(level));
      else
        nbt_.load_level(std::move(level));
    }
    if (ptype == pst::kPageBbt)
      bbt_.set_root(root);
    else
      nbt_.set_root(root);
  } catch (const std::invalid_argument&) {
    fail("malformed B-tree");
  }
}

void StoreFile::load_maps() {
  // The maps on disk, unless the last checkpoint left them marked as not to be trusted; in
  // either case everything the B-trees reach counts as allocated.
  AllocationMap rebuilt(header_.file_eof, header_.form);
  for (std::size_t n = 0; n < map_.amap_page_count(); ++n) {
    Page page{};
    const auto at = AllocationMap::amap_page_offset(n);
    if (::pread(fd_.get(), page.data(), page.size(), static_cast<off_t>(at)) !=
        static_cast<ssize_t>(page.size()))
      fail("cannot read an allocation map page");
    if (header_.amap_valid) rebuilt.load_amap_page(n, page);
  }
  for (std::size_t n = 0; n < map_.pmap_page_count(); ++n) {
    Page page{};
    const auto at = AllocationMap::pmap_page_offset(n);
    if (::pread(fd_.get(), page.data(), page.size(), static_cast<off_t>(at)) ==
        static_cast<ssize_t>(page.size()))
      rebuilt.load_pmap_page(n, page);
  }
  for (std::size_t n = 0; n < map_.amap_page_count(); ++n)
    rebuilt.mark_allocated(AllocationMap::amap_page_offset(n), pst::kPageSize);
  for (std::size_t n = 0; n < map_.pmap_page_count(); ++n)
    rebuilt.mark_allocated(AllocationMap::pmap_page_offset(n), pst::kPageSize);
  for (std::size_t n = 0; n < map_.fmap_page_count(); ++n)
    rebuilt.mark_allocated(AllocationMap::fmap_page_offset(n), pst::kPageSize);
  // B-tree pages were marked in map_ while loading; carry them and the blocks over.
  for (std::uint64_t ib = pst::kFirstAMapOffset; ib < header_.file_eof; ib += pst::kPageSize)
    if (map_.is_allocated(ib, pst::kPageSize)) rebuilt.mark_allocated(ib, pst::kPageSize);
  bbt_.for_each([&](const BbtEntry& e) {
    if (e.ib < pst::kFirstAMapOffset || e.ib + block_disk_size(e.cb, header_.form) > header_.file_eof)
      fail("block outside the file");
    rebuilt.mark_allocated(e.ib, block_disk_size(e.cb, header_.form));
  });
  if (!header_.amap_valid) {
    // Maps left invalid by an interrupted checkpoint: every page is rewritten at the next.
    for (std::size_t n = 0; n < rebuilt.amap_page_count(); ++n)
      rebuilt.load_amap_page(n, rebuilt.build_amap_page(n));
  }
  map_ = std::move(rebuilt);
}

std::vector<std::uint8_t> StoreFile::read_block(std::uint64_t bid) const {
  if (const auto it = pending_.find(bid); it != pending_.end()) return it->second.data;
  const BbtEntry* e = find_block(bid);
  if (e == nullptr) fail("block not found");
  const FormLayout& f = layout_of(header_.form);
  const std::uint32_t disk = block_disk_size(e->cb, header_.form);
  std::vector<std::uint8_t> raw(disk);
  if (::pread(fd_.get(), raw.data(), raw.size(), static_cast<off_t>(e->ib)) !=
      static_cast<ssize_t>(raw.size()))
    fail("cannot read block");
  const std::size_t t = disk - f.block_trailer_size;
  if (pst::load_le16(raw, t) != e->cb ||
      (load_id(f, raw, t + block_trailer_bid_at(header_.form)) & ~std::uint64_t{1}) != e->bid)
    fail("block trailer does not match the block index");
  const std::uint32_t crc = pst::load_le32(raw, t + block_trailer_crc_at(header_.form));
  raw.resize(e->cb);
  if (pst::crc32(raw) != crc) fail("block check value does not match its data");
  if (!pst::is_internal_block(bid)) {
    if (header_.crypt == pst::kCryptPermute) pst::permute_decode(raw);
    if (header_.crypt == pst::kCryptCyclic)
      pst::cyclic_crypt(raw, static_cast<std::uint32_t>(e->bid));
  }
  return raw;
}

std::vector<std::vector<std::uint8_t>> StoreFile::read_data(std::uint64_t bid) const {
  const FormLayout& f = layout_of(header_.form);
  std::vector<std::vector<std::uint8_t>> leaves;
  // A tree's children lie exactly one level below it (data blocks under a level-1 tree,
  // level-1 trees under a level-2 one), and no tree names a block twice: the writer makes
  // a block for every piece. Without these rules a tree naming itself, or one block many
  // times over, would multiply what is read far beyond the file.
  std::unordered_set<std::uint64_t> named;
  std::function<void(std::uint64_t, int)> walk = [&](std::uint64_t id, int level) {
    if (!named.insert(id & ~std::uint64_t{1}).second) fail("malformed data tree");
    auto data = read_block(id);
    if (!pst::is_internal_block(id)) {
      if (level > 0) fail("malformed data tree");
      leaves.push_back(std::move(data));
      return;
    }
    if (level == 0 || data.size() < 8 || data[0] != 0x01 || data[1] < 1 || data[1] > 2 ||
        (level > 0 && data[1] != level))
      fail("malformed data tree");
    const std::size_t count = pst::load_le16(data, 2);
    if (f.tree_header_size + f.id_size * count > data.size()) fail("malformed data tree");
    for (std::size_t i = 0; i < count; ++i)
      walk(load_id(f, data, f.tree_header_size + f.id_size * i), data[1] - 1);
  };
  walk(bid, -1);
  return leaves;
}

std::vector<std::uint8_t> StoreFile::read_bytes(std::uint64_t bid) const {
  std::vector<std::uint8_t> out;
  for (const auto& leaf : read_data(bid)) out.insert(out.end(), leaf.begin(), leaf.end());
  return out;
}

std::map<std::uint32_t, SubnodeEntry> StoreFile::read_subnodes(std::uint64_t bid_sub) const {
  const FormLayout& f = layout_of(header_.form);
  const std::size_t w = f.id_size;
  std::map<std::uint32_t, SubnodeEntry> out;
  // As in data trees: an intermediate block holds leaves only, and names each once.
  std::unordered_set<std::uint64_t> named;
  std::function<void(std::uint64_t, int)> walk = [&](std::uint64_t bid, int level) {
    if (!named.insert(bid & ~std::uint64_t{1}).second) fail("malformed subnode block");
    const auto d = read_block(bid);
    if (!pst::is_internal_block(bid) || d.size() < f.subnode_header_size || d[0] != 0x02 ||
        d[1] > 1 || (level >= 0 && d[1] != level))
      fail("malformed subnode block");
    const std::size_t count = pst::load_le16(d, 2);
    const std::size_t size = d[1] == 0 ? f.subnode_leaf_entry_size : f.subnode_index_entry_size;
    if (f.subnode_header_size + size * count > d.size()) fail("malformed subnode block");
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = f.subnode_header_size + size * i;
      const auto nid = pst::load_le32(d, at);
      if (d[1] != 0)
        walk(load_id(f, d, at + w), 0);
      else
        out[nid] = {nid, load_id(f, d, at + w), load_id(f, d, at + 2 * w)};
    }
  };
  if (bid_sub != 0) walk(bid_sub, -1);
  return out;
}

std::uint64_t StoreFile::next_bid(bool internal) {
  // Block ids step by 4: bit 0 is reserved and bit 1 marks internal blocks.
  const std::uint64_t bid = (header_.bid_next_b + 3) & ~std::uint64_t{3};
  header_.bid_next_b = bid + 4;
  return internal ? bid | 2u : bid;
}

std::uint32_t StoreFile::next_nid(std::uint8_t type) {
  for (;;) {
    const std::uint32_t nid = (++header_.rgnid[type & 0x1F] << 5) | (type & 0x1Fu);
    if (find_node(nid) == nullptr) return nid;
  }
}

void StoreFile::add_blocks(std::vector<PendingBlock> blocks) {
  for (auto& b : blocks) {
    if (b.data.size() > layout_of(header_.form).max_block_data || pending_.contains(b.bid) ||
        find_block(b.bid) != nullptr)
      throw std::invalid_argument("bad or duplicate block");
    pending_bytes_ += b.data.size();
    pending_[b.bid] = std::move(b);
  }
}

void StoreFile::add_reference(std::uint64_t bid) {
  if (bid == 0) return;
  if (const auto it = pending_.find(bid); it != pending_.end()) {
    ++it->second.references;
    return;
  }
  const BbtEntry* e = find_block(bid);
  if (e == nullptr) throw std::invalid_argument("node names a block that does not exist");
  ++reference_changes_[e->bid];
}

std::uint32_t StoreFile::reference_count(std::uint64_t bid) const {
  if (const auto it = pending_.find(bid); it != pending_.end()) return it->second.references + 1;
  const BbtEntry* e = find_block(bid);
  if (e == nullptr) return 0;
  const auto change = reference_changes_.find(e->bid);
  return static_cast<std::uint32_t>(
      std::int64_t{e->cref} + (change != reference_changes_.end() ? change->second : 0));
}

std::vector<std::uint64_t> StoreFile::children_of(std::uint64_t bid,
                                                  std::span<const std::uint8_t> data) const {
  const FormLayout& f = layout_of(header_.form);
  const std::size_t w = f.id_size;
  std::vector<std::uint64_t> out;
  if (!pst::is_internal_block(bid) || data.size() < 4) return out;
  const std::size_t count = pst::load_le16(data, 2);
  if (data[0] == 0x01) {  // XBLOCK / XXBLOCK
    const std::size_t h = f.tree_header_size;
    for (std::size_t i = 0; i < count && h + w * i + w <= data.size(); ++i)
      out.push_back(load_id(f, data, h + w * i));
  } else if (data[0] == 0x02 && data[1] == 0) {  // SLBLOCK: bidData and bidSub of each entry
    const std::size_t h = f.subnode_header_size;
    const std::size_t size = f.subnode_leaf_entry_size;
    for (std::size_t i = 0; i < count && h + size * i + size <= data.size(); ++i) {
      out.push_back(load_id(f, data, h + size * i + w));
      out.push_back(load_id(f, data, h + size * i + 2 * w));
    }
  } else if (data[0] == 0x02) {  // SIBLOCK
    const std::size_t h = f.subnode_header_size;
    const std::size_t size = f.subnode_index_entry_size;
    for (std::size_t i = 0; i < count && h + size * i + size <= data.size(); ++i)
      out.push_back(load_id(f, data, h + size * i + w));
  }
  return out;
}

void StoreFile::release(std::uint64_t bid) {
  if (bid == 0) return;
  std::vector<std::uint64_t> children;
  if (const auto it = pending_.find(bid); it != pending_.end()) {
    if (it->second.references > 0 && --it->second.references > 0) return;
    children = children_of(bid, it->second.data);
    pending_bytes_ -= it->second.data.size();
    pending_.erase(it);
  } else {
    const BbtEntry* e = find_block(bid);
    if (e == nullptr) return;  // already gone: nothing to release
    if (reference_count(bid) > 2) {
      if (--reference_changes_[e->bid] == 0) reference_changes_.erase(e->bid);
      return;
    }
    // The last reference: the block goes, and with it the references it held.
    reference_changes_.erase(e->bid);
    if (pst::is_internal_block(bid)) children = children_of(bid, read_block(bid));
    pending_free_.emplace_back(e->ib, block_disk_size(e->cb, header_.form));
    bbt_.remove(e->bid);
  }
  for (const auto child : children) release(child);
}

void StoreFile::put_node(const NbtEntry& node) {
  add_reference(node.bid_data);
  add_reference(node.bid_sub);
  const NbtEntry* old = find_node(node.nid);
  const NbtEntry before = old != nullptr ? *old : NbtEntry{};
  nbt_.put(node);
  release(before.bid_data);
  release(before.bid_sub);
}

void StoreFile::remove_node(std::uint32_t nid) {
  const NbtEntry* old = find_node(nid);
  if (old == nullptr) return;
  const NbtEntry before = *old;
  nbt_.remove(nid);
  release(before.bid_data);
  release(before.bid_sub);
}

std::uint64_t StoreFile::allocate(std::uint32_t size, std::uint32_t alignment) {
  for (;;) {
    if (const auto at = map_.find_free(size, alignment)) {
      map_.mark_allocated(*at, size);
      return *at;
    }
    // Files grow by whole AMap intervals, so that every map page the new space needs lies
    // inside it.
    const std::uint64_t now = map_.file_size();
    const std::uint64_t want =
        now + std::max<std::uint64_t>(std::uint64_t{size} + pst::kPageSize, now / 8);
    const std::uint64_t intervals =
        (want - pst::kFirstAMapOffset + pst::kAMapSpan - 1) / pst::kAMapSpan;
    const std::uint64_t target = pst::kFirstAMapOffset + intervals * pst::kAMapSpan;
    if (target > (header_.form == FileForm::kUnicode ? kLargestUnicodeFile : kLargestAnsiFile))
      throw StoreError("the store has reached the largest size of its format");
    map_.grow(target);
  }
}

void StoreFile::fail_writes_after(std::int64_t bytes, int error) {
  g_write_error.store(error);
  g_write_budget.store(bytes < 0 ? -1 : bytes);
}

void StoreFile::write_at(std::uint64_t ib, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t allowed = write_allowance(bytes.size());
    if (allowed == 0) {
      errno = g_write_error.load();
      fail("cannot write " + path_.string() + ": " + errno_text(errno));
    }
    const ssize_t n = ::pwrite(fd_.get(), bytes.data(), allowed, static_cast<off_t>(ib));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write " + path_.string() + ": " + errno_text(n == 0 ? ENOSPC : errno));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    ib += static_cast<std::uint64_t>(n);
  }
}

void StoreFile::write_pieces(std::span<const Piece> pieces) {
  if (pieces.empty()) return;
  std::vector<iovec> vectors;
  vectors.reserve(pieces.size());
  std::size_t total = 0;
  for (const auto& p : pieces) {
    vectors.push_back({const_cast<std::uint8_t*>(p.bytes.data()), p.bytes.size()});
    total += p.bytes.size();
  }
  // The test hook counts the bytes as write_at does: what fits before the mark is written.
  const std::size_t allowed = write_allowance(total);
  std::uint64_t at = pieces.front().ib;
  std::size_t left = allowed;
  std::size_t first = 0;
  while (left > 0) {
    // Only as many vectors as the allowance reaches, the last one cut short.
    std::size_t count = 0;
    std::size_t covered = 0;
    while (first + count < vectors.size() && covered < left) covered += vectors[first + count++].iov_len;
    const std::size_t cut = covered > left ? covered - left : 0;
    vectors[first + count - 1].iov_len -= cut;
    const ssize_t n = ::pwritev(fd_.get(), vectors.data() + first, static_cast<int>(count),
                                static_cast<off_t>(at));
    vectors[first + count - 1].iov_len += cut;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write " + path_.string() + ": " + errno_text(n == 0 ? ENOSPC : errno));
    auto done = static_cast<std::size_t>(n);
    at += done;
    left -= done;
    while (done > 0) {
      iovec& v = vectors[first];
      const std::size_t step = std::min(done, v.iov_len);
      v.iov_base = static_cast<std::uint8_t*>(v.iov_base) + step;
      v.iov_len -= step;
      done -= step;
      if (v.iov_len == 0) ++first;
    }
  }
  if (allowed < total) {
    errno = g_write_error.load();
    fail("cannot write " + path_.string() + ": " + errno_text(errno));
  }
}

void StoreFile::sync() {
  if (::fsync(fd_.get()) != 0) fail("cannot flush " + path_.string() + ": " + errno_text(errno));
}

void StoreFile::write_header(const FileHeader& header) {
  write_at(0, build_file_header(header));
}

void StoreFile::reserve(std::uint64_t old_size, std::uint64_t new_size) {
  if (new_size <= old_size) return;
  // The new space is reserved before anything is written into it: a full disk then shows
  // here, while the file still holds nothing but its last checkpoint, instead of halfway
  // through the blocks of this one.
  const int rc = ::posix_fallocate(fd_.get(), static_cast<off_t>(old_size),
                                   static_cast<off_t>(new_size - old_size));
  if (rc == 0) return;
  if (rc != EOPNOTSUPP && rc != ENOSYS && rc != EINVAL) {
    // A partial reservation may have moved the end of the file; it goes back.
    [[maybe_unused]] const int ignored = ::ftruncate(fd_.get(), static_cast<off_t>(old_size));
    fail("cannot grow " + path_.string() + ": " + errno_text(rc));
  }
  // A file system that cannot reserve space gets a sparse extension.
  if (::ftruncate(fd_.get(), static_cast<off_t>(new_size)) != 0)
    fail("cannot grow " + path_.string() + ": " + errno_text(errno));
}

void StoreFile::commit() {
  if (!failure_.empty()) throw StoreError(failure_);
  Rollback rollback;
  try {
    commit_steps(rollback);
  } catch (const std::exception& e) {
    // The layout in memory is half-way to a state that never reached the disk, so this
    // object is done with; the file goes back to its last checkpoint.
    failure_ = e.what();
    roll_back(rollback);
    throw StoreError(failure_);
  }
}

void StoreFile::roll_back(const Rollback& rollback) noexcept {
  // Each write here overwrites bytes that are already on disk, so a full disk does not stop
  // it. Map pages first, while the header on disk still says the maps are not to be
  // trusted; then the header of the last checkpoint; then the length. A process killed in
  // between leaves the last checkpoint with its maps marked for a rebuild.
  const auto put = [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::pwrite(fd_.get(), bytes.data(), bytes.size(), static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
    return true;
  };
  bool restored = true;
  for (const auto& [at, page] : rollback.map_pages) restored = put(at, page) && restored;
  if (rollback.header_touched || !rollback.map_pages.empty()) {
    if (::fsync(fd_.get()) != 0) restored = false;
    // Should the old maps not be back, the header keeps saying that they need a rebuild.
    FileHeader header = committed_;
    if (!restored) header.amap_valid = false;
    const auto bytes = build_file_header(header);
    if (put(0, bytes)) ::fsync(fd_.get());
  }
  if (rollback.grown_from != 0 &&
      ::ftruncate(fd_.get(), static_cast<off_t>(rollback.grown_from)) == 0) {
    disk_size_ = rollback.grown_from;
    ::fsync(fd_.get());
  }
}

void StoreFile::commit_steps(Rollback& rollback) {
  // Lay everything out in memory first: blocks, then the pages of both trees.
  struct Placed {
    std::uint64_t ib;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Placed> writes;
  for (const auto& [bid, change] : reference_changes_) {
    const BbtEntry* e = find_block(bid);
    if (e == nullptr || change == 0) continue;
    BbtEntry changed = *e;
    changed.cref = static_cast<std::uint16_t>(std::int32_t{e->cref} + change);
    bbt_.put(changed);
  }
  reference_changes_.clear();
  for (auto& [bid, b] : pending_) {
    const std::uint64_t ib = allocate(
        block_disk_size(static_cast<std::uint32_t>(b.data.size()), header_.form),
        pst::kBlockAlignment);
    bbt_.put({bid, ib, static_cast<std::uint16_t>(b.data.size()),
              static_cast<std::uint16_t>(b.references + 1)});
    // Encoded in its own buffer: the data need not be held twice meanwhile.
    writes.push_back({ib, build_block(std::move(b.data), bid, ib, header_.crypt, header_.form)});
  }
  pending_.clear();
  pending_bytes_ = 0;
  const PageSlotSource slot = [&] {
    return Bref{header_.bid_next_p++, allocate(pst::kPageSize, pst::kPageSize)};
  };
  const auto emit = [&](Bref at, const Page& page) {
    writes.push_back({at.ib, {page.begin(), page.end()}});
  };
  std::vector<std::uint64_t> replaced_pages;
  const auto replaced = [&](Bref at) {
    pending_free_.emplace_back(at.ib, pst::kPageSize);
    replaced_pages.push_back(at.ib);
  };
  header_.nbt = nbt_.write(slot, emit, replaced);
  header_.bbt = bbt_.write(slot, emit, replaced);

  // Until step 5 the header keeps the committed roots and counters; it only learns the new
  // end of file and that the maps are being rewritten.
  const std::uint64_t old_size = committed_.file_eof;
  header_.file_eof = map_.file_size();
  header_.amap_last = AllocationMap::amap_page_offset(map_.amap_page_count() - 1);
  FileHeader transitional = committed_;
  transitional.file_eof = header_.file_eof;
  transitional.amap_last = header_.amap_last;
  transitional.amap_valid = false;
  bool maps_invalidated = false;
  if (map_.file_size() != disk_size_) {
    // Step 1: the new space, its map pages, and a header that covers it. A file longer than
    // its header says (a checkpoint cut off while growing) is cut back to what the header
    // reaches and grown from there. Everything is prepared first, so that the file is
    // longer than its header says only for the few system calls in between.
    std::vector<std::pair<std::uint64_t, Page>> map_pages;
    for (std::size_t n = 0; n < map_.amap_page_count(); ++n)
      if (AllocationMap::amap_page_offset(n) >= old_size)
        map_pages.emplace_back(AllocationMap::amap_page_offset(n), map_.build_amap_page(n));
    for (std::size_t n = 0; n < map_.pmap_page_count(); ++n)
      if (AllocationMap::pmap_page_offset(n) >= old_size)
        map_pages.emplace_back(AllocationMap::pmap_page_offset(n), map_.build_pmap_page(n));
    for (std::size_t n = 0; n < map_.fmap_page_count(); ++n)
      if (AllocationMap::fmap_page_offset(n) >= old_size)
        map_pages.emplace_back(AllocationMap::fmap_page_offset(n), map_.build_fmap_page(n));
    const auto header_bytes = build_file_header(transitional);
    if (disk_size_ > old_size && ::ftruncate(fd_.get(), static_cast<off_t>(old_size)) != 0)
      fail("cannot cut " + path_.string() + " back to its last checkpoint: " +
           errno_text(errno));
    disk_size_ = old_size;
    rollback.grown_from = old_size;
    reserve(old_size, map_.file_size());
    disk_size_ = map_.file_size();
    for (const auto& [at, page] : map_pages) write_at(at, page);
    rollback.header_touched = true;
    write_at(0, header_bytes);
    // Flushed only now: a flush inside the window would widen it for a killed process,
    // which matters more here than the order in which a power cut finds these pages.
    sync();
    maps_invalidated = true;
  }
  // Step 2. In file order, and runs of adjacent blocks and pages in one call each: new
  // space is handed out in order, so most of a checkpoint is one long run.
  std::sort(writes.begin(), writes.end(),
            [](const Placed& a, const Placed& b) { return a.ib < b.ib; });
  std::vector<Piece> run;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    run.push_back({writes[i].ib, writes[i].bytes});
    if (i + 1 < writes.size() && run.size() < kMaxPiecesPerWrite &&
        writes[i + 1].ib == writes[i].ib + writes[i].bytes.size())
      continue;
    write_pieces(run);
    run.clear();
  }
  sync();
  // Step 3.
  if (!maps_invalidated) {
    rollback.header_touched = true;
    write_header(transitional);
    sync();
  }
  // Step 4. The pages as they are on disk are kept until the checkpoint is complete, so a
  // failure from here on can put the committed maps back.
  for (const auto& [ib, size] : pending_free_) map_.mark_free(ib, size);
  pending_free_.clear();
  // Only the map pages whose bits changed: a checkpoint costs what it adds, not what the
  // file holds.
  const auto changed = map_.take_changed_pages();
  std::vector<std::pair<std::uint64_t, Page>> new_pages;
  for (const std::size_t n : changed.amaps)
    new_pages.emplace_back(AllocationMap::amap_page_offset(n), map_.build_amap_page(n));
  for (const std::size_t n : changed.pmaps)
    new_pages.emplace_back(AllocationMap::pmap_page_offset(n), map_.build_pmap_page(n));
  for (const std::size_t n : changed.fmaps)
    new_pages.emplace_back(AllocationMap::fmap_page_offset(n), map_.build_fmap_page(n));
  for (const auto& [at, page] : new_pages) {
    // Pages in space this checkpoint added have no earlier state to go back to.
    if (at + pst::kPageSize > old_size) continue;
    Page before{};
    if (::pread(fd_.get(), before.data(), before.size(), static_cast<off_t>(at)) !=
        static_cast<ssize_t>(before.size()))
      fail("cannot read " + path_.string() + ": " + errno_text(errno));
    rollback.map_pages.emplace_back(at, before);
  }
  for (const auto& [at, page] : new_pages) write_at(at, page);
  sync();
  // Step 5.
  header_.amap_free = map_.free_bytes();
  header_.pmap_free = map_.free_page_bytes();
  header_.amap_valid = true;
  write_header(header_);
  sync();
  committed_ = header_;
  rollback = Rollback{};
  // The pages the header stopped naming are wiped: a repair that probes the whole file
  // would otherwise find their node entries and take earlier states of the store (a message
  // as it was before its last save, in the folder it was moved out of) for items of their
  // own. Nothing names these pages any more, so a process killed here loses nothing, and a
  // failure here is no failure of the checkpoint.
  static const Page kBlankPage{};
  for (const std::uint64_t ib : replaced_pages) {
    if (::pwrite(fd_.get(), kBlankPage.data(), kBlankPage.size(), static_cast<off_t>(ib)) !=
        static_cast<ssize_t>(kBlankPage.size()))
      break;
  }
}

}  // namespace pstorian
