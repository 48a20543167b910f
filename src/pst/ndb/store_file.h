// An existing personal folder file, of either form, opened for reading and for adding to
// it. The form (32-bit or 64-bit) comes from the header; every structure is read and
// written in it.
//
// Opening reads the header, both B-trees and the allocation maps into memory. Changes (new
// blocks, added, changed or removed nodes) stay in memory until commit(), which writes them
// as a checkpoint that never overwrites a structure the file's header still points at:
//
//   1. When the file must grow (or is longer than its header says, after a checkpoint cut
//      off in this step): set its size, write the map pages of the new space, and write the
//      header with the new end of file and fAMapValid 0 (the maps are then not to be
//      trusted; the B-tree roots are still the old ones).
//   2. Write the new blocks and B-tree pages into space that is free in the committed state.
//   3. If not done in step 1, write the header with fAMapValid 0.
//   4. Write the allocation map pages, now with the space of replaced pages and blocks free.
//   5. Write the header with the new roots, counters and free space, fAMapValid 1.
//
// Each step is flushed to disk before the next. A process killed at any moment leaves a file
// that readers open as it was before the checkpoint or after it; in between, only the maps
// are marked as needing a rebuild. New space is reserved (not left sparse) before anything
// is written into it, so a full disk shows up before the first write of a checkpoint.
//
// A checkpoint that fails (a full disk, an I/O error) puts the file back as the last
// completed checkpoint left it: the map pages it overwrote, the header, the length. The
// object is then done with: every later commit() throws the same error without writing,
// so nothing that runs later (a close, a timer) can write a header over the failed state.
//
// The file is locked (flock) while it is open here, so that a second writer, in this
// process or another, is refused instead of writing over the first one's checkpoints. Blocks whose reference count drops to one (the BBT's own
// reference) are removed, and their space is reused only after the checkpoint is complete.
//
// The file grows by whole AMap intervals (253,952 bytes), at least an eighth of its size at a
// time, so the one moment at which the file is longer than its header says (between
// extending it and writing the header of step 1) comes rarely and lasts a few writes. Files
// of the 32-bit form stop growing short of the first free page map, at about 1.9 GB; files of
// the 64-bit form grow on past 4 GB, their free page map pages reserved where they fall.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "pst/ndb/allocation_map.h"
#include "pst/ndb/btree_page.h"
#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/file_header.h"
#include "pst/ndb/paged_btree.h"

namespace pstorian {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StoreFile final : public BlockIdSource {
 public:
  // Throws StoreError when the file cannot be opened for writing, is locked by another
  // writer, or is not a sound personal folder file (header, B-trees and maps within
  // the file).
  explicit StoreFile(const std::filesystem::path& path);
  ~StoreFile() override;
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  const FileHeader& header() const { return header_; }
  FileForm form() const override { return header_.form; }
  const NbtEntry* find_node(std::uint32_t nid) const {
    ++node_lookups_;
    return nbt_.find(nid);
  }
  // The find_node() calls since the file was opened: what the callers' work cost in lookups.
  std::size_t node_lookups() const { return node_lookups_; }
  // A committed block's index entry; its cref leaves out reference changes made since the
  // last commit, which reference_count() includes.
  const BbtEntry* find_block(std::uint64_t bid) const { return bbt_.find(bid & ~std::uint64_t{1}); }
  std::uint32_t reference_count(std::uint64_t bid) const;
  std::size_t node_count() const { return nbt_.size(); }
  template <typename Visit>
  void for_each_node(Visit visit) const {
    nbt_.for_each(visit);
  }
  std::size_t nbt_levels() const { return nbt_.levels(); }
  std::size_t bbt_levels() const { return bbt_.levels(); }

  // The decoded data of a block: one made since the last commit as it was added, a committed
  // one checked against its trailer; StoreError when it is missing or damaged.
  std::vector<std::uint8_t> read_block(std::uint64_t bid) const;
  // The leaves of node data: the block itself, or the leaves of its data tree.
  std::vector<std::vector<std::uint8_t>> read_data(std::uint64_t bid) const;
  // The same data in one piece.
  std::vector<std::uint8_t> read_bytes(std::uint64_t bid) const;
  // The entries of a node's subnode block (SLBLOCK, or SIBLOCK over SLBLOCKs), by node id.
  std::map<std::uint32_t, SubnodeEntry> read_subnodes(std::uint64_t bid_sub) const;

