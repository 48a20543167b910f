#!/usr/bin/env bash
# The recovery table: every corpus file and the rich sample, undamaged and damaged by each
# recipe of pstdamage.py (seed 1), repaired; one Markdown row per file and recipe.
#
#   exit, errors   pstorian-cli repair's exit status; the errors pstcheck finds in the output
#   written        the items the repair wrote
#   same folder    pstdiff: items of the original found in their own folder of the output
#   P/readpst      items of the original that readpst exports byte for byte the same, in the
#                  same folder, from Pstorian's output (P) and from the damaged copy itself
#   P/pffexport    the same seen by pffexport
#   ok             Pstorian's output gives each reader at least what the damaged copy gives it
#
# Usage: scripts/recovery-table.sh [CORPUS_DIR] [PSTORIAN_CLI] [--no-sample | --unicode-sample]
# (--unicode-sample: the rich sample in the 64-bit form, "rich-sample-unicode")
# RECIPES="bitflip:50 combo" limits the run to those recipes.
# Needs ../shared/tools, readpst and pffexport, and pypff under /usr/bin/python3.
set -uo pipefail
cd "$(dirname "$0")/.."
corpus="${1:-../shared/corpus/ansi}"
cli="$(realpath "${2:-build/src/cli/pstorian-cli}")"
sample=1 sample_name=rich-sample sample_form=()
case "${3:-}" in
  --no-sample) sample=0 ;;
  --unicode-sample) sample_name=rich-sample-unicode sample_form=(--unicode) ;;
esac
tools="$(cd ../shared/tools && pwd)"
py=/usr/bin/python3
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
recipes=(none zero-header zero-roots zero-btrees zero-pages:2 zero-pages:5 zero-pages:10
         garbage-pages:5 truncate:0.5 truncate:0.8 bitflip:50 bitflip:500 combo)
[[ -n ${RECIPES:-} ]] && read -ra recipes <<<"$RECIPES"

shopt -s nullglob
originals=("$corpus"/*.pst)
shopt -u nullglob
if ((sample)); then
  "$cli" sample --rich "${sample_form[@]}" "$work/$sample_name.pst" >/dev/null || exit 1
  originals+=("$work/$sample_name.pst")
fi

json() { "$py" -c "import json,sys; d=json.load(sys.stdin); print($1)" 2>/dev/null; }

echo '| file | recipe | exit | errors | written | same folder | P/readpst | readpst | P/pffexport | pffexport | ok |'
echo '|---|---|---|---|---|---|---|---|---|---|---|'
declare -A total
cells=0 below=0
for original in "${originals[@]}"; do
  name="$(basename "$original" .pst)"
  for recipe in "${recipes[@]}"; do
    cell="$work/cell"
    rm -rf "$cell" && mkdir -p "$cell/out"
    damaged="$cell/$name.pst"
    if [[ $recipe == none ]]; then
      cp "$original" "$damaged"
    elif ! "$py" "$tools/pstdamage.py" "$original" "$damaged" --recipe "$recipe" --seed 1 \
        >/dev/null 2>&1; then
      echo "| $name | $recipe | recipe does not apply |||||||||"
      continue
    fi
    "$cli" repair "$damaged" -o "$cell/out" --overwrite >"$cell/repair.txt" 2>&1
    rc=$?
    output="$cell/out/$name Recovered.pst"
    written="$(sed -n 's/^Items written: *\([0-9]*\).*/\1/p' "$cell/repair.txt")"
    errors=- same=0
    if [[ -f $output ]]; then
      errors="$("$py" "$tools/pstcheck.py" "$output" --json 2>/dev/null | json 'd.get("errors","?")' ||
        echo '?')"
      same="$("$py" "$tools/pstdiff.py" "$original" "$output" --json 2>/dev/null |
        json 'd["same_folder"]' || echo 0)"
    fi
    read -r p_readpst readpst p_pff pff < <("$py" scripts/recovery_cell.py "$original" \
      "$damaged" "$output" --cache "$work/cache" | json \
      '" ".join(str(d[t][k]) for t in ("readpst","pffexport") for k in ("recovered","damaged"))')
    ok=yes
    if ((p_readpst < readpst || p_pff < pff)); then ok=NO; below=$((below + 1)); fi
    cells=$((cells + 1))
    for k in same p_readpst readpst p_pff pff; do total[$k]=$((${total[$k]:-0} + ${!k:-0})); done
    echo "| $name | $recipe | $rc | $errors | ${written:--} | $same | $p_readpst | $readpst | $p_pff | $pff | $ok |"
  done
done
echo "| **total** | $cells cells | | | | ${total[same]} | ${total[p_readpst]} | ${total[readpst]} | ${total[p_pff]} | ${total[pff]} | $below below |"
