#!/usr/bin/env bash
# The sweep: every file of ../shared/corpus/{ansi,unicode,wild} repaired undamaged and with
# each damage recipe (seed 1), and read back by every independent reader (scripts/sweep.py
# says what is compared). Writes bench/sweep-table.md unless --table says otherwise.
#
#   bash scripts/sweep.sh [sweep.py options]
#   bash scripts/sweep.sh --recipes none                       # undamaged files only
#   bash scripts/sweep.sh --corpus ../shared/corpus/ansi --recipes none bitflip:50
#
# Needs a release build (build/src/cli/pstorian-cli), ../shared, readpst, pffexport, pypff
# under /usr/bin/python3, and pst-extractor (bash scripts/setup.sh test pst-extractor); a
# reader that is missing is left out of the table.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d ../shared/corpus ] || { echo "sweep.sh: no ../shared/corpus" >&2; exit 2; }
table=()
[[ " $* " == *" --table "* ]] || table=(--table bench/sweep-table.md)
exec /usr/bin/python3 scripts/sweep.py "${table[@]}" "$@"
