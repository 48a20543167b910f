// Sizes and type codes of the 32-bit (ANSI) personal folder file layout: 4-byte block and
// node ids and offsets, 512-byte pages, 64-byte block alignment, 12-byte trailers.
#pragma once

#include <cstdint>

namespace pst {

constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kPageTrailerSize = 12;
constexpr std::uint32_t kBlockTrailerSize = 12;
constexpr std::uint32_t kBlockAlignment = 64;
constexpr std::uint32_t kMaxBlockData = 8180;  // 8192 minus the trailer
constexpr std::uint32_t kHeaderSize = 512;

// B-tree page bodies: 496 bytes of entries, then cEnt, cEntMax, cbEnt, cLevel.
constexpr std::uint32_t kBTreeEntryBytes = 496;
constexpr std::uint32_t kNbtLeafEntrySize = 16;
constexpr std::uint32_t kNbtLeafMaxEntries = 31;
constexpr std::uint32_t kBbtLeafEntrySize = 12;
constexpr std::uint32_t kBbtLeafMaxEntries = 41;
constexpr std::uint32_t kIntermediateEntrySize = 12;
constexpr std::uint32_t kIntermediateMaxEntries = 41;

// Allocation maps: one AMap page every 253,952 bytes from 0x4400 (one bit per 64 bytes),
// one PMap page every 2,031,616 bytes from 0x4600 (one bit per 512-byte page).
constexpr std::uint32_t kFirstAMapOffset = 0x4400;
constexpr std::uint32_t kAMapSpan = 496 * 8 * 64;
constexpr std::uint32_t kFirstPMapOffset = 0x4600;
constexpr std::uint32_t kPMapSpan = 496 * 8 * 512;

enum PageType : std::uint8_t {
  kPageBbt = 0x80,
  kPageNbt = 0x81,
  kPageFMap = 0x82,
  kPagePMap = 0x83,
  kPageAMap = 0x84,
  kPageFPMap = 0x85,
  kPageDList = 0x86,
};

// The low five bits of a node id.
enum NodeType : std::uint8_t {
  kNodeHid = 0x00,
  kNodeInternal = 0x01,
  kNodeNormalFolder = 0x02,
  kNodeSearchFolder = 0x03,
  kNodeNormalMessage = 0x04,
  kNodeAttachment = 0x05,
  kNodeSearchUpdateQueue = 0x06,
  kNodeSearchCriteria = 0x07,
  kNodeAssociatedMessage = 0x08,
  kNodeContentsTableIndex = 0x0A,
  kNodeReceiveFolderTable = 0x0B,
  kNodeOutgoingQueueTable = 0x0C,
  kNodeHierarchyTable = 0x0D,
  kNodeContentsTable = 0x0E,
  kNodeAssociatedContentsTable = 0x0F,
  kNodeSearchContentsTable = 0x10,
  kNodeAttachmentTable = 0x11,
  kNodeRecipientTable = 0x12,
  kNodeSearchTableIndex = 0x13,
  kNodeLtp = 0x1F,
};

constexpr std::uint8_t node_type(std::uint32_t nid) { return static_cast<std::uint8_t>(nid & 0x1F); }

// Well-known node ids.
constexpr std::uint32_t kNidMessageStore = 0x21;
constexpr std::uint32_t kNidNameToIdMap = 0x61;
constexpr std::uint32_t kNidRootFolder = 0x122;

// Block ids: bit 1 marks an internal block (data tree or subnode block); bit 0 is reserved
// and ignored when blocks are looked up.
constexpr bool is_internal_block(std::uint32_t bid) { return (bid & 0x2) != 0; }

// A table context of the 32-bit form keeps row numbers in 2 bytes, so a table (the messages
// of a folder, its subfolders) holds at most this many rows.
constexpr std::uint32_t kMaxTableRows = 0xFFFF;

// Heap-on-node and its clients.
constexpr std::uint8_t kHeapSignature = 0xEC;
constexpr std::uint8_t kClientTableContext = 0x7C;
constexpr std::uint8_t kClientBTreeOnHeap = 0xB5;
constexpr std::uint8_t kClientPropertyContext = 0xBC;

// Header fields of the 32-bit form.
constexpr std::uint16_t kVersionAnsi = 14;
constexpr std::uint16_t kVersionUnicode = 23;
enum CryptMethod : std::uint8_t { kCryptNone = 0, kCryptPermute = 1, kCryptCyclic = 2 };

}  // namespace pst
