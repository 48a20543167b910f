#!/usr/bin/env python3
"""export_compare.py ORIGINAL RECOVERED: what two independent readers export from each file.

Runs `readpst -D -e` (one .eml file per item, attachments inside) and `pffexport -f all`
(one folder per item: headers, bodies, recipients, attachments as files) on both files and
pairs the items of each folder by their exported content. Prints one JSON object:

  {"readpst": {"original": N, "matched": M, "missing": [...], "unstable": U, "extra": E},
   "pffexport": {...}}

`missing` names the original items (folder and exported name) that no recovered item of the
same folder exports identically; `extra` counts recovered items beyond the pairs. readpst
exports some attachments with other bytes on each run over the same file (bytes that are not
the attachment's), so both files are exported with it three times, and two items pair when
any of their exports are the same; `unstable` counts the original items whose exports
differed among themselves.

What each store keeps for itself is left out of the comparison: the store's display name (the
first folder of each export), readpst's random MIME boundaries and the node ids it gives
calendar items as UID when they have no global object id, its export time (DTSTAMP) and
the random names of calendar parts, and pffexport's message size
and status lines (the size is each store's own; a message status is written by every store,
so a recovered item has one where the original lacked it).
"""
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict

BOUNDARY = re.compile(rb"iamunique--?[0-9]+_")
# A calendar item without a global object id is given its node id as UID: each store's own.
NODE_UID = re.compile(rb"^UID:0x[0-9a-f]+(\r?)$", re.M)
# The time of the export, and a random name for a calendar part of a message.
EXPORT_TIME = re.compile(rb"^DTSTAMP:[0-9TZ]+(\r?)$", re.M)
CALENDAR_PART = re.compile(rb"\bi[0-9]+\.ics\b")
STORE_LINES = re.compile(rb"^(Size|Status):[^\n]*\n", re.M)


ITEM_FOLDER = re.compile(r"(Message|Appointment|Contact|Task|Note|Meeting|Item|Activity|"
                         r"DistributionList|Document|Conflict|Email)[0-9]+")


def relative_folder(path, top):
    parts = os.path.relpath(path, top).split(os.sep)
    return "/".join(parts[1:])  # the store's own name left out


def readpst_items(pst, out, check=True):
    # One job: readpst's parallel jobs lose an item now and then.
    subprocess.run(["readpst", "-D", "-e", "-j", "0", "-q", "-o", out, pst], check=check,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return exported_readpst(out)


def exported_readpst(out):
    """folder -> [(file name, digest)] of what readpst wrote into `out`, the bytes that differ
    between stores and runs left out."""
    items = defaultdict(list)
    for folder, _, files in os.walk(out):
        for name in sorted(files):
            with open(os.path.join(folder, name), "rb") as f:
                data = BOUNDARY.sub(b"iamunique-_", f.read())
                data = NODE_UID.sub(rb"UID:node\1", data)
                data = EXPORT_TIME.sub(rb"DTSTAMP:now\1", data)
                data = CALENDAR_PART.sub(b"i.ics", data)
            items[relative_folder(folder, out)].append((name, hashlib.sha256(data).hexdigest()))
    return items


def pffexport_items(pst, out, check=True, store_lines=STORE_LINES):
    target = os.path.join(out, "x")
    subprocess.run(["pffexport", "-q", "-f", "all", "-t", target, pst], check=check,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    top = target + ".export"
    items = defaultdict(list)
    for folder, dirs, _ in os.walk(top):
        found = [d for d in sorted(dirs) if ITEM_FOLDER.fullmatch(d)]
        # An item's own folders (attachments, embedded messages) are part of it.
        dirs[:] = [d for d in dirs if d not in found]
        for d in found:
            item = os.path.join(folder, d)
            digest = hashlib.sha256()
            for sub, subdirs, files in os.walk(item):
                subdirs.sort()
                for name in sorted(files):
                    path = os.path.join(sub, name)
                    with open(path, "rb") as f:
                        data = f.read()
                    # The headers: OutlookHeaders.txt, or for other kinds a file named
                    # after the kind (Appointment.txt, Contact.txt, ...).
                    # A message embedded in an attachment has headers of its own, with its
                    # own size.
                    kind = re.sub(r"[0-9]+$", "", d) + ".txt"
                    if (sub == item and name == kind) or name == "OutlookHeaders.txt":
                        data = store_lines.sub(b"", data)
                    digest.update(os.path.relpath(path, item).encode() + b"\0")
                    digest.update(hashlib.sha256(data).digest())
            items[relative_folder(folder, top)].append((d, digest.hexdigest()))
    return items


def runs_of(run, pst, out, times):
    """folder -> [(name, {digest of each run})]: the same items, exported `times` times."""
    items = {}
    for i in range(times):
        target = os.path.join(out, str(i))
        os.mkdir(target)
        for folder, exported in run(pst, target).items():
            merged = items.setdefault(folder, {})
            for name, digest in exported:
                merged.setdefault(name, set()).add(digest)
    return {folder: sorted(names.items()) for folder, names in items.items()}


# pairs() walks augmenting paths as deep as a folder has items.
sys.setrecursionlimit(max(sys.getrecursionlimit(), 20000))


def pairs(original, recovered):
    """The most pairs of original and recovered items (i, j) whose exports share a digest.

    readpst numbers the items of a folder in another order on some runs, so the digests of
    one name may be those of several items, and pairing each item with the first that fits
    can leave one unpaired that another choice would have paired (augmenting paths)."""
    partner = {}  # recovered index -> original index

    def place(i, seen):
        for j, (_, theirs) in enumerate(recovered):
            if j in seen or not original[i][1] & theirs:
                continue
            seen.add(j)
            if j not in partner or place(partner[j], seen):
                partner[j] = i
                return True
        return False

    for i in range(len(original)):
        place(i, set())
    return {i: j for j, i in partner.items()}


def compare(original, recovered):
    result = {"original": 0, "matched": 0, "missing": [], "extra": 0, "unstable": 0}
    for folder in sorted(set(original) | set(recovered)):
        mine, theirs = original.get(folder, []), recovered.get(folder, [])
        paired = pairs(mine, theirs)
        for i, (name, digests) in enumerate(mine):
            result["original"] += 1
            result["unstable"] += len(digests) > 1
            if i in paired:
                result["matched"] += 1
            else:
                result["missing"].append(folder + "/" + name)
        result["extra"] += len(theirs) - len(paired)
    return result


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    original, recovered = sys.argv[1:]
    report = {}
    with tempfile.TemporaryDirectory() as tmp:
        # readpst is exported three times, pffexport once (its output does not vary).
        for tool, run, times in (("readpst", readpst_items, 3), ("pffexport", pffexport_items, 1)):
            exported = []
            for i, pst in enumerate((original, recovered)):
                out = os.path.join(tmp, tool + str(i))
                os.mkdir(out)
                exported.append(runs_of(run, pst, out, times))
            report[tool] = compare(*exported)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
