// Scan benchmark: builds a large synthetic file (blocks with valid trailers and node B-tree
// leaf pages holding node entries, versions and stale copies) in the 32-bit form, the 64-bit
// form or both, the same blocks and entries in each, then reports for each
//   - a plain sequential read of the file and the scan of it, both from the page cache;
//   - the scan's peak memory beside 64 bytes per block + 128 per node entry + 50 MB;
// the 64-bit scan's CPU time beside the 32-bit one's, and once
//   - the object collection alone for N and 2N node entries.
//
//   scan_bench [--file PATH] [--blocks N] [--entries N] [--form ansi|unicode|both] [--keep]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/object_collection.h"
#include "engine/pst_scanner.h"
#include "format/crc.h"
#include "format/endian.h"
#include "format/layout_unicode.h"
#include "format/signature.h"

namespace {

using Clock = std::chrono::steady_clock;
using pstorian::NodeEntry;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of the process (user and system): unlike wall time it does not grow
// when other work on the machine takes the processor away.
double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Appends to a file through a large buffer, keeping track of the offset.
class Writer {
 public:
  explicit Writer(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
    if (fd_ < 0) {
      std::perror(path.c_str());
      std::exit(1);
    }
    buf_.reserve(8 << 20);
  }
  ~Writer() {
    flush();
    ::close(fd_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  std::uint64_t offset() const { return written_ + buf_.size(); }
  void pad_to(std::uint64_t alignment) {
    const std::uint64_t rem = offset() % alignment;
    if (rem) buf_.resize(buf_.size() + (alignment - rem), 0);
  }
  std::span<std::uint8_t> grow(std::size_t n) {
    const std::size_t at = buf_.size();
    buf_.resize(at + n, 0);
    if (buf_.size() >= (8u << 20) - 16384) {
      const std::size_t keep = n;
      std::vector<std::uint8_t> tail(buf_.end() - static_cast<std::ptrdiff_t>(keep), buf_.end());
      buf_.resize(buf_.size() - keep);
      flush();
      buf_ = std::move(tail);
      buf_.reserve(8 << 20);
      return {buf_.data(), keep};
    }
    return {buf_.data() + at, n};
  }
  void flush() {
    std::size_t done = 0;
    while (done < buf_.size()) {
      const ssize_t w = ::write(fd_, buf_.data() + done, buf_.size() - done);
      if (w <= 0) {
        std::perror("write");
        std::exit(1);
      }
      done += static_cast<std::size_t>(w);
    }
    written_ += buf_.size();
    buf_.clear();
  }

 private:
  int fd_;
  std::uint64_t written_ = 0;
  std::vector<std::uint8_t> buf_;
};

struct Settings {
  std::string path = "/tmp/pstorian-scan-bench.pst";
  std::uint32_t blocks = 1'000'000;
  std::uint32_t entries = 200'000;
  std::string form = "both";
  bool keep = false;
};

// Node entries: folders and messages in sorted leaf pages, then versions (same node, other
// data block) and stale identical copies spread over the rest of the file.
std::vector<std::vector<NodeEntry>> make_leaf_pages(std::uint32_t entries, std::uint32_t block_ids,
                                                    std::mt19937& rng, std::size_t per_page = 31) {
  const std::uint32_t versions = entries / 8, copies = entries / 8;
  const std::uint32_t unique = entries - versions - copies;
  const std::uint32_t folders = std::max(1u, unique / 150);
  std::vector<NodeEntry> live;
  live.push_back({0x122, 4, 0, 0x122, true});
  for (std::uint32_t k = 1; k < unique; ++k) {
    const bool folder = k < folders;
    const std::uint32_t nid = ((0x100 + k) << 5) | (folder ? 0x02 : 0x04);
    const std::uint32_t parent =
        folder ? (k == 1 ? 0x122u : (((0x100 + rng() % k) << 5) | 0x02)) : (((0x100 + rng() % folders) << 5) | 0x02);
    const std::uint32_t data = 4 * (1 + rng() % block_ids);
    const std::uint32_t sub = rng() % 10 == 0 ? 4 * (1 + rng() % block_ids) | 2 : 0;
    live.push_back({nid, data, sub, k == 0 ? 0 : parent, true});
  }
  std::sort(live.begin(), live.end(), [](auto& a, auto& b) { return a.node_id < b.node_id; });
  std::vector<NodeEntry> stale;
  for (std::uint32_t i = 0; i < versions; ++i) {
    NodeEntry e = live[rng() % live.size()];
    e.data_block_id = 4 * (1 + rng() % block_ids);
    stale.push_back(e);
  }
  for (std::uint32_t i = 0; i < copies; ++i) stale.push_back(live[rng() % live.size()]);
  std::shuffle(stale.begin(), stale.end(), rng);

  std::vector<std::vector<NodeEntry>> pages;
  for (const auto* list : {&live, &stale})
    for (std::size_t i = 0; i < list->size(); i += per_page)
      pages.emplace_back(list->begin() + static_cast<std::ptrdiff_t>(i),
                         list->begin() + static_cast<std::ptrdiff_t>(std::min(i + per_page, list->size())));
  std::shuffle(pages.begin() + static_cast<std::ptrdiff_t>(live.size() / per_page + 1), pages.end(), rng);
  return pages;
}

void write_leaf_page(Writer& w, const std::vector<NodeEntry>& entries) {
  w.pad_to(512);
  const auto off = static_cast<std::uint32_t>(w.offset());
  auto page = w.grow(512);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    pst::store_le32(page, i * 16, entries[i].node_id);
    pst::store_le32(page, i * 16 + 4, static_cast<std::uint32_t>(entries[i].data_block_id));
    pst::store_le32(page, i * 16 + 8, static_cast<std::uint32_t>(entries[i].subnode_block_id));
    pst::store_le32(page, i * 16 + 12, entries[i].parent_id);
  }
  page[496] = static_cast<std::uint8_t>(entries.size());
  page[497] = 31;
  page[498] = 16;
  page[500] = page[501] = 0x81;
  pst::store_le16(page, 502, pst::block_signature(off, off | 1));
  pst::store_le32(page, 504, off | 1);
  pst::store_le32(page, 508, pst::crc32(page.first(496)));
}

// The same in the 64-bit form: 15 entries of 32 bytes, counts at 488, a 16-byte trailer.
void write_leaf_page_unicode(Writer& w, const std::vector<NodeEntry>& entries) {
  w.pad_to(512);
  const std::uint64_t off = w.offset();
  auto page = w.grow(512);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = i * pst::unicode::kNbtLeafEntrySize;
    pst::store_le64(page, at, entries[i].node_id);
    pst::store_le64(page, at + 8, entries[i].data_block_id);
    pst::store_le64(page, at + 16, entries[i].subnode_block_id);
    pst::store_le32(page, at + 24, entries[i].parent_id);
  }
  page[488] = static_cast<std::uint8_t>(entries.size());
  page[489] = pst::unicode::kNbtLeafMaxEntries;
  page[490] = pst::unicode::kNbtLeafEntrySize;
  page[496] = page[497] = 0x81;
  const std::uint64_t bid = off | 1;
  pst::store_le16(page, 498, pst::block_signature(static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(bid)));
  pst::store_le32(page, 500, pst::crc32(page.first(496)));
  pst::store_le64(page, 504, bid);
}

// A block of `cb` bytes in either form: its data, padding to 64 bytes and the trailer with
// the block's size, signature, check value and id.
void write_block(Writer& w, std::uint64_t id, std::uint32_t cb, bool unicode) {
  const std::uint64_t off = w.offset();
  const std::uint32_t trailer = unicode ? pst::unicode::kBlockTrailerSize : 12;
  const std::uint32_t span = (cb + trailer + 63) / 64 * 64;
  auto b = w.grow(span);
  std::memset(b.data(), 0x5A, cb);
  if (cb >= 16) {  // an encoded property context heap header
    static constexpr std::uint8_t kHead[16] = {0x5A, 0x5A, 0xFF, 0x93, 0x4C, 0x41, 0, 0, 0, 0, 0, 0, 0xA6, 0x13, 0, 0};
    std::memcpy(b.data(), kHead, 16);
  }
  const std::size_t t = span - trailer;
  const auto sig = pst::block_signature(static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(id));
  const std::uint32_t crc = pst::crc32(b.first(cb));
  pst::store_le16(b, t, static_cast<std::uint16_t>(cb));
  pst::store_le16(b, t + 2, sig);
  if (unicode) {
    pst::store_le32(b, t + 4, crc);
    pst::store_le64(b, t + 8, id);
  } else {
    pst::store_le32(b, t + 4, static_cast<std::uint32_t>(id));
    pst::store_le32(b, t + 8, crc);
  }
}

void generate(const std::string& path, const Settings& s, bool unicode) {
  std::mt19937 rng(42);
  const std::uint32_t distinct = s.blocks - s.blocks / 50;  // 2% are second copies
  auto pages = make_leaf_pages(s.entries, distinct, rng, unicode ? pst::unicode::kNbtLeafMaxEntries : 31);
  Writer w(path);
  w.grow(0x4600);  // header and first maps: never probed
  const std::uint32_t every = std::max<std::uint32_t>(1, s.blocks / static_cast<std::uint32_t>(pages.size() + 1));
  std::size_t next_page = 0;
  auto leaf = [&](const std::vector<NodeEntry>& page) {
    if (unicode) write_leaf_page_unicode(w, page);
    else write_leaf_page(w, page);
  };
  for (std::uint32_t i = 0; i < s.blocks; ++i) {
    const std::uint32_t id = i < distinct ? 4 * (i + 1) : 4 * (1 + rng() % distinct);
    write_block(w, id, 8 + rng() % 1053, unicode);
    if (i % every == 0 && next_page < pages.size()) leaf(pages[next_page++]);
  }
  while (next_page < pages.size()) leaf(pages[next_page++]);
  w.pad_to(512);
}

struct Timing {
  double wall, cpu;
};

Timing plain_read(const std::string& path, std::uint64_t& checksum) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<std::uint8_t> buf(1 << 18);
  const auto t0 = Clock::now();
  const double c0 = thread_cpu_seconds();
  ssize_t n;
  std::uint64_t off = 0;
  while ((n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(off))) > 0) {
    off += static_cast<std::uint64_t>(n);
    checksum += buf[0] + buf[static_cast<std::size_t>(n) - 1];
  }
  const Timing t{seconds_since(t0), thread_cpu_seconds() - c0};
  ::close(fd);
  return t;
}

