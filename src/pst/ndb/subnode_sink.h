// Where property and table contexts put values too large for their heap: a subnode of the
// node being written, which the node writer stores as a data tree and lists in the node's
// subnode block. The context records the returned subnode id in place of a heap id.
#pragma once

#include <cstdint>
#include <span>

namespace pstorian {

class SubnodeSink {
 public:
  virtual ~SubnodeSink() = default;
  // Stores `data` in a new subnode and returns its node id. `unit` is the size that every
  // data block of the subnode but the last must be a whole multiple of (the row size for a
  // table's row matrix, 1 for plain values).
  virtual std::uint32_t store(std::span<const std::uint8_t> data, std::size_t unit) = 0;
};

}  // namespace pstorian
