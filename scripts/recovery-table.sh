#!/usr/bin/env bash
# Repairs every corpus file and damaged copies of it made with each recipe of pstdamage.py
# (seed 1), then prints one table row per file and recipe: the structural errors pstcheck
# finds in the output, pstscore's recovered / same-folder / fields rates against the
# original (mail only), the messages written, and the messages readpst gets out of the same
# damaged copy. Usage: scripts/recovery-table.sh [CORPUS_DIR] [PSTORIAN_CLI]
set -uo pipefail
cd "$(dirname "$0")/.."
corpus="${1:-../shared/corpus/ansi}"
cli="${2:-build/src/cli/pstorian-cli}"
tools="$(cd ../shared/tools && pwd)"
py=/usr/bin/python3
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
recipes=(none zero-header zero-roots zero-btrees zero-pages:2 garbage-pages:5 truncate:0.7
         bitflip:50 zero-amaps combo)

printf '%-28s %-16s %4s %6s %6s %7s %6s %7s %8s\n' file recipe exit errors recov% folder% \
  fields% written readpst
for original in "$corpus"/*.pst; do
  name="$(basename "$original" .pst)"
  for recipe in "${recipes[@]}"; do
    rm -rf "$work"/*
    damaged="$work/$name.pst"
    if [[ $recipe == none ]]; then
      cp "$original" "$damaged"
    elif ! "$py" "$tools/pstdamage.py" "$original" "$damaged" --recipe "$recipe" --seed 1 \
        >/dev/null 2>&1; then
      printf '%-28s %-16s  recipe does not apply\n' "$name" "$recipe"
      continue
    fi
    mkdir -p "$work/out" "$work/readpst"
    "$cli" repair "$damaged" -o "$work/out" --overwrite >"$work/repair.txt" 2>&1
    rc=$?
    output="$work/out/$name Recovered.pst"
    written="$(sed -n 's/^Items written: *\([0-9]*\).*/\1/p' "$work/repair.txt")"
    errors=- recov=- folder=- fields=-
    if [[ -f $output ]]; then
      errors="$("$py" "$tools/pstcheck.py" "$output" --json 2>/dev/null |
        "$py" -c 'import json,sys; print(json.load(sys.stdin).get("errors", "?"))' 2>/dev/null ||
        echo '?')"
      read -r recov folder fields < <("$py" "$tools/pstscore.py" "$original" "$output" \
        --mail-only --json 2>/dev/null | "$py" -c \
        'import json,sys; d=json.load(sys.stdin); print(d["recovered_pct"], d["same_folder_pct"], d["fields_pct"])' \
        2>/dev/null || echo "- - -")
    fi
    readpst_count="$(readpst -q -j 0 -D -o "$work/readpst" "$damaged" >/dev/null 2>&1;
      grep -rh '^From ' "$work/readpst" 2>/dev/null | wc -l)"
    printf '%-28s %-16s %4s %6s %6s %7s %6s %7s %8s\n' "$name" "$recipe" "$rc" "$errors" \
      "$recov" "$folder" "$fields" "${written:--}" "$readpst_count"
  done
done