// Notes when the scan moves from probing to collecting.
class PhaseClock final : public pstorian::ProgressSink {
 public:
  void set_range(int, int) override {}
  void set_position(int) override {}
  void set_step(int) override {}
  void step() override {}
  void set_status(std::string_view text) override {
    if (text == pstorian::CPstScanner::kStatusCollecting) collecting = Clock::now();
  }
  Clock::time_point collecting{};
};

struct ScanFigures {
  double seconds;
  double cpu_seconds;
  double probe_seconds;
  std::size_t blocks, entries, objects;
  long maxrss_kb;
};

// Runs `work` in a child process and hands back what it returns (a plain struct) and the
// child's peak memory. Each run thus starts from the same memory state: what an earlier
// run freed cannot make a later one cheaper.
template <typename Result, typename Work>
Result in_child(Work work, long* maxrss_kb = nullptr) {
  int fds[2];
  if (::pipe(fds) != 0) std::exit(1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const Result r = work();
    if (::write(fds[1], &r, sizeof r) != sizeof r) std::_Exit(1);
    std::_Exit(0);
  }
  ::close(fds[1]);
  Result r{};
  if (::read(fds[0], &r, sizeof r) != sizeof r) std::exit(1);
  ::close(fds[0]);
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  if (maxrss_kb != nullptr) *maxrss_kb = ru.ru_maxrss;
  return r;
}

