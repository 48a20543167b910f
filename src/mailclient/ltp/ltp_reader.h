// Reads the heap-based structures of a sound store back: heaps, BTHs, property contexts and
// table contexts, so that a store being added to can learn what its folders hold. Every
// access is checked; anything malformed throws LtpError.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

#include "mailclient/ltp/stored_property.h"
#include "mailclient/ltp/table_context_writer.h"

namespace pstorian {

class LtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A heap over the leaves of a node's data (see heap_writer.h for the layout).
class HeapView {
 public:
  explicit HeapView(std::vector<std::vector<std::uint8_t>> blocks);

  std::uint8_t client_signature() const { return blocks_.front()[3]; }
  std::uint32_t user_root() const;
  std::span<const std::uint8_t> get(std::uint32_t hid) const;

 private:
  std::vector<std::vector<std::uint8_t>> blocks_;
  std::vector<std::vector<std::uint16_t>> starts_;  // per block: allocation starts, then end
};

struct BthRecord {
  std::uint64_t key = 0;
  std::span<const std::uint8_t> entry;
};

// The records of the BTH whose header is `header_hid`, in key order.
std::vector<BthRecord> read_bth(const HeapView& heap, std::uint32_t header_hid);

// The data of a subnode of the node being read, by subnode id.
using SubnodeReader = std::function<std::vector<std::uint8_t>(std::uint32_t nid)>;

// The properties of a PC, values resolved from the heap or subnodes, in property id order.
std::vector<StoredProperty> read_property_context(const HeapView& heap,
                                                  const SubnodeReader& subnodes);

struct TableContents {
  std::vector<TableColumn> columns;  // sorted by tag
  std::vector<TableRow> rows;        // in row-number order; only cells whose bit is set
};

TableContents read_table_context(const HeapView& heap, const SubnodeReader& subnodes);

}  // namespace pstorian
