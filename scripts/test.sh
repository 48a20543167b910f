#!/usr/bin/env bash
# Sets up the machine, builds Pstorian and runs every test. Tests that need the shared corpus
# or tools (../shared) skip when that folder is absent.
#   scripts/test.sh            release build in build/
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
job=test
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPSTORIAN_WERROR=ON)
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan
  job=asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DPSTORIAN_SANITIZE=ON -DPSTORIAN_BUILD_BENCH=OFF -DPSTORIAN_WERROR=ON)
fi
bash scripts/setup.sh "$job"
cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure -j2
