#!/usr/bin/env bash
# Sets up the machine, builds Pstorian and runs its main job on a sample file: a small
# mailbox written by the embedded mail client (`pstorian-cli sample`), damaged by zeroing its
# header and B-tree roots, then repaired. A build without the sample command scans a file
# of the shared corpus instead (or the file given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pstorian-cli
cli=./build/src/cli/pstorian-cli

if [[ $# -eq 0 ]] && "$cli" sample --help >/dev/null 2>&1; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  "$cli" sample "$work/mailbox.pst"
  tools=../shared/tools
  /usr/bin/python3 "$tools/pstdamage.py" "$work/mailbox.pst" "$work/roots.pst" --recipe zero-roots --seed 1 >/dev/null
  /usr/bin/python3 "$tools/pstdamage.py" "$work/roots.pst" "$work/damaged.pst" --recipe zero-header --seed 1 >/dev/null
  "$cli" repair "$work/damaged.pst" --overwrite
  /usr/bin/python3 "$tools/pstcheck.py" "$work/damaged Recovered.pst" | tail -1
  /usr/bin/python3 "$tools/pstscore.py" "$work/mailbox.pst" "$work/damaged Recovered.pst" --mail-only
else
  sample="${1:-../shared/corpus/ansi/outlook97-294-messages.pst}"
  "$cli" scan "$sample"
fi
