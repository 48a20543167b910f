#!/usr/bin/env python3
"""Writes crafted personal folder files that once made the scan or the decoding crash or
stall, to time `pstorian-cli scan` and `repair` on them by hand (not a test, not part of CI).

    python3 bench/hostile_files.py KIND OUT.pst [--megabytes N]
    python3 bench/hostile_files.py repeated-block OUT.pst --base STORE.pst [--uses N]
                                   [--sparse-megabytes N]

KIND:
  parents      node B-tree leaf pages whose entries all name one node id under a different
               parent each (the entry list build)
  chain        node ids nested one in the next, each with a second version under the one
               before (the parent lookups of the object collection)
  subnodes     a message whose subnode tree nests 60,000 blocks deep (the subnode walk)
  self-tree    a message whose data block is a level-2 data tree naming itself
  copies       one data block stored many times over, named by many node entries (the
               objects made per copy)
  repeated-block
               real items whose bodies all name one data tree: a level-2 tree naming one
               level-1 tree over and over, which names one block of 8 KB over and over,
               --uses times in all (a million unless told), so that a few MB claim
               gigabytes of text (the expansion of data trees and of values shared by
               items). The items are those of --base, an unencoded store of either form
               written by `pstorian-cli sample`, copied; each message's body record
               names a new subnode whose data is the tree, and its subnode tree and node
               B-tree page are written anew with valid trailers and check values, so the
               file's own tree still checks out. With --sparse-megabytes the file is
               extended with a hole to that size.

Nothing else of a real file is written for the other kinds; the scan does not need it.
"""
import argparse
import math
import struct
import zlib

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


def crc(data):
    """The check value of blocks, pages and the header: CRC-32 without its inversions."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


class Store:
    """An unencoded store of either form, read through its own header and B-trees."""

    def __init__(self, data):
        self.d = data
        version = struct.unpack_from("<H", data, 10)[0]
        self.unicode = version >= 23
        if self.unicode:
            self.id_size, self.trailer, self.page_meta, self.page_trailer = 8, 16, 488, 496
            self.eof_at, self.nbt_at, self.bbt_at, crypt = 184, 216, 232, data[513]
        else:
            self.id_size, self.trailer, self.page_meta, self.page_trailer = 4, 12, 496, 500
            self.eof_at, self.nbt_at, self.bbt_at, crypt = 168, 184, 192, data[461]
        if crypt != 0:
            raise SystemExit("the base store must be unencoded (pstorian-cli sample writes one)")
        self.max_data = 8192 - self.trailer
        self.blocks = {}   # bid -> (offset, size)
        self.nodes = []    # (page offset, entry offset, nid, data bid, subnode bid)
        self.walk(self.root(self.bbt_at), self.block_entry)
        self.walk(self.root(self.nbt_at), self.node_entry)

    def id_at(self, at):
        return struct.unpack_from("<Q" if self.unicode else "<I", self.d, at)[0]

    def root(self, at):
        return self.id_at(at + self.id_size)

    def walk(self, page, leaf):
        count, _, size, level = self.d[page + self.page_meta:page + self.page_meta + 4]
        for i in range(count):
            at = page + i * size
            if level:
                self.walk(self.id_at(at + 2 * self.id_size), leaf)
            else:
                leaf(page, at)

    def block_entry(self, page, at):
        size = struct.unpack_from("<H", self.d, at + 2 * self.id_size)[0]
        self.blocks[self.id_at(at) & ~1] = (self.id_at(at + self.id_size), size)

    def node_entry(self, page, at):
        k = self.id_size
        self.nodes.append((page, at, self.id_at(at) & 0xFFFFFFFF, self.id_at(at + k),
                           self.id_at(at + 2 * k)))

    def block(self, bid):
        return self.blocks[bid & ~1]

    def leaf_ids(self, bid):
        """The ids of the blocks of a node's data, data trees expanded."""
        if not bid & 2:
            return [bid]
        offset, _ = self.block(bid)
        level, count = self.d[offset + 1], struct.unpack_from("<H", self.d, offset + 2)[0]
        out = []
        for i in range(count):
            child = self.id_at(offset + 8 + i * self.id_size)
            out += self.leaf_ids(child) if level == 2 else [child]
        return out

    def seal_block(self, offset, size, bid):
        t = offset + (size + self.trailer + 63) // 64 * 64 - self.trailer
        value = crc(self.d[offset:offset + size])
        struct.pack_into("<HH", self.d, t, size, signature(offset, bid))
        struct.pack_into("<IQ" if self.unicode else "<II", self.d, t + 4,
                         *((value, bid) if self.unicode else (bid, value)))

    def append_block(self, bid, payload):
        offset = (len(self.d) + 63) // 64 * 64
        span = (len(payload) + self.trailer + 63) // 64 * 64
        # The places of allocation map pages are left free, as a writer would keep them.
        for first, step in ((0x4400, 253952), (0x4600, 2031616)):
            page = first + max(0, offset + span - first - 1) // step * step
            if page + PAGE > offset and page < offset + span:
                offset = page + PAGE
        self.d.extend(bytes(offset + span - len(self.d)))
        self.d[offset:offset + len(payload)] = payload
        self.seal_block(offset, len(payload), bid)
        self.blocks[bid] = (offset, len(payload))

    def seal_page(self, page):
        t = page + self.page_trailer
        struct.pack_into("<I", self.d, t + (4 if self.unicode else 8),
                         crc(self.d[page:page + self.page_trailer]))

    def seal_header(self):
        struct.pack_into("<Q" if self.unicode else "<I", self.d, self.eof_at, len(self.d))
        struct.pack_into("<I", self.d, 4, crc(self.d[8:8 + 471]))
        if self.unicode:
            struct.pack_into("<I", self.d, 524, crc(self.d[8:8 + 516]))


