#!/usr/bin/env python3
"""recovery_cell.py ORIGINAL DAMAGED [RECOVERED]: one cell of the recovery table.

How many items of ORIGINAL come back in their own folder with intact content, seen by two
independent readers: readpst (-D -e, one file per item) and pffexport (-f all). For each
reader, the items it exports from the DAMAGED copy itself and the items it exports from
Pstorian's RECOVERED file are paired with its export of the ORIGINAL, folder by folder and
byte for byte (tests/cli/export_compare.py says what each store keeps for itself and is left
out). A reader that fails on a file counts what it exported before failing. Prints JSON:

  {"readpst": {"original": N, "damaged": D, "recovered": R}, "pffexport": {...}}

The exports of ORIGINAL are kept under --cache DIR when given, so that a table with many
damaged copies of one file exports it once.
"""
import argparse
import json
import os
import pickle
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cli"))
import export_compare  # noqa: E402

TOOLS = (("readpst", export_compare.readpst_items, 3), ("pffexport", export_compare.pffexport_items, 1))


def exports(run, pst, tmp, times):
    out = tempfile.mkdtemp(dir=tmp)
    return export_compare.runs_of(lambda p, o: run(p, o, check=False), pst, out, times)


def original_exports(tool, run, pst, tmp, times, cache):
    if not cache:
        return exports(run, pst, tmp, times)
    st = os.stat(pst)
    key = os.path.join(cache, f"{os.path.basename(pst)}.{st.st_size}.{int(st.st_mtime)}.{tool}")
    if os.path.exists(key):
        with open(key, "rb") as f:
            return pickle.load(f)
    result = exports(run, pst, tmp, times)
    os.makedirs(cache, exist_ok=True)
    with open(key, "wb") as f:
        pickle.dump(result, f)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("original")
    parser.add_argument("damaged")
    parser.add_argument("recovered", nargs="?")
    parser.add_argument("--cache")
    args = parser.parse_args()
    report = {}
    with tempfile.TemporaryDirectory() as tmp:
        for tool, run, times in TOOLS:
            original = original_exports(tool, run, args.original, tmp, times, args.cache)
            cell = {"original": sum(len(items) for items in original.values())}
            cell["damaged"] = export_compare.compare(
                original, exports(run, args.damaged, tmp, times))["matched"]
            if args.recovered and os.path.exists(args.recovered):
                cell["recovered"] = export_compare.compare(
                    original, exports(run, args.recovered, tmp, times))["matched"]
            else:
                cell["recovered"] = 0
            report[tool] = cell
    print(json.dumps(report))


if __name__ == "__main__":
    main()
