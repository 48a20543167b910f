#!/usr/bin/env bash
# Where a repair puts items, measured from the outside: every undamaged file of the corpus
# folders (ansi, unicode, wild) repaired, then the damaged cells of the 32-bit Outlook 97
# store (pstdamage.py, seed 1), each compared with its original by pstdiff.py. Prints each
# file below 100 % "same folder" and the total over all original items.
#
# Usage: scripts/placement-sweep.sh [PSTORIAN_CLI] [CORPUS_ROOT]
# Needs ../shared/tools and python3-pypff.
set -uo pipefail
cd "$(dirname "$0")/.."
cli="$(realpath "${1:-build/src/cli/pstorian-cli}")"
corpus="$(realpath "${2:-../shared/corpus}")"
tools="$(cd ../shared/tools && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

total=0 same=0
# Repairs $1 (the file to repair) and compares it with $2 (its original) under the label $3.
measure() {
  local out="$work/$(basename "${1%.pst}") Recovered.pst"
  timeout 600 "$cli" repair "$1" -o "$work" --overwrite >/dev/null 2>&1
  local line
  line=$(python3 "$tools/pstdiff.py" "$2" "$out" --json 2>/dev/null |
         python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["original_items"], d["same_folder"])' 2>/dev/null)
  rm -f "$out"
  if [ -z "$line" ]; then echo "$3: not compared (pstdiff cannot read a file)"; return; fi
  read -r o s <<<"$line"
  total=$((total + o)) same=$((same + s))
  [ "$o" != "$s" ] && echo "$3: same folder $s of $o"
}

for f in "$corpus"/ansi/*.pst "$corpus"/unicode/*.pst "$corpus"/wild/*.pst; do
  measure "$f" "$f" "$(basename "$f")"
done
echo "undamaged: same folder $same of $total"
total=0 same=0
o97="$corpus/ansi/outlook97-294-messages.pst"
for recipe in zero-pages:2 zero-pages:5 zero-pages:10 garbage-pages:5 bitflip:50; do
  copy="$work/outlook97-${recipe/:/-}.pst"
  python3 "$tools/pstdamage.py" "$o97" "$copy" --recipe "$recipe" --seed 1 >/dev/null || continue
  measure "$copy" "$o97" "outlook97 $recipe"
  rm -f "$copy"
done
echo "damaged outlook97: same folder $same of $total"
