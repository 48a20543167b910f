#!/usr/bin/env bash
# Kills a repair at random moments and fills its disk at random sizes, and checks every output
# store it leaves with ../shared/tools/pstcheck.py. Not part of the test suite: it takes a few
# minutes and needs the shared tools and the right to make a private mount namespace (root,
# for the small tmpfs that stands for a full disk).
#
#   scripts/durability-test.sh [MESSAGES] [ROUNDS]     (default 50000 messages, 20 rounds)
#
# Prints one table row per round: the moment or the disk size, the repair's exit code, what
# its summary counted, what the file holds, and pstcheck's verdict.
set -euo pipefail
cd "$(dirname "$0")/.."
messages="${1:-50000}"
rounds="${2:-20}"
tools="$(pwd)/../shared/tools"
[ -f "$tools/pstcheck.py" ] || { echo "needs $tools" >&2; exit 2; }
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pstorian-cli >/dev/null
cli="$(pwd)/build/src/cli/pstorian-cli"

work="$(mktemp -d)"
trap 'umount "$work/small" 2>/dev/null || true; rm -rf "$work"' EXIT
"$cli" sample "$work/mailbox.pst" --messages "$messages" --folders 10 >/dev/null
python3 "$tools/pstdamage.py" "$work/mailbox.pst" "$work/damaged.pst" --recipe zero-roots \
  --seed 1 >/dev/null

# What a store holds, by pstcheck: "E errors, W warnings, N nodes"; messages by node type.
check() {
  python3 "$tools/pstcheck.py" "$1" 2>&1 | tail -1 | sed 's/^pstcheck: //'
}
messages_in() {
  python3 - "$1" <<'EOF'
import sys
sys.path.insert(0, "/usr/lib/python3/dist-packages")
import pypff
f = pypff.file()
f.open(sys.argv[1])
def count(folder):
    return folder.number_of_sub_messages + sum(
        count(folder.get_sub_folder(i)) for i in range(folder.number_of_sub_folders))
print(count(f.get_root_folder()))
EOF
}

start=$(date +%s.%N)
"$cli" repair "$work/damaged.pst" -o "$work/full" --overwrite >/dev/null
full_time=$(echo "$(date +%s.%N) - $start" | bc)
echo "sample: $messages messages, $(stat -c %s "$work/mailbox.pst") bytes; a whole repair takes ${full_time} s"
echo
echo "| kill after (s) | output | pstcheck |"
echo "|---|---|---|"
bad=0
for i in $(seq 1 "$rounds"); do
  rm -rf "$work/out"; mkdir -p "$work/out"
  at=$(python3 -c "import random; random.seed($i); print(round(random.uniform(0.05, $full_time), 2))")
  "$cli" repair "$work/damaged.pst" -o "$work/out" --overwrite >/dev/null 2>&1 &
  pid=$!
  sleep "$at"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  out="$work/out/damaged Recovered.pst"
  if [ -f "$out" ]; then
    verdict=$(check "$out")
    case "$verdict" in 0\ errors*) ;; *) bad=$((bad + 1)) ;; esac
    echo "| $at | $(stat -c %s "$out") bytes, $(messages_in "$out") messages | $verdict |"
  else
    echo "| $at | not created yet | - |"
  fi
done

echo
echo "| disk size (MB) | exit | said | summary: written | file holds | pstcheck |"
echo "|---|---|---|---|---|---|"
mkdir -p "$work/small"
full_size=$(stat -c %s "$work/full/damaged Recovered.pst")
for i in $(seq 1 "$rounds"); do
  size=$(python3 -c "import random; random.seed(100 + $i); print(random.randint(1, $full_size // 1048576 + 1))")
  set +e
  said=$(unshare -m sh -c "mount -t tmpfs -o size=${size}m tmpfs '$work/small' &&
      '$cli' repair '$work/damaged.pst' -o '$work/small' --overwrite; rc=\$?;
      cp '$work/small/damaged Recovered.pst' '$work/kept.pst' 2>/dev/null; exit \$rc" 2>&1)
  rc=$?
  set -e
  reason=$(echo "$said" | grep -o 'No space left on device\|File too large' | head -1)
  [ -z "$reason" ] && [ "$rc" -ne 0 ] && reason="failed"
  written=$(echo "$said" | sed -n 's/^Items written: *\([0-9]*\).*/\1/p')
  if [ -f "$work/kept.pst" ]; then
    verdict=$(check "$work/kept.pst")
    holds=$(messages_in "$work/kept.pst")
    case "$verdict" in 0\ errors*) ;; *) bad=$((bad + 1)) ;; esac
    [ -n "$written" ] && [ "$written" != "$holds" ] && bad=$((bad + 1))
    rm -f "$work/kept.pst"
  else
    verdict="no output"; holds="-"
  fi
  echo "| $size | $rc | ${reason:-complete} | ${written:--} | $holds | $verdict |"
done
echo
if [ "$bad" -ne 0 ]; then
  echo "durability: $bad outputs failed the check or miscounted"
  exit 1
fi
echo "durability: every output passed"
