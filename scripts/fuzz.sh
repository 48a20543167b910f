#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each of them for a
# number of executions, one after another (not part of CI: ten million executions take
# from twenty minutes to a few hours a target on one core).
#
#   bash scripts/fuzz.sh [--runs N] [--seed N] [--dir DIR] [TARGET...]
#
# TARGET is scan_fuzz, decode_fuzz, tree_fuzz or ltp_fuzz (default: all four). Each target keeps
# its corpus in DIR/TARGET (default /tmp/pstorian-fuzz) and writes what it finds there as
# crash-*, leak-*, timeout-* or oom-* files, with its log in DIR/TARGET.log. Exits nonzero
# if any target found something.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
runs=10000000
seed=1
dir=/tmp/pstorian-fuzz
targets=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    scan_fuzz | decode_fuzz | tree_fuzz | ltp_fuzz) targets+=("$1"); shift ;;
    *) echo "usage: $0 [--runs N] [--seed N] [--dir DIR] [scan_fuzz|decode_fuzz|tree_fuzz|ltp_fuzz]..." >&2
       exit 2 ;;
  esac
done
[[ ${#targets[@]} -eq 0 ]] && targets=(scan_fuzz decode_fuzz tree_fuzz ltp_fuzz)

CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DPSTORIAN_FUZZ=ON \
  -DPSTORIAN_BUILD_TESTS=OFF -DPSTORIAN_BUILD_UI=OFF >/dev/null || exit 1
ninja -C "$root/build-fuzz" -j2 "${targets[@]}" || exit 1

# Small inputs keep the executions fast and still reach every structure: the scan's
# probes need a few pages, a heap or a set of trees a few hundred bytes.
max_len() {
  case "$1" in
    scan_fuzz) echo 8192 ;;
    decode_fuzz) echo 4096 ;;
    tree_fuzz) echo 2048 ;;
    ltp_fuzz) echo 4096 ;;
  esac
}

found=0
for t in "${targets[@]}"; do
  mkdir -p "$dir/$t"
  echo "$t: $runs runs, seed $seed, max_len $(max_len "$t")"
  "$root/build-fuzz/fuzz/$t" "$dir/$t" -seed="$seed" -max_len="$(max_len "$t")" -runs="$runs" \
    -print_final_stats=1 -artifact_prefix="$dir/$t/" >"$dir/$t.log" 2>&1
  status=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$dir/$t.log"
  if [[ $status -ne 0 ]]; then
    echo "$t found something (status $status): see $dir/$t.log"
    found=1
  fi
done
exit $found
