// Test-only: the node ids of an intact file, found the trusting way, by walking the
// node B-tree from the root named in the header. The scan must find at least these.
//
// Header: BREF of the node B-tree root at 184 (bid, ib). A page: entries from byte 0,
// cEnt at 496, cbEnt at 498, cLevel at 499, ptype at 500. Intermediate entries are
// (key, bid, ib), 12 bytes; leaf entries (nid, bidData, bidSub, nidParent), 16 bytes.
#pragma once

#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "format/endian.h"

namespace testing_pst {

struct NbtWalk {
  std::set<std::uint32_t> node_ids;
  std::set<std::uint32_t> leaf_pages;  // offsets of the leaf pages reached
  std::uint32_t root = 0;
};

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline NbtWalk walk_nbt(const std::vector<std::uint8_t>& file) {
  NbtWalk out;
  out.root = pst::load_le32(file, 188);
  std::vector<std::uint32_t> todo{out.root};
  std::set<std::uint32_t> seen;
  while (!todo.empty()) {
    const std::uint32_t ib = todo.back();
    todo.pop_back();
    if (ib % 512 != 0 || ib + 512 > file.size() || !seen.insert(ib).second) continue;
    const std::span<const std::uint8_t> page(file.data() + ib, 512);
    if (page[500] != 0x81) continue;
    const unsigned count = page[496], level = page[499];
    if (level == 0) {
      out.leaf_pages.insert(ib);
      for (unsigned i = 0; i < count && i < 31; ++i) out.node_ids.insert(pst::load_le32(page, i * 16));
    } else {
      for (unsigned i = 0; i < count && i < 41; ++i) todo.push_back(pst::load_le32(page, i * 12 + 8));
    }
  }
  return out;
}

// The same for a file of the 64-bit form. Header: BREF of the node B-tree root at 216 (bid,
// ib: 8 bytes each). A page: cEnt at 488, cLevel at 491, ptype at 496. Intermediate entries
// (key, bid, ib) of 24 bytes; leaf entries (nid, bidData, bidSub, nidParent, padding) of 32.
inline NbtWalk walk_nbt_unicode(const std::vector<std::uint8_t>& file) {
  NbtWalk out;
  const std::uint64_t root = pst::load_le64(file, 224);
  out.root = static_cast<std::uint32_t>(root);
  std::vector<std::uint64_t> todo{root};
  std::set<std::uint64_t> seen;
  while (!todo.empty()) {
    const std::uint64_t ib = todo.back();
    todo.pop_back();
    if (ib % 512 != 0 || ib + 512 > file.size() || !seen.insert(ib).second) continue;
    const std::span<const std::uint8_t> page(file.data() + ib, 512);
    if (page[496] != 0x81) continue;
    const unsigned count = page[488], level = page[491];
    if (level == 0) {
      out.leaf_pages.insert(static_cast<std::uint32_t>(ib));
      for (unsigned i = 0; i < count && i < 15; ++i) out.node_ids.insert(pst::load_le32(page, i * 32));
    } else {
      for (unsigned i = 0; i < count && i < 20; ++i) todo.push_back(pst::load_le64(page, i * 24 + 16));
    }
  }
  return out;
}

}  // namespace testing_pst