def heap_item(store, leaves, hid):
    """Offset and size of heap allocation `hid` within the blocks `leaves`."""
    offset, _ = leaves[hid >> 16]
    page_map = offset + struct.unpack_from("<H", store.d, offset)[0]
    index = (hid >> 5) & 0x7FF
    start, end = struct.unpack_from("<HH", store.d, page_map + 4 + 2 * (index - 1))
    return offset + start, end - start


def body_record(store, leaves):
    """Offset of the body's record (PR_BODY, 8-bit or Unicode) in a property context's
    BTH, or None."""
    first = leaves[0][0]
    if store.d[first + 3] != 0xBC:
        return None
    bth, _ = heap_item(store, leaves, struct.unpack_from("<I", store.d, first + 4)[0])
    if store.d[bth + 3] != 0:  # an index level: no message of a sample has so many values
        return None
    records, size = heap_item(store, leaves, struct.unpack_from("<I", store.d, bth + 4)[0])
    for at in range(records, records + size - 7, 8):
        tag_id, tag_type = struct.unpack_from("<HH", store.d, at)
        if tag_id == 0x1000 and tag_type in (0x001E, 0x001F):
            return at
    return None


def repeated_block(base, uses):
    store = Store(bytearray(open(base, "rb").read()))
    k = store.id_size
    next_bid = (max(store.blocks) | 3) + 1

    def new_bid(internal):
        nonlocal next_bid
        bid = next_bid | (2 if internal else 0)
        next_bid += 4
        return bid

    children = (store.max_data - 8) // k
    per_x = min(children, uses)
    per_xx = min(children, math.ceil(uses / per_x))
    text = (b"The same block, named over and over by one data tree. " * 200)
    leaf = new_bid(False)
    if store.unicode:
        store.append_block(leaf, text.decode().encode("utf-16-le")[:store.max_data])
    else:
        store.append_block(leaf, text[:store.max_data])
    x, xx = new_bid(True), new_bid(True)
    idfmt = "<Q" if store.unicode else "<I"
    store.append_block(x, struct.pack("<BBHI", 1, 1, per_x, per_x * store.max_data)
                       + struct.pack(idfmt, leaf) * per_x)
    total = min(per_xx * per_x * store.max_data, 0xFFFFFFFF)
    store.append_block(xx, struct.pack("<BBHI", 1, 2, per_xx, total) + struct.pack(idfmt, x) * per_xx)

    # The body's subnode: an internal node id above any a sample hands out.
    body = 0x7FFFFFE1
    entry = struct.pack("<QQQ" if store.unicode else "<III", body, xx, 0)
    pages, messages = set(), 0
    for page, at, nid, data, subnodes in store.nodes:
        if nid & 0x1F != 0x04 or data == 0:
            continue
        ids = store.leaf_ids(data)
        record = body_record(store, [store.block(bid) for bid in ids])
        if record is None:
            continue
        struct.pack_into("<I", store.d, record + 4, body)
        for bid in ids:
            store.seal_block(*store.block(bid), bid)
        # A subnode tree of its own with the body's entry last (entries are kept in node id
        # order); an intermediate tree gets a leaf block holding that entry alone.
        head = 8 if store.unicode else 4
        if subnodes == 0:
            tree = struct.pack("<BBH", 2, 0, 1) + bytes(head - 4) + entry
        else:
            offset, size = store.block(subnodes)
            level, count = store.d[offset + 1], struct.unpack_from("<H", store.d, offset + 2)[0]
            old = bytes(store.d[offset:offset + size])
            if level == 0:
                tree = struct.pack("<BBH", 2, 0, count + 1) + old[4:head + count * 3 * k] + entry
            else:
                own = new_bid(True)
                store.append_block(own, struct.pack("<BBH", 2, 0, 1) + bytes(head - 4) + entry)
                tree = (struct.pack("<BBH", 2, 1, count + 1) + old[4:head + count * 2 * k]
                        + struct.pack(idfmt * 2, body, own))
        sub = new_bid(True)
        store.append_block(sub, tree)
        struct.pack_into(idfmt, store.d, at + 2 * k, sub)
        pages.add(page)
        messages += 1
    for page in pages:
        store.seal_page(page)
    store.seal_header()
    return store.d, messages, per_xx * per_x


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("kind", choices=["parents", "chain", "subnodes", "self-tree", "copies",
                                     "repeated-block"])
    ap.add_argument("out")
    ap.add_argument("--megabytes", type=float, default=4)
    ap.add_argument("--base", help="repeated-block: the store whose items are copied")
    ap.add_argument("--uses", type=int, default=1000000,
                    help="repeated-block: how often the data tree names the block in all")
    ap.add_argument("--sparse-megabytes", type=float,
                    help="repeated-block: extend the file with a hole to this size")
    a = ap.parse_args()
    if a.kind == "repeated-block":
        if not a.base:
            ap.error("repeated-block needs --base")
        data, messages, uses = repeated_block(a.base, a.uses)
        with open(a.out, "wb") as f:
            f.write(data)
            if a.sparse_megabytes and a.sparse_megabytes * 1024 * 1024 > len(data):
                f.truncate(int(a.sparse_megabytes * 1024 * 1024))
        print("%d messages name one block %d times each" % (messages, uses))
        return
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