ScanFigures scan_in_child(const std::string& path) {
  long maxrss_kb = 0;
  ScanFigures f = in_child<ScanFigures>(
      [&path] {
        pstorian::RecoveryTables tables;
        PhaseClock progress;
        pstorian::OpenGate gate;
        pstorian::CPstScanner scanner(tables, progress, gate);
        const auto t0 = Clock::now();
        const double c0 = thread_cpu_seconds();
        scanner.scan(path);
        return ScanFigures{seconds_since(t0), thread_cpu_seconds() - c0,
                           std::chrono::duration<double>(progress.collecting - t0).count(),
                           tables.blocks.size(), scanner.counts().node_entries(), tables.objects.size(), 0};
      },
      &maxrss_kb);
  f.maxrss_kb = maxrss_kb;
  return f;
}

// The object collection alone over `entries` node entries and `blocks` blocks: the CPU
// time of the best of five runs, each in a child process on tables built afresh.
double collection_seconds(std::uint32_t entries, std::uint32_t blocks) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    best = std::min(best, in_child<double>([entries, blocks] {
      std::mt19937 rng(7);
      pstorian::RecoveryTables tables;
      for (std::uint32_t i = 0; i < blocks; ++i) tables.blocks.add(4 * (i + 1), 0x4600 + 64 * i, 20);
      for (std::uint32_t i = 0; i < blocks / 50; ++i) tables.blocks.add(4 * (1 + rng() % blocks), 0x4600, 20);
      // Each block holds its own number, so that the later copies at 0x4600 are versions.
      std::vector<std::uint8_t> image(0x4600 + 64 * std::size_t{blocks} + 64, 0);
      for (std::uint32_t i = 0; i < blocks; ++i)
        for (unsigned k = 0; k < 4; ++k)
          image[0x4600 + 64 * std::size_t{i} + k] = static_cast<std::uint8_t>((i + 1) >> (8 * k));
      const pstorian::MemorySource source(image);
      pstorian::NodeEntryList parentless(pstorian::NodeEntryList::Kind::kParentless);
      pstorian::NodeEntryList children(pstorian::NodeEntryList::Kind::kChild);
      for (const auto& page : make_leaf_pages(entries, blocks, rng))
        for (const NodeEntry& e : page)
          (e.parent_id == 0 ? parentless : children).insert(e.node_id, e.data_block_id, e.subnode_block_id, e.parent_id);
      (void)parentless.entries();
      (void)children.entries();
      (void)tables.find_block(4);
      pstorian::NullProgress progress;
      pstorian::OpenGate gate;
      const double c0 = thread_cpu_seconds();
      pstorian::collect_objects(parentless, children, source, tables, progress, gate);
      return thread_cpu_seconds() - c0;
    }));
  }
  return best;
}

