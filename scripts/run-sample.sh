#!/usr/bin/env bash
# The main job: sets up the machine, builds pstorian-cli, writes a sample mailbox with the
# embedded mail client (`pstorian-cli sample`), damages a copy (its B-tree roots and header
# zeroed, with scripts/damage-sample.py), checks the damaged copy, repairs it, and ends by
# checking the repaired file with `pstorian-cli check`. With ../shared beside the project the
# repaired file is also validated with pstcheck.py and compared with the mailbox by
# pstscore.py. Given a FILE, it checks, repairs and checks that file instead (it is only read).
#   scripts/run-sample.sh [FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh sample
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pstorian-cli
cli="$(pwd)/build/src/cli/pstorian-cli"
tools="$(pwd)/../shared/tools"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [[ $# -gt 0 ]]; then
  source_file="$1"
  name="$(basename "$source_file")"
  "$cli" check "$source_file" || true
  "$cli" repair "$source_file" -o "$work" --overwrite
  recovered="$work/${name%.*} Recovered.pst"
else
  "$cli" sample "$work/mailbox.pst"
  python3 scripts/damage-sample.py "$work/mailbox.pst" "$work/damaged.pst"
  echo
  echo "== the damaged copy, as a reader sees it"
  "$cli" check "$work/damaged.pst" || true
  echo
  echo "== the repair"
  "$cli" repair "$work/damaged.pst" --overwrite
  recovered="$work/damaged Recovered.pst"
  if [[ -f "$tools/pstcheck.py" ]]; then
    echo
    echo "== the shared validator and score"
    /usr/bin/python3 "$tools/pstcheck.py" "$recovered" | tail -1
    /usr/bin/python3 "$tools/pstscore.py" "$work/mailbox.pst" "$recovered" --mail-only
  fi
fi
echo
echo "== the repaired file"
"$cli" check "$recovered"
