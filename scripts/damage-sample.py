#!/usr/bin/env python3
"""Writes a damaged copy of a 32-bit personal folder file, for the main job's sample.

    scripts/damage-sample.py SOURCE.pst DAMAGED.pst [--zero-roots] [--zero-header]

--zero-roots zeroes the root pages of both B-trees (found through the header), so that a
reader finds neither a node nor a block; --zero-header then zeroes the 512-byte header
itself, so that nothing tells where the roots were. With neither, both are done. The
source is only read, and the copy is written beside it under another name first, then
renamed, so that a failed run never leaves half a file.
"""
import argparse
import os
import struct
import sys
import tempfile

PAGE = 512
NBT_ROOT_OFFSET = 188  # the header's BREF of the node B-tree root: bid at 184, offset at 188
BBT_ROOT_OFFSET = 196  # the block B-tree root: bid at 192, offset at 196


def damage(data, zero_roots, zero_header):
    if data[:4] != b"!BDN" or struct.unpack_from("<H", data, 10)[0] not in (14, 15):
        raise ValueError("not a 32-bit personal folder file with a readable header")
    out = bytearray(data)
    done = []
    if zero_roots:
        for name, at in (("node B-tree root", NBT_ROOT_OFFSET), ("block B-tree root", BBT_ROOT_OFFSET)):
            offset = struct.unpack_from("<I", data, at)[0]
            if offset % PAGE or offset + PAGE > len(out):
                raise ValueError("the header's %s offset 0x%X is not a page of the file" % (name, offset))
            out[offset:offset + PAGE] = bytes(PAGE)
            done.append("%s page at 0x%X zeroed" % (name, offset))
    if zero_header:
        out[:PAGE] = bytes(PAGE)
        done.append("header zeroed")
    return bytes(out), done


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("damaged")
    parser.add_argument("--zero-roots", action="store_true")
    parser.add_argument("--zero-header", action="store_true")
    args = parser.parse_args(argv)
    if not (args.zero_roots or args.zero_header):
        args.zero_roots = args.zero_header = True
    if os.path.exists(args.damaged) and os.path.samefile(args.source, args.damaged):
        print("damage-sample: the copy would be the source itself", file=sys.stderr)
        return 2
    try:
        with open(args.source, "rb") as f:
            data = f.read()
        damaged, done = damage(data, args.zero_roots, args.zero_header)
        folder = os.path.dirname(os.path.abspath(args.damaged))
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".damage-")
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(damaged)
            os.replace(temporary, args.damaged)
        except BaseException:
            os.unlink(temporary)
            raise
    except (OSError, ValueError) as e:
        print("damage-sample: %s" % e, file=sys.stderr)
        return 2
    print("; ".join(done))
    return 0


if __name__ == "__main__":
    sys.exit(main())
