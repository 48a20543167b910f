#!/usr/bin/env python3
"""sweep.py: every reader reads what a repair writes.

Repairs each corpus file, undamaged and damaged by each recipe of pstdamage.py (seed 1), and
compares, per file and recipe, what the original, the damaged copy and the repair's output
give: pstcheck's errors in the output, pstdiff (every item of the original, not only mail),
and the items each independent reader reads from the three files:

  pypff          libpff's Python binding: per item its folder, subject, sender, plain and
                 HTML body, the sizes of attachments other than attached messages
  readpst        `readpst -e -D -j 0` (one file per item; one job, as its parallel jobs lose
                 items now and then): per item its folder and exported bytes
  pffexport      `pffexport -f all` (one folder per item, embedded messages inside it)
  pst-extractor  the npm reader (tests/readers/pst_extractor_dump.js): per item its folder,
                 subject, sender, body length, attachment names and sizes, recipient count

Items are counted, not files: readpst writes a file per attachment beside some items and
pffexport a folder per embedded message inside an item, and neither counts. An item of the
original is matched in another file when the same reader reads an item of the same folder
with the same content there (the folder of the store's own top is left out: each store has
its own name for it). A reader cell is "output/damaged/original", then "!" and the files the
reader could not open or stopped reading in: R the repair's output, D the damaged copy, O the
original. "ok" says every reader reads at least as much from the output
as from the damaged copy, and of an undamaged file all of the original.

  /usr/bin/python3 scripts/sweep.py [--corpus DIR ...] [--files NAME ...] [--recipes R ...]
                                    [--readers pypff,readpst,...] [--cli PATH]
                                    [--table FILE] [--json FILE]

The exit status is 1 when a cell is not ok. scripts/sweep.sh runs it over the whole corpus
and writes bench/sweep-table.md.
"""
import argparse
import collections
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "cli"))
import export_compare  # noqa: E402

SHARED = os.path.join(ROOT, "..", "shared")
RECIPES = ["none", "zero-header", "zero-roots", "zero-btrees", "zero-pages:2", "zero-pages:5",
           "zero-pages:10", "garbage-pages:5", "truncate:0.5", "truncate:0.8", "bitflip:50",
           "bitflip:500", "zero-amaps", "combo"]
READERS = ["pypff", "readpst", "pffexport", "pst-extractor"]
TIMEOUT = 120  # seconds a reader may take on one file (some loop on a damaged copy)
PYTHON = "/usr/bin/python3"  # where Debian's pypff is
# readpst's name for an item: its number and the kind (eml, ics, vcf, ...); an attachment it
# writes beside the item has a name of its own after the number.
READPST_ITEM = re.compile(r"[0-9]+(\.[a-z]+)?")
# Besides the size and status lines each store writes, an item's creation and modification
# times: a store gives an item they lack the time it was written into it (the other readers'
# contents leave the times out too).
ITEM_TIMES = re.compile(rb"^(Size|Status|Creation time|Modification time):[^\n]*\n", re.M)


def digest(*parts):
    h = hashlib.sha256()
    for p in parts:
        h.update(json.dumps(p, sort_keys=True, ensure_ascii=False).encode() + b"\0")
    return h.hexdigest()[:24]


def below_top(path):
    return "/".join(path[1:])


# --- what each reader reads: (Counter of (folder, content key), error text or None) ---

def attachment_size(attachment):
    """The size of an attachment's data; of an attached message nothing (0), since libpff
    gives the size of the message's node, which each store stores its own way."""
    for r in range(attachment.number_of_record_sets):
        record_set = attachment.get_record_set(r)
        for i in range(record_set.number_of_entries):
            entry = record_set.get_entry(i)
            if entry.entry_type == 0x3705 and entry.data is not None and len(entry.data) >= 4:
                if int.from_bytes(entry.data[:4], "little") == 5:  # ATTACH_EMBEDDED_MSG
                    return 0
    return attachment.size


def pypff_walk(pst):
    """Runs in its own process (libpff may crash on a damaged file): prints the items."""
    import pypff
    out = {"items": [], "error": None}

    def text(v):
        return v.decode("utf-8", "replace") if isinstance(v, bytes) else (v or "")

    def walk(folder, path):
        for i in range(folder.number_of_sub_messages):
            try:
                m = folder.get_sub_message(i)
                sizes = []
                for a in range(m.number_of_attachments):
                    try:
                        sizes.append(attachment_size(m.get_attachment(a)))
                    except (IOError, OSError):
                        sizes.append(-1)
                out["items"].append([below_top(path), digest(
                    text(m.subject), text(m.sender_name), text(m.plain_text_body),
                    text(m.html_body), sorted(sizes))])
            except (IOError, OSError) as e:
                out["error"] = str(e)
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, path + [text(sub.name)])

    try:
        f = pypff.file()
        f.open(pst)
        walk(f.get_root_folder(), [])
    except (IOError, OSError) as e:
        out["error"] = str(e)
    print(json.dumps(out))


def set_timeout(seconds):
    global TIMEOUT
    TIMEOUT = seconds


