// libFuzzer target: the whole scan over arbitrary bytes, then the lookups the export makes.
// The input is placed after 0x4600 zero bytes (header and first maps, which the scan never
// probes), so that every probe looks at bytes the fuzzer chose. Bit 0 of the first byte
// sets the header's version to that of the 64-bit form: where the input's blocks do not
// tell the form, that one is scanned for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/pst_scanner.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(0x4600, 0);
  if (size > 0 && (data[0] & 1) != 0) file[10] = 23;
  file.insert(file.end(), data, data + size);

  pstorian::RecoveryTables tables;
  pstorian::NullProgress progress;
  pstorian::OpenGate gate;
  pstorian::CPstScanner scanner(tables, progress, gate);
  check(scanner.scan(pstorian::MemorySource(file)) == pstorian::ScanOutcome::kCompleted);

  const pstorian::ObjectTree& tree = tables.objects;
  const auto order = tree.pre_order();
  check(order.size() == tree.size());
  for (pstorian::ObjectIndex x : order) {
    const pstorian::ObjectNode& o = tree[x];
    if (o.data_block) {
      // Every version reachable from a data block is one the index holds.
      int guard = 0;
      for (const pstorian::BlockRef* v = tables.find_block(o.data_block->id); v && guard < 1 << 20;
           v = tables.blocks.next_version(*v), ++guard)
        check(v->id == o.data_block->id);
    }
    check(tables.find_object(o.node_id) != pstorian::kNoObject);
  }
  // Claiming every node id as often as it has objects hands each object out once.
  std::size_t claimed = 0;
  for (pstorian::ObjectIndex x : order) {
    const auto c = tables.claim_object(tree[x].node_id);
    check(c.has_value());
    ++claimed;
  }
  check(claimed == tree.size());
  for (pstorian::ObjectIndex x : order) check(!tables.claim_object(tree[x].node_id).has_value());
  return 0;
}
