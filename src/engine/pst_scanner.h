// The source file scan: probes a damaged personal folder file at fixed positions without
// trusting its header or B-tree roots, records every block trailer and node B-tree leaf
// page it recognises, builds the object tree and decides the encoding. Which form the file
// is in (32-bit or 64-bit ids) is told from samples of its blocks first (form_detection.h)
// and kept in the tables; what follows describes the scan of the 32-bit form.
//
// Ten passes each probe one position per 512 bytes, starting at 0x47F0 + 16·d for the
// phases d in kProbePhases, so every 64-byte block boundary inside a page (and two more
// page offsets) is looked at; a pass ends once its probe offset exceeds the file size.
// Nothing that ends before 0x47F4 is examined. The file is read once in large chunks and
// each chunk is probed for all ten passes; what a pass finds is kept apart and applied in
// pass order, so the result is the same as ten passes one after another.
#pragma once

#include <cstdint>
#include <filesystem>

#include "engine/byte_source.h"
#include "engine/node_entries.h"
#include "engine/object_tables.h"
#include "engine/progress.h"

namespace pstorian {

enum class ScanOutcome {
  kCompleted,
  kNotOpened,  // the source could not be opened: the tables stay empty, no progress shown
  kCancelled,  // the gate stopped the scan: the tables are left empty
};

struct ScanCounts {
  std::uint64_t file_size = 0;
  std::uint32_t leaf_pages = 0;
  std::size_t parentless_entries = 0;
  std::size_t child_entries = 0;
  std::size_t node_entries() const { return parentless_entries + child_entries; }
};

class CPstScanner {
 public:
  // Status texts shown while the scan runs.
  static constexpr const char* kStatusScanning = "Scanning file...";
  static constexpr const char* kStatusCollecting = "Collecting Objects...";
  static constexpr int kProgressEnd = 500;

  CPstScanner(RecoveryTables& tables, ProgressSink& progress, JobGate& gate)
      : tables_(tables), progress_(progress), gate_(gate) {}
  CPstScanner(const CPstScanner&) = delete;
  CPstScanner& operator=(const CPstScanner&) = delete;

  // Clears the tables, then scans the file at `path` (opened read-only) into them.
  ScanOutcome scan(const std::filesystem::path& path);
  // The same over bytes already at hand.
  ScanOutcome scan(const ByteSource& source);

  // What the last scan found; valid after scan() returned kCompleted.
  const ScanCounts& counts() const { return counts_; }

 private:
  bool probe_passes(const ByteSource& source);
  // The scan of a file of the 64-bit form: one look at every 64-byte boundary, where its
  // trailers end (see probe_unicode.h), in file order.
  bool unicode_pass(const ByteSource& source);

  RecoveryTables& tables_;
  ProgressSink& progress_;
  JobGate& gate_;
  ScanCounts counts_;
  NodeEntryList parentless_{NodeEntryList::Kind::kParentless};
  NodeEntryList children_{NodeEntryList::Kind::kChild};
};

}  // namespace pstorian