def run_json(cmd):
    try:
        r = subprocess.run(cmd, capture_output=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, "timed out"
    out = r.stdout.decode("utf-8", "replace").strip()
    # The whole output is one JSON value, or its last line is (after lines a reader printed).
    for text in (out, out.splitlines()[-1] if out else ""):
        try:
            return json.loads(text), None
        except ValueError:
            pass
    return None, "exit %d" % r.returncode


def read_pypff(pst, tmp):
    data, err = run_json([PYTHON, os.path.abspath(__file__), "--read-pypff", pst])
    if data is None:
        return collections.Counter(), err
    return collections.Counter(tuple(i) for i in data["items"]), data["error"]


def read_pst_extractor(pst, tmp):
    script = os.path.join(ROOT, "tests", "readers", "pst_extractor_dump.js")
    data, err = run_json(["node", script, pst])
    if data is None:
        return collections.Counter(), err
    items = collections.Counter()
    error = data.get("error")
    for folder in data["folders"]:
        error = error or folder.get("error")
        for m in folder["items"]:
            items[(below_top(folder["path"]), digest(
                m["subject"], m["sender"], m["body_length"],
                sorted((a["name"], a["size"]) for a in m["attachments"]), m["recipients"]))] += 1
    return items, error


def read_readpst(pst, tmp):
    out = tempfile.mkdtemp(dir=tmp)
    try:
        r = subprocess.run(["readpst", "-e", "-D", "-j", "0", "-q", "-o", out, pst],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
        error = None if r.returncode == 0 else "exit %d" % r.returncode
    except subprocess.TimeoutExpired:
        error = "timed out"
    items = collections.Counter()
    for folder, names in export_compare.exported_readpst(out).items():
        for name, d in names:
            if READPST_ITEM.fullmatch(name):
                items[(folder, d)] += 1
    shutil.rmtree(out, ignore_errors=True)
    return items, error


def read_pffexport(pst, tmp):
    out = tempfile.mkdtemp(dir=tmp)
    error = None
    try:
        found = export_compare.pffexport_items(pst, out, check=False, store_lines=ITEM_TIMES)
    except subprocess.TimeoutExpired:
        found, error = {}, "timed out"
    if not os.path.isdir(os.path.join(out, "x.export")):
        error = "no export"
    items = collections.Counter()
    for folder, names in found.items():
        for _, d in names:
            items[(folder, d)] += 1
    shutil.rmtree(out, ignore_errors=True)
    return items, error


READ = {"pypff": read_pypff, "readpst": read_readpst, "pffexport": read_pffexport,
        "pst-extractor": read_pst_extractor}


def matched(original, other):
    return sum((original & other).values())


def missing(original, output):
    """The original items the output lacks, each said to be in another folder of the output
    (placed elsewhere) or nowhere with that content."""
    folders = collections.defaultdict(set)
    for folder, key in output:
        folders[key].add(folder)
    out = []
    for (folder, key), _ in sorted((original - output).items()):
        elsewhere = sorted(folders[key] - {folder})
        out.append("%s: %s %s" % (folder or "(top)", key[:12], "in " + " | ".join(elsewhere)
                                  if elsewhere else "content differs"))
    return out[:20]


# --- one cell ---

def repair(cli, damaged, outdir):
    r = subprocess.run([cli, "repair", damaged, "-o", outdir, "--overwrite"],
                       capture_output=True, timeout=TIMEOUT * 3)
    name = os.path.splitext(os.path.basename(damaged))[0]
    output = os.path.join(outdir, name + " Recovered.pst")
    return r.returncode, output if os.path.exists(output) else None


def tool_json(tool, *args):
    data, _ = run_json([PYTHON, os.path.join(SHARED, "tools", tool), *args, "--json"])
    return data


def cell(args, original, recipe, readers, reads_of_original, tmp):
    work = tempfile.mkdtemp(dir=tmp)
    name = os.path.splitext(os.path.basename(original))[0]
    damaged = os.path.join(work, name + ".pst")
    row = {"file": os.path.basename(original), "recipe": recipe}
    if recipe == "none":
        shutil.copyfile(original, damaged)
    else:
        r = subprocess.run([PYTHON, os.path.join(SHARED, "tools", "pstdamage.py"), original,
                            damaged, "--recipe", recipe, "--seed", "1"], capture_output=True)
        if r.returncode != 0:
            row["skipped"] = "recipe does not apply"
            shutil.rmtree(work, ignore_errors=True)
            return row
    os.makedirs(os.path.join(work, "out"))
    row["exit"], output = repair(args.cli, damaged, os.path.join(work, "out"))
    check = tool_json("pstcheck.py", output) if output else None
    row["errors"] = check.get("errors") if check else None
    diff = tool_json("pstdiff.py", original, output) if output else None
    row["pstdiff"] = ({"same_folder": diff["same_folder"], "original": diff["original_items"]}
                      if diff else None)
    row["readers"] = {}
    ok = True
    for reader in readers:
        if reader not in reads_of_original:
            reads_of_original[reader] = READ[reader](original, work)
        o_items, o_err = reads_of_original[reader]
        d_items, d_err = (o_items, o_err) if recipe == "none" else READ[reader](damaged, work)
        r_items, r_err = READ[reader](output, work) if output else (collections.Counter(), "none")
        c = {"original": sum(o_items.values()), "damaged": matched(o_items, d_items),
             "output": matched(o_items, r_items), "output_read": sum(r_items.values()),
             "errors": {k: e for k, e in (("original", o_err), ("damaged", d_err),
                                          ("output", r_err)) if e}}
        if recipe == "none":
            c["missing"] = missing(o_items, r_items)
        c["ok"] = c["output"] >= c["damaged"] and (recipe != "none" or c["output"] == c["original"])
        ok = ok and c["ok"]
        row["readers"][reader] = c
    row["ok"] = ok
    shutil.rmtree(work, ignore_errors=True)
    return row


def table_line(row, readers):
    if "skipped" in row:
        return "| %s | %s | %s |%s" % (row["file"], row["recipe"], row["skipped"],
                                      " |" * (len(readers) + 4))

    def reader(c):
        failed = "".join(letter for k, letter in (("output", "R"), ("damaged", "D"),
                                                  ("original", "O"))
                         if k in c["errors"] and (k != "damaged" or row["recipe"] != "none"))
        return "%d/%d/%d%s" % (c["output"], c["damaged"], c["original"],
                               " !" + failed if failed else "")

    diff = row["pstdiff"]
    cells = [row["file"], row["recipe"], str(row["exit"]),
             "-" if row["errors"] is None else str(row["errors"]),
             "%d/%d" % (diff["same_folder"], diff["original"]) if diff else "-"]
    cells += [reader(row["readers"][r]) for r in readers]
    cells.append("yes" if row["ok"] else "NO")
    return "| " + " | ".join(cells) + " |"


def available(readers):
    have = []
    for r in readers:
        if r == "pypff":
            ok = subprocess.run([PYTHON, "-c", "import pypff"], capture_output=True).returncode == 0
        elif r == "pst-extractor":
            script = os.path.join(ROOT, "tests", "readers", "pst_extractor_dump.js")
            ok = shutil.which("node") is not None and subprocess.run(
                ["node", script], capture_output=True).returncode != 3
        else:
            ok = shutil.which(r) is not None
        if ok:
            have.append(r)
        else:
            print("sweep: %s is not available, left out" % r, file=sys.stderr)
    return have


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--read-pypff":
        return pypff_walk(sys.argv[2])
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--corpus", nargs="+", default=[os.path.join(SHARED, "corpus", d)
                                                   for d in ("ansi", "unicode", "wild")])
    p.add_argument("--files", nargs="+", help="file names (of the corpus folders) to take")
    p.add_argument("--recipes", nargs="+", default=RECIPES)
    p.add_argument("--readers", default=",".join(READERS))
    p.add_argument("--cli", default=os.path.join(ROOT, "build", "src", "cli", "pstorian-cli"))
    p.add_argument("--table", help="write the Markdown table here too")
    p.add_argument("--json", help="write the cells as JSON here")
    p.add_argument("--timeout", type=int, default=TIMEOUT,
                   help="seconds a reader may take on one file (default %d)" % TIMEOUT)
    args = p.parse_args()
    args.cli = os.path.abspath(args.cli)
    set_timeout(args.timeout)
    readers = available(args.readers.split(","))
    files = []
    for d in args.corpus:
        if os.path.isdir(d):
            files += sorted(os.path.join(d, f) for f in os.listdir(d) if f.endswith(".pst"))
    if args.files:
        wanted = set(args.files)
        files = [f for f in files if os.path.basename(f) in wanted]
        lost = wanted - {os.path.basename(f) for f in files}
        if lost:
            sys.exit("sweep: not in the corpus: " + ", ".join(sorted(lost)))
    head = ("| file | recipe | exit | errors | pstdiff | " + " | ".join(readers) + " | ok |\n"
            "|---|---|---|---|---|" + "---|" * len(readers) + "---|")
    lines = [head]
    print(head, flush=True)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for f in files:
            reads_of_original = {}
            for recipe in args.recipes:
                row = cell(args, f, recipe, readers, reads_of_original, tmp)
                rows.append(row)
                lines.append(table_line(row, readers))
                print(lines[-1], flush=True)
    done = [r for r in rows if "skipped" not in r]
    below = [r for r in done if not r["ok"]]
    totals = {r: sum(row["readers"][r]["output"] for row in done) for r in readers}
    lines.append("| **total** | %d cells | | | %d | %s | %d not ok |" % (
        len(done), sum(r["pstdiff"]["same_folder"] for r in done if r["pstdiff"]),
        " | ".join(str(totals[r]) for r in readers), len(below)))
    print(lines[-1])
    if args.table:
        with open(args.table, "w") as fh:
            fh.write("\n".join(lines) + "\n")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(rows, fh, indent=1, ensure_ascii=False)
    return 1 if below else 0


if __name__ == "__main__":
    sys.exit(main())