  std::uint64_t next_bid(bool internal) override;
  // A new node id of the given type, above every id of that type in use.
  std::uint32_t next_nid(std::uint8_t type);

  // Blocks to write at the next commit, with the references among them.
  void add_blocks(std::vector<PendingBlock> blocks);
  // The data of the blocks waiting for the next commit: memory the commit gives back.
  std::size_t pending_bytes() const { return pending_bytes_; }
  // Adds or replaces a node; the blocks it names must be committed or pending. The blocks
  // a replaced entry named lose a reference.
  void put_node(const NbtEntry& node);
  // Counts one more reference to a committed or pending block, for a new block that lists
  // a block written before (a data tree reusing the unchanged leaves of an earlier one).
  void add_reference(std::uint64_t bid);
  void remove_node(std::uint32_t nid);

  // Writes a checkpoint. Throws StoreError when the file cannot be written; the file then
  // holds the last completed checkpoint, and every later commit() throws the same error
  // (open the file again to go on from that checkpoint).
  void commit();
  // The error of a failed checkpoint; empty while none failed.
  const std::string& failure() const { return failure_; }

  // For tests: after `bytes` more bytes, every write of every store file fails with `error`
  // (ENOSPC for a full disk, EIO, ...), a write that crosses the mark after writing what
  // fits, and growing the file fails as soon as it would need more. A negative count turns
  // this off. Putting a failed checkpoint back is exempt, as overwriting bytes a file
  // already has is on a full disk.
  static void fail_writes_after(std::int64_t bytes, int error);

 private:
  void load_btree(std::uint8_t ptype, Bref root);
  void load_maps();
  void release(std::uint64_t bid);
  std::vector<std::uint64_t> children_of(std::uint64_t bid,
                                         std::span<const std::uint8_t> data) const;
  std::uint64_t allocate(std::uint32_t size, std::uint32_t alignment);
  void write_at(std::uint64_t ib, std::span<const std::uint8_t> bytes);
  // Writes pieces that follow each other in the file without a gap (each one's ib is where
  // the one before it ends) in as few calls as the system allows.
  struct Piece {
    std::uint64_t ib;
    std::span<const std::uint8_t> bytes;
  };
  void write_pieces(std::span<const Piece> pieces);
  void write_header(const FileHeader& header);
  void sync();
  void reserve(std::uint64_t old_size, std::uint64_t new_size);

  // What a failed checkpoint must undo on disk.
  struct Rollback {
    std::uint64_t grown_from = 0;  // the committed length, when the file was grown
    bool header_touched = false;   // a header other than the committed one was written
    std::vector<std::pair<std::uint64_t, Page>> map_pages;  // as they were before
  };
  void commit_steps(Rollback& rollback);
  void roll_back(const Rollback& rollback) noexcept;

  // Closes the file however the store ends, a failed constructor included.
  class Descriptor {
   public:
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(-1); }
    void reset(int fd);
    int get() const { return fd_; }

   private:
    int fd_ = -1;
  };

  std::filesystem::path path_;
  Descriptor fd_;
  std::uint64_t disk_size_ = 0;
  std::string failure_;
  FileHeader header_;     // as it will be after the next commit
  FileHeader committed_;  // as it is on disk
  PagedBTree<BbtEntry> bbt_;
  PagedBTree<NbtEntry> nbt_;
  AllocationMap map_{pst::kFirstPMapOffset + pst::kPageSize};
  std::map<std::uint64_t, PendingBlock> pending_;                      // by bid
  std::size_t pending_bytes_ = 0;  // the data of pending_, held in memory until the commit
  std::vector<std::pair<std::uint64_t, std::uint32_t>> pending_free_;  // offset, size
  // Reference changes to committed blocks, applied to the block index at the next commit. A
  // table written again takes over most of its blocks (a reference more) and lets the old
  // tree go (a reference less); netting the two out keeps the index pages of those blocks
  // from being written again at every checkpoint.
  std::unordered_map<std::uint64_t, std::int32_t> reference_changes_;  // by bid
  mutable std::size_t node_lookups_ = 0;
};

}  // namespace pstorian
