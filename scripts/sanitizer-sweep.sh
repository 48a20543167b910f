#!/usr/bin/env bash
# Repairs every sample file of ../shared/corpus/ansi, undamaged and damaged by every recipe
# of ../shared/tools/pstdamage.py with seeds 1 to 5, with the AddressSanitizer and
# UndefinedBehaviorSanitizer build of pstorian-cli (build-asan/, made when missing). Fails
# on any sanitizer finding or crash; a repair that ends with status 0 or 1 (nothing could
# be recovered) is fine. Not part of CI: it takes a long time.
#
#   bash scripts/sanitizer-sweep.sh [--seeds N] [--keep DIR]
#
# --keep DIR keeps the log and the damaged file of every failing run in DIR
# (default build-asan/sweep-failures).
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
shared="$root/../shared"
build="$root/build-asan"
seeds=5
keep="$build/sweep-failures"
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seeds) seeds="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    *) echo "usage: $0 [--seeds N] [--keep DIR]" >&2; exit 2 ;;
  esac
done
if [[ ! -d "$shared/corpus/ansi" || ! -f "$shared/tools/pstdamage.py" ]]; then
  echo "no corpus or pstdamage.py beside the project: nothing to do"
  exit 0
fi

cli="$build/src/cli/pstorian-cli"
if [[ ! -x "$cli" ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPSTORIAN_SANITIZE=ON \
    -DPSTORIAN_BUILD_BENCH=OFF -DPSTORIAN_BUILD_UI=OFF >/dev/null || exit 1
  cmake --build "$build" -j2 --target pstorian-cli || exit 1
fi

# Every recipe that pstdamage.py lists; those taking a parameter get a middling one.
recipes=()
while read -r name; do
  case "$name" in
    zero-pages:P | garbage-pages:P) recipes+=("${name%:P}:10") ;;
    truncate:F) recipes+=("truncate:0.6") ;;
    bitflip:N) recipes+=("bitflip:200") ;;
    *) recipes+=("$name") ;;
  esac
done < <(python3 "$shared/tools/pstdamage.py" --help |
           sed -n '/^recipes:/,/^$/p' | awk 'NR > 1 && NF {print $1}')

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out"
# A finding ends the process with status 86, told apart from the repair's own statuses.
export ASAN_OPTIONS="exitcode=86:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="exitcode=86:print_stacktrace=1:halt_on_error=1"

passed=0
failed=0
skipped=0
run_one() {  # FILE LABEL
  local log="$work/log"
  "$cli" repair "$1" -o "$work/out" --overwrite </dev/null >"$log" 2>&1
  local status=$?
  if [[ $status -le 1 ]] && ! grep -q -e 'runtime error:' -e 'Sanitizer' "$log"; then
    passed=$((passed + 1))
    return
  fi
  failed=$((failed + 1))
  echo "FAILED ($status): $2"
  mkdir -p "$keep"
  cp "$log" "$keep/$2.log"
  cp "$1" "$keep/$2.pst"
}

for src in "$shared"/corpus/ansi/*.pst; do
  base="$(basename "$src" .pst)"
  cp "$src" "$work/$base.pst"  # repair writes beside nothing, but the source stays untouched
  run_one "$work/$base.pst" "$base"
  rm -f "$work/$base.pst"
  for recipe in "${recipes[@]}"; do
    for ((seed = 1; seed <= seeds; ++seed)); do
      label="$base-${recipe//[:.]/_}-$seed"
      damaged="$work/$label.pst"
      python3 "$shared/tools/pstdamage.py" --recipe "$recipe" --seed "$seed" "$src" "$damaged" \
        >/dev/null 2>&1
      case $? in
        0) run_one "$damaged" "$label" ;;
        1) skipped=$((skipped + 1)) ;;  # the recipe does not apply to this file
        *) echo "pstdamage.py failed: $label"; failed=$((failed + 1)) ;;
      esac
      rm -f "$damaged"
    done
  done
done

echo "recipes: ${recipes[*]}"
echo "$passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
