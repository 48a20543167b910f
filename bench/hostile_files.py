#!/usr/bin/env python3
"""Writes crafted personal folder files that once made the scan or the decoding crash or
stall, to time `pstorian-cli scan` and `repair` on them by hand (not a test, not part of CI).

    python3 bench/hostile_files.py KIND OUT.pst [--megabytes N]

KIND:
  parents      node B-tree leaf pages whose entries all name one node id under a different
               parent each (the entry list build)
  chain        node ids nested one in the next, each with a second version under the one
               before (the parent lookups of the object collection)
  subnodes     a message whose subnode tree nests 60,000 blocks deep (the subnode walk)
  self-tree    a message whose data block is a level-2 data tree naming itself
  copies       one data block stored many times over, named by many node entries (the
               objects made per copy)

Nothing else of a real file is written; the scan does not need it.
"""
import argparse
import struct

PAGE = 512
FIRST_PAGE = 0x4600


def signature(offset, bid):
    x = offset ^ bid
    return ((x >> 16) ^ x) & 0xFFFF


class Image:
    def __init__(self, size):
        self.bytes = bytearray(size)

    def grow(self, size):
        if len(self.bytes) < size:
            self.bytes.extend(bytes(size - len(self.bytes)))

    def block(self, offset, bid, data):
        span = (len(data) + 12 + 63) // 64 * 64
        self.grow(offset + span)
        self.bytes[offset:offset + len(data)] = data
        t = offset + span - 12
        struct.pack_into("<HHII", self.bytes, t, len(data), signature(offset, bid), bid, 0)
        return offset + span

    def leaf_page(self, offset, slots):
        self.grow(offset + PAGE)
        for i, slot in enumerate(slots[:31]):
            struct.pack_into("<IIII", self.bytes, offset + 16 * i, *slot)
        self.bytes[offset + 496:offset + 502] = bytes([len(slots[:31]), 31, 16, 0, 0x81, 0x81])
        struct.pack_into("<HI", self.bytes, offset + 502, signature(offset, offset | 1), offset | 1)


def property_context(subnode_value=None):
    """A heap holding a property context: empty, or with one 8-bit text (the subject) whose
    value lives in subnode `subnode_value`."""
    bth = bytes([0xB5, 2, 6, 0]) + struct.pack("<I", 0x40 if subnode_value else 0)
    allocations = [bth]
    if subnode_value:
        allocations.append(struct.pack("<HHI", 0x0037, 0x001E, subnode_value))
    heap = bytearray(12)
    struct.pack_into("<BBI", heap, 2, 0xEC, 0xBC, 0x20)
    starts = [12]
    for a in allocations:
        heap += a
        starts.append(len(heap))
    struct.pack_into("<H", heap, 0, len(heap))
    heap += struct.pack("<HH", len(allocations), 0) + b"".join(struct.pack("<H", x) for x in starts)
    return bytes(heap)


def parents(img, pages):
    parent = 0x10000
    for p in range(pages):
        slots = []
        for _ in range(31):
            slots.append((0x8024, 0x100, 0, parent))
            parent += 32
        img.leaf_page(FIRST_PAGE + PAGE * p, slots)


def chain(img, pages):
    nid = 0x8002
    img.leaf_page(FIRST_PAGE, [(0x122, 0, 0, 0)])
    prev, prev2 = 0x122, 0x122
    for p in range(1, pages):
        slots = []
        for _ in range(15):
            slots.append((nid, 0x100, 0, prev))
            slots.append((nid, 0x104, 0, prev2))  # another parent: a second object elsewhere
            prev2, prev = prev, nid
            nid += 32
        img.leaf_page(FIRST_PAGE + PAGE * p, slots)


def subnodes(img, depth):
    at = FIRST_PAGE + PAGE
    at = img.block(at, 0x100, property_context(0x41))
    for k in range(depth):
        entry = struct.pack("<BBHIII", 2, 0, 1, 0x41, 0x104, 0x1000 + 8 * (k + 1) + 2)
        at = img.block(at, 0x1000 + 8 * k + 2, entry)
    img.block(at, 0x104, b"subject text")
    img.leaf_page(FIRST_PAGE, [(0x200024, 0x100, 0x1002, 0)])


def self_tree(img):
    at = FIRST_PAGE + PAGE
    at = img.block(at, 0x100, property_context(0x41))
    at = img.block(at, 0x106, struct.pack("<BBHIII", 1, 2, 2, 0, 0x106, 0x106))
    img.block(at, 0x10A, struct.pack("<BBHIII", 2, 0, 1, 0x41, 0x106, 0))
    img.leaf_page(FIRST_PAGE, [(0x200024, 0x100, 0x10A, 0)])


def copies(img, megabytes):
    data = property_context()
    pages = 64
    for p in range(pages):
        img.leaf_page(FIRST_PAGE + PAGE * p,
                      [(0x200024 + 32 * (31 * p + i), 0x100, 0, 0) for i in range(31)])
    at = FIRST_PAGE + PAGE * pages
    while at < megabytes * 1024 * 1024:
        at = img.block(at, 0x100, data)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("kind", choices=["parents", "chain", "subnodes", "self-tree", "copies"])
    ap.add_argument("out")
    ap.add_argument("--megabytes", type=float, default=4)
    a = ap.parse_args()
    size = int(a.megabytes * 1024 * 1024)
    img = Image(FIRST_PAGE)
    pages = (size - FIRST_PAGE) // PAGE
    if a.kind == "parents":
        parents(img, pages)
    elif a.kind == "chain":
        chain(img, pages)
    elif a.kind == "subnodes":
        subnodes(img, 60000)
    elif a.kind == "self-tree":
        self_tree(img)
    else:
        copies(img, a.megabytes)
    img.grow(len(img.bytes) + PAGE)
    with open(a.out, "wb") as f:
        f.write(img.bytes)


if __name__ == "__main__":
    main()