// Writes the file of one form, scans it five times and prints what it found; the scan's best
// CPU time is handed back for comparing the forms.
double measure_form(const Settings& s, bool unicode) {
  const std::string path = unicode ? s.path + ".unicode" : s.path;
  const char* name = unicode ? "64-bit (Unicode)" : "32-bit (ANSI)";
  auto t0 = Clock::now();
  generate(path, s, unicode);
  std::printf("%s: generated %s: %u blocks, %u node entries in %.1f s\n", name, path.c_str(), s.blocks,
              s.entries, seconds_since(t0));

  std::uint64_t sum = 0;
  plain_read(path, sum);  // bring the file into the page cache
  double read_best = 1e9, scan_best = 1e9, probe_best = 1e9, read_cpu = 1e9, scan_cpu = 1e9;
  ScanFigures f{};
  for (int round = 0; round < 5; ++round) {
    const Timing r = plain_read(path, sum);
    read_best = std::min(read_best, r.wall);
    read_cpu = std::min(read_cpu, r.cpu);
    f = scan_in_child(path);
    scan_cpu = std::min(scan_cpu, f.cpu_seconds);
    scan_best = std::min(scan_best, f.seconds);
    probe_best = std::min(probe_best, f.probe_seconds);
  }
  std::uint64_t size = 0;
  {
    const int fd = ::open(path.c_str(), O_RDONLY);
    size = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));
    ::close(fd);
  }
  std::printf("file size            %.1f MiB (checksum %llu)\n", static_cast<double>(size) / (1 << 20),
              static_cast<unsigned long long>(sum % 10));
  std::printf("found                %zu blocks, %zu node entries, %zu objects\n", f.blocks, f.entries, f.objects);
  std::printf("plain read           %.3f s wall, %.3f s CPU (best of 5)\n", read_best, read_cpu);
  std::printf("scan                 %.3f s wall, %.3f s CPU (best of 5) = %.2f x plain read by wall, %.2f x by CPU (target <= 3)\n",
              scan_best, scan_cpu, scan_best / read_best, scan_cpu / read_cpu);
  std::printf("  of which probing   %.3f s wall (reading, probe passes, sorting the entry lists)\n", probe_best);
  const double target_mb = (64.0 * static_cast<double>(f.blocks) + 128.0 * static_cast<double>(f.entries)) / 1e6 + 50.0;
  std::printf("peak memory          %.1f MB (target <= %.1f MB)\n\n", static_cast<double>(f.maxrss_kb) * 1024 / 1e6,
              target_mb);
  if (!s.keep) ::unlink(path.c_str());
  return scan_cpu;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--file" && i + 1 < argc) s.path = argv[++i];
    else if (a == "--blocks" && i + 1 < argc) s.blocks = static_cast<std::uint32_t>(std::stoul(argv[++i]));
    else if (a == "--entries" && i + 1 < argc) s.entries = static_cast<std::uint32_t>(std::stoul(argv[++i]));
    else if (a == "--form" && i + 1 < argc) s.form = argv[++i];
    else if (a == "--keep") s.keep = true;
    else {
      std::fprintf(stderr,
                   "usage: scan_bench [--file PATH] [--blocks N] [--entries N] [--form ansi|unicode|both] [--keep]\n");
      return 2;
    }
  }
  if (s.form != "ansi" && s.form != "unicode" && s.form != "both") {
    std::fprintf(stderr, "scan_bench: --form is ansi, unicode or both\n");
    return 2;
  }

  const double ansi = s.form == "unicode" ? 0 : measure_form(s, false);
  const double unicode = s.form == "ansi" ? 0 : measure_form(s, true);
  if (ansi > 0 && unicode > 0)
    std::printf("64-bit scan          %.3f s CPU beside %.3f s for the 32-bit file = %.2f x (target <= 1.10)\n\n",
                unicode, ansi, unicode / ansi);

  const double c1 = collection_seconds(s.entries, s.blocks);
  const double c2 = collection_seconds(2 * s.entries, s.blocks);
  std::printf("object collection    %.3f s CPU for %u entries, %.3f s for %u = %.2f x (best of 5; target <= 2.3)\n", c1,
              s.entries, c2, 2 * s.entries, c2 / c1);
  return 0;
}
