#!/usr/bin/env bash
# Sets up the machine, builds Pstorian and runs its main job on a sample file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pstorian-cli
sample="${1:-../shared/corpus/ansi/outlook97-294-messages.pst}"
./build/src/cli/pstorian-cli scan "$sample"
